// Counted byte arrays on the runtime's data streams: an Int32 length, then that many bytes.
#pragma once

#include <cstdint>

#include "qxmox/CharArray.h"
#include "qxmox/Io.h"

namespace QxSecCm {

// WriteCountedBytes writes the size of bytes as Int32, then the bytes. Throws
// QxMoxMsg::IllegalArgumentError_t for more than INT32_MAX bytes, and what the stream throws.
void WriteCountedBytes(QxMoxIo::DataOutputStream_t& out, const QxMoxArray::CharArray_t& bytes);

// TryReadBytes reads exactly length bytes (a length that came from the stream itself) into
// bytes. It returns false, with bytes unchanged, when length is negative, larger than the
// bytes the stream still holds (when the stream knows that, checked before anything is
// allocated) or when the data ends first; without a known remainder the bytes are read in
// 64 KiB pieces, so memory grows only with what actually arrives. Throws what the stream throws
// for a read error other than its end.
[[nodiscard]] bool TryReadBytes(QxMoxIo::DataInputStream_t& in, int32_t length,
                                QxMoxArray::CharArray_t& bytes);

}  // namespace QxSecCm
