// RequestSender: sends one certificate request to the certificate server until it is taken.
#pragma once

#include <memory>

#include "qxmox/CharArray.h"
#include "qxmox/String.h"
#include "qxmox/Thread.h"
#include "qxseccm/CertRequest.h"

namespace QxSecCm {

class CertificateClientImpl;

// RequestSender runs on a thread of its own ("QxSecCm:RequestSender"). It sends the request
// message, waits between attempts (at most 5 s before the second and third attempt, then
// "RETRY_INTERVAL" seconds) and ends when the server took the request (the client then saves
// its waiting state), refused the installation key, the attempt limit ("MAX_RETRIES") was
// reached, or Stop was called. It deletes itself when its thread ends.
class RequestSender : public QxMoxThread::Runnable_i {
 public:
  // DEFAULT_RETRY_INTERVAL_MS and DEFAULT_MAX_RETRIES apply when the settings are unset or
  // below 1.
  static constexpr int DEFAULT_RETRY_INTERVAL_MS = 60000;
  static constexpr int DEFAULT_MAX_RETRIES = 200;
  // FIRST_WAITS_CAP_MS caps the first two waits.
  static constexpr int FIRST_WAITS_CAP_MS = 5000;

  RequestSender(CertificateClientImpl* client, const CertRequest& request,
                const QxMoxArray::CharArray_t& csr, const QxMoxArray::CharArray_t& installKey,
                const QxMoxStr::String_t& installId,
                std::shared_ptr<QxMoxThread::Barrier_t> barrier);
  ~RequestSender() override;

  void Run() override;
  // Done tells the client that this sender has finished, then deletes it.
  void Done(bool completed) override;
  // Stop ends the loop at its next check; an attempt under way is finished first.
  void Stop();

  int GetRetryInterval() const { return m_retryInterval; }
  int GetMaxRetries() const { return m_maxRetries; }

 private:
  bool Stopped();
  void SetStop();

  bool m_stop = false;
  int m_retryInterval = DEFAULT_RETRY_INTERVAL_MS;
  int m_maxRetries = DEFAULT_MAX_RETRIES;
  CertificateClientImpl* m_client;
  CertRequest m_request;
  QxMoxArray::CharArray_t m_csr;
  QxMoxArray::CharArray_t m_installKey;
  QxMoxStr::String_t m_installId;
  QxMoxThread::Mutex_t m_mutex;
  QxMoxThread::CondVar_t m_cond;
  std::shared_ptr<QxMoxThread::Barrier_t> m_barrier;
};

}  // namespace QxSecCm
