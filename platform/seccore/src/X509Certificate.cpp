// X509Certificate: PEM in and out through OpenSSL.
#include <openssl/pem.h>

#include <ctime>

#include "OpenSslPtr.h"
#include "qxseccore/Certificate.h"

namespace QxSecCore {
namespace {

using QxMoxStr::String_t;

std::shared_ptr<X509> ParsePem(const void* data, size_t length) {
  Ssl::BioPtr bio = Ssl::MemBio(data, length);
  Ssl::X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (cert == nullptr) Ssl::Throw<QxMoxMsg::IllegalArgumentError_t>("Invalid PEM certificate");
  return Ssl::ShareX509(std::move(cert));
}

String_t FirstCommonName(const X509_NAME* name) {
  const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (index < 0) return String_t("");
  const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  Ssl::OpenSslBytes owned(utf8);
  Ssl::Check(length >= 0, "Cannot decode certificate common name");
  return String_t(std::string_view(reinterpret_cast<const char*>(utf8), length));
}

int64_t ToEpochSeconds(const ASN1_TIME* time) {
  struct tm tm = {};
  Ssl::Check(time != nullptr && ASN1_TIME_to_tm(time, &tm) == 1, "Cannot read certificate date");
  return static_cast<int64_t>(timegm(&tm));
}

}  // namespace

X509Certificate::X509Certificate(const QxMoxArray::CharArray_t& pem)
    : m_cert(ParsePem(pem.GetData(), pem.GetSize())) {}

X509Certificate::X509Certificate(const QxMoxStr::String_t& pem) {
  const std::string utf8 = pem.ToUtf8();
  m_cert = ParsePem(utf8.data(), utf8.size());
}

X509Certificate X509Certificate::FromNative(X509* cert) {
  if (cert == nullptr) QxMoxMsg::ThrowIllegalArgument("X509Certificate::FromNative: null");
  Ssl::Check(X509_up_ref(cert) == 1, "X509_up_ref");
  return X509Certificate(Ssl::ShareX509(Ssl::X509Ptr(cert)));
}

X509* X509Certificate::Checked() const {
  if (m_cert == nullptr) QxMoxMsg::ThrowIllegalState("X509Certificate is empty");
  return m_cert.get();
}

X509* X509Certificate::Native() const { return Checked(); }

QxMoxArray::CharArray_t X509Certificate::GetEncoded() const {
  X509* cert = Checked();
  Ssl::BioPtr bio(BIO_new(BIO_s_mem()));
  Ssl::Check(bio != nullptr && PEM_write_bio_X509(bio.get(), cert) == 1,
             "Cannot write PEM certificate");
  return QxMoxArray::CharArray_t(Ssl::BioBytes(bio.get()));
}

QxMoxStr::String_t X509Certificate::GetSubjectCN() const {
  return FirstCommonName(X509_get_subject_name(Checked()));
}

QxMoxStr::String_t X509Certificate::GetIssuerCN() const {
  return FirstCommonName(X509_get_issuer_name(Checked()));
}

bool X509Certificate::CheckValidity() const {
  X509* cert = Checked();
  const int afterStart = X509_cmp_current_time(X509_get0_notBefore(cert));
  const int beforeEnd = X509_cmp_current_time(X509_get0_notAfter(cert));
  // X509_cmp_current_time: -1 when the date is at or before now, 1 after, 0 unreadable.
  return afterStart < 0 && beforeEnd > 0;
}

int64_t X509Certificate::GetNotBefore() const {
  return ToEpochSeconds(X509_get0_notBefore(Checked()));
}

int64_t X509Certificate::GetNotAfter() const {
  return ToEpochSeconds(X509_get0_notAfter(Checked()));
}

QxMoxStr::String_t X509Certificate::GetSerial() const {
  Ssl::BignumPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(Checked()), nullptr));
  Ssl::Check(serial != nullptr, "Cannot read certificate serial number");
  Ssl::OpenSslString text(BN_bn2dec(serial.get()));
  Ssl::Check(text != nullptr, "BN_bn2dec");
  return String_t(text.get());
}

bool operator==(const X509Certificate& a, const X509Certificate& b) {
  if (a.m_cert == nullptr || b.m_cert == nullptr) return a.m_cert == b.m_cert;
  return X509_cmp(a.m_cert.get(), b.m_cert.get()) == 0;
}

}  // namespace QxSecCore
