// Byte arrays.
#include "qxmox/CharArray.h"

#include <cstring>

#include "qxmox/Exception.h"

namespace QxMoxArray {

CharArray_t::CharArray_t(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  if (size > 0) m_data.assign(p, p + size);
}

void CharArray_t::Append(const void* data, size_t size) {
  if (size == 0) return;
  const auto* p = static_cast<const unsigned char*>(data);
  m_data.insert(m_data.end(), p, p + size);
}

void CharArray_t::Copy(const CharArray_t& src, size_t srcOffset, CharArray_t& dst,
                       size_t dstOffset, size_t length) {
  if (srcOffset > src.GetSize() || length > src.GetSize() - srcOffset) {
    QxMoxMsg::ThrowIllegalArgument("CharArray_t::Copy: source range out of bounds");
  }
  if (length == 0) return;
  if (dst.GetSize() < dstOffset + length) dst.Resize(dstOffset + length);
  std::memmove(dst.GetData() + dstOffset, src.GetData() + srcOffset, length);
}

}  // namespace QxMoxArray
