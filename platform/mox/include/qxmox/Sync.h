// Machine-wide named locks (ProcessSync_t).
#pragma once

#include <string>

#include "qxmox/Io.h"
#include "qxmox/String.h"
#include "qxmox/Thread.h"

namespace QxMoxSync {

// SyncObj_t is a lock with Lock and Unlock.
class SyncObj_t {
 public:
  virtual ~SyncObj_t() = default;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
};

// ProcessSync_t(name) is an exclusive flock on QX_HOME/run/<name>.lock, shared by every process
// on the machine that uses the same name and QX_HOME. Lock first takes an in-process mutex of
// the object (a flock does not exclude threads sharing one open file description), then opens
// the lock file (created 0600, the run directory created when missing) and locks it; Unlock
// releases the file lock, closes the file and releases the mutex. So threads of one process
// share one ProcessSync_t object and take turns on its mutex. The kernel drops the file lock
// when a holder dies. Lock is reentrant on the thread that holds it (each Lock needs its
// Unlock). The lock file's path follows QX_HOME as set at each Lock; lock files stay in place.
class ProcessSync_t : public SyncObj_t {
 public:
  // ProcessSync_t(name) throws QxMoxMsg::IllegalArgumentError_t when name cannot be a file
  // name of its own: empty, ".", "..", containing '/' or NUL, or longer than 250 bytes.
  explicit ProcessSync_t(const QxMoxStr::String_t& name);
  ~ProcessSync_t() override;
  ProcessSync_t(const ProcessSync_t&) = delete;
  ProcessSync_t& operator=(const ProcessSync_t&) = delete;
  // Lock blocks until this thread holds the lock. Throws QxMoxIo::IOException_t when the lock
  // file cannot be opened or locked (the object is then unlocked).
  void Lock() override;
  // Unlock releases one Lock of the calling thread; without a Lock it does nothing.
  void Unlock() override;
  // GetPath returns the lock file's path under the current QX_HOME.
  std::string GetPath() const;

 private:
  std::string m_name;
  QxMoxThread::Mutex_t m_mutex;  // recursive; guards m_depth and m_fd
  int m_depth = 0;
  QxMoxIo::Fd_t m_fd;  // the open lock file while locked
};

// SyncLock_t holds a SyncObj_t for its scope.
class SyncLock_t {
 public:
  explicit SyncLock_t(SyncObj_t& obj) : m_obj(obj) { m_obj.Lock(); }
  ~SyncLock_t() { m_obj.Unlock(); }
  SyncLock_t(const SyncLock_t&) = delete;
  SyncLock_t& operator=(const SyncLock_t&) = delete;

 private:
  SyncObj_t& m_obj;
};

}  // namespace QxMoxSync
