// Crypt: Cipher under the platform key from PLATFORM_KEY_FILE or the built-in key.
#include <openssl/crypto.h>

#include <array>

#include "qxmox/Config.h"
#include "qxmox/FileCache.h"
#include "qxmox/Io.h"
#include "qxmox/Runtime.h"
#include "qxseccore/Cipher.h"

namespace QxSecCore {
namespace {

constexpr size_t kPlatformKeySize = 32;

// The built-in platform key. It ships in every copy of the library, so data enciphered under
// it is only obscured, not protected; real deployments set [sec.core] PLATFORM_KEY_FILE.
constexpr std::array<unsigned char, kPlatformKeySize> kBuiltInKey = {
    0x5a, 0x17, 0xc3, 0x8e, 0x41, 0xd2, 0x9b, 0x06, 0xe7, 0x3f, 0x74, 0xa8, 0x1d, 0xb5, 0x60, 0xcc,
    0x92, 0x2b, 0xf1, 0x48, 0x0d, 0x86, 0x3a, 0xe9, 0x57, 0xc0, 0x1e, 0x7b, 0xa4, 0x33, 0xdf, 0x69};

std::string KeyFilePath(const std::string& configured) {
  if (configured.front() == '/') return configured;
  return QxMoxRuntime::Dir_t::Path(QxMoxRuntime::Dir_t::DIR_ETC, QxMoxStr::String_t(configured))
      .ToUtf8();
}

// ReadKeyFile reads the 32 key bytes of the file at path.
Key ReadKeyFile(const std::string& path) {
  QxMoxIo::FileInputStream_t in(path);
  // One byte more than a key shows a file that is too long without reading all of it.
  std::array<unsigned char, kPlatformKeySize + 1> bytes{};
  size_t total = 0;
  while (total < bytes.size()) {
    const size_t got = in.Read(bytes.data() + total, bytes.size() - total);
    if (got == 0) break;
    total += got;
  }
  in.Close();
  if (total != kPlatformKeySize) {
    OPENSSL_cleanse(bytes.data(), bytes.size());
    QxMoxMsg::ThrowIO(QxMoxStr::String_t("Platform key file ") + path +
                      " must hold exactly 32 bytes");
  }
  Key key(Key::TYPE_SYMMETRIC, bytes.data(), kPlatformKeySize);
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return key;
}

// PlatformKey returns the key bytes and whether they came from the key file.
std::pair<Key, bool> PlatformKey() {
  const QxMoxArray::CharArray_t configured =
      QxMoxConfig::ConfigNamespace_t("sec.core").Open().GetAttrValue("PLATFORM_KEY_FILE");
  if (configured.IsEmpty())
    return {Key(Key::TYPE_SYMMETRIC, kBuiltInKey.data(), kBuiltInKey.size()), false};
  // Every message a server enciphers or deciphers needs the key: read again only when changed.
  static QxMoxIo::FileCache<Key> keyFile;
  return {*keyFile.Get(KeyFilePath(configured.ToStdString()), ReadKeyFile), true};
}

}  // namespace

Crypt::Crypt() : Crypt(PlatformKey()) {}

Crypt::Crypt(std::pair<Key, bool> key) : m_key(std::move(key.first)), m_fromFile(key.second) {}

size_t Crypt::Encrypt(const void* bytes, size_t length, QxMoxArray::CharArray_t& output) const {
  QxMoxArray::CharArray_t result;
  const size_t produced =
      Cipher(Cipher::ENCRYPT_MODE, m_key, Cipher::ALG_AES_GCM).DoFinal(bytes, length, result, 0);
  output = std::move(result);
  return produced;
}

size_t Crypt::Decrypt(const QxMoxArray::CharArray_t& input, QxMoxArray::CharArray_t& output) const {
  QxMoxArray::CharArray_t result;
  const size_t produced = Cipher(Cipher::DECRYPT_MODE, m_key, Cipher::ALG_AES_GCM)
                              .DoFinal(input, 0, input.GetSize(), result, 0);
  output = std::move(result);
  return produced;
}

}  // namespace QxSecCore
