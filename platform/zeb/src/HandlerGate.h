// The dispatch gate between the listeners and one message handler.
#pragma once

#include <condition_variable>
#include <mutex>

#include "qxzeb/Message.h"

namespace QxZebMsg {

// HandlerGate counts the calls in progress on a handler and closes when the handler goes away.
// Listeners hold the gate (not the handler), so a route that outlives its handler finds the
// gate closed instead of a dangling pointer.
class HandlerGate {
 public:
  explicit HandlerGate(MsgHandler* handler) : m_handler(handler) {}
  // Enter admits one call; false once closed.
  bool Enter();
  void Leave();
  // Close refuses further calls and waits for those in progress.
  void Close();
  // WaitIdle waits until no call is in progress, without closing.
  void WaitIdle();
  MsgHandler* Handler() const { return m_handler; }
  // SerialMutex serialises Process for handlers that are not thread-safe.
  std::mutex& SerialMutex() { return m_serial; }

 private:
  MsgHandler* const m_handler;
  std::mutex m_mutex;
  std::condition_variable m_idle;
  int m_inProgress = 0;
  bool m_closed = false;
  std::mutex m_serial;
};

// GateEntry holds one admitted call for its scope.
class GateEntry {
 public:
  explicit GateEntry(HandlerGate& gate) : m_gate(gate), m_entered(gate.Enter()) {}
  ~GateEntry() {
    if (m_entered) m_gate.Leave();
  }
  GateEntry(const GateEntry&) = delete;
  GateEntry& operator=(const GateEntry&) = delete;
  explicit operator bool() const { return m_entered; }

 private:
  HandlerGate& m_gate;
  bool m_entered;
};

}  // namespace QxZebMsg
