#include "Metrics.h"

#include <charconv>

namespace QxCmServer {

namespace {

std::string Number(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// Family writes one metric family's header and its unlabelled sample.
void Family(std::string& out, const std::string& name, const char* type, const char* help,
            const std::string& value) {
  out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  if (!value.empty()) out += name + " " + value + "\n";
}

}  // namespace

void Metrics::CountReceived() { ++m_received; }

void Metrics::CountIssued(double seconds) {
  std::lock_guard lock(m_mutex);
  ++m_issued;
  m_latencySum += seconds;
  for (size_t i = 0; i < kLatencyBounds.size(); ++i) {
    if (seconds <= kLatencyBounds[i]) {
      ++m_buckets[i];
      break;
    }
  }
}

void Metrics::CountDenied() { ++m_denied; }

void Metrics::CountDelivered() { ++m_delivered; }

std::string Metrics::Render(Store& store) const {
  // The store first: a failure there leaves nothing half-written.
  const int64_t pending = store.PendingCount();
  const int64_t waiting = store.Waiting();
  const size_t observers = store.ListObservers().size();

  std::string out;
  Family(out, "qxcm_requests_received_total", "counter", "Requests stored since start.",
         std::to_string(m_received.load()));
  Family(out, "qxcm_requests_denied_total", "counter", "Requests denied since start.",
         std::to_string(m_denied.load()));
  Family(out, "qxcm_responses_delivered_total", "counter",
         "Responses their nodes finished since start.", std::to_string(m_delivered.load()));
  {
    std::lock_guard lock(m_mutex);
    Family(out, "qxcm_certificates_issued_total", "counter", "Certificates issued since start.",
           std::to_string(m_issued));
    const std::string h = "qxcm_issue_duration_seconds";
    Family(out, h, "histogram", "Time to sign and store a certificate.", {});
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kLatencyBounds.size(); ++i) {
      cumulative += m_buckets[i];
      out += h + "_bucket{le=\"" + Number(kLatencyBounds[i]) + "\"} " + std::to_string(cumulative) +
             "\n";
    }
    out += h + "_bucket{le=\"+Inf\"} " + std::to_string(m_issued) + "\n";
    out += h + "_sum " + Number(m_latencySum) + "\n";
    out += h + "_count " + std::to_string(m_issued) + "\n";
  }
  Family(out, "qxcm_requests_pending", "gauge", "Requests waiting for a decision.",
         std::to_string(pending));
  Family(out, "qxcm_responses_waiting", "gauge", "Responses waiting for delivery to a node.",
         std::to_string(waiting));
  Family(out, "qxcm_observers", "gauge", "Observers registered for events.",
         std::to_string(observers));
  return out;
}

void MetricsHandler::Process(QxZebMsg::IncomingMsg& msg) {
  QxZebMsg::OutgoingReply reply = msg.CreateReply(
      QxZebMsg::OutputMsg::Options().SetContentType("text/plain; version=0.0.4; charset=utf-8"));
  if (msg.GetMethod() != "GET") {
    reply.SetStatus(405);
    return;
  }
  reply.Write(QxMoxArray::CharArray_t(m_metrics.Render(m_store)));
  reply.Send();
}

}  // namespace QxCmServer
