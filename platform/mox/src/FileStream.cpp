// File input and output streams on plain descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qxmox/FileCache.h"
#include "qxmox/Io.h"

namespace QxMoxIo {
namespace {

using QxMoxStr::String_t;

Fd_t OpenOrThrow(const std::string& path, int flags, mode_t mode) {
  Fd_t fd = OpenFd(path, flags, mode);
  if (!fd.Valid()) QxMoxMsg::ThrowErrno(String_t("cannot open ") + String_t(path), errno);
  return fd;
}

void ThrowClosed() { QxMoxMsg::ThrowIO("stream is closed"); }

}  // namespace

void OutputStream_t::Write(const QxMoxStr::String_t& text) {
  const std::string utf8 = text.ToUtf8();
  Write(utf8.data(), utf8.size());
}

// ---- FileInputStream_t ----------------------------------------------------------------------

FileInputStream_t::FileInputStream_t(const std::string& path)
    : m_fd(OpenOrThrow(path, O_RDONLY, 0)) {}

FileInputStream_t::~FileInputStream_t() = default;

size_t FileInputStream_t::Read(void* buffer, size_t length) {
  if (!m_fd.Valid()) ThrowClosed();
  if (length == 0) return 0;
  const ssize_t n = RetryOnEintr([&] { return read(m_fd.Get(), buffer, length); });
  if (n < 0) QxMoxMsg::ThrowErrno("read", errno);
  return static_cast<size_t>(n);
}

long long FileInputStream_t::Remaining() const {
  if (!m_fd.Valid()) return -1;
  struct stat st {};
  if (fstat(m_fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const off_t pos = lseek(m_fd.Get(), 0, SEEK_CUR);
  if (pos < 0) return -1;
  return pos >= st.st_size ? 0 : static_cast<long long>(st.st_size - pos);
}

void FileInputStream_t::Close() { m_fd.Reset(); }

// ---- FileOutputStream_t ---------------------------------------------------------------------

FileOutputStream_t::FileOutputStream_t(const std::string& path, bool append, mode_t mode)
    : m_fd(OpenOrThrow(path, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), mode)) {}

FileOutputStream_t::~FileOutputStream_t() = default;

void FileOutputStream_t::Write(const void* data, size_t length) {
  if (!m_fd.Valid()) ThrowClosed();
  if (!TryWriteAll(m_fd.Get(), data, length)) QxMoxMsg::ThrowErrno("write", errno);
}

void FileOutputStream_t::Sync() {
  if (!m_fd.Valid()) ThrowClosed();
  if (fdatasync(m_fd.Get()) != 0) QxMoxMsg::ThrowErrno("fdatasync", errno);
}

void FileOutputStream_t::Close() {
  const bool wrote = m_fd.Valid();
  // A failed close can be the first report of a lost write (NFS, quotas).
  if (!m_fd.Close()) QxMoxMsg::ThrowErrno("close", errno);
  if (wrote) ForgetCachedFiles();
}

}  // namespace QxMoxIo
