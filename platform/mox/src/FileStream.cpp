// File input and output streams on plain descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qxmox/Io.h"

namespace QxMoxIo {
namespace {

using QxMoxStr::String_t;

int OpenOrThrow(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) QxMoxMsg::ThrowErrno(String_t("cannot open ") + String_t(path), errno);
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

FileInputStream_t::~FileInputStream_t() { Close(); }

size_t FileInputStream_t::Read(void* buffer, size_t length) {
  if (m_fd < 0) ThrowClosed();
  if (length == 0) return 0;
  for (;;) {
    const ssize_t n = read(m_fd, buffer, length);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) QxMoxMsg::ThrowErrno("read", errno);
  }
}

long long FileInputStream_t::Remaining() const {
  if (m_fd < 0) return -1;
  struct stat st {};
  if (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const off_t pos = lseek(m_fd, 0, SEEK_CUR);
  if (pos < 0) return -1;
  return pos >= st.st_size ? 0 : static_cast<long long>(st.st_size - pos);
}

void FileInputStream_t::Close() {
  if (m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
}

// ---- FileOutputStream_t ---------------------------------------------------------------------

FileOutputStream_t::FileOutputStream_t(const std::string& path, bool append, mode_t mode)
    : m_fd(OpenOrThrow(path, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), mode)) {}

FileOutputStream_t::~FileOutputStream_t() {
  if (m_fd >= 0) close(m_fd);
}

void FileOutputStream_t::Write(const void* data, size_t length) {
  if (m_fd < 0) ThrowClosed();
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = write(m_fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      QxMoxMsg::ThrowErrno("write", errno);
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
}

void FileOutputStream_t::Sync() {
  if (m_fd < 0) ThrowClosed();
  if (fdatasync(m_fd) != 0) QxMoxMsg::ThrowErrno("fdatasync", errno);
}

void FileOutputStream_t::Close() {
  if (m_fd < 0) return;
  const int fd = m_fd;
  m_fd = -1;
  // A failed close can be the first report of a lost write (NFS, quotas). EINTR is not
  // retried: on Linux the descriptor is gone either way.
  if (close(fd) != 0 && errno != EINTR) QxMoxMsg::ThrowErrno("close", errno);
}

}  // namespace QxMoxIo
