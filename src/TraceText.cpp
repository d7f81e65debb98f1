// TraceText: fragments in malloc'ed memory, so running out of memory is a result, not a throw.
#include "qxseccm/TraceText.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/Message.h"
#include "qxmox/Net.h"
#include "qxmox/String.h"

namespace QxSecCmTrc {
namespace {

constexpr const char* kOutOfMemory = "ERROR: Out of memory!";
constexpr int kFormatIdAndDetails = 36;  // QxMoxMsg::FMT_ID | QxMoxMsg::FMT_DETAILS
static_assert(kFormatIdAndDetails == (QxMoxMsg::FMT_ID | QxMoxMsg::FMT_DETAILS));

char* CopyOf(const char* text, size_t length) noexcept {
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

// The byte as AppendBinary writes it; taken as signed, so bytes from 128 up are below 32.
char Printable(unsigned char byte) {
  const auto c = static_cast<signed char>(byte);
  if (c == '\r') return '\r';
  if (c < 32 || c == 127) return '.';
  return static_cast<char>(c);
}

// AddChecked adds to total unless that would wrap; false then.
bool AddChecked(size_t& total, size_t more) {
  if (more > SIZE_MAX - total) return false;
  total += more;
  return true;
}

}  // namespace

TraceText::~TraceText() {
  std::free(m_text);
  // Iterative, so a long chain cannot exhaust the stack.
  TraceText* node = m_next;
  while (node != nullptr) {
    TraceText* next = node->m_next;
    node->m_next = nullptr;
    delete node;
    node = next;
  }
}

void TraceText::Append(char* text) {
  if (text == nullptr) return;
  TraceText* node = this;
  while (node->m_text != nullptr) {
    if (node->m_next == nullptr) {
      node->m_next = new (std::nothrow) TraceText;
      if (node->m_next == nullptr) {
        std::free(text);
        return;
      }
    }
    node = node->m_next;
  }
  node->m_text = text;
}

void TraceText::AppendCopy(const char* text, size_t length) { Append(CopyOf(text, length)); }

void TraceText::Collapse(char* joined) {
  std::free(m_text);
  TraceText* rest = m_next;
  m_next = nullptr;
  while (rest != nullptr) {
    TraceText* next = rest->m_next;
    rest->m_next = nullptr;
    delete rest;
    rest = next;
  }
  m_text = joined;
}

const TraceText* TraceText::Node(int i) const {
  const TraceText* node = this;
  for (int k = 0; k < i && node != nullptr; ++k) node = node->m_next;
  return node;
}

TraceText& TraceText::operator<<(const char* text) {
  if (text != nullptr && *text != '\0') AppendCopy(text, std::strlen(text));
  return *this;
}

TraceText& TraceText::operator<<(const unsigned short* text) {
  if (text == nullptr || *text == 0) return *this;
  try {
    std::u16string units;
    for (const unsigned short* p = text; *p != 0; ++p) units.push_back(static_cast<char16_t>(*p));
    const std::string mb = QxMoxStr::Utf16ToUtf8(units);
    AppendCopy(mb.data(), mb.size());
  } catch (const std::bad_alloc&) {
  }
  return *this;
}

TraceText& TraceText::operator<<(const char16_t* text) {
  if (text == nullptr || *text == 0) return *this;
  try {
    const std::string mb = QxMoxStr::Utf16ToUtf8(text);
    AppendCopy(mb.data(), mb.size());
  } catch (const std::bad_alloc&) {
  }
  return *this;
}

TraceText& TraceText::operator<<(const void* pointer) {
  char buf[32];
  const int n = std::snprintf(buf, sizeof buf, "0x%lX",
                              static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pointer)));
  AppendCopy(buf, static_cast<size_t>(n));
  return *this;
}

TraceText& TraceText::operator<<(const QxMoxArray::CharArray_t& bytes) {
  const size_t size = bytes.GetSize();
  if (size > static_cast<size_t>(INT32_MAX)) return *this;
  static const unsigned char kNone = 0;
  AppendBinary(size == 0 ? &kNone : bytes.GetData(), static_cast<int>(size));
  return *this;
}

TraceText& TraceText::operator<<(const QxMoxArray::UTF16CharArray_t& units) {
  if (units.IsEmpty()) return *this;
  try {
    const std::string mb =
        QxMoxStr::Utf16ToUtf8(std::u16string_view(units.GetData(), units.GetSize()));
    AppendCopy(mb.data(), mb.size());
  } catch (const std::bad_alloc&) {
  }
  return *this;
}

TraceText& TraceText::operator<<(const QxMoxStr::String_t& text) {
  if (text.GetLength() == 0) return *this;
  try {
    const std::string mb = text.ToUtf8();
    AppendCopy(mb.data(), mb.size());
  } catch (const std::bad_alloc&) {
  }
  return *this;
}

TraceText& TraceText::operator<<(const QxMoxStr::MBS_t& text) {
  AppendCopy(text.c_str(), text.GetLength());
  return *this;
}

TraceText& TraceText::operator<<(const QxMoxStr::UTF8_t& text) {
  // The default multibyte encoding is UTF-8, so the bytes carry over as they are.
  AppendCopy(text.c_str(), text.GetLength());
  return *this;
}

TraceText& TraceText::operator<<(const QxMoxNet::URI_t& uri) {
  try {
    *this << uri.ToString();
  } catch (const std::bad_alloc&) {
  }
  return *this;
}

TraceText& TraceText::operator<<(const QxMoxMsg::Message_t& message) {
  try {
    *this << message.Format(kFormatIdAndDetails);
  } catch (const std::bad_alloc&) {
  }
  return *this;
}

TraceText& TraceText::operator<<(const QxMoxMsg::Exception_t& exception) {
  try {
    *this << exception.GetMessageList().Format(kFormatIdAndDetails);
  } catch (const std::bad_alloc&) {
  }
  return *this;
}

TraceText& TraceText::operator<<(bool value) { return *this << (value ? "true" : "false"); }

TraceText& TraceText::operator<<(int value) {
  char buf[16];
  AppendCopy(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%d", value)));
  return *this;
}

TraceText& TraceText::operator<<(unsigned int value) {
  char buf[16];
  AppendCopy(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%u", value)));
  return *this;
}

TraceText& TraceText::operator<<(uint64_t value) {
  char buf[24];
  AppendCopy(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%" PRIu64, value)));
  return *this;
}

TraceText& TraceText::operator<<(long value) { return *this << static_cast<long long>(value); }

TraceText& TraceText::operator<<(long long value) {
  char buf[24];
  AppendCopy(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%lld", value)));
  return *this;
}

TraceText& TraceText::operator<<(AsHex value) {
  const uint32_t v = value.Value();
  const char* format = v < 0x100 ? "{%02X}" : v < 0x10000 ? "{%04X}" : "{%08X}";
  char buf[16];
  AppendCopy(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, format, v)));
  return *this;
}

TraceText& TraceText::operator<<(unsigned short unit) {
  if (unit == 0) return *this;
  if (unit == '&') return *this << "&amp;";
  char buf[8];
  int n;
  if (unit >= 256) {
    n = std::snprintf(buf, sizeof buf, "&%04X;", unit);
  } else if (unit >= 128) {
    n = std::snprintf(buf, sizeof buf, "&%02X;", unit);
  } else {
    buf[0] = static_cast<char>(unit);
    n = 1;
  }
  AppendCopy(buf, static_cast<size_t>(n));
  return *this;
}

TraceText& TraceText::operator<<(char c) {
  if (c != '\0') AppendCopy(&c, 1);
  return *this;
}

void TraceText::AppendBinary(const void* data, int length) {
  if (data == nullptr || length < 0) return;
  const auto* bytes = static_cast<const unsigned char*>(data);
  const auto count = static_cast<size_t>(length);
  char* text = static_cast<char*>(std::malloc(count + 3));
  if (text == nullptr) return;
  text[0] = '{';
  for (size_t i = 0; i < count; ++i) text[i + 1] = Printable(bytes[i]);
  text[count + 1] = '}';
  text[count + 2] = '\0';
  Append(text);
}

const char* TraceText::GetMsg() {
  if (m_next == nullptr) return m_text != nullptr ? m_text : "";
  size_t total = 0;
  for (const TraceText* node = this; node != nullptr && node->m_text != nullptr;
       node = node->m_next) {
    if (!AddChecked(total, std::strlen(node->m_text))) return kOutOfMemory;
  }
  char* joined = total < SIZE_MAX ? static_cast<char*>(std::malloc(total + 1)) : nullptr;
  if (joined == nullptr) return kOutOfMemory;
  char* out = joined;
  for (const TraceText* node = this; node != nullptr && node->m_text != nullptr;
       node = node->m_next) {
    const size_t length = std::strlen(node->m_text);
    std::memcpy(out, node->m_text, length);
    out += length;
  }
  *out = '\0';
  Collapse(joined);
  return m_text;
}

const char* TraceText::GetCombinedMsg() {
  if (m_text == nullptr) return "";
  const char* const templ = m_text;
  // A '%' names fragment d for a digit d from 1 to 9, else fragment 0 (the template).
  const auto argument = [this](char c) { return (*this)[c >= '1' && c <= '9' ? c - '0' : 0]; };

  size_t total = 0;
  for (const char* p = templ; *p != '\0'; ++p) {
    size_t more = 1;
    if (p[0] == '%' && p[1] != '\0') {
      more = std::strlen(argument(p[1]));
      ++p;
    }
    if (!AddChecked(total, more)) return kOutOfMemory;
  }
  char* combined = total < SIZE_MAX ? static_cast<char*>(std::malloc(total + 1)) : nullptr;
  if (combined == nullptr) return kOutOfMemory;
  char* out = combined;
  for (const char* p = templ; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] != '\0') {
      const char* arg = argument(p[1]);
      const size_t length = std::strlen(arg);
      std::memcpy(out, arg, length);
      out += length;
      ++p;
    } else {
      *out++ = *p;
    }
  }
  *out = '\0';
  Collapse(combined);
  return m_text;
}

const char* TraceText::operator[](int i) const {
  const TraceText* node = Node(i);
  return node != nullptr && node->m_text != nullptr ? node->m_text : "";
}

}  // namespace QxSecCmTrc
