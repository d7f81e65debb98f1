// g_UseCertReq: the process-wide request element switch.
#include "qxseccm/UseCertReq.h"

#include <atomic>

#include "qxmox/Thread.h"

namespace QxSecCm {
namespace {

// Constant-initialised, so it is false before any static constructor of any library runs.
constinit std::atomic<bool> g_useCertReqFlag{false};

// Built on first use, so a caller in another library's static initialiser finds it ready.
QxMoxThread::Mutex_t& FlagMutex() {
  static QxMoxThread::Mutex_t mutex;
  return mutex;
}

}  // namespace

void g_UseCertReq::SetUseCertReq() {
  const QxMoxThread::MutexLock_t lock(FlagMutex());
  g_useCertReqFlag.store(true, std::memory_order_release);
}

bool g_UseCertReq::GetUseCertReq() { return g_useCertReqFlag.load(std::memory_order_acquire); }

}  // namespace QxSecCm
