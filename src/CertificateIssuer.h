// CertificateIssuer: the steps of issuing a certificate that both builder twins share.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

#include "OpenSslPtr.h"
#include "ParsedRequest.h"
#include "qxmox/CharArray.h"
#include "qxmox/String.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"

namespace QxSecCm {

// IssuerExtensions holds the extensions of an issued certificate that depend only on its issuer
// and on isCA (authorityKeyIdentifier, basicConstraints, keyUsage, nsComment), made once so each
// certificate only copies them; the subjectKeyIdentifier, a hash of the certificate's own key,
// is made per certificate. Adding reads the set only: several threads may share one.
class __attribute__((visibility("hidden"))) IssuerExtensions {
 public:
  static constexpr size_t kCount = 4;

  // IssuerExtensions(issuer, isCA) makes the extensions for certificates issuer signs, with the
  // CA values when isCA (message 16). It keeps no reference to issuer.
  IssuerExtensions(X509* issuer, bool isCA);
  // AddTo adds to cert copies of the set's extensions and then cert's subjectKeyIdentifier,
  // made from the public key cert holds, in the certificate's order (messages 16, 17).
  void AddTo(X509* cert) const;

 private:
  std::array<QxSecCore::Ssl::X509ExtensionPtr, kCount> m_extensions;
};

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

  // CheckSubject throws QxMoxMsg::IllegalArgumentError_t with a sentence naming the attribute
  // when a value of subject is not UTF-8 text (in its ASN.1 string type) or holds a control
  // character (below U+0020, or U+007F): such a name could pass for two in a listing.
  static void CheckSubject(const X509_NAME* subject);
  // NewCertificate returns an empty certificate (message 8).
  static QxSecCore::Ssl::X509Ptr NewCertificate();
  // Fill sets version 3, serial, the request's subject, issuerName, the request's public key and
  // the validity now + notBeforeOffset .. now + lifetime (messages 8 to 15). The key is copied as
  // encoded, never decoded and encoded again: that gives the same bytes for every key encoded in
  // DER, which a request whose signature verified always is.
  static void Fill(X509* cert, uint32_t serial, const ParsedRequest& req,
                   const X509_NAME* issuerName, std::time_t now, int32_t notBeforeOffset,
                   int32_t lifetime);
  // AddExtensions adds the five extensions in their order, issuer naming the issuing
  // certificate (messages 16, 17): IssuerExtensions(issuer, isCA).AddTo(cert).
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
