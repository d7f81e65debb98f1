// SerialFile: reserving the next serial numbers in the machine's serial-number file.
#include "SerialFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <string>

#include "CryptoSupport.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxmox/Runtime.h"
#include "qxmox/Sync.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/ExceptionTracer.h"

namespace QxSecCm {
namespace {

constexpr const char* kDirectory = "sec/cs/";
constexpr const char* kFile = "sec/cs/serial.dat";
constexpr size_t kSerialSize = 4;
constexpr uint32_t kLastSerial = 0xFFFFFFFF;

// FailOn reports message number about path, with the text of errno as its detail when set.
[[noreturn]] void FailOn(int number, const QxMoxStr::String_t& path,
                         Crypto::Where where = QXSECCM_HERE) {
  const int error = errno;
  QxMoxMsg::Message_t message = Catalog::Warn(number) << path;
  if (error != 0) message.AddDetails(QxMoxMsg::Win32Message_t(error));
  Crypto::Fail(ExceptionTracer::Server, message, where);
}

// FailUnusable throws message 21 for a serial file that must not be drawn from, with why as
// its details.
[[noreturn]] void FailUnusable(const QxMoxStr::String_t& path, const char* why,
                               Crypto::Where where = QXSECCM_HERE) {
  QxMoxMsg::Message_t message = Catalog::Warn(21) << path;
  message.AddDetails(QxMoxMsg::CreateWarn_t(QxMoxStr::String_t(why)));
  Crypto::Fail(ExceptionTracer::Server, message, where);
}

uint32_t FromLittleEndian(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void ToLittleEndian(uint32_t value, unsigned char* bytes) {
  for (size_t i = 0; i < kSerialSize; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

// ReadAll reads up to length bytes at offset 0; returns the count, or -1 on an error.
ssize_t ReadAll(int fd, unsigned char* bytes, size_t length) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n = QxMoxIo::RetryOnEintr(
        [&] { return ::pread(fd, bytes + got, length - got, static_cast<off_t>(got)); });
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

SerialFile::Block SerialFile::ReserveLocked(uint32_t count) {
  const QxMoxStr::String_t directory = QxMoxRuntime::Dir_t::Path(7, kDirectory);
  const QxMoxStr::String_t path = QxMoxRuntime::Dir_t::Path(7, kFile);

  const QxMoxIo::File_t dir(directory);
  // The data directory and "sec/cs" are kept to their owner, also when found wider.
  if (!QxMoxIo::TryMakePrivateDirectory(QxMoxRuntime::Dir_t::Path(7, "").ToUtf8()) ||
      !QxMoxIo::TryMakePrivateDirectory(dir.GetPath())) {
    FailOn(20, directory);
  }

  const std::string file = path.ToUtf8();
  bool created = false;
  QxMoxIo::Fd_t fd = QxMoxIo::OpenOrCreate(file, O_RDWR | O_NOFOLLOW, 0600, created);
  if (!fd.Valid() || !QxMoxIo::TryRestrictToOwner(file)) FailOn(21, path);

  unsigned char bytes[kSerialSize] = {};
  const ssize_t got = ReadAll(fd.Get(), bytes, kSerialSize);
  if (got < 0) FailOn(21, path);
  // An empty file is what a crash during the very first write leaves: no number was handed out
  // from it. A cut one may have lost any number, so none is guessed.
  if (got != 0 && got != static_cast<ssize_t>(kSerialSize)) {
    FailUnusable(path,
                 "The serial number file holds fewer than 4 bytes: the last number "
                 "issued is unknown, so no further number is handed out.");
  }
  const uint32_t last = got == 0 ? 0 : FromLittleEndian(bytes);
  // The next number would wrap to 0, the CA's own number, and then repeat those issued.
  if (last == kLastSerial) {
    FailUnusable(path,
                 "The serial number file holds the largest number it can hold "
                 "(4294967295): no further certificate can be issued.");
  }
  const Block block{last + 1, std::clamp(count, uint32_t{1}, kLastSerial - last)};

  ToLittleEndian(last + block.count, bytes);
  // The block's end must be on disk before anyone can see a certificate that carries a number
  // of it: a number that only reached the page cache could be handed out again after a crash.
  // Four bytes are rewritten in place (pread leaves the offset at 0) with one fdatasync, under
  // the lock: a sector write does not tear them, and a replacing rename would cost a file and
  // a directory sync per draw.
  if (!QxMoxIo::TryWriteAll(fd.Get(), bytes, kSerialSize) || ::fdatasync(fd.Get()) != 0) {
    FailOn(22, path);
  }
  if (created && !QxMoxIo::TrySyncDirectory(dir.GetPath())) FailOn(22, path);
  if (!fd.Close()) FailOn(22, path);
  return block;
}

SerialFile::Block SerialFile::Reserve(QxMoxSync::SyncObj_t& lock, uint32_t count) {
  lock.Lock();
  Block block{};
  std::exception_ptr failure;
  try {
    block = ReserveLocked(count);
  } catch (...) {
    failure = std::current_exception();
  }
  lock.Unlock();
  if (failure) std::rethrow_exception(failure);
  return block;
}

}  // namespace QxSecCm
