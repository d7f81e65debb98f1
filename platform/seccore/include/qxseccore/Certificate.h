// X509Certificate: an X.509 certificate read from and written as PEM text.
#pragma once

#include <cstdint>
#include <memory>

#include "qxmox/CharArray.h"
#include "qxmox/String.h"

typedef struct x509_st X509;

namespace QxSecCore {

// X509Certificate holds one parsed certificate. Copies share the same immutable OpenSSL object,
// so copying is cheap and copies may be used from several threads at once.
//
// Bad input is the caller's: every constructor that parses throws
// QxMoxMsg::IllegalArgumentError_t carrying OpenSSL's error text when the bytes are not a PEM
// certificate. A default-constructed certificate is empty; every accessor of an empty one
// throws QxMoxMsg::IllegalStateError_t.
class X509Certificate {
 public:
  X509Certificate() = default;
  // X509Certificate(pem) parses the first "-----BEGIN CERTIFICATE-----" block of pem; text
  // before it is skipped, text after it ignored.
  explicit X509Certificate(const QxMoxArray::CharArray_t& pem);
  explicit X509Certificate(const QxMoxStr::String_t& pem);
  // FromNative wraps cert, taking a reference of its own (X509_up_ref): the caller keeps its
  // reference and frees it as before. Throws IllegalArgumentError_t for null.
  static X509Certificate FromNative(X509* cert);

  bool IsNull() const { return m_cert == nullptr; }
  // GetEncoded returns the certificate as PEM text.
  QxMoxArray::CharArray_t GetEncoded() const;
  // GetSubjectCN and GetIssuerCN return the first common name of the subject or issuer, the
  // empty string when the name has none.
  QxMoxStr::String_t GetSubjectCN() const;
  QxMoxStr::String_t GetIssuerCN() const;
  // CheckValidity is true when now lies within notBefore..notAfter (notAfter itself counts as
  // expired), false otherwise or when a date cannot be read.
  bool CheckValidity() const;
  // GetNotBefore and GetNotAfter return the validity dates in seconds since 1970 (UTC).
  int64_t GetNotBefore() const;
  int64_t GetNotAfter() const;
  // GetSerial returns the serial number in decimal ("-" before a negative one).
  QxMoxStr::String_t GetSerial() const;
  // Native returns the OpenSSL object, owned by this certificate and its copies; it stays
  // valid while one of them lives. Callers must not change it.
  X509* Native() const;

  // Certificates are equal when their DER encodings are.
  friend bool operator==(const X509Certificate& a, const X509Certificate& b);

 private:
  explicit X509Certificate(std::shared_ptr<X509> cert) : m_cert(std::move(cert)) {}
  X509* Checked() const;
  std::shared_ptr<X509> m_cert;
};

}  // namespace QxSecCore
