// Threads, mutexes, scoped locks, condition variables, semaphores and barriers.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "qxmox/String.h"

namespace QxMoxThread {

// Runnable_i is the work of a thread: Run, then Done(true) when Run returned normally or
// Done(false) when it threw. Done may delete the runnable. Whatever Run or Done throws stays
// on the thread: it never ends the process.
class Runnable_i {
 public:
  virtual ~Runnable_i() = default;
  virtual void Run() = 0;
  virtual void Done(bool /*completed*/) {}
};

// Thread_t starts a named, detached thread (the kernel keeps the name's first 15 bytes). The
// Thread_t object may go away while the thread runs; the runnable must outlive Run and Done.
class Thread_t {
 public:
  explicit Thread_t(QxMoxStr::String_t name) : m_name(std::move(name)) {}
  // Start runs runnable->Run() then runnable->Done() on a new thread. Throws
  // QxMoxMsg::RuntimeException_t when no thread can be created (Done is then not called),
  // IllegalArgumentError_t for a null runnable.
  void Start(Runnable_i* runnable);
  const QxMoxStr::String_t& GetName() const { return m_name; }
  // CurrentID returns the calling thread's id (the kernel thread id).
  static uint64_t CurrentID();

 private:
  QxMoxStr::String_t m_name;
};

// Mutex_t is a plain mutex, or a recursive one when built with true. Lock and TryLock throw
// QxMoxMsg::RuntimeException_t only when the system refuses (a recursive lock count limit).
class Mutex_t {
 public:
  explicit Mutex_t(bool recursive = false);
  ~Mutex_t();
  Mutex_t(const Mutex_t&) = delete;
  Mutex_t& operator=(const Mutex_t&) = delete;
  void Lock();
  bool TryLock();
  void Unlock();
  pthread_mutex_t* Native() { return &m_mutex; }

 private:
  pthread_mutex_t m_mutex;
};

// MutexLock_t holds a mutex for its scope.
class MutexLock_t {
 public:
  explicit MutexLock_t(Mutex_t& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
  ~MutexLock_t() { m_mutex.Unlock(); }
  MutexLock_t(const MutexLock_t&) = delete;
  MutexLock_t& operator=(const MutexLock_t&) = delete;

 private:
  Mutex_t& m_mutex;
};

// CondVar_t is a condition variable on the monotonic clock. The mutex must be held (once; a
// recursive mutex held more deeply is released only one level while waiting). A wait may
// also end without a signal, so callers wait in a loop on their condition.
class CondVar_t {
 public:
  CondVar_t();
  ~CondVar_t();
  CondVar_t(const CondVar_t&) = delete;
  CondVar_t& operator=(const CondVar_t&) = delete;
  void Wait(Mutex_t& mutex);
  // Wait returns false when the time ran out before a signal; a negative time counts as 0.
  bool Wait(Mutex_t& mutex, long milliseconds);
  void Signal();
  void Broadcast();

 private:
  pthread_cond_t m_cond;
};

// Semaphore_t is a counting semaphore: Wait takes one from the count, blocking while it is 0;
// Post adds one (IllegalStateError_t when the count would overflow).
class Semaphore_t {
 public:
  explicit Semaphore_t(unsigned count = 0);
  void Wait();
  // Wait returns false when the time ran out (a negative time counts as 0).
  bool Wait(long milliseconds);
  bool TryWait();
  void Post();

 private:
  Mutex_t m_mutex;
  CondVar_t m_cond;
  unsigned m_count;
};

// Barrier_t opens once Reached has been called count times (at once with count 0); Wait
// blocks until then. It stays open; further Reached calls do nothing.
class Barrier_t {
 public:
  explicit Barrier_t(unsigned count = 1);
  void Reached();
  void Wait();
  // Wait returns false when the time ran out before the barrier opened.
  bool Wait(long milliseconds);

 private:
  Mutex_t m_mutex;
  CondVar_t m_cond;
  unsigned m_remaining;
};

}  // namespace QxMoxThread
