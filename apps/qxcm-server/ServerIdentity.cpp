// ServerIdentity: creation of the CA and TLS identity, and the trusted certificates handed out.
#include "ServerIdentity.h"

#include <algorithm>

#include "qxseccm/CertRequest.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/KeyStore.h"

namespace QxCmServer {
namespace {

constexpr const char* kLocality = "Certificate server";

}  // namespace

bool ServerIdentity::Ensure(const std::string& coreId) {
  const QxMoxStr::String_t caAlias = QxSecCm::CertificateBuilder::GetCAAlias();
  QxSecCore::KeyStore store;
  QxSecCore::KeyStore::Group group(store);
  // Checked inside the group: two servers starting on one key store make one CA.
  if (store.IsCertEntry(caAlias)) return false;

  QxSecCore::X509Certificate caCert;
  QxSecCore::Key caKey;
  QxSecCm::CertificateBuilder::CreateSelfSignedCertificate(QxMoxStr::String_t(coreId + " CA"),
                                                           kLocality, true, caCert, caKey);
  const QxSecCm::X509CertRequest tlsRequest(QxMoxStr::String_t(coreId), kLocality);
  QxMoxArray::CharArray_t csr, pem;
  tlsRequest.GetEncoded(csr);
  QxSecCm::CertificateBuilder(caCert, caKey)
      .BuildCertificate(QxSecCm::CertRequest(), csr, pem, false);

  store.InstallCertificate(caAlias, caCert, caKey, false, true);
  store.InstallCertificate(caCert.GetSubjectCN(), caCert, false, true);
  store.InstallCertificate(QxMoxStr::String_t(coreId), QxSecCore::X509Certificate(pem),
                           tlsRequest.GetPrivateKey(), false, true);
  group.Commit();
  return true;
}

ServerIdentity::ServerIdentity() {
  const QxMoxStr::String_t caAlias = QxSecCm::CertificateBuilder::GetCAAlias();
  m_caCert = m_store.GetCertificate(caAlias);
  m_caKey = m_store.GetPrivateKey(caAlias);
}

std::vector<QxMoxArray::CharArray_t> ServerIdentity::TrustedCertificates() const {
  std::lock_guard lock(m_trustedMutex);
  // Stamped before reading: a write in between leaves a list newer than its stamp, which the
  // next call reads again.
  const std::pair<int64_t, int64_t> stamp = m_store.ChangeStamp();
  if (!m_trusted || m_trusted->stamp != stamp)
    m_trusted = TrustedList{stamp, ReadTrustedCertificates()};
  return m_trusted->pems;
}

std::vector<QxMoxArray::CharArray_t> ServerIdentity::ReadTrustedCertificates() const {
  std::vector<QxSecCore::X509Certificate> certs{m_caCert};
  QxSecCore::StringCollection aliases;
  m_store.Aliases(aliases);
  for (aliases.MoveFirst(); !aliases.IsAtEnd(); aliases.Next()) {
    const QxMoxStr::String_t& alias = aliases.GetCurrent();
    if (!m_store.IsTrustedCertEntry(alias) || m_store.IsPrivateKeyEntry(alias)) continue;
    const QxSecCore::X509Certificate cert = m_store.GetCertificate(alias);
    if (std::find(certs.begin(), certs.end(), cert) == certs.end()) certs.push_back(cert);
  }
  std::vector<QxMoxArray::CharArray_t> pems;
  for (const QxSecCore::X509Certificate& cert : certs) pems.push_back(cert.GetEncoded());
  return pems;
}

}  // namespace QxCmServer
