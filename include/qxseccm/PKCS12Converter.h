// PKCS12Converter: a certificate and its private key to and from a password-protected PKCS#12 blob.
#pragma once

#include "qxmox/CharArray.h"
#include "qxseccm/X509CertList.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"

namespace QxSecCm {

// Pkcs12Profile names the algorithms a PKCS#12 blob is written with.
//   LEGACY  the converter's fixed parameters (below): readable by old tools, but OpenSSL 3 reads
//           its RC2-40 certificate bags only with its legacy provider.
//   MODERN  key and certificate bags with PBES2 (PBKDF2 with HMAC-SHA256, AES-256-CBC), 2048
//           iterations; the MAC is HMAC-SHA256 with 2048 iterations.
enum class Pkcs12Profile { LEGACY, MODERN };

// PKCS12Converter packs a certificate, its RSA private key and optionally further certificates
// (a CA chain) into the DER encoding of a PKCS#12 structure, and unpacks one again. It has only
// static members and no state; each member first runs the library's one-time crypto set-up
// (Initializer::GlobalInit) and may be called from several threads at once.
//
// Blobs are written with fixed parameters, whatever the OpenSSL release would choose itself:
//   private key bag   pbeWithSHA1And3-KeyTripleDES-CBC, 2048 iterations
//   certificate bags  pbeWithSHA1And40BitRC2-CBC, 2048 iterations
//   MAC               HMAC-SHA1, 1 iteration
//   attributes        the friendly name and the SHA-1 digest of the certificate as local key
//                     identifier, on the key and on the certificate
//
// Password and friendly name are byte arrays holding text: the text is the bytes up to the
// first NUL, or all of them when there is none (so a trailing NUL is optional). An empty
// friendly name writes no friendly name attribute.
//
// Failures are traced and thrown as QxMoxMsg::RuntimeException_t carrying a message of the
// library's catalog, where "(%1)" is OpenSSL's text of the first error it reported:
//   2  "Could not create key from provided data (%1)."     the key is not an RSA private key
//   3  "Could not create memory buffer."
//   4  "Could not parse encoded X509 Certificate (%1)."
//   57 "Could not create PKCS12 structure (%1)."            also a key that does not match the
//                                                           certificate
//   58 "Wrong password."                                    the MAC does not verify
//   59 "Could not read PKCS12 structure (%1)."
//   60 "Could not write x509 structure to memory buffer (%1)."
//   61 "Could not write key to memory buffer (%1)."         also a key that is not RSA ("only
//                                                           RSA keys are supported")
//   62 "Could not write PKCS12 structure to memory buffer (%1)."
//   63 "Could not read PKCS12 structure from memory buffer (%1)."   not DER PKCS#12, truncated,
//                                                           followed by further bytes, or empty
// An empty certificate or key argument throws QxMoxMsg::IllegalStateError_t. A failed call
// leaves every output argument as it was.
class PKCS12Converter {
 public:
  // Encode(cert, key, friendlyName, password, out) replaces the content of out with a PKCS#12
  // blob holding cert and key and no further certificates; returns out.
  static QxMoxArray::CharArray_t& Encode(const QxSecCore::X509Certificate& cert,
                                         const QxSecCore::Key& key,
                                         const QxMoxArray::CharArray_t& friendlyName,
                                         const QxMoxArray::CharArray_t& password,
                                         QxMoxArray::CharArray_t& out);
  // Encode(cert, key, list, friendlyName, password, out) does the same and adds the
  // certificates of list, in list order, as further certificates (an empty list adds none).
  static QxMoxArray::CharArray_t& Encode(const QxSecCore::X509Certificate& cert,
                                         const QxSecCore::Key& key, const X509CertList& list,
                                         const QxMoxArray::CharArray_t& friendlyName,
                                         const QxMoxArray::CharArray_t& password,
                                         QxMoxArray::CharArray_t& out);

  // EncodeWithProfile(cert, key, list, friendlyName, password, profile, out) is Encode with the
  // certificates of list written with the algorithms of profile; Encode is this with LEGACY.
  static QxMoxArray::CharArray_t& EncodeWithProfile(const QxSecCore::X509Certificate& cert,
                                                    const QxSecCore::Key& key,
                                                    const X509CertList& list,
                                                    const QxMoxArray::CharArray_t& friendlyName,
                                                    const QxMoxArray::CharArray_t& password,
                                                    Pkcs12Profile profile,
                                                    QxMoxArray::CharArray_t& out);

  // Decode(cert, key, password, data) unpacks the PKCS#12 blob in data. The certificate that
  // belongs to the blob's private key is assigned to cert and the key (an RSA key, type 1) to
  // key. When the blob has no private key, or none of its certificates matches it, cert is
  // left as it was; when it has no key, key is left as it was. Further certificates are
  // ignored. Wrong password: message 58; any other failure: 59 or 63 (see above).
  static void Decode(QxSecCore::X509Certificate& cert, QxSecCore::Key& key,
                     const QxMoxArray::CharArray_t& password, const QxMoxArray::CharArray_t& data);
  // Decode(cert, key, list, password, data) does the same and appends the blob's further
  // certificates to the end of list, in the order they appear in the blob; entries already in
  // list are kept.
  static void Decode(QxSecCore::X509Certificate& cert, QxSecCore::Key& key, X509CertList& list,
                     const QxMoxArray::CharArray_t& password, const QxMoxArray::CharArray_t& data);
};

}  // namespace QxSecCm
