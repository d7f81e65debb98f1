// SerialFile: the machine's certificate serial numbers in "sec/cs/serial.dat".
#pragma once

#include <cstdint>

namespace QxMoxSync {
class SyncObj_t;
}

namespace QxSecCm {

// SerialFile hands out serial numbers from the file "sec/cs/serial.dat" under the data
// directory: 4 bytes, the last number issued, unsigned little-endian; an absent file or one of
// fewer than 4 bytes counts as 0.
class SerialFile {
 public:
  // Draw locks lock, creates "sec/cs/" when missing (restricted to its owner), reads the last
  // number, writes it plus 1 back in place, makes the file durable (fdatasync; for a new file
  // also its directory entry), closes the file and unlocks; returns the new number. Every
  // failure is thrown after the file is closed and the lock released: RuntimeException_t with
  // message 20 (directory), 21 (open or read) or 22 (write or sync), the path as %1 and the
  // system's reason as details; 149 from restricting the directory; the lock's own
  // IOException_t when it cannot be taken.
  static uint32_t Draw(QxMoxSync::SyncObj_t& lock);

 private:
  static uint32_t DrawLocked();
};

}  // namespace QxSecCm
