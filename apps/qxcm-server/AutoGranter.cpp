// AutoGranter: the queue of requests waiting for an automatic grant and its thread.
#include "AutoGranter.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <vector>

namespace QxCmServer {
namespace {

constexpr const char* kActor = "auto";
// The most requests granted in one transaction.
constexpr size_t kMaxGroup = 64;
// How long the first request of a group waits for others.
constexpr std::chrono::milliseconds kGather{10};

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

void AutoGranter::Stop() {
  if (m_thread.joinable()) {
    m_thread.request_stop();
    m_thread.join();
  }
}

void AutoGranter::Offer(const Request& request) {
  if (!Covers(m_policy, request)) return;
  bool wake = false;
  {
    std::lock_guard lock(m_mutex);
    m_queue.push_back(request);
    // The thread waits for the first request, then for a full group or the gathering time.
    wake = m_queue.size() == 1 || m_queue.size() == kMaxGroup;
  }
  if (wake) m_wake.notify_one();
}

void AutoGranter::Run(std::stop_token stop) {
  for (;;) {
    std::vector<Request> requests;
    {
      std::unique_lock lock(m_mutex);
      if (!m_wake.wait(lock, stop, [this] { return !m_queue.empty(); })) return;
      // Requests arriving together share one commit: wait a moment for more of them.
      m_wake.wait_for(lock, stop, kGather, [this] { return m_queue.size() >= kMaxGroup; });
      // Everything queued meanwhile is granted together: one commit for the group.
      while (!m_queue.empty() && requests.size() < kMaxGroup) {
        requests.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
      }
    }
    const auto failed = [](const std::string& id, std::exception_ptr error) {
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "qxcm-server: automatic grant of request %s failed: %s\n", id.c_str(),
                     e.what());
      } catch (...) {
        std::fprintf(stderr, "qxcm-server: automatic grant of request %s failed\n", id.c_str());
      }
    };
    try {
      m_decisions.GrantAll(requests, kActor, failed);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qxcm-server: automatic grant of %zu requests failed: %s\n",
                   requests.size(), e.what());
    }
  }
}

}  // namespace QxCmServer
