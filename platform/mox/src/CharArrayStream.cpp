// Byte-array input stream.
#include <algorithm>
#include <cstring>

#include "qxmox/Io.h"

namespace QxMoxIo {

size_t CharArrayInputStream_t::Read(void* buffer, size_t length) {
  const size_t count = std::min(length, m_bytes.GetSize() - m_pos);
  if (count > 0) memcpy(buffer, m_bytes.GetData() + m_pos, count);
  m_pos += count;
  return count;
}

}  // namespace QxMoxIo
