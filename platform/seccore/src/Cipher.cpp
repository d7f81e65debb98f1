// Cipher: AES-GCM messages of nonce, ciphertext and tag.
#include "qxseccore/Cipher.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <vector>

#include "OpenSslPtr.h"

namespace QxSecCore {
namespace {

// EVP update calls take int lengths; larger inputs go through in pieces.
constexpr size_t kChunk = 1u << 30;

// SecretBuffer is a byte vector wiped when it goes.
struct SecretBuffer {
  explicit SecretBuffer(size_t size) : bytes(size) {}
  ~SecretBuffer() {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  std::vector<unsigned char> bytes;
};

Ssl::EvpCipherPtr Fetch(const char* name) {
  Ssl::EvpCipherPtr cipher(EVP_CIPHER_fetch(nullptr, name, nullptr));
  Ssl::Check(cipher != nullptr, name);
  return cipher;
}

// AesGcm returns the algorithm for the key length. The algorithms are fetched once and kept for
// the life of the process: OpenSSL looks up an algorithm named by EVP_aes_256_gcm() & co. again
// on every context it sets up, which costs more than enciphering a short message.
const EVP_CIPHER* AesGcm(size_t keyLength) {
  static const std::array<Ssl::EvpCipherPtr, 3> kAesGcm = {
      Fetch("AES-128-GCM"), Fetch("AES-192-GCM"), Fetch("AES-256-GCM")};
  return kAesGcm[keyLength == 16 ? 0 : keyLength == 24 ? 1 : 2].get();
}

// GCM's default nonce length, so the context needs no length set.
static_assert(Cipher::NONCE_SIZE == 12);

Ssl::EvpCipherCtxPtr NewContext(bool encrypt, const unsigned char* key, size_t keyLength,
                                const unsigned char* nonce) {
  Ssl::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  Ssl::Check(ctx != nullptr, "EVP_CIPHER_CTX_new");
  Ssl::Check(EVP_CipherInit_ex2(ctx.get(), AesGcm(keyLength), key, nonce, encrypt ? 1 : 0,
                                nullptr) == 1,
             "Cannot set up AES-GCM");
  return ctx;
}

// Update runs the whole range through the context; GCM output is as long as its input.
bool Update(EVP_CIPHER_CTX* ctx, const unsigned char* in, size_t length, unsigned char* out) {
  while (length > 0) {
    const int piece = static_cast<int>(std::min(length, kChunk));
    int written = 0;
    if (EVP_CipherUpdate(ctx, out, &written, in, piece) != 1 || written != piece) return false;
    in += piece;
    out += piece;
    length -= static_cast<size_t>(piece);
  }
  return true;
}

void Encipher(const unsigned char* key, size_t keyLength, const unsigned char* in, size_t length,
              std::vector<unsigned char>& out) {
  out.resize(length + Cipher::OVERHEAD);
  unsigned char* nonce = out.data();
  unsigned char* body = nonce + Cipher::NONCE_SIZE;
  unsigned char* tag = body + length;
  Ssl::Check(RAND_bytes(nonce, Cipher::NONCE_SIZE) == 1, "RAND_bytes");
  Ssl::EvpCipherCtxPtr ctx = NewContext(true, key, keyLength, nonce);
  int finalLength = 0;
  Ssl::Check(Update(ctx.get(), in, length, body) &&
                 EVP_CipherFinal_ex(ctx.get(), tag, &finalLength) == 1 && finalLength == 0 &&
                 EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, Cipher::TAG_SIZE, tag) == 1,
             "AES-GCM encryption failed");
}

// Decipher fills plain only when the tag is right.
void Decipher(const unsigned char* key, size_t keyLength, const unsigned char* in, size_t length,
              SecretBuffer& plain) {
  if (length < Cipher::OVERHEAD) {
    QxMoxMsg::ThrowIO("Enciphered data refused: shorter than nonce and tag");
  }
  const size_t bodyLength = length - Cipher::OVERHEAD;
  const unsigned char* body = in + Cipher::NONCE_SIZE;
  // The tag control takes a non-const buffer, though it only reads it.
  unsigned char tag[Cipher::TAG_SIZE];
  std::memcpy(tag, body + bodyLength, sizeof tag);
  plain.bytes.resize(bodyLength);
  Ssl::EvpCipherCtxPtr ctx = NewContext(false, key, keyLength, in);
  Ssl::Check(Update(ctx.get(), body, bodyLength, plain.bytes.data()) &&
                 EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, sizeof tag, tag) == 1,
             "AES-GCM decryption failed");
  unsigned char none[16];
  int finalLength = 0;
  if (EVP_CipherFinal_ex(ctx.get(), none, &finalLength) != 1) {
    ERR_clear_error();
    QxMoxMsg::ThrowIO("Enciphered data refused: wrong key or altered data");
  }
}

}  // namespace

Cipher::Cipher(int mode, const Key& key, int algorithm) : m_mode(mode) {
  if (mode != ENCRYPT_MODE && mode != DECRYPT_MODE) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("Unknown cipher mode ") +
                                   QxMoxStr::NumToStr(mode));
  }
  if (algorithm != ALG_AES_GCM) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("Unknown cipher algorithm ") +
                                   QxMoxStr::NumToStr(algorithm));
  }
  if (key.GetType() != Key::TYPE_SYMMETRIC) {
    QxMoxMsg::ThrowIllegalArgument("A cipher needs a symmetric key");
  }
  QxMoxArray::CharArray_t bytes = key.GetEncoded();
  const size_t length = bytes.GetSize();
  if (length == 16 || length == 24 || length == 32) {
    std::memcpy(m_key.data(), bytes.GetData(), length);
    m_keyLength = length;
  } else {
    unsigned int hashLength = 0;
    const bool ok =
        EVP_Digest(bytes.GetData(), length, m_key.data(), &hashLength, EVP_sha256(), nullptr) == 1;
    OPENSSL_cleanse(bytes.GetData(), length);
    Ssl::Check(ok && hashLength == m_key.size(), "SHA-256 of the key");
    m_keyLength = m_key.size();
  }
  OPENSSL_cleanse(bytes.GetData(), length);
}

Cipher::Cipher(const Cipher& other) = default;
Cipher& Cipher::operator=(const Cipher& other) = default;

Cipher::~Cipher() { OPENSSL_cleanse(m_key.data(), m_key.size()); }

size_t Cipher::DoFinal(const QxMoxArray::CharArray_t& input, size_t inOffset, size_t length,
                       QxMoxArray::CharArray_t& output, size_t outOffset) const {
  if (inOffset > input.GetSize() || length > input.GetSize() - inOffset) {
    QxMoxMsg::ThrowIllegalArgument("Cipher::DoFinal: input range outside the input");
  }
  return DoFinal(input.GetData() + inOffset, length, output, outOffset);
}

size_t Cipher::DoFinal(const void* input, size_t length, QxMoxArray::CharArray_t& output,
                       size_t outOffset) const {
  const auto* in = static_cast<const unsigned char*>(input);
  // Work in a buffer of our own: output may hold the input, and must stay as it was on failure.
  SecretBuffer result(0);
  if (m_mode == ENCRYPT_MODE) {
    Encipher(m_key.data(), m_keyLength, in, length, result.bytes);
  } else {
    Decipher(m_key.data(), m_keyLength, in, length, result);
  }
  const size_t produced = result.bytes.size();
  if (output.GetSize() < outOffset + produced) output.Resize(outOffset + produced);
  if (produced > 0) std::memcpy(output.GetData() + outOffset, result.bytes.data(), produced);
  return produced;
}

}  // namespace QxSecCore
