// SerialFile: the machine's certificate serial numbers in "sec/cs/serial.dat".
#pragma once

#include <cstdint>

namespace QxMoxSync {
class SyncObj_t;
}

namespace QxSecCm {

// SerialFile hands out serial numbers from the file "sec/cs/serial.dat" under the data
// directory: 4 bytes, the last number issued, unsigned little-endian; an absent or empty file
// counts as 0. Numbers never repeat: a file holding 4294967295 gives no further number (it
// would wrap to 0, the CA's own), and one of 1 to 3 bytes gives none (the last is unknown).
class SerialFile {
 public:
  // Block is a run of numbers handed out together: first, first + 1, ..., first + count - 1.
  struct Block {
    uint32_t first;
    uint32_t count;
  };

  // Reserve locks lock, creates the data directory and "sec/cs/" when missing and keeps both
  // and the file to their owner (0700 and 0600: wider modes found are narrowed), reads the last
  // number, writes it plus count back in place, makes the file durable (fdatasync; for a new
  // file also its directory entry), closes the file and unlocks; returns the block from the
  // last number plus 1. A block that would pass 4294967295 is shortened to end there, so no
  // number wraps; count 0 counts as 1. Every failure is thrown after the file is closed and the
  // lock released: RuntimeException_t with message 20 (a directory cannot be made or
  // restricted), 21 (open, restrict or read; also a file of 1 to 3 bytes or one at 4294967295,
  // with the reason in words as details) or 22 (write or sync), the path as %1 and the
  // system's reason as details; the lock's own IOException_t when it cannot be taken.
  static Block Reserve(QxMoxSync::SyncObj_t& lock, uint32_t count);

 private:
  static Block ReserveLocked(uint32_t count);
};

}  // namespace QxSecCm
