// The installation key file's encoding.
#include "InstallKey.h"

#include <string_view>

#include "qxmox/Exception.h"

namespace QxCm {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Secret FormatInstallKey(const Secret& key) {
  constexpr char kHex[] = "0123456789abcdef";
  Secret text{QxMoxArray::CharArray_t(2 * key.bytes.GetSize() + 1)};
  char* out = reinterpret_cast<char*>(text.bytes.GetData());
  for (size_t i = 0; i < key.bytes.GetSize(); ++i) {
    const auto byte = static_cast<unsigned char>(key.bytes.GetData()[i]);
    out[2 * i] = kHex[byte >> 4];
    out[2 * i + 1] = kHex[byte & 0xF];
  }
  out[2 * key.bytes.GetSize()] = '\n';
  return text;
}

Secret ReadInstallKey(const std::string& path) {
  Secret text(ReadInput(path));
  std::string_view digits(reinterpret_cast<const char*>(text.bytes.GetData()),
                          text.bytes.GetSize());
  if (!digits.empty() && digits.back() == '\n') digits.remove_suffix(1);
  Secret key{QxMoxArray::CharArray_t(INSTALL_KEY_SIZE)};
  bool valid = digits.size() == 2 * INSTALL_KEY_SIZE;
  for (size_t i = 0; valid && i < INSTALL_KEY_SIZE; ++i) {
    const int high = HexDigit(digits[2 * i]), low = HexDigit(digits[2 * i + 1]);
    valid = high >= 0 && low >= 0;
    key.bytes.GetData()[i] = static_cast<char>(valid ? high * 16 + low : 0);
  }
  if (!valid) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t(
        "'" + path +
        "' does not hold an installation key (64 hexadecimal digits and a line feed)"));
  }
  return key;
}

}  // namespace QxCm
