// CertificateIssuer: request checks, certificate content, extensions, signature and PEM output.
#include "CertificateIssuer.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <string>

#include "CryptoSupport.h"
#include "SubjectValue.h"
#include "qxseccm/ExceptionTracer.h"
#include "qxseccm/X509CertRequest.h"

namespace QxSecCm {
namespace Ssl = QxSecCore::Ssl;
namespace {

struct Extension {
  const char* name;
  const char* value;
  const char* caValue;
};
// In ascending byte order of the names, which is the order in the certificate. All but the
// last depend only on the issuer and isCA; the last is the hash of the certificate's own key.
constexpr Extension kExtensions[] = {
    {"authorityKeyIdentifier", "keyid,issuer:always", "keyid,issuer:always"},
    {"basicConstraints", "CA:FALSE", "CA:TRUE"},
    {"keyUsage", "nonRepudiation,digitalSignature,keyEncipherment",
     "nonRepudiation,digitalSignature,keyEncipherment,keyCertSign"},
    {"nsComment", "MT Quillax Certificate", "MT Quillax Certificate"},
    {"subjectKeyIdentifier", "hash", "hash"},
};

static_assert(std::size(kExtensions) == IssuerExtensions::kCount + 1);
constexpr const Extension& kSubjectKeyIdentifier = kExtensions[IssuerExtensions::kCount];

constexpr ExceptionTracer::E kSide = ExceptionTracer::Server;

Ssl::X509ExtensionPtr MakeExtension(X509V3_CTX* context, const Extension& row, bool isCA) {
  Ssl::X509ExtensionPtr extension(
      X509V3_EXT_conf(nullptr, context, row.name, isCA ? row.caValue : row.value));
  if (extension == nullptr) Crypto::Fail(kSide, 16);
  return extension;
}

// Add adds a copy of extension to cert.
void Add(X509* cert, X509_EXTENSION* extension) {
  if (X509_add_ext(cert, extension, -1) != 1) Crypto::Fail(kSide, 17);
}

}  // namespace

// Only the issuer is given: the authorityKeyIdentifier reads its subjectKeyIdentifier, issuer
// name and serial number, and nothing of the certificate it goes into while no issuer key is.
IssuerExtensions::IssuerExtensions(X509* issuer, bool isCA) {
  X509V3_CTX context{};
  X509V3_set_ctx(&context, issuer, nullptr, nullptr, nullptr, 0);
  for (size_t i = 0; i < kCount; ++i)
    m_extensions[i] = MakeExtension(&context, kExtensions[i], isCA);
}

void IssuerExtensions::AddTo(X509* cert) const {
  for (const Ssl::X509ExtensionPtr& extension : m_extensions) Add(cert, extension.get());
  X509V3_CTX context{};
  X509V3_set_ctx(&context, nullptr, cert, nullptr, nullptr, 0);
  Add(cert, MakeExtension(&context, kSubjectKeyIdentifier, false).get());
}

Ssl::EvpPkeyPtr CertificateIssuer::ReadCaKey(const QxSecCore::Key& key) {
  if (key.GetType() != QxSecCore::Key::TYPE_RSA_PRIVATE) {
    Crypto::Fail<QxMoxMsg::IllegalArgumentError_t>(kSide, 1);
  }
  const QxMoxArray::CharArray_t pem = key.GetEncoded();
  const Ssl::BioPtr bio = Crypto::MemoryOf(pem, kSide);  // reads pem in place: pem outlives it
  Ssl::EvpPkeyPtr caKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, Crypto::NoPassword, nullptr));
  if (caKey == nullptr || !EVP_PKEY_is_a(caKey.get(), "RSA")) {
    Crypto::Fail<QxMoxIo::IOException_t>(kSide, 2);
  }
  return caKey;
}

Ssl::X509Ptr CertificateIssuer::ReadCaCert(const QxSecCore::X509Certificate& cert, EVP_PKEY* key) {
  const QxMoxArray::CharArray_t pem = cert.IsNull() ? QxMoxArray::CharArray_t() : cert.GetEncoded();
  const Ssl::BioPtr bio = Crypto::MemoryOf(pem, kSide);
  Ssl::X509Ptr caCert(PEM_read_bio_X509(bio.get(), nullptr, Crypto::NoPassword, nullptr));
  if (caCert == nullptr) Crypto::Fail(kSide, 4);
  // A key that is not the certificate's would sign certificates that nothing can verify.
  if (X509_check_private_key(caCert.get(), key) != 1)
    Crypto::Fail<QxMoxIo::IOException_t>(kSide, 2);
  return caCert;
}

int32_t CertificateIssuer::NotBeforeOffset(const QxMoxStr::String_t& configured) {
  if (configured.IsNull() || configured.IsEmpty()) return kDefaultNotBeforeOffset;
  // As atoi reads it: blanks, a sign, the leading digits; no digits give 0. Saturated, not
  // overflowed.
  const std::string text = configured.ToUtf8();
  size_t i = text.find_first_not_of(" \t\n\v\f\r");
  if (i == std::string::npos) return 0;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), INT32_MAX);
  }
  if (negative && value > 0) return kDefaultNotBeforeOffset;
  return static_cast<int32_t>(-value);
}

void CertificateIssuer::CheckSubject(const X509_NAME* subject) {
  for (int i = 0; i < X509_NAME_entry_count(subject); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, i);
    unsigned char* raw = nullptr;
    const int length = ASN1_STRING_to_UTF8(&raw, X509_NAME_ENTRY_get_data(entry));
    const Ssl::OpenSslBytes utf8(raw);
    ERR_clear_error();
    const char* name = OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)));
    SubjectValue::Check(
        ExceptionTracer::Server,
        std::string("value of ") + (name != nullptr ? name : "an attribute") +
            " in the request's subject",
        length < 0 ? std::nullopt
                   : std::optional<std::string>(std::string(reinterpret_cast<const char*>(raw),
                                                            static_cast<size_t>(length))));
  }
}

Ssl::X509Ptr CertificateIssuer::NewCertificate() {
  Ssl::X509Ptr cert(X509_new());
  if (cert == nullptr) Crypto::Fail(kSide, 8);
  return cert;
}

void CertificateIssuer::Fill(X509* cert, uint32_t serial, const ParsedRequest& req,
                             const X509_NAME* issuerName, std::time_t now, int32_t notBeforeOffset,
                             int32_t lifetime) {
  if (X509_set_version(cert, 2) != 1) Crypto::Fail(kSide, 9);
  if (ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(serial)) != 1)
    Crypto::Fail(kSide, 8);
  const X509_NAME* subject = req.Subject();
  if (subject == nullptr) Crypto::Fail(kSide, 10);
  if (X509_set_subject_name(cert, subject) != 1) Crypto::Fail(kSide, 11);
  if (X509_set_issuer_name(cert, issuerName) != 1) Crypto::Fail(kSide, 12);
  req.CopyPublicKeyTo(cert);
  // One moment for both ends, so the validity is exactly lifetime - notBeforeOffset long.
  if (X509_time_adj_ex(X509_getm_notBefore(cert), 0, notBeforeOffset, &now) == nullptr) {
    Crypto::Fail(kSide, 14);
  }
  if (X509_time_adj_ex(X509_getm_notAfter(cert), 0, lifetime, &now) == nullptr)
    Crypto::Fail(kSide, 15);
}

void CertificateIssuer::AddExtensions(X509* cert, X509* issuer, bool isCA) {
  IssuerExtensions(issuer, isCA).AddTo(cert);
}

void CertificateIssuer::Sign(X509* cert, EVP_PKEY* key) {
  if (X509_sign(cert, key, EVP_sha1()) <= 0) Crypto::Fail(kSide, 18);
}

int CertificateIssuer::WritePem(X509* cert, QxMoxArray::CharArray_t& out) {
  const Ssl::BioPtr bio = Crypto::NewMemory(kSide, BIO_s_mem());
  if (PEM_write_bio_X509(bio.get(), cert) != 1) Crypto::Fail(kSide, 19);
  return Crypto::CopyOut(bio.get(), out);
}

void CertificateIssuer::CreateSelfSigned(const QxMoxStr::String_t& commonName,
                                         const QxMoxStr::String_t& localityName, bool isCA,
                                         QxSecCore::X509Certificate& cert, QxSecCore::Key& key) {
  const X509CertRequest request(commonName, localityName);
  QxMoxArray::CharArray_t csr;
  request.GetEncoded(csr);
  const ParsedRequest req = ParsedRequest::FromPem(csr);
  const Ssl::X509Ptr selfSigned = NewCertificate();
  Fill(selfSigned.get(), 0, req, req.Subject(), std::time(nullptr), kDefaultNotBeforeOffset,
       kLifetime);
  AddExtensions(selfSigned.get(), selfSigned.get(), isCA);
  Sign(selfSigned.get(), request.GetKeyPair());
  QxMoxArray::CharArray_t pem;
  WritePem(selfSigned.get(), pem);
  QxSecCore::X509Certificate newCert(pem);
  QxSecCore::Key newKey = request.GetPrivateKey();
  cert = newCert;
  key = newKey;
}

}  // namespace QxSecCm
