// ServerIdentity: the server's CA and TLS identity in the key store.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qxmox/CharArray.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"
#include "qxseccore/KeyStore.h"

namespace QxCmServer {

// ServerIdentity reads (and on first start makes) what the server signs and proves itself with.
// The key store is the process's (QX_HOME/data/keystore.db); CORE_ID must already name the
// server in this process (its CA alias is CertificateBuilder::GetCAAlias()).
class ServerIdentity {
 public:
  // Ensure makes, when the key store has no entry under the CA alias, in one key store
  // transaction: the self-signed CA (own entry under the CA alias), a trusted entry for the CA
  // certificate (alias: its common name "<coreId> CA"), and the TLS identity: a certificate for
  // coreId issued by that CA (serial file, NOT_BEFORE_OFFSET) as the own entry under coreId.
  // Returns true when it made them. Throws the key store's and the builder's exceptions; then
  // nothing is stored.
  static bool Ensure(const std::string& coreId);

  // ServerIdentity() reads the CA's certificate and key. Throws
  // QxSecCore::NoSuchEntryException when the CA is not there.
  ServerIdentity();

  const QxSecCore::X509Certificate& CaCertificate() const { return m_caCert; }
  const QxSecCore::Key& CaKey() const { return m_caKey; }

  // TrustedCertificates returns the key store's trusted entries (not own entries) as PEM, the
  // CA's certificate first, each certificate once. The list is kept while the key store's
  // change stamp stays the same, since reading and parsing it costs more than issuing a
  // certificate; any write to the key store, by this process or another, makes the next call
  // read it again. Thread-safe.
  std::vector<QxMoxArray::CharArray_t> TrustedCertificates() const;

 private:
  // TrustedList is the list as read, with the key store's change stamp at that moment.
  struct TrustedList {
    std::pair<int64_t, int64_t> stamp;
    std::vector<QxMoxArray::CharArray_t> pems;
  };
  std::vector<QxMoxArray::CharArray_t> ReadTrustedCertificates() const;

  mutable QxSecCore::KeyStore m_store;  // the server's own connection, for reading
  QxSecCore::X509Certificate m_caCert;
  QxSecCore::Key m_caKey;
  mutable std::mutex m_trustedMutex;
  mutable std::optional<TrustedList> m_trusted;  // guarded by m_trustedMutex
};

}  // namespace QxCmServer
