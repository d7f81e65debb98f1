// The messaging library's date-time values: seconds since 1970-01-01T00:00:00Z (UTC) and a
// second member that the messaging library carries unchanged.
#pragma once

#include <cstdint>

namespace QxZebSoap {

// XSDDateTime: a signed 32-bit time in seconds, then a signed 32-bit second member.
struct XSDDateTime {
  int32_t m_time = 0;
  int32_t m_extra = 0;
  friend bool operator==(const XSDDateTime&, const XSDDateTime&) = default;
};

// XSDDateTime_ex: a signed 64-bit time in seconds, then the same 32-bit second member.
struct XSDDateTime_ex {
  int64_t m_time = 0;
  int32_t m_extra = 0;
  friend bool operator==(const XSDDateTime_ex&, const XSDDateTime_ex&) = default;
};

}  // namespace QxZebSoap
