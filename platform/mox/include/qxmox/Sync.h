// Machine-wide named locks (ProcessSync_t).
#pragma once

#include <string>

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
// on the machine that uses the same name and QX_HOME. Lock first takes an in-process mutex (a
// flock does not exclude threads sharing one open file description), then the file lock;
// Unlock releases them in reverse. The kernel drops the file lock when a holder dies. Lock
// throws QxMoxIo::IOException_t when the lock file cannot be opened or locked.
class ProcessSync_t : public SyncObj_t {
 public:
  explicit ProcessSync_t(const QxMoxStr::String_t& name);
  ~ProcessSync_t() override;
  void Lock() override;
  void Unlock() override;
  // GetPath returns the lock file's path.
  std::string GetPath() const;

 private:
  std::string m_name;
  QxMoxThread::Mutex_t m_mutex;
  int m_fd = -1;
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
