// KeyStore: the node's certificates and private keys, addressed by alias, in SQLite.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "qxmox/String.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Exceptions.h"
#include "qxseccore/Key.h"
#include "qxseccore/StringCollection.h"

namespace QxSecCore {

class KeyStoreDb;

// KeyStore keeps entries in the database QX_HOME/data/keystore.db, one per alias:
//  - an own entry: a certificate and its RSA private key;
//  - a trusted entry: a certificate alone (a trusted root).
// The data directory is kept to its owner (mode 0700); the database file is created complete
// (built under a temporary name, then linked into place) with mode 0600 (a wider mode found on
// an existing file is narrowed) and its journal inherits that mode. An existing file of 0 bytes
// is an error, never silently replaced: its entries may have been lost. A file the process may
// only read (mode 0400) is opened read-only: it can be listed and read, and writing it fails.
// Several objects and processes may use it at once: every operation is one SQLite transaction
// (writes take the write lock at their start and wait up to 30 seconds for it), so each sees and
// leaves a consistent store.
//
// Aliases are any non-empty text; they are stored as data, never used as file names or SQL.
// Errors: QxMoxMsg::IllegalArgumentError_t for a null or empty alias (or one with unpaired
// UTF-16 surrogates), and, for an entry to be installed, an alias with a control character
// (below U+0020, or U+007F); QxMoxIo::IOException_t when the database cannot be opened, read or
// written: the text names the file and says what failed in words ("Cannot read the entry in
// <file>: <SQLite's reason>"), never the SQL.
//
// The database is opened on the first operation; each object keeps one connection until it is
// destroyed. One object may be shared between threads (operations are serialised).
class KeyStore {
 public:
  // Group makes this key store object's changes during its lifetime one transaction: Commit
  // applies them all, and without Commit (an exception, a crash) none of them is made. Other
  // key store objects and processes wait for it; operations of this object from other threads
  // meanwhile become part of it.
  class Group {
   public:
    explicit Group(KeyStore& store);
    ~Group();
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;
    void Commit();

   private:
    KeyStore& m_store;
    bool m_open = false;
  };

  KeyStore();
  ~KeyStore();
  KeyStore(const KeyStore&) = delete;
  KeyStore& operator=(const KeyStore&) = delete;

  // ChangeStamp returns a value that differs from the one an earlier call on this object
  // returned whenever entries may have changed in between: through this object, another object
  // or another process. Equal values mean nothing changed, so a reader may keep what it read.
  std::pair<int64_t, int64_t> ChangeStamp();

  // IsCertEntry is true when any entry (own or trusted) exists under alias.
  bool IsCertEntry(const QxMoxStr::String_t& alias);
  // IsPrivateKeyEntry is true when an own entry (with private key) exists under alias.
  bool IsPrivateKeyEntry(const QxMoxStr::String_t& alias);
  // IsTrustedCertEntry is true when a trusted entry exists under alias.
  bool IsTrustedCertEntry(const QxMoxStr::String_t& alias);
  // Aliases replaces the content of aliases with every alias of the store, in code-point order
  // of their UTF-8 form, and moves its cursor to the first.
  void Aliases(StringCollection& aliases);

  // InstallCertificate(alias, cert, key, overwrite, persist) installs an own entry.
  // InstallCertificate(alias, cert, overwrite, persist) installs a trusted entry.
  //  - overwrite: false throws AlreadyInstalledException when any entry exists under alias
  //    (the store is left unchanged); true replaces that entry.
  //  - persist: true stores the entry in the database, where every object and process sees it
  //    and it survives restarts; false keeps it only in this object's connection, visible to
  //    this object's operations until it is destroyed (a session entry).
  // The own-entry form throws IllegalArgumentError_t when key is not a Key::TYPE_RSA_PRIVATE
  // key matching the certificate's public key, or cert is empty.
  void InstallCertificate(const QxMoxStr::String_t& alias, const X509Certificate& cert,
                          const Key& key, bool overwrite, bool persist);
  void InstallCertificate(const QxMoxStr::String_t& alias, const X509Certificate& cert,
                          bool overwrite, bool persist);

  // GetCertificate returns the certificate of the entry under alias; throws
  // NoSuchEntryException when there is none.
  X509Certificate GetCertificate(const QxMoxStr::String_t& alias);
  // GetPrivateKey returns the private key of the own entry under alias; throws
  // NoSuchEntryException when there is no own entry under alias.
  Key GetPrivateKey(const QxMoxStr::String_t& alias);

  // RemoveCertificate removes the entry (own or trusted, persisted or session) under alias.
  // Returns true when one was removed, false when there was none (not an error, so removal can
  // be repeated safely).
  bool RemoveCertificate(const QxMoxStr::String_t& alias);

 private:
  KeyStoreDb& Db();
  std::mutex m_mutex;
  std::unique_ptr<KeyStoreDb> m_db;
};

}  // namespace QxSecCore
