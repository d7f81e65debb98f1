// Machine-wide named locks: an in-process mutex plus an flock on a file under QX_HOME/run.
#include "qxmox/Sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "qxmox/Exception.h"
#include "qxmox/Runtime.h"

namespace QxMoxSync {
namespace {

// The name becomes a file name in the run directory, so it may not leave that directory.
std::string CheckedLockName(const QxMoxStr::String_t& name) {
  std::string utf8 = name.ToUtf8();
  // Leave room for ".lock" within NAME_MAX.
  if (name.IsEmpty() || utf8.size() > 250 || utf8 == "." || utf8 == ".." ||
      utf8.find_first_of(std::string("/\0", 2)) != std::string::npos) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("ProcessSync_t: not a usable lock name: \"") +
                                   name + QxMoxStr::String_t("\""));
  }
  return utf8;
}

}  // namespace

ProcessSync_t::ProcessSync_t(const QxMoxStr::String_t& name)
    : m_name(CheckedLockName(name)), m_mutex(true) {}

ProcessSync_t::~ProcessSync_t() {
  if (m_fd >= 0) close(m_fd);
}

std::string ProcessSync_t::GetPath() const {
  return QxMoxRuntime::Dir_t::Path(QxMoxRuntime::Dir_t::DIR_RUN, m_name + ".lock").ToUtf8();
}

void ProcessSync_t::Lock() {
  m_mutex.Lock();
  // A nested Lock on the same thread already holds the file lock; a second open file
  // description would wait for this very thread forever.
  if (m_depth++ > 0) return;
  try {
    QxMoxRuntime::Dir_t::EnsureDir(QxMoxRuntime::Dir_t::DIR_RUN);
    const std::string path = GetPath();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) QxMoxMsg::ThrowErrno(QxMoxStr::String_t("cannot open lock file ") + path, errno);
    while (flock(fd, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      close(fd);
      QxMoxMsg::ThrowErrno(QxMoxStr::String_t("cannot lock ") + path, err);
    }
    m_fd = fd;
  } catch (...) {
    m_depth = 0;
    m_mutex.Unlock();
    throw;
  }
}

void ProcessSync_t::Unlock() {
  if (m_depth == 0) return;  // not locked: nothing to release
  if (--m_depth == 0) {
    // Closing the only descriptor of the open file description drops the flock as well;
    // the explicit unlock documents the intent.
    flock(m_fd, LOCK_UN);
    close(m_fd);
    m_fd = -1;
  }
  m_mutex.Unlock();
}

}  // namespace QxMoxSync
