// UTF-16 text (String_t) and its multibyte views (MBS_t, UTF8_t).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace QxMoxStr {

// String_t is UTF-16 text that may also be the null string (distinct from the empty one).
// Positions and lengths count UTF-16 code units.
class String_t {
 public:
  // String_t() is the empty (not null) string.
  String_t() = default;
  // String_t(utf8) decodes UTF-8; a null pointer gives the null string. Malformed sequences
  // become U+FFFD.
  String_t(const char* utf8);       // NOLINT(google-explicit-constructor)
  String_t(std::string_view utf8);  // NOLINT
  String_t(const std::string& utf8) : String_t(std::string_view(utf8)) {}  // NOLINT
  String_t(std::u16string text);                                           // NOLINT
  // String_t(units) copies NUL-terminated UTF-16 code units; null gives the null string.
  String_t(const char16_t* units);  // NOLINT
  String_t(const char16_t* units, size_t count);

  // Null returns the null string.
  static String_t Null();
  bool IsNull() const { return m_null; }
  // IsEmpty is true for the null and the empty string.
  bool IsEmpty() const { return m_text.empty(); }
  size_t GetLength() const { return m_text.size(); }
  // GetAt returns the code unit at index; an index past the end gives 0.
  char16_t GetAt(size_t index) const;
  // Mid returns count units from start (clamped to the text); npos means to the end.
  String_t Mid(size_t start, size_t count = std::u16string::npos) const;
  // FindOneOf returns the index of the first unit that is one of chars, or -1.
  long FindOneOf(const String_t& chars) const;
  long Find(const String_t& text, size_t from = 0) const;
  String_t& Append(const String_t& other);
  String_t& operator+=(const String_t& other) { return Append(other); }

  const std::u16string& Str() const { return m_text; }
  // GetBuffer returns NUL-terminated code units, valid while the string is unchanged.
  const char16_t* GetBuffer() const { return m_text.c_str(); }
  // ToUtf8 encodes as UTF-8; unpaired surrogates become U+FFFD.
  std::string ToUtf8() const;
  // HasUnpairedSurrogate tells whether the text holds a surrogate without its partner: text
  // that ToUtf8 cannot carry unchanged.
  bool HasUnpairedSurrogate() const;

  friend String_t operator+(String_t a, const String_t& b) { return a.Append(b); }
  // Comparison is by code units; the null string equals only the null string.
  friend bool operator==(const String_t& a, const String_t& b) {
    return a.m_null == b.m_null && a.m_text == b.m_text;
  }
  friend auto operator<=>(const String_t& a, const String_t& b) { return a.m_text <=> b.m_text; }

 private:
  std::u16string m_text;
  bool m_null = false;
};

// Encoding numbers for MBS_t: 0 is the default multibyte encoding (UTF-8), 1 is ISO-8859-1.
enum Encoding_e { ENC_DEFAULT = 0, ENC_UTF8 = 0, ENC_LATIN1 = 1 };

// MBS_t is text in a multibyte encoding, converted from a String_t.
class MBS_t {
 public:
  MBS_t() = default;
  // MBS_t(text, encoding) encodes text; in ISO-8859-1 a unit above 255 becomes '?'.
  explicit MBS_t(const String_t& text, int encoding = ENC_DEFAULT);
  // MBS_t(bytes, encoding) holds bytes already in that encoding.
  MBS_t(std::string bytes, int encoding);
  const char* c_str() const { return m_bytes.c_str(); }
  size_t GetLength() const { return m_bytes.size(); }
  int GetEncoding() const { return m_encoding; }
  const std::string& Str() const { return m_bytes; }
  // ToString decodes back into UTF-16.
  String_t ToString() const;

 private:
  std::string m_bytes;
  int m_encoding = ENC_DEFAULT;
};

// UTF8_t is UTF-8 text.
class UTF8_t {
 public:
  UTF8_t() = default;
  explicit UTF8_t(const String_t& text) : m_bytes(text.ToUtf8()) {}
  explicit UTF8_t(std::string utf8) : m_bytes(std::move(utf8)) {}
  const char* c_str() const { return m_bytes.c_str(); }
  size_t GetLength() const { return m_bytes.size(); }
  const std::string& Str() const { return m_bytes; }

 private:
  std::string m_bytes;
};

// NumToStr renders a number in decimal.
String_t NumToStr(int64_t value);
String_t NumToStr(uint64_t value);
inline String_t NumToStr(int value) { return NumToStr(static_cast<int64_t>(value)); }
inline String_t NumToStr(unsigned value) { return NumToStr(static_cast<uint64_t>(value)); }
inline String_t NumToStr(long long value) { return NumToStr(static_cast<int64_t>(value)); }
inline String_t NumToStr(unsigned long long value) {
  return NumToStr(static_cast<uint64_t>(value));
}

// IsUtf8 tells whether bytes are well-formed UTF-8, which String_t decodes without replacing
// anything (no stray, overlong or cut sequence, no surrogate, nothing beyond U+10FFFF).
bool IsUtf8(std::string_view bytes);
// IsControlCharacter tells whether the byte c is a control character: 0x00 to 0x1F or 0x7F.
inline bool IsControlCharacter(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b == 0x7F;
}
// HasControlCharacter tells whether utf8 holds a control character, U+0000 to U+001F or U+007F:
// UTF-8 encodes each as that one byte, never inside another character.
bool HasControlCharacter(std::string_view utf8);

// Encoding helpers shared by the runtime.
std::u16string Utf8ToUtf16(std::string_view utf8);
// AppendUtf8ToUtf16 decodes utf8 onto the end of out, reusing its capacity (for readers that
// decode many small pieces).
void AppendUtf8ToUtf16(std::string_view utf8, std::u16string& out);
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace QxMoxStr
