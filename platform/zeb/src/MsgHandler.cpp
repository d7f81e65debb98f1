#include "HandlerGate.h"

namespace QxZebMsg {

bool HandlerGate::Enter() {
  std::lock_guard lock(m_mutex);
  if (m_closed) return false;
  ++m_inProgress;
  return true;
}

void HandlerGate::Leave() {
  std::lock_guard lock(m_mutex);
  if (--m_inProgress == 0) m_idle.notify_all();
}

void HandlerGate::Close() {
  std::unique_lock lock(m_mutex);
  m_closed = true;
  m_idle.wait(lock, [this] { return m_inProgress == 0; });
}

void HandlerGate::WaitIdle() {
  std::unique_lock lock(m_mutex);
  m_idle.wait(lock, [this] { return m_inProgress == 0; });
}

MsgHandler::MsgHandler() : m_gate(std::make_shared<HandlerGate>(this)) {}

MsgHandler::~MsgHandler() { m_gate->Close(); }

void MsgHandler::WaitForCalls() { m_gate->Close(); }

}  // namespace QxZebMsg
