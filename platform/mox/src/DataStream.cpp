// Data streams: big-endian Int32 and counted UTF-16 strings.
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "qxmox/Io.h"

namespace QxMoxIo {
namespace {

// Strings of unknown length are read in pieces of this many bytes, so a forged count costs
// no more memory than the data that actually arrives.
constexpr size_t kChunkBytes = 64 * 1024;

void PutInt32(unsigned char* out, int32_t value) {
  const auto u = static_cast<uint32_t>(value);
  out[0] = static_cast<unsigned char>(u >> 24);
  out[1] = static_cast<unsigned char>(u >> 16);
  out[2] = static_cast<unsigned char>(u >> 8);
  out[3] = static_cast<unsigned char>(u);
}

void AppendUnitsBE(std::u16string& text, const unsigned char* bytes, size_t units) {
  for (size_t i = 0; i < units; ++i) {
    text.push_back(static_cast<char16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]));
  }
}

}  // namespace

// ---- DataOutputStream_t ---------------------------------------------------------------------

void DataOutputStream_t::WriteInt32(int32_t value) {
  unsigned char bytes[4];
  PutInt32(bytes, value);
  m_out.Write(bytes, sizeof bytes);
}

void DataOutputStream_t::WriteUTF16String(const QxMoxStr::String_t& text) {
  if (text.IsNull()) {
    WriteInt32(-1);
    return;
  }
  const std::u16string& units = text.Str();
  if (units.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    QxMoxMsg::ThrowIllegalArgument("WriteUTF16String: text too long for an Int32 count");
  }
  std::vector<unsigned char> bytes(4 + 2 * units.size());
  PutInt32(bytes.data(), static_cast<int32_t>(units.size()));
  for (size_t i = 0; i < units.size(); ++i) {
    bytes[4 + 2 * i] = static_cast<unsigned char>(units[i] >> 8);
    bytes[5 + 2 * i] = static_cast<unsigned char>(units[i]);
  }
  m_out.Write(bytes.data(), bytes.size());
}

// ---- DataInputStream_t ----------------------------------------------------------------------

void DataInputStream_t::ReadFully(void* buffer, size_t length) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const size_t n = m_in.Read(p, length);
    if (n == 0) QxMoxMsg::ThrowIO("unexpected end of data");
    p += n;
    length -= n;
  }
}

int32_t DataInputStream_t::ReadInt32() {
  unsigned char b[4];
  ReadFully(b, sizeof b);
  const uint32_t u =
      (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
  return static_cast<int32_t>(u);
}

QxMoxStr::String_t DataInputStream_t::ReadUTF16String() {
  const int32_t count = ReadInt32();
  if (count == -1) return QxMoxStr::String_t::Null();
  if (count < -1) QxMoxMsg::ThrowIO("corrupt data: negative string length");
  const size_t totalBytes = static_cast<size_t>(count) * 2;
  const long long remaining = m_in.Remaining();
  if (remaining >= 0 && static_cast<unsigned long long>(remaining) < totalBytes) {
    QxMoxMsg::ThrowIO("corrupt data: string length exceeds the data");
  }
  std::u16string text;
  if (remaining >= 0) text.reserve(static_cast<size_t>(count));
  std::vector<unsigned char> chunk(std::min(totalBytes, kChunkBytes));
  for (size_t left = totalBytes; left > 0;) {
    const size_t n = std::min(left, chunk.size());
    ReadFully(chunk.data(), n);
    AppendUnitsBE(text, chunk.data(), n / 2);
    left -= n;
  }
  return QxMoxStr::String_t(std::move(text));
}

}  // namespace QxMoxIo
