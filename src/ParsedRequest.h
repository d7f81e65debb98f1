// ParsedRequest: a PKCS#10 certificate request read for issuing.
#pragma once

#include <openssl/x509.h>

#include <memory>

#include "OpenSslPtr.h"
#include "qxmox/CharArray.h"

namespace QxSecCm {

struct RawRequest;
// RawRequestItem returns the ASN.1 template of RawRequest.
const ASN1_ITEM* RawRequestItem();

// ParsedRequest holds a request's fields as they were encoded. Unlike X509_REQ it does not turn
// the public key into a key object while parsing: OpenSSL 3.0 builds a decoder chain for that,
// which costs more than the whole rest of issuing. The key is decoded only to check the request's
// signature, through the RSA decoder directly when it is an RSA key; the certificate gets the
// key's encoding as it stands.
class [[gnu::visibility("hidden")]] ParsedRequest {
 public:
  // FromPem reads a PEM request ("CERTIFICATE REQUEST" or "NEW CERTIFICATE REQUEST"); message 5
  // when it cannot. Never asks for a password, so PEM text claiming encryption fails too.
  static ParsedRequest FromPem(const QxMoxArray::CharArray_t& pem);

  ParsedRequest(ParsedRequest &&) noexcept;
  ParsedRequest& operator=(ParsedRequest&&) noexcept;
  ~ParsedRequest();

  // Verify checks the request's signature with the request's own public key: message 6 when
  // the key cannot be decoded, message 7 when the signature does not verify.
  void Verify() const;
  // Subject returns the request's subject name (owned by this object).
  const X509_NAME* Subject() const;
  // CopyPublicKeyTo gives cert the request's SubjectPublicKeyInfo: the algorithm with its
  // parameters and the key bits, copied as they are (message 13).
  void CopyPublicKeyTo(X509 * cert) const;

 private:
  using Fields = QxSecCore::Ssl::Asn1ItemPtr<RawRequest, RawRequestItem>;
  explicit ParsedRequest(Fields fields);

  Fields m_fields;
};

}  // namespace QxSecCm
