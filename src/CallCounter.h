// CallCounter: the count of a handler's calls in progress, which its destructor waits for.
#pragma once

#include "qxmox/Thread.h"

namespace QxSecCm {

// CallCounter counts the calls the messaging layer is making into a handler (Attach adds one,
// Detach takes one away), so that the handler's destructor can wait until none is left.
class CallCounter {
 public:
  void Enter() {
    QxMoxThread::MutexLock_t lock(m_mutex);
    ++m_calls;
  }
  void Leave() {
    QxMoxThread::MutexLock_t lock(m_mutex);
    if (--m_calls == 0) m_cond.Broadcast();
  }
  // WaitIdle returns when no call is in progress.
  void WaitIdle() {
    QxMoxThread::MutexLock_t lock(m_mutex);
    while (m_calls > 0) m_cond.Wait(m_mutex);
  }

 private:
  int m_calls = 0;
  QxMoxThread::Mutex_t m_mutex;
  QxMoxThread::CondVar_t m_cond;
};

}  // namespace QxSecCm
