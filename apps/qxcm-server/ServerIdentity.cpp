// ServerIdentity: creation of the CA and TLS identity, and the trusted certificates handed out.
#include "ServerIdentity.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

#include "qxmox/Runtime.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/KeyStore.h"

namespace QxCmServer {
namespace {

constexpr const char* kLocality = "Certificate server";

// FileStamp identifies path's content by device, inode, size and modification time; "-" when
// it does not exist, empty when it was written less than two seconds ago (or in the future):
// the modification time advances with the kernel's clock tick only, so of two writes close
// together the second may leave it unchanged.
std::string FileStamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "-";
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec - st.st_mtim.tv_sec < 2) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
         std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

// KeyStoreStamp is the stamp of the key store's database and its write-ahead log; empty when
// either was just written.
std::string KeyStoreStamp() {
  const std::string db =
      QxMoxRuntime::Dir_t::Path(QxMoxRuntime::Dir_t::DIR_DATA, "keystore.db").ToUtf8();
  const std::string dbStamp = FileStamp(db), walStamp = FileStamp(db + "-wal");
  if (dbStamp.empty() || dbStamp == "-" || walStamp.empty()) return "";
  return dbStamp + "/" + walStamp;
}

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
  QxSecCore::KeyStore store;
  m_caCert = store.GetCertificate(caAlias);
  m_caKey = store.GetPrivateKey(caAlias);
}

std::vector<QxMoxArray::CharArray_t> ServerIdentity::TrustedCertificates() const {
  // Stamped before reading: a write in between leaves a list newer than its stamp, which the
  // next call reads again.
  const std::string stamp = KeyStoreStamp();
  std::lock_guard lock(m_trustedMutex);
  if (!stamp.empty() && m_trusted && m_trusted->stamp == stamp) return m_trusted->pems;
  std::vector<QxMoxArray::CharArray_t> pems = ReadTrustedCertificates();
  if (!stamp.empty()) m_trusted = TrustedList{stamp, pems};
  return pems;
}

std::vector<QxMoxArray::CharArray_t> ServerIdentity::ReadTrustedCertificates() const {
  std::vector<QxSecCore::X509Certificate> certs{m_caCert};
  QxSecCore::KeyStore store;
  QxSecCore::StringCollection aliases;
  store.Aliases(aliases);
  for (aliases.MoveFirst(); !aliases.IsAtEnd(); aliases.Next()) {
    const QxMoxStr::String_t& alias = aliases.GetCurrent();
    if (!store.IsTrustedCertEntry(alias) || store.IsPrivateKeyEntry(alias)) continue;
    const QxSecCore::X509Certificate cert = store.GetCertificate(alias);
    if (std::find(certs.begin(), certs.end(), cert) == certs.end()) certs.push_back(cert);
  }
  std::vector<QxMoxArray::CharArray_t> pems;
  for (const QxSecCore::X509Certificate& cert : certs) pems.push_back(cert.GetEncoded());
  return pems;
}

}  // namespace QxCmServer
