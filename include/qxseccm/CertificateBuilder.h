// CertificateBuilder and CertificateBuilder_ex: the certificate authority's signing engine.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "qxmox/CharArray.h"
#include "qxmox/String.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace QxMoxSync {
class ProcessSync_t;
}

namespace QxSecCm {

class CertRequest;
class CertRequest_ex;
class IssuerExtensions;

// IssuedCertificate is what BuildCertificate wrote into a certificate it issued, for callers
// that would otherwise parse the PEM text again: the serial number, and the validity's ends in
// seconds since the epoch (UTC), exactly as in the certificate.
struct IssuedCertificate {
  uint32_t serial = 0;
  int64_t notBefore = 0;
  int64_t notAfter = 0;
};

// CertificateBuilderTraits and CertificateBuilderTraits_ex are what differs between the twins:
// the request record BuildCertificate accepts and the name in trace lines.
struct CertificateBuilderTraits {
  using Request = CertRequest;
  static constexpr const char* kName = "CertificateBuilder";
};
struct CertificateBuilderTraits_ex {
  using Request = CertRequest_ex;
  static constexpr const char* kName = "CertificateBuilder_ex";
};

// CertificateBuilderT turns PEM PKCS#10 requests into X.509 v3 certificates signed by a CA;
// CertificateBuilder and CertificateBuilder_ex are its two instantiations.
//
// An issued certificate holds: version 3; the next serial number of the machine (below); the
// request's subject, copied unchanged; the CA certificate's subject as issuer; the request's
// SubjectPublicKeyInfo, copied byte for byte; validity from now - GetNotBeforeOffset() to now +
// 7300 days; and, in this order and none critical, the extensions
//   authorityKeyIdentifier  keyid,issuer:always
//   basicConstraints        CA:FALSE                 (CA:TRUE for a CA)
//   keyUsage                nonRepudiation,digitalSignature,keyEncipherment  (+ keyCertSign)
//   nsComment               "MT Quillax Certificate"
//   subjectKeyIdentifier    hash
// signed with the CA key and SHA-1 (sha1WithRSAEncryption).
//
// Serial numbers come from the file "sec/cs/serial.dat" under the platform's data directory
// (QX_HOME/data): 4 bytes, the last number issued as unsigned little-endian (an absent or empty
// file counts as 0; one of 1 to 3 bytes is refused with message 21, as is one holding
// 4294967295, the last number it can hold, so no number is ever issued twice and the CA's
// serial 0 never again). Drawing one locks the machine-wide lock
// "7d41c0e6-2a9f-4b18-8c35-91e0d6a4b2f7" (a QxMoxSync::ProcessSync_t, one object per twin), so
// every builder of every process sharing the data directory takes turns; reads the number, adds
// 1, rewrites the file in place and makes it durable (fdatasync) before the lock is released, so
// no number is handed out twice, not even after a crash. SetSerialBlock (below) lets a builder
// reserve several numbers with one draw instead. The data directory and "sec/cs/" are
// created when missing and kept to their owner (mode 0700), the file too (0600); wider modes
// found are narrowed. A number drawn is used up
// even when a later step fails. A request is parsed, its signature verified and its subject
// checked before a number is drawn, so a refused request draws none.
//
// Failures are traced (server side) and thrown with a catalog message; "(%1)" is OpenSSL's error
// text, "'%1'" the path concerned:
//   QxMoxMsg::IllegalArgumentError_t  1 "Invalid key type."
//   QxMoxIo::IOException_t            2 "Could not create key from provided data (%1)."
//   QxMoxMsg::RuntimeException_t      3 memory buffer, 4 CA certificate, 5 request parsing,
//     6 request public key, 7 "Could not verify signature on certificate request.", 8 - 15
//     certificate fields, 16/17 extensions, 18 signing, 19 PEM output, 20 "Could not create
//     directory '%1'.", 21 "Could not open file '%1'.", 22 "Could not write to file '%1'."
//   QxMoxMsg::IllegalArgumentError_t  a request whose subject holds a value that is not UTF-8
//     text or holds a control character (below U+0020, or U+007F); the text names it
// A failure leaves the builder usable.
//
// A builder's state is read-only after construction, except for its reserved serial numbers,
// which a mutex guards: one builder may issue on several threads at once. Not copyable.
template <class Traits>
class CertificateBuilderT {
 public:
  using Request = typename Traits::Request;

  // CertificateBuilderT(caCert, caKey) runs the crypto set-up, then takes the CA key (type 1,
  // else message 1; unreadable, or not the key of caCert, message 2) and the CA certificate
  // (message 3 or 4), makes from it the extensions that are the same in every certificate it
  // signs (message 16), and reads "NOT_BEFORE_OFFSET" of configuration namespace "sec.cm.server":
  // a decimal number of seconds (leading digits; other text gives 0) before the moment of
  // issuing at which certificates become valid. Unset, empty or negative gives one day (86400).
  // Traces "<kName>: NOT_BEFORE_OFFSET set to: <-offset>" (server init tracer, level 9). A
  // configuration file that cannot be read throws its QxMoxIo::IOException_t.
  CertificateBuilderT(const QxSecCore::X509Certificate& caCert, const QxSecCore::Key& caKey);
  virtual ~CertificateBuilderT();
  CertificateBuilderT(const CertificateBuilderT&) = delete;
  CertificateBuilderT& operator=(const CertificateBuilderT&) = delete;

  // GetNotBeforeOffset returns how many seconds before the moment of issuing certificates
  // become valid (0 or more).
  long GetNotBeforeOffset() const;

  // BuildCertificate issues a certificate for the PEM request csr and stores it in out as PEM
  // text ("-----BEGIN CERTIFICATE-----", no terminating NUL; out is resized to its length);
  // returns the length. isCA selects the CA values of the extensions. request is accepted and
  // not consulted. When issued is not null, *issued receives the certificate's serial number
  // and validity. Throws as described above; out and *issued are unchanged then.
  int BuildCertificate(const Request& request, const QxMoxArray::CharArray_t& csr,
                       QxMoxArray::CharArray_t& out, bool isCA,
                       IssuedCertificate* issued = nullptr);

  // SetSerialBlock sets how many serial numbers one draw from the serial-number file reserves
  // (0 counts as 1). With 1, the default, each certificate draws its number and makes it
  // durable as described above. With more, a draw writes the last number of the whole block to
  // the file (durable, under the lock, as above) and the builder hands the block's numbers out
  // from memory, drawing again only when they are used up: one lock, file access and fdatasync
  // per count certificates instead of per certificate. The file always holds a number at or
  // above every number handed out, so no number is issued twice, across processes and crashes
  // too; the costs are gaps, since numbers reserved and not used when the builder is destroyed
  // or its process ends are never issued, and an order across builders that no longer follows
  // the order of issuing. Near 4294967295 a block is cut short at it. Takes effect at the next
  // draw; numbers already reserved are handed out first.
  void SetSerialBlock(uint32_t count);

  // GetCAAlias returns "CA_" followed by "CORE_ID" of configuration namespace "sec.core", or the
  // empty string when that is unset or empty: the key-store alias of the CA.
  static QxMoxStr::String_t GetCAAlias();

  // CreateSelfSignedCertificate generates a new key pair and request (X509CertRequest from
  // commonName and localityName) and makes from them a self-signed certificate: serial number
  // 0, issuer = subject, valid from one day before now for 7300 days, the extensions above with
  // the certificate as its own issuer (CA values when isCA). Assigns the certificate to cert and
  // the unencrypted private key (type 1) to key; on failure both are left as they were.
  static void CreateSelfSignedCertificate(const QxMoxStr::String_t& commonName,
                                          const QxMoxStr::String_t& localityName, bool isCA,
                                          QxSecCore::X509Certificate& cert, QxSecCore::Key& key);

 private:
  struct CertFree {
    void operator()(X509* cert) const noexcept;
  };
  struct KeyFree {
    void operator()(EVP_PKEY* key) const noexcept;
  };

  // The serial-number file's lock of this twin, made when the library is loaded.
  static QxMoxSync::ProcessSync_t s_serialLock;

  std::unique_ptr<X509, CertFree> m_caCert;
  std::unique_ptr<EVP_PKEY, KeyFree> m_caKey;
  int32_t m_lifetime;         // seconds of validity from the moment of issuing
  int32_t m_notBeforeOffset;  // added to the moment of issuing: 0 or negative
  // The extensions that depend only on m_caCert, made once, indexed by isCA; the threads
  // issuing only read them.
  std::array<std::unique_ptr<const IssuerExtensions>, 2> m_extensions;

  // Serial numbers reserved and not yet handed out: m_nextSerial up to, not including,
  // m_endSerial (64 bits, so a block ending at 4294967295 does not wrap).
  std::mutex m_serialMutex;
  uint32_t m_serialBlock = 1;
  uint64_t m_nextSerial = 0;
  uint64_t m_endSerial = 0;

  // NextSerial returns the next reserved number, reserving a block first when none is left.
  uint32_t NextSerial();
};

extern template class CertificateBuilderT<CertificateBuilderTraits>;
extern template class CertificateBuilderT<CertificateBuilderTraits_ex>;

// CertificateBuilder issues for the plain request record CertRequest.
class CertificateBuilder : public CertificateBuilderT<CertificateBuilderTraits> {
 public:
  using CertificateBuilderT::CertificateBuilderT;
};

// CertificateBuilder_ex issues for the extended request record CertRequest_ex.
class CertificateBuilder_ex : public CertificateBuilderT<CertificateBuilderTraits_ex> {
 public:
  using CertificateBuilderT::CertificateBuilderT;
};

}  // namespace QxSecCm
