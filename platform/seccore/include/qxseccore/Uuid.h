// Uuid: random (version 4) UUIDs.
#pragma once

#include <array>
#include <cstdint>

#include "qxmox/String.h"

namespace QxSecCore {

// Uuid is a 128-bit UUID value.
class Uuid {
 public:
  // GenerateUuid returns a new version 4 (random, RFC 4122 variant) UUID from the OpenSSL
  // random generator. Throws QxMoxMsg::RuntimeException_t when the generator fails.
  static Uuid GenerateUuid();
  // ToString returns the lower-case 8-4-4-4-12 text, e.g.
  // "3f2b8c1e-9a4d-4e7b-8f01-23456789abcd".
  QxMoxStr::String_t ToString() const;
  const std::array<uint8_t, 16>& GetBytes() const { return m_bytes; }
  friend bool operator==(const Uuid&, const Uuid&) = default;

 private:
  std::array<uint8_t, 16> m_bytes{};
};

}  // namespace QxSecCore
