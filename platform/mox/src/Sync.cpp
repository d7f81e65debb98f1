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

ProcessSync_t::~ProcessSync_t() = default;

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
    QxMoxIo::Fd_t fd = QxMoxIo::OpenFd(path, O_RDWR | O_CREAT, 0600);
    if (!fd.Valid()) {
      QxMoxMsg::ThrowErrno(QxMoxStr::String_t("cannot open lock file ") + path, errno);
    }
    if (QxMoxIo::RetryOnEintr([&] { return flock(fd.Get(), LOCK_EX); }) != 0) {
      QxMoxMsg::ThrowErrno(QxMoxStr::String_t("cannot lock ") + path, errno);
    }
    m_fd = std::move(fd);
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
    flock(m_fd.Get(), LOCK_UN);
    m_fd.Reset();
  }
  m_mutex.Unlock();
}

}  // namespace QxMoxSync
