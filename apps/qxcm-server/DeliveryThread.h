// DeliveryThread: the loop shared by the server's delivery threads: run a pass, sleep until the
// time it asks for or a wake-up, until stopped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace QxCmServer {

// Clock returns the time in milliseconds since the epoch (the store's time scale).
using Clock = std::function<int64_t()>;
// SystemClockMs is the real clock.
int64_t SystemClockMs();

// LogError writes text to the platform log as an error; a failure of the log itself is ignored,
// since the delivery threads have no one to report it to.
void LogError(const std::string& text);

// DeliveryThread runs pass on its own thread again and again: pass returns how many
// milliseconds to sleep before the next pass, and Wake cuts that sleep short (a wake-up that
// comes while a pass runs is kept for the next sleep). An exception escaping pass is logged
// under name and the next pass comes after retryMs.
class DeliveryThread {
 public:
  using Pass = std::function<int64_t()>;
  DeliveryThread(std::string name, int64_t retryMs);
  // ~DeliveryThread stops the thread.
  ~DeliveryThread();
  DeliveryThread(const DeliveryThread&) = delete;
  DeliveryThread& operator=(const DeliveryThread&) = delete;

  // Start starts the thread running pass; a second Start while running does nothing.
  void Start(Pass pass);
  // Stop lets the pass in progress finish and joins the thread; Start may follow.
  void Stop();
  void Wake();
  // Stopping tells a pass in progress that Stop was called, so that it can cut its work short.
  bool Stopping() const;

 private:
  void Run(const Pass& pass);

  const std::string m_name;
  const int64_t m_retryMs;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_woken = false;
  bool m_stopping = false;
  std::thread m_thread;  // last: it ends before the members it uses
};

}  // namespace QxCmServer
