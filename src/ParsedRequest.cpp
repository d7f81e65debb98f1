// ParsedRequest: reading a certificate request with the key left encoded until it is needed.
#include "ParsedRequest.h"

#include <openssl/asn1t.h>
#include <openssl/pem.h>

#include "CryptoSupport.h"
#include "OpenSslPtr.h"
#include "qxseccm/ExceptionTracer.h"

namespace QxSecCm {
namespace Ssl = QxSecCore::Ssl;

// The request's fields in the shape of PKCS#10 (RFC 2986). The public key stays a plain
// AlgorithmIdentifier and BIT STRING; the request information keeps its encoding as received,
// which is what the signature covers.
struct RawPublicKey {
  X509_ALGOR* algorithm;
  ASN1_BIT_STRING* key;
};

struct RawRequestInfo {
  ASN1_ENCODING encoding;
  ASN1_INTEGER* version;
  X509_NAME* subject;
  RawPublicKey* publicKey;
  STACK_OF(X509_ATTRIBUTE) * attributes;
};

struct RawRequest {
  RawRequestInfo* info;
  X509_ALGOR* signatureAlgorithm;
  ASN1_BIT_STRING* signature;
};

ASN1_SEQUENCE(RawPublicKey) =
    {
        ASN1_SIMPLE(RawPublicKey, algorithm, X509_ALGOR),
        ASN1_SIMPLE(RawPublicKey, key, ASN1_BIT_STRING),
} static_ASN1_SEQUENCE_END(RawPublicKey)

    // The attributes are optional as in OpenSSL's own request template, which accepts requests
    // that leave them out although PKCS#10 does not.
    ASN1_SEQUENCE_enc(RawRequestInfo, encoding, nullptr) =
        {
            ASN1_SIMPLE(RawRequestInfo, version, ASN1_INTEGER),
            ASN1_SIMPLE(RawRequestInfo, subject, X509_NAME),
            ASN1_SIMPLE(RawRequestInfo, publicKey, RawPublicKey),
            ASN1_IMP_SET_OF_OPT(RawRequestInfo, attributes, X509_ATTRIBUTE, 0),
} static_ASN1_SEQUENCE_END_ref(RawRequestInfo, RawRequestInfo)

            ASN1_SEQUENCE(RawRequest) =
                {
                    ASN1_SIMPLE(RawRequest, info, RawRequestInfo),
                    ASN1_SIMPLE(RawRequest, signatureAlgorithm, X509_ALGOR),
                    ASN1_SIMPLE(RawRequest, signature, ASN1_BIT_STRING),
} static_ASN1_SEQUENCE_END(RawRequest)

                    namespace {
  constexpr ExceptionTracer::E kSide = ExceptionTracer::Server;

  // PublicKeyOf decodes the key for checking the signature. RSA keys go to the RSA decoder
  // directly; the decoded key must use every byte of the key bits. Other key types take OpenSSL's
  // general decoding of the whole SubjectPublicKeyInfo.
  Ssl::EvpPkeyPtr PublicKeyOf(const RawPublicKey& publicKey) {
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, publicKey.algorithm);
    if (OBJ_obj2nid(algorithm) == NID_rsaEncryption) {
      const unsigned char* bits = ASN1_STRING_get0_data(publicKey.key);
      const long length = ASN1_STRING_length(publicKey.key);
      const unsigned char* end = bits + length;
      Ssl::EvpPkeyPtr key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &bits, length));
      return bits == end ? std::move(key) : nullptr;
    }
    unsigned char* der = nullptr;
    const int length = ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(&publicKey), &der,
                                     ASN1_ITEM_rptr(RawPublicKey));
    const Ssl::OpenSslBytes owned(der);
    if (length <= 0) return nullptr;
    const unsigned char* in = der;
    return Ssl::EvpPkeyPtr(d2i_PUBKEY(nullptr, &in, length));
  }

}  // namespace

const ASN1_ITEM* RawRequestItem() { return ASN1_ITEM_rptr(RawRequest); }

ParsedRequest::ParsedRequest(Fields fields) : m_fields(std::move(fields)) {}
ParsedRequest::ParsedRequest(ParsedRequest&&) noexcept = default;
ParsedRequest& ParsedRequest::operator=(ParsedRequest&&) noexcept = default;
ParsedRequest::~ParsedRequest() = default;

ParsedRequest ParsedRequest::FromPem(const QxMoxArray::CharArray_t& pem) {
  const Ssl::BioPtr bio = Crypto::MemoryOf(pem, kSide);
  unsigned char* der = nullptr;
  long length = 0;
  if (PEM_bytes_read_bio(&der, &length, nullptr, PEM_STRING_X509_REQ, bio.get(), Crypto::NoPassword,
                         nullptr) != 1) {
    Crypto::Fail(kSide, 5);
  }
  const Ssl::OpenSslBytes owned(der);
  const unsigned char* in = der;
  Fields fields(reinterpret_cast<RawRequest*>(
      ASN1_item_d2i(nullptr, &in, length, ASN1_ITEM_rptr(RawRequest))));
  if (fields == nullptr) Crypto::Fail(kSide, 5);
  return ParsedRequest(std::move(fields));
}

void ParsedRequest::Verify() const {
  const Ssl::EvpPkeyPtr key = PublicKeyOf(*m_fields->info->publicKey);
  if (key == nullptr) Crypto::Fail(kSide, 6);
  if (ASN1_item_verify(ASN1_ITEM_rptr(RawRequestInfo), m_fields->signatureAlgorithm,
                       m_fields->signature, m_fields->info, key.get()) != 1) {
    Crypto::Fail(kSide, 7);
  }
}

const X509_NAME* ParsedRequest::Subject() const { return m_fields->info->subject; }

void ParsedRequest::CopyPublicKeyTo(X509* cert) const {
  const RawPublicKey& from = *m_fields->info->publicKey;
  const ASN1_OBJECT* algorithm = nullptr;
  X509_ALGOR_get0(&algorithm, nullptr, nullptr, from.algorithm);
  const int length = ASN1_STRING_length(from.key);
  if (length <= 0) Crypto::Fail(kSide, 13);
  Ssl::Asn1ObjectPtr algorithmCopy(OBJ_dup(algorithm));
  Ssl::OpenSslBytes bitsCopy(static_cast<unsigned char*>(
      OPENSSL_memdup(ASN1_STRING_get0_data(from.key), static_cast<size_t>(length))));
  X509_PUBKEY* to = X509_get_X509_PUBKEY(cert);
  if (algorithmCopy == nullptr || bitsCopy == nullptr || to == nullptr ||
      X509_PUBKEY_set0_param(to, algorithmCopy.get(), V_ASN1_UNDEF, nullptr, bitsCopy.get(),
                             length) != 1) {
    Crypto::Fail(kSide, 13);
  }
  algorithmCopy.release();
  bitsCopy.release();
  // The parameters as they were, absent, NULL or other.
  X509_ALGOR* toAlgorithm = nullptr;
  if (X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &toAlgorithm, to) != 1 ||
      X509_ALGOR_copy(toAlgorithm, from.algorithm) != 1) {
    Crypto::Fail(kSide, 13);
  }
}

}  // namespace QxSecCm
