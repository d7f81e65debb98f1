// UTF-16 text and its conversions to and from UTF-8 and ISO-8859-1.
#include "qxmox/String.h"

#include <algorithm>
#include <charconv>

namespace QxMoxStr {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

void AppendUtf8ToUtf16(std::string_view in, std::u16string& out) {
  // A UTF-8 byte never yields more than one UTF-16 unit (a 4-byte sequence gives two units), so
  // the text fits in in.size() more units; writing through a pointer keeps the per-character
  // cost of the common ASCII text at a load and a store.
  const size_t start = out.size();
  out.resize(start + in.size());
  char16_t* dst = out.data() + start;
  size_t i = 0;
  while (i < in.size()) {
    const auto b0 = static_cast<unsigned char>(in[i]);
    if (b0 < 0x80) {
      *dst++ = static_cast<char16_t>(b0);
      ++i;
      continue;
    }
    size_t len;
    char32_t cp, min;
    if ((b0 & 0xE0) == 0xC0) {
      len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
      *dst++ = kReplacement;
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j < len && i + j < in.size(); ++j) {
      const auto b = static_cast<unsigned char>(in[i + j]);
      if ((b & 0xC0) != 0x80) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (j < len || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      *dst++ = kReplacement;
      i += j;  // skip the lead byte and the continuation bytes that belonged to it
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *dst++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *dst++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *dst++ = static_cast<char16_t>(cp);
    }
    i += len;
  }
  out.resize(static_cast<size_t>(dst - out.data()));
}

std::u16string Utf8ToUtf16(std::string_view in) {
  std::u16string out;
  AppendUtf8ToUtf16(in, out);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const char16_t u = in[i];
    if (IsHighSurrogate(u) && i + 1 < in.size() && IsLowSurrogate(in[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(in[i + 1]) - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

String_t::String_t(const char* utf8) {
  if (utf8 == nullptr) {
    m_null = true;
  } else {
    m_text = Utf8ToUtf16(utf8);
  }
}

String_t::String_t(std::string_view utf8) : m_text(Utf8ToUtf16(utf8)) {}

String_t::String_t(std::u16string text) : m_text(std::move(text)) {}

String_t::String_t(const char16_t* units) {
  if (units == nullptr) {
    m_null = true;
  } else {
    m_text = units;
  }
}

String_t::String_t(const char16_t* units, size_t count) : m_text(units, count) {}

String_t String_t::Null() {
  String_t s;
  s.m_null = true;
  return s;
}

char16_t String_t::GetAt(size_t index) const {
  return index < m_text.size() ? m_text[index] : char16_t{0};
}

String_t String_t::Mid(size_t start, size_t count) const {
  if (start >= m_text.size()) return String_t();
  return String_t(m_text.substr(start, count));
}

long String_t::FindOneOf(const String_t& chars) const {
  const size_t pos = m_text.find_first_of(chars.m_text);
  return pos == std::u16string::npos ? -1 : static_cast<long>(pos);
}

long String_t::Find(const String_t& text, size_t from) const {
  const size_t pos = m_text.find(text.m_text, from);
  return pos == std::u16string::npos ? -1 : static_cast<long>(pos);
}

String_t& String_t::Append(const String_t& other) {
  m_text += other.m_text;
  m_null = false;
  return *this;
}

std::string String_t::ToUtf8() const { return Utf16ToUtf8(m_text); }

bool String_t::HasUnpairedSurrogate() const {
  for (size_t i = 0; i < m_text.size(); ++i) {
    if (IsHighSurrogate(m_text[i]) && i + 1 < m_text.size() && IsLowSurrogate(m_text[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(m_text[i]) || IsLowSurrogate(m_text[i])) {
      return true;
    }
  }
  return false;
}

// Well-formed UTF-8 is exactly what survives decoding and encoding again unchanged: anything
// malformed comes back as U+FFFD.
bool IsUtf8(std::string_view bytes) { return Utf16ToUtf8(Utf8ToUtf16(bytes)) == bytes; }

bool HasControlCharacter(std::string_view utf8) {
  return std::any_of(utf8.begin(), utf8.end(), IsControlCharacter);
}

MBS_t::MBS_t(const String_t& text, int encoding) : m_encoding(encoding) {
  if (encoding == ENC_LATIN1) {
    m_bytes.reserve(text.GetLength());
    for (char16_t u : text.Str()) m_bytes += static_cast<char>(u <= 0xFF ? u : '?');
  } else {
    m_encoding = ENC_UTF8;
    m_bytes = text.ToUtf8();
  }
}

MBS_t::MBS_t(std::string bytes, int encoding)
    : m_bytes(std::move(bytes)), m_encoding(encoding == ENC_LATIN1 ? ENC_LATIN1 : ENC_UTF8) {}

String_t MBS_t::ToString() const {
  if (m_encoding == ENC_LATIN1) {
    std::u16string units(m_bytes.size(), u'\0');
    std::transform(m_bytes.begin(), m_bytes.end(), units.begin(),
                   [](char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); });
    return String_t(std::move(units));
  }
  return String_t(std::string_view(m_bytes));
}

template <typename T>
static String_t FormatNumber(T value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;  // 24 bytes always hold a 64-bit number
  return String_t(std::string_view(buf, static_cast<size_t>(end - buf)));
}

String_t NumToStr(int64_t value) { return FormatNumber(value); }
String_t NumToStr(uint64_t value) { return FormatNumber(value); }

}  // namespace QxMoxStr
