// Metrics and MetricsHandler: the server's counters and gauges in the Prometheus text format,
// served at GET /metrics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "Store.h"
#include "qxzeb/Message.h"

namespace QxCmServer {

// Metrics counts what the server did since it started; every member is safe to call from any
// thread. Render adds the gauges read from the store.
class Metrics {
 public:
  // CountReceived counts a new request stored.
  void CountReceived();
  // CountIssued counts a certificate issued; seconds is the time from the decision to the
  // certificate stored (signing included), kept in a histogram.
  void CountIssued(double seconds);
  void CountDenied();
  // CountDelivered counts a response that its node finished (reply 0 or 3).
  void CountDelivered();
  // Render returns the text exposition format 0.0.4: each family with its # HELP and # TYPE
  // lines, the counters (ending in _total), the issue latency histogram (_bucket{le=...},
  // _sum, _count) and the gauges requests pending, responses waiting and observers. Throws what
  // the store throws.
  std::string Render(Store& store) const;

  // kLatencyBounds are the histogram's upper bounds in seconds (+Inf follows).
  static constexpr std::array<double, 11> kLatencyBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                            0.5,   1,    2.5,   5,    10};

 private:
  std::atomic<uint64_t> m_received{0}, m_denied{0}, m_delivered{0};
  mutable std::mutex m_mutex;  // the histogram's members, which change together
  std::array<uint64_t, kLatencyBounds.size()> m_buckets{};  // not cumulative
  uint64_t m_issued = 0;
  double m_latencySum = 0;
};

// MetricsHandler answers GET with Render's text (content type "text/plain; version=0.0.4;
// charset=utf-8") and POST with 405. Register it at the root (relative false), as "/metrics".
// The metrics and the store must outlive it.
class MetricsHandler : public QxZebMsg::MsgHandler {
 public:
  MetricsHandler(const Metrics& metrics, Store& store) : m_metrics(metrics), m_store(store) {}
  ~MetricsHandler() override { WaitForCalls(); }
  bool AcceptsGet() const override { return true; }
  QxMoxStr::String_t GetBasePath() const override { return "/metrics"; }
  void Process(QxZebMsg::IncomingMsg& msg) override;

 private:
  const Metrics& m_metrics;
  Store& m_store;
};

}  // namespace QxCmServer
