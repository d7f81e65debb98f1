// AutoGranter: grants the requests that [sec.cm.server] AUTO_GRANT covers, off the intake path.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "Decisions.h"
#include "ServerSettings.h"
#include "Store.h"

namespace QxCmServer {

// AutoGranter grants on a thread of its own, so a node's reply to its request message never
// waits for an issue; a request reaches the node's outbox only after the intake has answered.
// At construction it takes up the pending requests the policy covers (those a stop or crash
// left undecided). Grants are made as actor "auto". A failed grant is logged and the request
// stays pending for an administrator. With policy NONE no thread runs.
// Store and decisions must outlive this object.
class AutoGranter {
 public:
  AutoGranter(AutoGrant_e policy, Store& store, Decisions& decisions);
  // ~AutoGranter finishes the grant in progress and drops the rest (they stay pending and are
  // taken up again at the next start).
  ~AutoGranter() { Stop(); }
  // Stop finishes the grant in progress and stops the thread; later offers only queue.
  void Stop();
  AutoGranter(const AutoGranter&) = delete;
  AutoGranter& operator=(const AutoGranter&) = delete;

  // Offer queues request for a grant when the policy covers it.
  void Offer(const Request& request);

  // Covers tells whether policy grants request at once.
  static bool Covers(AutoGrant_e policy, const Request& request);

 private:
  void Run(std::stop_token stop);

  AutoGrant_e m_policy;
  Decisions& m_decisions;
  std::mutex m_mutex;
  std::condition_variable_any m_wake;
  std::deque<Request> m_queue;
  std::jthread m_thread;  // last: it stops and joins before the members it uses go
};

}  // namespace QxCmServer
