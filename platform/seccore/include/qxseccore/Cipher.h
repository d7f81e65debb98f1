// Cipher (authenticated encryption under a key) and Crypt (the same under the platform key).
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "qxmox/CharArray.h"
#include "qxseccore/Key.h"

namespace QxSecCore {

// Cipher enciphers or deciphers whole messages. Algorithm ALG_AES_GCM is AES in GCM mode with
// the key's bytes when they are 16, 24 or 32 long (AES-128/192/256), else with the SHA-256
// hash of them (AES-256). An enciphered message is
//   12-byte random nonce | ciphertext (as long as the plaintext) | 16-byte tag
// so it is OVERHEAD bytes longer than the plaintext. Deciphering checks the tag over all of
// it: a wrong key and any changed, missing or added byte are refused.
//
// A Cipher holds only its key; DoFinal may run on several threads at once. The key bytes are
// wiped when the Cipher goes.
class Cipher {
 public:
  enum Mode_e { ENCRYPT_MODE = 0, DECRYPT_MODE = 1 };
  enum Algorithm_e { ALG_AES_GCM = 1 };
  static constexpr size_t NONCE_SIZE = 12;
  static constexpr size_t TAG_SIZE = 16;
  static constexpr size_t OVERHEAD = NONCE_SIZE + TAG_SIZE;

  // Cipher(mode, key, algorithm) needs a Key::TYPE_SYMMETRIC key. Throws
  // QxMoxMsg::IllegalArgumentError_t for an unknown mode or algorithm or another key type.
  Cipher(int mode, const Key& key, int algorithm);
  Cipher(const Cipher& other);
  Cipher& operator=(const Cipher& other);
  ~Cipher();

  int GetMode() const { return m_mode; }

  // DoFinal enciphers or deciphers length bytes of input from inOffset and writes the result
  // to output at outOffset, growing output when it is too short (bytes outside the written
  // range are kept). Returns the number of bytes written. input and output may be the same
  // array. Throws IllegalArgumentError_t when the input range lies outside input, and
  // QxMoxIo::IOException_t when deciphering fails: input shorter than OVERHEAD, a wrong key or
  // altered data. On failure output is unchanged.
  size_t DoFinal(const QxMoxArray::CharArray_t& input, size_t inOffset, size_t length,
                 QxMoxArray::CharArray_t& output, size_t outOffset) const;
  // DoFinal(input, length, output, outOffset) is the same over length bytes at input.
  size_t DoFinal(const void* input, size_t length, QxMoxArray::CharArray_t& output,
                 size_t outOffset) const;

 private:
  int m_mode = ENCRYPT_MODE;
  size_t m_keyLength = 0;
  std::array<unsigned char, 32> m_key{};
};

// Crypt enciphers and deciphers with Cipher (ALG_AES_GCM) under the platform key, which every
// node and its certificate server must share:
//  - when [sec.core] PLATFORM_KEY_FILE is set, the file it names holds the key as exactly 32
//    raw bytes (a relative path is taken below QX_HOME/etc);
//  - else a key built into this library is used. Everyone holding the library has that key,
//    so it only obscures data and protects nothing; set PLATFORM_KEY_FILE on real systems.
class Crypt {
 public:
  // Crypt reads the configuration and the key file now. Throws QxMoxIo::IOException_t when
  // the key file cannot be read or does not hold exactly 32 bytes, and when the configuration
  // cannot be read.
  Crypt();

  // Encrypt enciphers length bytes and replaces output with the enciphered message; returns
  // its length (length + Cipher::OVERHEAD).
  size_t Encrypt(const void* bytes, size_t length, QxMoxArray::CharArray_t& output) const;
  // Decrypt deciphers input and replaces output with the plaintext; returns its length.
  // Throws QxMoxIo::IOException_t for input that was not enciphered under this platform key or
  // was altered; output is then unchanged.
  size_t Decrypt(const QxMoxArray::CharArray_t& input, QxMoxArray::CharArray_t& output) const;

  // Returns true when the key came from PLATFORM_KEY_FILE.
  bool UsesKeyFile() const { return m_fromFile; }

 private:
  explicit Crypt(std::pair<Key, bool> key);
  // The key, not ready ciphers: a Crypt usually serves one call, which needs one of the two.
  Key m_key;
  bool m_fromFile = false;
};

}  // namespace QxSecCore
