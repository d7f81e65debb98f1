// Key: PEM RSA private keys, raw symmetric keys and password-derived keys.
#include "qxseccore/Key.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <climits>
#include <vector>

#include "OpenSslPtr.h"

namespace QxSecCore {

// KeyData is the shared, immutable body of a Key.
class KeyData {
 public:
  KeyData(int type, std::shared_ptr<EVP_PKEY> pkey, std::vector<unsigned char> bytes)
      : m_type(type), m_pkey(std::move(pkey)), m_bytes(std::move(bytes)) {}
  ~KeyData() {
    if (!m_bytes.empty()) OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
  }
  KeyData(const KeyData&) = delete;
  KeyData& operator=(const KeyData&) = delete;

  int m_type;
  std::shared_ptr<EVP_PKEY> m_pkey;
  std::vector<unsigned char> m_bytes;
};

namespace {

// The password derivation is fixed so that a password gives the same key on every node and
// in every release: PBKDF2-HMAC-SHA256, 100000 iterations, this salt label, 16 bytes.
constexpr char kPbkdf2Salt[] = "QxSecCore.Key.PBKDF2-SHA256.v1";
constexpr int kPbkdf2Iterations = 100000;
constexpr size_t kDerivedKeyLength = 16;

// Never prompt on the terminal for an encrypted key: refuse it.
int RefusePassword(char*, int, int, void*) { return -1; }

bool IsRsaPrivateKey(EVP_PKEY* key) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return false;
  BIGNUM* d = nullptr;
  const bool hasPrivate = EVP_PKEY_get_bn_param(key, "d", &d) == 1;
  Ssl::BignumPtr owned(d);
  return hasPrivate;
}

std::shared_ptr<const KeyData> ParseKey(int type, const void* data, size_t length) {
  if (type == Key::TYPE_SYMMETRIC) {
    if (length == 0) QxMoxMsg::ThrowIllegalArgument("A symmetric key needs at least one byte");
    const auto* bytes = static_cast<const unsigned char*>(data);
    return std::make_shared<const KeyData>(type, nullptr,
                                           std::vector<unsigned char>(bytes, bytes + length));
  }
  if (type != Key::TYPE_RSA_PRIVATE) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("Unknown key type ") +
                                   QxMoxStr::NumToStr(type));
  }
  Ssl::BioPtr bio = Ssl::MemBio(data, length);
  Ssl::EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, RefusePassword, nullptr));
  if (key == nullptr) Ssl::Throw<QxMoxMsg::IllegalArgumentError_t>("Invalid PEM private key");
  if (!IsRsaPrivateKey(key.get())) {
    ERR_clear_error();
    QxMoxMsg::ThrowIllegalArgument("The PEM private key is not an RSA key");
  }
  return std::make_shared<const KeyData>(type, Ssl::ShareEvpPkey(std::move(key)),
                                         std::vector<unsigned char>());
}

}  // namespace

Key::Key(int type, const QxMoxArray::CharArray_t& bytes)
    : m_data(ParseKey(type, bytes.GetData(), bytes.GetSize())) {}

Key::Key(int type, const void* data, size_t length) : m_data(ParseKey(type, data, length)) {}

Key::Key(const QxMoxStr::String_t& password, int algorithm) {
  if (algorithm != DERIVE_PBKDF2_SHA256) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("Unknown key derivation algorithm ") +
                                   QxMoxStr::NumToStr(algorithm));
  }
  std::string utf8 = password.ToUtf8();
  if (utf8.size() > static_cast<size_t>(INT_MAX))
    QxMoxMsg::ThrowIllegalArgument("Password too long");
  std::vector<unsigned char> derived(kDerivedKeyLength);
  const int ok = PKCS5_PBKDF2_HMAC(utf8.data(), static_cast<int>(utf8.size()),
                                   reinterpret_cast<const unsigned char*>(kPbkdf2Salt),
                                   sizeof kPbkdf2Salt - 1, kPbkdf2Iterations, EVP_sha256(),
                                   static_cast<int>(derived.size()), derived.data());
  OPENSSL_cleanse(utf8.data(), utf8.size());
  // Build the body first so the derived bytes are wiped even when the check throws.
  m_data = std::make_shared<const KeyData>(TYPE_SYMMETRIC, nullptr, std::move(derived));
  Ssl::Check(ok == 1, "PKCS5_PBKDF2_HMAC");
}

Key Key::FromNative(EVP_PKEY* key) {
  if (key == nullptr) QxMoxMsg::ThrowIllegalArgument("Key::FromNative: null");
  if (!IsRsaPrivateKey(key)) {
    ERR_clear_error();
    QxMoxMsg::ThrowIllegalArgument("Key::FromNative: not an RSA private key");
  }
  Ssl::Check(EVP_PKEY_up_ref(key) == 1, "EVP_PKEY_up_ref");
  return Key(std::make_shared<const KeyData>(
      TYPE_RSA_PRIVATE, Ssl::ShareEvpPkey(Ssl::EvpPkeyPtr(key)), std::vector<unsigned char>()));
}

const KeyData& Key::Data() const {
  if (m_data == nullptr) QxMoxMsg::ThrowIllegalState("Key is empty");
  return *m_data;
}

int Key::GetType() const { return m_data == nullptr ? TYPE_NONE : m_data->m_type; }

QxMoxArray::CharArray_t Key::GetEncoded() const {
  const KeyData& data = Data();
  if (data.m_type == TYPE_SYMMETRIC) {
    return QxMoxArray::CharArray_t(data.m_bytes.data(), data.m_bytes.size());
  }
  Ssl::BioPtr bio(BIO_new(BIO_s_mem()));
  Ssl::Check(bio != nullptr && PEM_write_bio_PrivateKey(bio.get(), data.m_pkey.get(), nullptr,
                                                        nullptr, 0, nullptr, nullptr) == 1,
             "Cannot write PEM private key");
  const std::string_view pem = Ssl::BioBytes(bio.get());
  QxMoxArray::CharArray_t encoded(pem);
  OPENSSL_cleanse(const_cast<char*>(pem.data()), pem.size());
  return encoded;
}

EVP_PKEY* Key::Native() const {
  const KeyData& data = Data();
  if (data.m_type != TYPE_RSA_PRIVATE) QxMoxMsg::ThrowIllegalState("Key is not an RSA key");
  return data.m_pkey.get();
}

}  // namespace QxSecCore
