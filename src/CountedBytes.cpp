// CountedBytes: length-prefixed byte arrays whose reads are bounded by the data present.
#include "CountedBytes.h"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "qxmox/Exception.h"

namespace QxSecCm {

void WriteCountedBytes(QxMoxIo::DataOutputStream_t& out, const QxMoxArray::CharArray_t& bytes) {
  if (bytes.GetSize() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    QxMoxMsg::ThrowIllegalArgument("Byte array too long for an Int32 length");
  }
  out.WriteInt32(static_cast<int32_t>(bytes.GetSize()));
  out.Write(bytes.GetData(), bytes.GetSize());
}

bool TryReadBytes(QxMoxIo::DataInputStream_t& in, int32_t length, QxMoxArray::CharArray_t& bytes) {
  if (length < 0) return false;
  const long long remaining = in.Remaining();
  if (remaining >= 0 && length > remaining) return false;
  constexpr size_t kPiece = 64 * 1024;
  QxMoxArray::CharArray_t read;
  for (size_t left = static_cast<size_t>(length); left > 0;) {
    const size_t piece = std::min(left, kPiece);
    const size_t at = read.GetSize();
    read.Resize(at + piece);
    size_t got = 0;
    while (got < piece) {
      const size_t n = in.Read(read.GetData() + at + got, piece - got);
      if (n == 0) return false;
      got += n;
    }
    left -= piece;
  }
  bytes = std::move(read);
  return true;
}

}  // namespace QxSecCm
