// CertificateIssuer: the steps of issuing a certificate that both builder twins share.
#pragma once

#include <cstdint>
#include <ctime>

#include "OpenSslPtr.h"
#include "qxmox/CharArray.h"
#include "qxmox/String.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"

namespace QxSecCm {

// CertificateIssuer holds the steps of the certificate builders. Each step checks its OpenSSL
// calls and throws the builder's catalog message (server side) at the first failure.
class CertificateIssuer {
 public:
  static constexpr int32_t kLifetime = 630720000;             // 7300 days
  static constexpr int32_t kDefaultNotBeforeOffset = -86400;  // one day back

  // ReadCaKey returns the CA's private key: message 1 (IllegalArgumentError_t) unless key is of
  // type 1, message 2 (IOException_t) when its PEM text is not an RSA private key.
  static QxSecCore::Ssl::EvpPkeyPtr ReadCaKey(const QxSecCore::Key& key);
  // ReadCaCert returns the CA certificate parsed from its PEM text (messages 3, 4), after
  // checking that key belongs to it (message 2 as IOException_t otherwise).
  static QxSecCore::Ssl::X509Ptr ReadCaCert(const QxSecCore::X509Certificate& cert, EVP_PKEY* key);
  // NotBeforeOffset returns the builder's offset for the configured "NOT_BEFORE_OFFSET" text:
  // -value for a value of 0 or more, the default for a null, empty or negative one.
  static int32_t NotBeforeOffset(const QxMoxStr::String_t& configured);

  // ParseRequest reads a PEM request (messages 3, 5); never asks for a password.
  static QxSecCore::Ssl::X509ReqPtr ParseRequest(const QxMoxArray::CharArray_t& csr);
  // VerifyRequest checks the request's self-signature with its own public key (messages 6, 7).
  static void VerifyRequest(X509_REQ* req);
  // NewCertificate returns an empty certificate (message 8).
  static QxSecCore::Ssl::X509Ptr NewCertificate();
  // Fill sets version 3, serial, the request's subject, issuerName, the request's public key and
  // the validity now + notBeforeOffset .. now + lifetime (messages 8 to 15).
  static void Fill(X509* cert, uint32_t serial, X509_REQ* req, const X509_NAME* issuerName,
                   std::time_t now, int32_t notBeforeOffset, int32_t lifetime);
  // CopyPublicKey gives cert the request's SubjectPublicKeyInfo, algorithm parameters and key
  // bits copied as they are, without decoding the key and encoding it again (message 13).
  static void CopyPublicKey(X509* cert, X509_REQ* req);
  // AddExtensions adds the five extensions in their order, issuer naming the issuing
  // certificate (messages 16, 17).
  static void AddExtensions(X509* cert, X509* issuer, bool isCA);
  // Sign signs cert with key and SHA-1 (message 18).
  static void Sign(X509* cert, EVP_PKEY* key);
  // WritePem stores cert's PEM text in out and returns its length (messages 3, 19).
  static int WritePem(X509* cert, QxMoxArray::CharArray_t& out);

  // CreateSelfSigned makes a new key pair and a self-signed certificate with serial 0 from it,
  // and assigns them to cert and key only when both are made.
  static void CreateSelfSigned(const QxMoxStr::String_t& commonName,
                               const QxMoxStr::String_t& localityName, bool isCA,
                               QxSecCore::X509Certificate& cert, QxSecCore::Key& key);
};

}  // namespace QxSecCm
