// AutoGranter: which requests [sec.cm.server] AUTO_GRANT grants at once, and the grant of those
// a stop or crash left pending.
#pragma once

#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "Decisions.h"
#include "ServerSettings.h"
#include "Store.h"

namespace QxCmServer {

// AutoGranter tells which requests the policy grants at once. The intake grants the new ones
// itself, in the commit that stores them (Store::Commit), so that such a request costs one
// commit. At construction this object takes up the pending requests the policy covers (those a
// stop or crash left undecided, or stored under another policy) and grants them on a thread of
// its own, in groups of one commit each, so a long backlog does not hold up the start.
// Grants are made as actor "auto". A failed grant is logged and the request stays pending for
// an administrator. Store and decisions must outlive this object.
class AutoGranter {
 public:
  AutoGranter(AutoGrant_e policy, Store& store, Decisions& decisions);
  // ~AutoGranter finishes the group in progress and drops the rest (they stay pending and are
  // taken up again at the next start).
  ~AutoGranter() { Stop(); }
  // Stop finishes the group in progress and stops the thread.
  void Stop();
  AutoGranter(const AutoGranter&) = delete;
  AutoGranter& operator=(const AutoGranter&) = delete;

  // The actor of automatic grants.
  static constexpr const char* kActor = "auto";

  // Covers tells whether policy grants request at once.
  static bool Covers(AutoGrant_e policy, const Request& request);
  bool Covers(const Request& request) const { return Covers(m_policy, request); }
  // LogFailed logs an automatic grant of request id that failed with error.
  static void LogFailed(const std::string& id, std::exception_ptr error);

 private:
  void Run(std::stop_token stop);

  AutoGrant_e m_policy;
  Decisions& m_decisions;
  std::vector<Request> m_backlog;  // the thread's alone once it runs
  std::jthread m_thread;           // last: it stops and joins before the members it uses go
};

}  // namespace QxCmServer
