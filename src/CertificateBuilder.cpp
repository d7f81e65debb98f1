// CertificateBuilder: the members of both certificate builder twins, written once and
// instantiated for each.
#include "qxseccm/CertificateBuilder.h"

#include <algorithm>
#include <ctime>

#include "CertificateIssuer.h"
#include "CryptoSupport.h"
#include "SerialFile.h"
#include "TraceMacros.h"
#include "qxmox/Config.h"
#include "qxmox/Sync.h"
#include "qxseccm/Initializer.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm {

// The name of the serial-number file's machine-wide lock, shared by both twins.
inline constexpr const char* kSerialLockName = "7d41c0e6-2a9f-4b18-8c35-91e0d6a4b2f7";

// One lock object per twin; each instantiation below has its own.
template <class Traits>
QxMoxSync::ProcessSync_t CertificateBuilderT<Traits>::s_serialLock{kSerialLockName};

template <class Traits>
void CertificateBuilderT<Traits>::CertFree::operator()(X509* cert) const noexcept {
  QxSecCore::Ssl::X509Ptr{cert};
}

template <class Traits>
void CertificateBuilderT<Traits>::KeyFree::operator()(EVP_PKEY* key) const noexcept {
  QxSecCore::Ssl::EvpPkeyPtr{key};
}

template <class Traits>
CertificateBuilderT<Traits>::CertificateBuilderT(const QxSecCore::X509Certificate& caCert,
                                                 const QxSecCore::Key& caKey)
    : m_lifetime(CertificateIssuer::kLifetime),
      m_notBeforeOffset(CertificateIssuer::kDefaultNotBeforeOffset) {
  Initializer::GlobalInit();
  ERR_clear_error();  // an earlier call's leftover error must not name this call's failure
  m_caKey.reset(CertificateIssuer::ReadCaKey(caKey).release());
  m_caCert.reset(CertificateIssuer::ReadCaCert(caCert, m_caKey.get()).release());
  for (const bool isCA : {false, true}) {
    m_extensions[isCA] = std::make_unique<const IssuerExtensions>(m_caCert.get(), isCA);
  }
  m_notBeforeOffset = CertificateIssuer::NotBeforeOffset(
      QxMoxConfig::ConfigNamespace_t("sec.cm.server").Open().GetValue("NOT_BEFORE_OFFSET"));
  QXSECCM_TRACE_LINE(
      QxSecCmTrc::Tracer::GetServerTracerInit(), 9,
      Traits::kName << ": NOT_BEFORE_OFFSET set to: " << static_cast<int>(m_notBeforeOffset));
}

template <class Traits>
CertificateBuilderT<Traits>::~CertificateBuilderT() = default;

template <class Traits>
long CertificateBuilderT<Traits>::GetNotBeforeOffset() const {
  return -static_cast<long>(m_notBeforeOffset);
}

template <class Traits>
uint32_t CertificateBuilderT<Traits>::NextSerial() {
  const std::lock_guard lock(m_serialMutex);
  if (m_nextSerial == m_endSerial) {
    const SerialFile::Block block = SerialFile::Reserve(s_serialLock, m_serialBlock);
    m_nextSerial = block.first;
    m_endSerial = m_nextSerial + block.count;
  }
  return static_cast<uint32_t>(m_nextSerial++);
}

template <class Traits>
void CertificateBuilderT<Traits>::SetSerialBlock(uint32_t count) {
  const std::lock_guard lock(m_serialMutex);
  m_serialBlock = std::max(count, uint32_t{1});
}

template <class Traits>
int CertificateBuilderT<Traits>::BuildCertificate(const Request& /*request*/,
                                                  const QxMoxArray::CharArray_t& csr,
                                                  QxMoxArray::CharArray_t& out, bool isCA,
                                                  IssuedCertificate* issued) {
  ERR_clear_error();  // an earlier call's leftover error must not name this call's failure
  const ParsedRequest req = ParsedRequest::FromPem(csr);
  // Before a serial number is drawn: a refused request must not use one up.
  req.Verify();
  CertificateIssuer::CheckSubject(req.Subject());
  const auto cert = CertificateIssuer::NewCertificate();
  const uint32_t serial = NextSerial();
  const std::time_t now = std::time(nullptr);
  CertificateIssuer::Fill(cert.get(), serial, req, X509_get_subject_name(m_caCert.get()), now,
                          m_notBeforeOffset, m_lifetime);
  m_extensions[isCA]->AddTo(cert.get());
  CertificateIssuer::Sign(cert.get(), m_caKey.get());
  const int length = CertificateIssuer::WritePem(cert.get(), out);
  if (issued != nullptr) {
    *issued = {serial, int64_t{now} + m_notBeforeOffset, int64_t{now} + m_lifetime};
  }
  return length;
}

template <class Traits>
QxMoxStr::String_t CertificateBuilderT<Traits>::GetCAAlias() {
  const QxMoxStr::String_t coreId =
      QxMoxConfig::ConfigNamespace_t("sec.core").Open().GetValue("CORE_ID");
  if (coreId.IsNull() || coreId.IsEmpty()) return QxMoxStr::String_t("");
  return QxMoxStr::String_t("CA_") + coreId;
}

template <class Traits>
void CertificateBuilderT<Traits>::CreateSelfSignedCertificate(
    const QxMoxStr::String_t& commonName, const QxMoxStr::String_t& localityName, bool isCA,
    QxSecCore::X509Certificate& cert, QxSecCore::Key& key) {
  Initializer::GlobalInit();
  ERR_clear_error();  // an earlier call's leftover error must not name this call's failure
  CertificateIssuer::CreateSelfSigned(commonName, localityName, isCA, cert, key);
}

// ---- the twins ------------------------------------------------------------------------------

template class CertificateBuilderT<CertificateBuilderTraits>;
template class CertificateBuilderT<CertificateBuilderTraits_ex>;

}  // namespace QxSecCm
