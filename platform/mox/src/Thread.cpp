// Threads, mutexes, condition variables, semaphores and barriers on pthreads.
#include "qxmox/Thread.h"

#include <cxxabi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string>

#include "qxmox/Exception.h"

namespace QxMoxThread {
namespace {

// Linux keeps 15 bytes of a thread name; cut on a UTF-8 character boundary.
std::string KernelThreadName(const QxMoxStr::String_t& name) {
  std::string utf8 = name.ToUtf8();
  if (utf8.size() <= 15) return utf8;
  size_t cut = 15;
  while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
  utf8.resize(cut);
  return utf8;
}

struct StartArgs {
  Runnable_i* runnable;
  std::string name;
};

// The top of every thread: Done learns whether Run completed, and nothing thrown by the
// runnable may escape and terminate the process.
void* ThreadMain(void* arg) {
  std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(arg));
  if (!args->name.empty()) pthread_setname_np(pthread_self(), args->name.c_str());
  Runnable_i* runnable = args->runnable;
  args.reset();
  bool completed = true;
  // pthread_exit and cancellation unwind with a special exception that must pass through.
  try {
    runnable->Run();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    completed = false;
  }
  try {
    runnable->Done(completed);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
  return nullptr;
}

void CheckPthread(int rc, const char* what) {
  if (rc != 0) {
    QxMoxMsg::ThrowRuntime(QxMoxStr::String_t(what) + QxMoxStr::String_t(": ") +
                           QxMoxStr::String_t(strerror(rc)));
  }
}

// Deadline on the monotonic clock milliseconds from now; saturates instead of overflowing.
timespec DeadlineAfter(long milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const time_t addSec = static_cast<time_t>(milliseconds / 1000);
  long nsec = ts.tv_nsec + (milliseconds % 1000) * 1000000L;
  time_t carry = 0;
  if (nsec >= 1000000000L) {
    nsec -= 1000000000L;
    carry = 1;
  }
  const time_t maxSec = std::numeric_limits<time_t>::max();
  if (ts.tv_sec > maxSec - addSec - carry) {
    ts.tv_sec = maxSec;
    ts.tv_nsec = 999999999L;
  } else {
    ts.tv_sec += addSec + carry;
    ts.tv_nsec = nsec;
  }
  return ts;
}

// Milliseconds left until deadline, rounded up; 0 once it has passed.
long MillisLeft(std::chrono::steady_clock::time_point deadline) {
  const auto now = std::chrono::steady_clock::now();
  if (deadline <= now) return 0;
  return static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

std::chrono::steady_clock::time_point DeadlineFor(long milliseconds) {
  const auto now = std::chrono::steady_clock::now();
  if (milliseconds < 0) milliseconds = 0;
  // Cap far-away deadlines at about a century to stay within the clock's range.
  const long cap = 100L * 365 * 24 * 3600 * 1000;
  return now + std::chrono::milliseconds(milliseconds < cap ? milliseconds : cap);
}

}  // namespace

// ---- Thread_t -------------------------------------------------------------------------------

void Thread_t::Start(Runnable_i* runnable) {
  if (runnable == nullptr) QxMoxMsg::ThrowIllegalArgument("Thread_t::Start: no runnable");
  pthread_attr_t attr;
  CheckPthread(pthread_attr_init(&attr), "pthread_attr_init");
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto args = std::make_unique<StartArgs>(StartArgs{runnable, KernelThreadName(m_name)});
  pthread_t tid;
  const int rc = pthread_create(&tid, &attr, ThreadMain, args.get());
  pthread_attr_destroy(&attr);
  CheckPthread(rc, "cannot start thread");
  args.release();  // owned by the new thread now
}

uint64_t Thread_t::CurrentID() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

// ---- Mutex_t --------------------------------------------------------------------------------

Mutex_t::Mutex_t(bool recursive) {
  pthread_mutexattr_t attr;
  CheckPthread(pthread_mutexattr_init(&attr), "pthread_mutexattr_init");
  if (recursive) pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  const int rc = pthread_mutex_init(&m_mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  CheckPthread(rc, "pthread_mutex_init");
}

Mutex_t::~Mutex_t() { pthread_mutex_destroy(&m_mutex); }

void Mutex_t::Lock() { CheckPthread(pthread_mutex_lock(&m_mutex), "pthread_mutex_lock"); }

bool Mutex_t::TryLock() {
  const int rc = pthread_mutex_trylock(&m_mutex);
  if (rc == EBUSY) return false;
  CheckPthread(rc, "pthread_mutex_trylock");
  return true;
}

void Mutex_t::Unlock() { pthread_mutex_unlock(&m_mutex); }

// ---- CondVar_t ------------------------------------------------------------------------------

CondVar_t::CondVar_t() {
  pthread_condattr_t attr;
  CheckPthread(pthread_condattr_init(&attr), "pthread_condattr_init");
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  const int rc = pthread_cond_init(&m_cond, &attr);
  pthread_condattr_destroy(&attr);
  CheckPthread(rc, "pthread_cond_init");
}

CondVar_t::~CondVar_t() { pthread_cond_destroy(&m_cond); }

void CondVar_t::Wait(Mutex_t& mutex) {
  CheckPthread(pthread_cond_wait(&m_cond, mutex.Native()), "pthread_cond_wait");
}

bool CondVar_t::Wait(Mutex_t& mutex, long milliseconds) {
  const timespec deadline = DeadlineAfter(milliseconds);
  const int rc = pthread_cond_timedwait(&m_cond, mutex.Native(), &deadline);
  if (rc == ETIMEDOUT) return false;
  CheckPthread(rc, "pthread_cond_timedwait");
  return true;
}

void CondVar_t::Signal() { pthread_cond_signal(&m_cond); }

void CondVar_t::Broadcast() { pthread_cond_broadcast(&m_cond); }

// ---- Semaphore_t ----------------------------------------------------------------------------

Semaphore_t::Semaphore_t(unsigned count) : m_count(count) {}

void Semaphore_t::Wait() {
  MutexLock_t lock(m_mutex);
  while (m_count == 0) m_cond.Wait(m_mutex);
  --m_count;
}

bool Semaphore_t::Wait(long milliseconds) {
  const auto deadline = DeadlineFor(milliseconds);
  MutexLock_t lock(m_mutex);
  while (m_count == 0) {
    const long left = MillisLeft(deadline);
    if (left == 0) return false;
    m_cond.Wait(m_mutex, left);
  }
  --m_count;
  return true;
}

bool Semaphore_t::TryWait() {
  MutexLock_t lock(m_mutex);
  if (m_count == 0) return false;
  --m_count;
  return true;
}

void Semaphore_t::Post() {
  MutexLock_t lock(m_mutex);
  if (m_count == UINT_MAX) QxMoxMsg::ThrowIllegalState("Semaphore_t::Post: count overflow");
  ++m_count;
  m_cond.Signal();
}

// ---- Barrier_t ------------------------------------------------------------------------------

Barrier_t::Barrier_t(unsigned count) : m_remaining(count) {}

void Barrier_t::Reached() {
  MutexLock_t lock(m_mutex);
  if (m_remaining == 0) return;
  if (--m_remaining == 0) m_cond.Broadcast();
}

void Barrier_t::Wait() {
  MutexLock_t lock(m_mutex);
  while (m_remaining > 0) m_cond.Wait(m_mutex);
}

bool Barrier_t::Wait(long milliseconds) {
  const auto deadline = DeadlineFor(milliseconds);
  MutexLock_t lock(m_mutex);
  while (m_remaining > 0) {
    const long left = MillisLeft(deadline);
    if (left == 0) return false;
    m_cond.Wait(m_mutex, left);
  }
  return true;
}

}  // namespace QxMoxThread
