// ConfigRecorder: a configuration change handler that keeps every change it is told of, for
// tests that wait for notifications from this process or another.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "qxmox/Config.h"

namespace QxTest {

class ConfigRecorder : public QxMoxConfig::ConfigChangeHandler_i {
 public:
  void ConfigChanged(const QxMoxConfig::ChangedConfiguration_t& change) override {
    std::lock_guard lock(m_mutex);
    m_changes.push_back(change);
    m_cond.notify_all();
  }
  // WaitFor waits until count changes arrived; false when timeout passed first.
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(m_mutex);
    return m_cond.wait_for(lock, timeout, [&] { return m_changes.size() >= count; });
  }
  size_t Count() {
    std::lock_guard lock(m_mutex);
    return m_changes.size();
  }
  QxMoxConfig::ChangedConfiguration_t At(size_t i) {
    std::lock_guard lock(m_mutex);
    return m_changes.at(i);
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  std::vector<QxMoxConfig::ChangedConfiguration_t> m_changes;
};

}  // namespace QxTest
