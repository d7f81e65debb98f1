// Shared pieces of the node message and state file fuzz targets and of their seed generator.
//
// An input's first byte chooses what the rest is: even, a whole message or file as it arrives;
// odd, the plaintext of the enciphered part, which the target enciphers under a fixed key
// (after a head that carries that key), so that the parsers behind the cipher are reached too:
// random bytes almost never pass an authenticated cipher.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "CountedBytes.h"
#include "MessageKey.h"
#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxseccore/CipherStream.h"

namespace QxFuzz {

using QxMoxArray::CharArray_t;

// UsePrivateHome points QX_HOME at a new empty directory, so the platform key is the built-in
// one in the targets and in the generator alike.
inline void UsePrivateHome() {
  std::string dir = (std::filesystem::temp_directory_path() / "qxfuzz-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) std::abort();
  setenv("QX_HOME", dir.c_str(), 1);
  unsetenv("QX_CONFIG");
}

// QX_FUZZ_PRIVATE_HOME() defines the target's LLVMFuzzerInitialize, which calls UsePrivateHome.
#define QX_FUZZ_PRIVATE_HOME()                         \
  extern "C" int LLVMFuzzerInitialize(int*, char***) { \
    QxFuzz::UsePrivateHome();                          \
    return 0;                                          \
  }

// Require aborts with a message when a property does not hold.
inline void Require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
  }
}

// Refused runs read and tells whether the library refused its input with one of its exceptions
// (fine, as long as nothing else happened); otherwise read's result is in result.
template <class T, class Read>
bool Refused(T& result, Read&& read) {
  try {
    result = read();
    return false;
  } catch (const QxMoxMsg::Exception_t&) {
    return true;
  }
}

inline constexpr uint8_t kWhole = 0;
inline constexpr uint8_t kPlaintext = 1;

// Key is the fixed message key of plaintext inputs; InstallKey the installation key that the
// request target uses for any installation id but "0".
inline const QxSecCm::MessageKey& Key() {
  static const QxSecCm::MessageKey key(CharArray_t(std::string_view("fuzz message key")));
  return key;
}
inline const CharArray_t& InstallKey() {
  static const CharArray_t key(std::string_view("fuzz installation key"));
  return key;
}

// KeyHead returns the head of a message whose key is Key() under the platform key: the
// installation id first when one is given (request messages), then the counted wrapped key.
inline CharArray_t KeyHead(const char* installId = nullptr) {
  QxMoxIo::CharArrayOutputStream_t out;
  QxMoxIo::DataOutputStream_t data(out);
  if (installId != nullptr) data.WriteUTF16String(QxMoxStr::String_t(installId));
  QxSecCm::WriteCountedBytes(data, Key().Wrap());
  return out.ToCharArray();
}

// Seal returns head followed by plaintext enciphered under Key().
inline CharArray_t Seal(const CharArray_t& head, const CharArray_t& plaintext) {
  QxMoxIo::CharArrayOutputStream_t out;
  out.Write(head);
  QxSecIo::CipherOutputStream enciphered(out, Key().Encipherer());
  enciphered.Write(plaintext);
  enciphered.Close();
  return out.ToCharArray();
}

// Input turns a fuzz input into the bytes to read, sealing plaintext inputs behind head.
inline CharArray_t Input(const uint8_t* data, size_t size, const CharArray_t& head) {
  const CharArray_t rest(data + 1, size - 1);
  return (data[0] & 1) == kPlaintext ? Seal(head, rest) : rest;
}

// Unseal returns the plaintext of the cipher message that starts at offset of sealed.
inline CharArray_t Unseal(const CharArray_t& sealed, size_t offset) {
  CharArray_t plain;
  const size_t n = Key().Decipherer().DoFinal(sealed, offset, sealed.GetSize() - offset, plain, 0);
  plain.Resize(n);
  return plain;
}

// WithMode returns bytes behind the mode byte.
inline CharArray_t WithMode(uint8_t mode, const CharArray_t& bytes) {
  CharArray_t out(&mode, 1);
  out.Append(bytes.GetData(), bytes.GetSize());
  return out;
}

}  // namespace QxFuzz
