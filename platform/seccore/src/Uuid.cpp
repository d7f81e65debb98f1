// Uuid: version 4 UUIDs from the OpenSSL random generator.
#include "qxseccore/Uuid.h"

#include <openssl/rand.h>

#include "OpenSslPtr.h"

namespace QxSecCore {

Uuid Uuid::GenerateUuid() {
  Uuid uuid;
  Ssl::Check(RAND_bytes(uuid.m_bytes.data(), static_cast<int>(uuid.m_bytes.size())) == 1,
             "RAND_bytes");
  uuid.m_bytes[6] = static_cast<uint8_t>((uuid.m_bytes[6] & 0x0f) | 0x40);  // version 4
  uuid.m_bytes[8] = static_cast<uint8_t>((uuid.m_bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return uuid;
}

QxMoxStr::String_t Uuid::ToString() const {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < m_bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[m_bytes[i] >> 4];
    text += kHex[m_bytes[i] & 0x0f];
  }
  return QxMoxStr::String_t(text);
}

}  // namespace QxSecCore
