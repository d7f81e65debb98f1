#include "DeliveryThread.h"

#include <chrono>

#include "Swallow.h"
#include "qxmox/Exception.h"
#include "qxmox/Log.h"

namespace QxCmServer {

int64_t SystemClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void LogError(const std::string& text) {
  QxSecCm::Swallow([&] { QxMoxLog::Log(QxMoxMsg::CreateError_t(text)); });
}

DeliveryThread::DeliveryThread(std::string name, int64_t retryMs)
    : m_name(std::move(name)), m_retryMs(retryMs) {}

DeliveryThread::~DeliveryThread() { Stop(); }

void DeliveryThread::Run(const Pass& pass) {
  for (;;) {
    int64_t sleepMs = m_retryMs;
    // The top of the thread: a failed pass (the store unreachable) is logged and tried again.
    try {
      sleepMs = pass();
    } catch (const std::exception& e) {
      LogError(m_name + ": " + e.what());
    }
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(sleepMs, 0)),
                    [this] { return m_woken || m_stopping; });
    if (m_stopping) return;
    m_woken = false;
  }
}

void DeliveryThread::Start(Pass pass) {
  std::lock_guard lock(m_mutex);
  if (m_thread.joinable()) return;
  m_stopping = false;
  m_woken = false;
  m_thread = std::thread([this, pass = std::move(pass)] { Run(pass); });
}

void DeliveryThread::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void DeliveryThread::Wake() {
  {
    std::lock_guard lock(m_mutex);
    m_woken = true;
  }
  m_wake.notify_all();
}

bool DeliveryThread::Stopping() const {
  std::lock_guard lock(m_mutex);
  return m_stopping;
}

}  // namespace QxCmServer
