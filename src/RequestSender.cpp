// RequestSender: the attempts, their waits and their outcomes.
#include "RequestSender.h"

#include <climits>
#include <cstdlib>

#include "CertificateClientImpl.h"
#include "TraceMacros.h"
#include "qxmox/Config.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm {
namespace {

constexpr uint32_t kLevel = 9;

QxMoxTrc::TraceObj_t& OpTracer() { return QxSecCmTrc::Tracer::GetClientTracerOperation(); }

// RetryIntervalMs turns "RETRY_INTERVAL" seconds into milliseconds, clamped to what an int
// holds; a value below 1 is the default.
int RetryIntervalMs(int seconds) {
  if (seconds < 1) return RequestSender::DEFAULT_RETRY_INTERVAL_MS;
  return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

}  // namespace

RequestSender::RequestSender(CertificateClientImpl* client, const CertRequest& request,
                             const QxMoxArray::CharArray_t& csr,
                             const QxMoxArray::CharArray_t& installKey,
                             const QxMoxStr::String_t& installId,
                             std::shared_ptr<QxMoxThread::Barrier_t> barrier)
    : m_client(client),
      m_request(request),
      m_csr(csr),
      m_installKey(installKey),
      m_installId(installId),
      m_barrier(std::move(barrier)) {
  const QxMoxConfig::Configuration_t config =
      QxMoxConfig::ConfigNamespace_t("sec.cm.client").Open();
  const std::string maxRetries = config.GetValue("MAX_RETRIES").ToUtf8();
  if (!maxRetries.empty()) {
    m_maxRetries = std::atoi(maxRetries.c_str());
    if (m_maxRetries < 1) m_maxRetries = DEFAULT_MAX_RETRIES;
  }
  QXSECCM_TRACE_LINE(QxSecCmTrc::Tracer::GetClientTracerInit(), kLevel,
                     "RequestSender: MAX_RETRIES set to: " << m_maxRetries);
  const std::string interval = config.GetValue("RETRY_INTERVAL").ToUtf8();
  if (!interval.empty()) m_retryInterval = RetryIntervalMs(std::atoi(interval.c_str()));
  QXSECCM_TRACE_LINE(QxSecCmTrc::Tracer::GetClientTracerInit(), kLevel,
                     "ResponseSender: RETRY_INTERVAL set to: " << m_retryInterval);
}

RequestSender::~RequestSender() = default;

void RequestSender::Run() {
  const QxMoxStr::String_t id = m_request.GetId();
  for (int attempt = 1;; ++attempt) {
    if (Stopped()) return;
    QXSECCM_TRACE_LINE(
        OpTracer(), kLevel,
        "RequestSender: Trying to send request with id '" << id << "' to certificate server.");
    const int reply = m_client->PutCertificateRequest(m_request, m_csr, m_installKey, m_installId);
    if (reply == 1) {
      QXSECCM_TRACE_LINE(
          OpTracer(), kLevel,
          "RequestSender: Request with id '" << id << "' was sent to certificate server.");
      LogMessage(Catalog::Info(64) << id);
      m_client->SaveAcceptedRequest(id);
      SetStop();
    } else if (reply == -3 || reply == -2) {
      QXSECCM_TRACE_LINE(OpTracer(), kLevel,
                         "RequestSender: The certificate server did not accept the installation key"
                             << " for request with id '" << id << "'.");
      LogMessage(Catalog::Warn(148) << id);
      m_client->FailRequest(id);
      SetStop();
    } else if (attempt < m_maxRetries) {
      if (attempt % 10 == 0) LogMessage(Catalog::Warn(66) << attempt << (m_maxRetries - attempt));
    } else {
      QXSECCM_TRACE_LINE(OpTracer(), 10,
                         "RequestSender: Request with id '"
                             << id << "' could NOT be sent to certificate server after" << attempt
                             << "retries. MAX_RETRIES limit was reached.");
      LogMessage(Catalog::Error(65) << attempt);
      m_client->FailRequest(id);
      SetStop();
    }
    QxMoxThread::MutexLock_t lock(m_mutex);
    if (!m_stop) {
      const bool early = attempt < 3 && m_retryInterval > FIRST_WAITS_CAP_MS;
      m_cond.Wait(m_mutex, early ? FIRST_WAITS_CAP_MS : m_retryInterval);
    }
  }
}

void RequestSender::Done(bool /*completed*/) {
  m_client->SenderDone(this, m_barrier);
  delete this;
}

void RequestSender::Stop() { SetStop(); }

bool RequestSender::Stopped() {
  QxMoxThread::MutexLock_t lock(m_mutex);
  return m_stop;
}

void RequestSender::SetStop() {
  QxMoxThread::MutexLock_t lock(m_mutex);
  m_stop = true;
  m_cond.Signal();
}

}  // namespace QxSecCm
