// KeyStore: own and trusted entries in QX_HOME/data/keystore.db.
#include "qxseccore/KeyStore.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

// CreatePrivateFile makes sure path is a regular file of mode 0600 (or narrower) before SQLite
// opens it; SQLite gives its journal the database file's mode. SQLite syncs the directory only
// for files it creates itself, so a new file's name is made durable here.
void CreatePrivateFile(const std::string& path) {
  bool created = false;
  const QxMoxIo::Fd_t file = QxMoxIo::OpenOrCreate(path, O_RDWR | O_NOFOLLOW, 0600, created);
  if (!file.Valid()) QxMoxMsg::ThrowErrno(String_t("Cannot open key store ") + path, errno);
  struct stat st = {};
  if (fstat(file.Get(), &st) != 0) QxMoxMsg::ThrowErrno(String_t("Cannot stat ") + path, errno);
  if (!S_ISREG(st.st_mode)) QxMoxMsg::ThrowIO(String_t("Key store is not a file: ") + path);
  if ((st.st_mode & 077) != 0 && fchmod(file.Get(), st.st_mode & 0700) != 0) {
    QxMoxMsg::ThrowErrno(String_t("Cannot restrict the mode of ") + path, errno);
  }
  if (created) QxMoxIo::SyncDirectory(QxMoxIo::File_t(path).GetParent());
}

// AliasKey returns the alias as it is stored: its UTF-8 bytes. Aliases that UTF-8 cannot carry
// unchanged are refused, so two different aliases never share a row.
std::string AliasKey(const String_t& alias) {
  if (alias.IsEmpty()) QxMoxMsg::ThrowIllegalArgument("Key store alias is empty");
  std::string utf8 = alias.ToUtf8();
  if (String_t(utf8).Str() != alias.Str()) {
    QxMoxMsg::ThrowIllegalArgument("Key store alias holds an unpaired UTF-16 surrogate");
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

  void Aliases(StringCollection& out) {
    Sql::Transaction tx(m_db, Sql::Transaction::READ);
    Sql::Statement select(m_db, "SELECT alias FROM all_entries ORDER BY alias");
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
    Sql::Statement insert(m_db, persist
                                    ? "INSERT INTO main.entries VALUES (?1, ?2, ?3, ?4)"
                                    : "INSERT INTO temp.session_entries VALUES (?1, ?2, ?3, ?4)");
    insert.Bind(1, alias).Bind(2, kind).Bind(3, cert);
    if (key != nullptr) {
      insert.Bind(4, *key);
    } else {
      insert.BindNull(4);
    }
    insert.Run();
    tx.Commit();
  }

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
    CreatePrivateFile(path);
    Sql::Database db = Sql::Database::Open(path, kBusyTimeoutMs);
    // Removed keys are overwritten in the file, not merely unlinked from its pages.
    db.Exec("PRAGMA secure_delete = ON");
    {
      Sql::Transaction tx(db, Sql::Transaction::WRITE);
      const int64_t found = [&db] {
        Sql::Statement version(db, "PRAGMA user_version");
        return version.Step() ? version.Int(0) : 0;
      }();
      if (found > kSchemaVersion) {
        QxMoxMsg::ThrowIO(String_t("Key store ") + path + " was written by a newer release");
      }
      db.Exec(kSchema);
      if (found < kSchemaVersion) db.Exec("PRAGMA user_version = 1");
      tx.Commit();
    }
    db.Exec(kSessionSchema);
    return db;
  }

  void FindIn(const std::string& alias, Entry& entry) {
    Sql::Statement select(m_db, "SELECT kind, cert, key FROM all_entries WHERE alias = ?1");
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
        Sql::Statement(m_db, "DELETE FROM main.entries WHERE alias = ?1").Bind(1, alias).Run();
    removed += Sql::Statement(m_db, "DELETE FROM temp.session_entries WHERE alias = ?1")
                   .Bind(1, alias)
                   .Run();
    return removed > 0;
  }

  Sql::Database m_db;
};

KeyStore::KeyStore() = default;
KeyStore::~KeyStore() = default;

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

void KeyStore::Aliases(StringCollection& aliases) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Db().Aliases(aliases);
}

void KeyStore::InstallCertificate(const String_t& alias, const X509Certificate& cert,
                                  const Key& key, bool overwrite, bool persist) {
  const std::string aliasKey = AliasKey(alias);
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
  const std::string aliasKey = AliasKey(alias);
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
