// KeyStore: own and trusted entries in QX_HOME/data/keystore.db.
#include "qxseccore/KeyStore.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <string>

#include "Sqlite.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxmox/Runtime.h"

namespace QxSecCore {
namespace {

using QxMoxStr::String_t;

constexpr int kBusyTimeoutMs = 30000;
constexpr int kSchemaVersion = 1;
constexpr int64_t kOwnEntry = 1;
constexpr int64_t kTrustedEntry = 2;

// Persisted entries live in main.entries; session entries (persist false) in a temporary
// table of the connection, kept in memory so their keys never reach a temporary file.
// all_entries is what the queries read.
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS main.entries ("
    " alias TEXT PRIMARY KEY NOT NULL,"
    " kind INTEGER NOT NULL CHECK (kind IN (1, 2)),"
    " cert TEXT NOT NULL,"
    " key TEXT,"
    " CHECK ((kind = 1) = (key IS NOT NULL)))";
constexpr char kSessionSchema[] =
    "PRAGMA temp_store = MEMORY;"
    "CREATE TEMP TABLE session_entries ("
    " alias TEXT PRIMARY KEY NOT NULL, kind INTEGER NOT NULL, cert TEXT NOT NULL, key TEXT);"
    "CREATE TEMP VIEW all_entries AS"
    " SELECT alias, kind, cert, key FROM main.entries"
    " UNION ALL SELECT alias, kind, cert, key FROM temp.session_entries";

[[noreturn]] void ThrowStore(const std::string& path, const char* what) {
  QxMoxMsg::ThrowIO(String_t("The key store ") + path + " " + what);
}

// CheckStoreFile checks the existing store file before SQLite opens it (by path: a descriptor
// of ours closed on the file would drop the locks SQLite holds on it in this process): a regular
// file, not empty, kept to its owner (a wider mode is narrowed; SQLite gives its journal the
// database file's mode).
void CheckStoreFile(const std::string& path) {
  struct stat st = {};
  if (lstat(path.c_str(), &st) != 0) {
    QxMoxMsg::ThrowErrno(String_t("Cannot open the key store ") + path, errno);
  }
  if (!S_ISREG(st.st_mode)) ThrowStore(path, "is not a regular file");
  // Nothing of ours leaves an empty store file (CreateStore): one found was cut or emptied.
  if (st.st_size == 0) {
    ThrowStore(path,
               "is empty (0 bytes): its entries may have been lost. Restore it from a "
               "backup, or remove it to start an empty key store");
  }
  QxMoxIo::RestrictToOwner(path);
}

// InitSchema gives a store of an older schema (or a new, empty one) the current one.
void InitSchema(Sql::Database& db) {
  Sql::Transaction tx(db, Sql::Transaction::WRITE);
  db.Exec(kSchema, "create the entries table");
  db.Exec("PRAGMA user_version = 1", "record the schema version");
  tx.Commit();
}

// CreateStore makes a new store at path when there is none. It is built under a temporary name
// and linked into place complete, so no process ever finds a store file without its schema,
// and an empty "keystore.db" is never one of ours. A concurrent creator's store is kept. The
// temporary name is the durable-file layer's, so what a killed creator left is removed here.
void CreateStore(const std::string& path) {
  QxMoxIo::RemoveStaleTemporaries(path);
  static std::atomic<unsigned> counter{0};
  const size_t name = path.rfind('/') + 1;  // 0 without a '/'
  const std::string temp = path.substr(0, name) + "." + path.substr(name) + ".tmp." +
                           std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
  if (!QxMoxIo::OpenFd(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600).Valid()) {
    QxMoxMsg::ThrowErrno(String_t("Cannot create ") + temp, errno);
  }
  struct Unlink {
    const std::string& name;
    ~Unlink() { ::unlink(name.c_str()); }
  } removeTemp{temp};
  {
    Sql::Database db = Sql::Database::Open(temp, kBusyTimeoutMs);
    InitSchema(db);
  }
  if (::link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    QxMoxMsg::ThrowErrno(String_t("Cannot create the key store ") + path, errno);
  }
  QxMoxIo::SyncDirectory(QxMoxIo::File_t(path).GetParent());
}

// AliasKey returns the alias as it is stored: its UTF-8 bytes. Aliases that UTF-8 cannot carry
// unchanged are refused, so two different aliases never share a row.
std::string AliasKey(const String_t& alias) {
  if (alias.IsEmpty()) QxMoxMsg::ThrowIllegalArgument("Key store alias is empty");
  if (alias.HasUnpairedSurrogate()) {
    QxMoxMsg::ThrowIllegalArgument("Key store alias holds an unpaired UTF-16 surrogate");
  }
  return alias.ToUtf8();
}

// NewAliasKey is AliasKey for an entry to be written: a control character (a tab, a line
// break) could make one entry pass for two in a listing, so none is stored.
std::string NewAliasKey(const String_t& alias) {
  std::string utf8 = AliasKey(alias);
  if (QxMoxStr::HasControlCharacter(utf8)) {
    QxMoxMsg::ThrowIllegalArgument(
        "Key store alias holds a control character (tab, line break or another below U+0020, "
        "or U+007F)");
  }
  return utf8;
}

// WipedString is a string of key material wiped when it goes.
struct WipedString {
  std::string text;
  WipedString() = default;
  explicit WipedString(std::string t) : text(std::move(t)) {}
  WipedString(const WipedString&) = delete;
  WipedString& operator=(const WipedString&) = delete;
  ~WipedString() { OPENSSL_cleanse(text.data(), text.size()); }
};

// Entry is one row as read.
struct Entry {
  bool found = false;
  int64_t kind = 0;
  std::string cert;
  WipedString key;
};

bool CertificateMatchesKey(const X509Certificate& cert, const Key& key) {
  const bool match = X509_check_private_key(cert.Native(), key.Native()) == 1;
  ERR_clear_error();
  return match;
}

}  // namespace

// KeyStoreDb is the open connection of one KeyStore with the queries on it.
class KeyStoreDb {
 public:
  KeyStoreDb() : m_db(OpenDatabase()) {}

  void Find(const std::string& alias, Entry& entry) {
    Sql::Transaction tx(m_db, Sql::Transaction::READ);
    FindIn(alias, entry);
    tx.Commit();
  }

  bool Exists(const std::string& alias, int64_t kind = 0) {
    Entry entry;
    Find(alias, entry);
    return entry.found && (kind == 0 || entry.kind == kind);
  }

  // Stamp pairs SQLite's data version, which moves with every commit of another connection, with
  // this connection's own count of changes, which the data version leaves out.
  std::pair<int64_t, int64_t> Stamp() {
    Sql::Statement version(m_db, "PRAGMA data_version", "read the data version");
    version.Step();
    return {version.Int(0), sqlite3_total_changes64(m_db.Handle().get())};
  }

  void Aliases(StringCollection& out) {
    Sql::Transaction tx(m_db, Sql::Transaction::READ);
    Sql::Statement select(m_db, "SELECT alias FROM all_entries ORDER BY alias", "read the aliases");
    StringCollection aliases;
    while (select.Step()) aliases.Add(String_t(select.Text(0)));
    tx.Commit();
    out = std::move(aliases);
    out.MoveFirst();
  }

  void Install(const std::string& alias, int64_t kind, const std::string& cert,
               const std::string* key, bool overwrite, bool persist) {
    Sql::Transaction tx(m_db, Sql::Transaction::WRITE);
    Entry existing;
    FindIn(alias, existing);
    if (existing.found) {
      if (!overwrite) {
        throw AlreadyInstalledException(QxMoxMsg::CreateWarn_t(
            String_t("An entry is already installed in the key store under alias '") +
            String_t(alias) + "'"));
      }
      DeleteIn(alias);
    }
    Sql::Statement insert(m_db,
                          persist ? "INSERT INTO main.entries VALUES (?1, ?2, ?3, ?4)"
                                  : "INSERT INTO temp.session_entries VALUES (?1, ?2, ?3, ?4)",
                          "write the entry");
    insert.Bind(1, alias).Bind(2, kind).Bind(3, cert);
    if (key != nullptr) {
      insert.Bind(4, *key);
    } else {
      insert.BindNull(4);
    }
    insert.Run();
    tx.Commit();
  }

  // A group's transaction: the operations' own transactions join it while it is open.
  void BeginGroup() { m_group.emplace(m_db, Sql::Transaction::WRITE); }
  void CommitGroup() {
    m_group->Commit();
    m_group.reset();
  }
  void RollbackGroup() noexcept { m_group.reset(); }

  bool Remove(const std::string& alias) {
    Sql::Transaction tx(m_db, Sql::Transaction::WRITE);
    const bool removed = DeleteIn(alias);
    tx.Commit();
    return removed;
  }

 private:
  static Sql::Database OpenDatabase() {
    QxMoxRuntime::Dir_t::EnsureDir(QxMoxRuntime::Dir_t::DIR_DATA);
    const std::string path =
        QxMoxRuntime::Dir_t::Path(QxMoxRuntime::Dir_t::DIR_DATA, "keystore.db").ToUtf8();
    if (!QxMoxIo::File_t(path).Exists()) CreateStore(path);
    CheckStoreFile(path);
    // A store this process may only read (mode 0400, a read-only file system) is opened for
    // reading: it can still be listed, and session entries still work.
    Sql::Database db = Sql::Database::Open(path, kBusyTimeoutMs);
    const bool writable = !db.IsReadOnly();
    // Removed keys are overwritten in the file, not merely unlinked from its pages.
    db.Exec("PRAGMA secure_delete = ON", "turn on secure deletion");
    const int64_t found = [&db] {
      Sql::Statement version(db, "PRAGMA user_version", "read the schema version");
      return version.Step() ? version.Int(0) : 0;
    }();
    if (found > kSchemaVersion) ThrowStore(path, "was written by a newer release");
    if (found < kSchemaVersion) {
      if (!writable) ThrowStore(path, "has no entries table and cannot be written");
      InitSchema(db);
    }
    db.Exec(kSessionSchema, "create the session entries table");
    return db;
  }

  void FindIn(const std::string& alias, Entry& entry) {
    Sql::Statement select(m_db, "SELECT kind, cert, key FROM all_entries WHERE alias = ?1",
                          "read the entry");
    select.Bind(1, alias);
    if (select.Step()) {
      entry.found = true;
      entry.kind = select.Int(0);
      entry.cert = select.Text(1);
      if (!select.IsNull(2)) entry.key.text = select.Text(2);
    }
  }

  bool DeleteIn(const std::string& alias) {
    int removed =
        Sql::Statement(m_db, "DELETE FROM main.entries WHERE alias = ?1", "remove the entry")
            .Bind(1, alias)
            .Run();
    removed += Sql::Statement(m_db, "DELETE FROM temp.session_entries WHERE alias = ?1",
                              "remove the session entry")
                   .Bind(1, alias)
                   .Run();
    return removed > 0;
  }

  Sql::Database m_db;
  std::optional<Sql::Transaction> m_group;  // declared after m_db: rolled back before it closes
};

KeyStore::KeyStore() = default;
KeyStore::~KeyStore() = default;

KeyStore::Group::Group(KeyStore& store) : m_store(store) {
  std::lock_guard<std::mutex> lock(m_store.m_mutex);
  m_store.Db().BeginGroup();
  m_open = true;
}

KeyStore::Group::~Group() {
  if (!m_open) return;
  std::lock_guard<std::mutex> lock(m_store.m_mutex);
  m_store.Db().RollbackGroup();
}

void KeyStore::Group::Commit() {
  std::lock_guard<std::mutex> lock(m_store.m_mutex);
  m_store.Db().CommitGroup();
  m_open = false;
}

KeyStoreDb& KeyStore::Db() {
  if (m_db == nullptr) m_db = std::make_unique<KeyStoreDb>();
  return *m_db;
}

bool KeyStore::IsCertEntry(const String_t& alias) {
  const std::string key = AliasKey(alias);
  std::lock_guard<std::mutex> lock(m_mutex);
  return Db().Exists(key);
}

bool KeyStore::IsPrivateKeyEntry(const String_t& alias) {
  const std::string key = AliasKey(alias);
  std::lock_guard<std::mutex> lock(m_mutex);
  return Db().Exists(key, kOwnEntry);
}

bool KeyStore::IsTrustedCertEntry(const String_t& alias) {
  const std::string key = AliasKey(alias);
  std::lock_guard<std::mutex> lock(m_mutex);
  return Db().Exists(key, kTrustedEntry);
}

std::pair<int64_t, int64_t> KeyStore::ChangeStamp() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return Db().Stamp();
}

void KeyStore::Aliases(StringCollection& aliases) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Db().Aliases(aliases);
}

void KeyStore::InstallCertificate(const String_t& alias, const X509Certificate& cert,
                                  const Key& key, bool overwrite, bool persist) {
  const std::string aliasKey = NewAliasKey(alias);
  if (cert.IsNull()) QxMoxMsg::ThrowIllegalArgument("InstallCertificate: empty certificate");
  if (key.GetType() != Key::TYPE_RSA_PRIVATE) {
    QxMoxMsg::ThrowIllegalArgument("InstallCertificate: the key is not an RSA private key");
  }
  if (!CertificateMatchesKey(cert, key)) {
    QxMoxMsg::ThrowIllegalArgument(
        "InstallCertificate: the private key does not belong to the certificate");
  }
  const std::string certPem = cert.GetEncoded().ToStdString();
  const WipedString keyPem(key.GetEncoded().ToStdString());
  std::lock_guard<std::mutex> lock(m_mutex);
  Db().Install(aliasKey, kOwnEntry, certPem, &keyPem.text, overwrite, persist);
}

void KeyStore::InstallCertificate(const String_t& alias, const X509Certificate& cert,
                                  bool overwrite, bool persist) {
  const std::string aliasKey = NewAliasKey(alias);
  if (cert.IsNull()) QxMoxMsg::ThrowIllegalArgument("InstallCertificate: empty certificate");
  const std::string certPem = cert.GetEncoded().ToStdString();
  std::lock_guard<std::mutex> lock(m_mutex);
  Db().Install(aliasKey, kTrustedEntry, certPem, nullptr, overwrite, persist);
}

X509Certificate KeyStore::GetCertificate(const String_t& alias) {
  const std::string aliasKey = AliasKey(alias);
  Entry entry;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    Db().Find(aliasKey, entry);
  }
  if (!entry.found) {
    throw NoSuchEntryException(QxMoxMsg::CreateWarn_t(
        String_t("No certificate in the key store under alias '") + alias + "'"));
  }
  return X509Certificate(QxMoxArray::CharArray_t(entry.cert));
}

Key KeyStore::GetPrivateKey(const String_t& alias) {
  const std::string aliasKey = AliasKey(alias);
  Entry entry;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    Db().Find(aliasKey, entry);
  }
  if (entry.kind != kOwnEntry) {
    throw NoSuchEntryException(QxMoxMsg::CreateWarn_t(
        String_t("No private key in the key store under alias '") + alias + "'"));
  }
  return Key(Key::TYPE_RSA_PRIVATE, entry.key.text.data(), entry.key.text.size());
}

bool KeyStore::RemoveCertificate(const String_t& alias) {
  const std::string aliasKey = AliasKey(alias);
  std::lock_guard<std::mutex> lock(m_mutex);
  return Db().Remove(aliasKey);
}

}  // namespace QxSecCore
