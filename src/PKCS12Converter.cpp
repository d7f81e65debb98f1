// PKCS12Converter: PKCS#12 blobs from and to PEM certificates and RSA private keys.
#include "qxseccm/PKCS12Converter.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <climits>
#include <optional>
#include <string>

#include "CryptoSupport.h"
#include "OpenSslPtr.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/ExceptionTracer.h"
#include "qxseccm/Initializer.h"

namespace QxSecCm {
namespace {

namespace Ssl = QxSecCore::Ssl;
using QxMoxArray::CharArray_t;

// A profile's parameters are fixed. OpenSSL 3 takes zeros to mean AES-256, so every argument is
// passed explicitly, and the MAC is added in a second step where its digest is named too. A
// cipher NID (not a PKCS#12 PBE NID) makes OpenSSL write PBES2 with PBKDF2 and HMAC-SHA256.
struct ProfileParams {
  int keyBagPbe;
  int certBagPbe;
  int iterations;
  int macIterations;
  const EVP_MD* (*macDigest)();
};

const ProfileParams& ParamsOf(Pkcs12Profile profile) {
  static const ProfileParams legacy{NID_pbe_WithSHA1And3_Key_TripleDES_CBC,
                                    NID_pbe_WithSHA1And40BitRC2_CBC, 2048, 1, EVP_sha1};
  static const ProfileParams modern{NID_aes_256_cbc, NID_aes_256_cbc, 2048, 2048, EVP_sha256};
  return profile == Pkcs12Profile::MODERN ? modern : legacy;
}
constexpr int kNoMacYet = -1;

constexpr ExceptionTracer::E kSide = ExceptionTracer::Server;

bool IsMacVerifyFailure(unsigned long code) {
  return ERR_GET_LIB(code) == ERR_LIB_PKCS12 && ERR_GET_REASON(code) == PKCS12_R_MAC_VERIFY_FAILURE;
}

// SecretText is the text of a password or name array (up to its first NUL, so an array
// without one is never read past its end); the copy is wiped when it goes.
class SecretText {
 public:
  explicit SecretText(const CharArray_t& bytes) {
    const std::string_view view = bytes.View();
    m_text.assign(view.substr(0, view.find('\0')));
  }
  ~SecretText() { OPENSSL_cleanse(m_text.data(), m_text.size()); }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  const char* c_str() const { return m_text.c_str(); }
  const char* OrNull() const { return m_text.empty() ? nullptr : m_text.c_str(); }

 private:
  std::string m_text;
};

// WipeOnExit clears bytes that held key material when it goes.
class WipeOnExit {
 public:
  explicit WipeOnExit(CharArray_t& bytes) : m_bytes(bytes) {}
  ~WipeOnExit() {
    if (!m_bytes.IsEmpty()) OPENSSL_cleanse(m_bytes.GetData(), m_bytes.GetSize());
  }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  CharArray_t& m_bytes;
};

Ssl::X509Ptr ToX509(const QxSecCore::X509Certificate& cert) {
  const CharArray_t pem = cert.GetEncoded();
  Ssl::BioPtr bio = Crypto::MemoryOf(pem, kSide);
  Ssl::X509Ptr x509(PEM_read_bio_X509(bio.get(), nullptr, Crypto::NoPassword, nullptr));
  if (x509 == nullptr) Crypto::Fail(kSide, 4);
  return x509;
}

Ssl::EvpPkeyPtr ToRsaKey(const QxSecCore::Key& key) {
  CharArray_t pem = key.GetEncoded();
  const WipeOnExit wipe(pem);
  Ssl::BioPtr bio = Crypto::MemoryOf(pem, kSide);
  Ssl::EvpPkeyPtr pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, Crypto::NoPassword, nullptr));
  if (pkey == nullptr) Crypto::Fail(kSide, 2);
  if (EVP_PKEY_get_base_id(pkey.get()) != EVP_PKEY_RSA)
    Crypto::Fail(kSide, Catalog::Warn(2) << "not an RSA key");
  return pkey;
}

QxSecCore::X509Certificate FromX509(X509* x509) {
  Ssl::BioPtr bio = Crypto::NewMemory(kSide, BIO_s_mem());
  if (PEM_write_bio_X509(bio.get(), x509) != 1) Crypto::Fail(kSide, 60);
  const std::string_view pem = Ssl::BioBytes(bio.get());
  return QxSecCore::X509Certificate(CharArray_t(pem));
}

// The key's PEM text goes through a secure-memory buffer, which is wiped when it is freed.
QxSecCore::Key FromRsaKey(EVP_PKEY* pkey) {
  if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) {
    const char* type = EVP_PKEY_get0_type_name(pkey);
    Crypto::Fail(kSide, Catalog::Warn(61)
                            << (std::string("the PKCS#12 structure holds ") +
                                (type != nullptr ? std::string("a key of type ") + type : "a key") +
                                "; only RSA keys are supported")
                                   .c_str());
  }
  Ssl::BioPtr bio = Crypto::NewMemory(kSide, BIO_s_secmem());
  if (PEM_write_bio_PrivateKey_traditional(bio.get(), pkey, nullptr, nullptr, 0, nullptr,
                                           nullptr) != 1) {
    Crypto::Fail(kSide, 61);
  }
  const std::string_view pem = Ssl::BioBytes(bio.get());
  return QxSecCore::Key(QxSecCore::Key::TYPE_RSA_PRIVATE, pem.data(), pem.size());
}

CharArray_t& EncodeBlob(const QxSecCore::X509Certificate& cert, const QxSecCore::Key& key,
                        const X509CertList* list, const CharArray_t& friendlyName,
                        const CharArray_t& password, Pkcs12Profile profile, CharArray_t& out) {
  Initializer::GlobalInit();
  const ProfileParams& params = ParamsOf(profile);
  ERR_clear_error();
  const Ssl::X509Ptr x509 = ToX509(cert);
  const Ssl::EvpPkeyPtr pkey = ToRsaKey(key);
  Ssl::X509StackPtr chain;
  if (list != nullptr && !list->empty()) {
    chain.reset(sk_X509_new_null());
    if (chain == nullptr) Crypto::Fail(kSide, 57);
    for (const QxSecCore::X509Certificate& further : *list) {
      Ssl::X509Ptr x = ToX509(further);
      if (sk_X509_push(chain.get(), x.get()) <= 0) Crypto::Fail(kSide, 57);
      x.release();
    }
  }

  const SecretText pass(password);
  const SecretText name(friendlyName);
  const Ssl::Pkcs12Ptr p12(PKCS12_create(pass.c_str(), name.OrNull(), pkey.get(), x509.get(),
                                         chain.get(), params.keyBagPbe, params.certBagPbe,
                                         params.iterations, kNoMacYet, 0));
  if (p12 == nullptr) Crypto::Fail(kSide, 57);
  if (PKCS12_set_mac(p12.get(), pass.c_str(), -1, nullptr, 0, params.macIterations,
                     params.macDigest()) != 1) {
    Crypto::Fail(kSide, 57);
  }

  Ssl::BioPtr bio = Crypto::NewMemory(kSide, BIO_s_mem());
  if (i2d_PKCS12_bio(bio.get(), p12.get()) != 1) Crypto::Fail(kSide, 62);
  Crypto::CopyOut(bio.get(), out);
  return out;
}

// Every output is built before any is assigned, so a failure leaves them all as they were.
void DecodeBlob(QxSecCore::X509Certificate& cert, QxSecCore::Key& key, X509CertList* list,
                const CharArray_t& password, const CharArray_t& data) {
  Initializer::GlobalInit();
  ERR_clear_error();
  if (data.IsEmpty())
    Crypto::Fail(kSide, Catalog::Warn(63) << "the PKCS#12 data is empty (0 bytes)");
  const Ssl::BioPtr in = Crypto::MemoryOf(data, kSide);
  const Ssl::Pkcs12Ptr p12(d2i_PKCS12_bio(in.get(), nullptr));
  if (p12 == nullptr) Crypto::Fail(kSide, 63);
  if (BIO_pending(in.get()) != 0)
    Crypto::Fail(kSide, Catalog::Warn(63) << "further bytes follow the PKCS#12 structure");

  const SecretText pass(password);
  EVP_PKEY* rawKey = nullptr;
  X509* rawCert = nullptr;
  STACK_OF(X509)* rawFurther = nullptr;
  const int parsed = PKCS12_parse(p12.get(), pass.c_str(), &rawKey, &rawCert,
                                  list != nullptr ? &rawFurther : nullptr);
  const Ssl::EvpPkeyPtr pkey(rawKey);
  const Ssl::X509Ptr x509(rawCert);
  const Ssl::X509StackPtr further(rawFurther);
  if (parsed != 1) {
    // A MAC that does not verify is the one failure callers must be able to tell apart: with
    // a password-based MAC it means the password is wrong (or the blob was altered).
    if (IsMacVerifyFailure(ERR_peek_error())) Crypto::Fail(kSide, 58);
    Crypto::Fail(kSide, 59);
  }

  std::optional<QxSecCore::X509Certificate> newCert;
  if (x509 != nullptr) newCert = FromX509(x509.get());
  std::optional<QxSecCore::Key> newKey;
  if (pkey != nullptr) newKey = FromRsaKey(pkey.get());
  X509CertList added;
  const int count = further != nullptr ? sk_X509_num(further.get()) : 0;
  for (int i = 0; i < count; ++i) added.push_back(FromX509(sk_X509_value(further.get(), i)));

  if (newCert) cert = *newCert;
  if (newKey) key = *newKey;
  if (list != nullptr) list->splice(list->end(), added);
}

}  // namespace

CharArray_t& PKCS12Converter::Encode(const QxSecCore::X509Certificate& cert,
                                     const QxSecCore::Key& key, const CharArray_t& friendlyName,
                                     const CharArray_t& password, CharArray_t& out) {
  return EncodeBlob(cert, key, nullptr, friendlyName, password, Pkcs12Profile::LEGACY, out);
}

CharArray_t& PKCS12Converter::Encode(const QxSecCore::X509Certificate& cert,
                                     const QxSecCore::Key& key, const X509CertList& list,
                                     const CharArray_t& friendlyName, const CharArray_t& password,
                                     CharArray_t& out) {
  return EncodeBlob(cert, key, &list, friendlyName, password, Pkcs12Profile::LEGACY, out);
}

CharArray_t& PKCS12Converter::EncodeWithProfile(const QxSecCore::X509Certificate& cert,
                                                const QxSecCore::Key& key, const X509CertList& list,
                                                const CharArray_t& friendlyName,
                                                const CharArray_t& password, Pkcs12Profile profile,
                                                CharArray_t& out) {
  return EncodeBlob(cert, key, &list, friendlyName, password, profile, out);
}

void PKCS12Converter::Decode(QxSecCore::X509Certificate& cert, QxSecCore::Key& key,
                             const CharArray_t& password, const CharArray_t& data) {
  DecodeBlob(cert, key, nullptr, password, data);
}

void PKCS12Converter::Decode(QxSecCore::X509Certificate& cert, QxSecCore::Key& key,
                             X509CertList& list, const CharArray_t& password,
                             const CharArray_t& data) {
  DecodeBlob(cert, key, &list, password, data);
}

}  // namespace QxSecCm
