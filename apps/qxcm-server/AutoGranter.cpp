// AutoGranter: the automatic grant policy and the grant of the backlog it covers.
#include "AutoGranter.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <vector>

namespace QxCmServer {
namespace {

// The most requests granted in one transaction.
constexpr size_t kMaxGroup = 64;

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
  for (Request& request : store.ListPending()) {
    if (Covers(request)) m_backlog.push_back(std::move(request));
  }
  if (!m_backlog.empty()) m_thread = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void AutoGranter::Stop() {
  if (m_thread.joinable()) {
    m_thread.request_stop();
    m_thread.join();
  }
}

void AutoGranter::LogFailed(const std::string& id, std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qxcm-server: automatic grant of request %s failed: %s\n", id.c_str(),
                 e.what());
  } catch (...) {
    std::fprintf(stderr, "qxcm-server: automatic grant of request %s failed\n", id.c_str());
  }
}

void AutoGranter::Run(std::stop_token stop) {
  for (size_t first = 0; first < m_backlog.size() && !stop.stop_requested(); first += kMaxGroup) {
    const auto begin = m_backlog.begin() + static_cast<std::ptrdiff_t>(first);
    const std::vector<Request> group(
        begin, begin + static_cast<std::ptrdiff_t>(std::min(kMaxGroup, m_backlog.size() - first)));
    try {
      m_decisions.GrantAll(group, kActor, LogFailed);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qxcm-server: automatic grant of %zu requests failed: %s\n",
                   group.size(), e.what());
    }
  }
  m_backlog = {};
}

}  // namespace QxCmServer
