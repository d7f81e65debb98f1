// AutoGranter: the queue of requests waiting for an automatic grant and its thread.
#include "AutoGranter.h"

#include <cstdio>
#include <exception>

namespace QxCmServer {
namespace {

constexpr const char* kActor = "auto";

}  // namespace

bool AutoGranter::Covers(AutoGrant_e policy, const Request& request) {
  switch (policy) {
    case AutoGrant_e::ALL:
      return true;
    case AutoGrant_e::INSTALL_KEY:
      return request.installationId != "0";
    case AutoGrant_e::NONE:
      break;
  }
  return false;
}

AutoGranter::AutoGranter(AutoGrant_e policy, Store& store, Decisions& decisions)
    : m_policy(policy), m_decisions(decisions) {
  if (policy == AutoGrant_e::NONE) return;
  for (const Request& request : store.ListPending()) Offer(request);
  m_thread = std::jthread([this](std::stop_token stop) { Run(stop); });
}

AutoGranter::~AutoGranter() {
  if (m_thread.joinable()) {
    m_thread.request_stop();
    m_thread.join();
  }
}

void AutoGranter::Offer(const Request& request) {
  if (!Covers(m_policy, request)) return;
  {
    std::lock_guard lock(m_mutex);
    m_queue.push_back(request.id);
  }
  m_wake.notify_one();
}

void AutoGranter::Run(std::stop_token stop) {
  for (;;) {
    std::string id;
    {
      std::unique_lock lock(m_mutex);
      if (!m_wake.wait(lock, stop, [this] { return !m_queue.empty(); })) return;
      id = std::move(m_queue.front());
      m_queue.pop_front();
    }
    try {
      m_decisions.Grant(id, kActor);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qxcm-server: automatic grant of request %s failed: %s\n", id.c_str(),
                   e.what());
    }
  }
}

}  // namespace QxCmServer
