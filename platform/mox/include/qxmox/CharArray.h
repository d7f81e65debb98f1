// Byte arrays (CharArray_t) and UTF-16 code-unit arrays (UTF16CharArray_t).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qxmox/String.h"

namespace QxMoxArray {

// CharArray_t is an owned, resizable array of bytes.
class CharArray_t {
 public:
  CharArray_t() = default;
  explicit CharArray_t(size_t size) : m_data(size) {}
  CharArray_t(const void* data, size_t size);
  explicit CharArray_t(std::string_view bytes) : CharArray_t(bytes.data(), bytes.size()) {}

  unsigned char* GetData() { return m_data.data(); }
  const unsigned char* GetData() const { return m_data.data(); }
  size_t GetSize() const { return m_data.size(); }
  bool IsEmpty() const { return m_data.empty(); }
  // Resize keeps the first bytes; new bytes are zero.
  void Resize(size_t size) { m_data.resize(size); }
  unsigned char& operator[](size_t i) { return m_data[i]; }
  const unsigned char& operator[](size_t i) const { return m_data[i]; }
  std::string_view View() const {
    return {reinterpret_cast<const char*>(m_data.data()), m_data.size()};
  }
  std::string ToStdString() const { return std::string(View()); }
  void Append(const void* data, size_t size);

  // Copy copies length bytes from src at srcOffset to dst at dstOffset, growing dst when
  // needed. Throws QxMoxMsg::IllegalArgumentError_t when the source range is out of bounds.
  static void Copy(const CharArray_t& src, size_t srcOffset, CharArray_t& dst, size_t dstOffset,
                   size_t length);

  friend bool operator==(const CharArray_t&, const CharArray_t&) = default;

 private:
  std::vector<unsigned char> m_data;
};

// UTF16CharArray_t is an owned array of UTF-16 code units.
class UTF16CharArray_t {
 public:
  UTF16CharArray_t() = default;
  explicit UTF16CharArray_t(const QxMoxStr::String_t& text)
      : m_data(text.Str().begin(), text.Str().end()) {}
  UTF16CharArray_t(const char16_t* data, size_t size) : m_data(data, data + size) {}
  const char16_t* GetData() const { return m_data.data(); }
  char16_t* GetData() { return m_data.data(); }
  size_t GetSize() const { return m_data.size(); }
  bool IsEmpty() const { return m_data.empty(); }
  void Resize(size_t size) { m_data.resize(size); }
  QxMoxStr::String_t ToString() const { return QxMoxStr::String_t(m_data.data(), m_data.size()); }

 private:
  std::vector<char16_t> m_data;
};

}  // namespace QxMoxArray
