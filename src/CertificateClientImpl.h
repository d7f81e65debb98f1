// CertificateClientImpl: the node's certificate client, one per process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "ClientStateFile.h"
#include "qxmox/CharArray.h"
#include "qxmox/Config.h"
#include "qxmox/Message.h"
#include "qxmox/String.h"
#include "qxmox/Thread.h"
#include "qxseccm/CertRequest.h"
#include "qxseccore/Key.h"

namespace QxSecCm {

class CertClientRpcHandler;
class RequestSender;

// CertificateClientImpl decides at start whether the node needs a certificate, sends the
// request through a RequestSender, installs the answer that the certificate server sends to
// the node's service (CertClientRpcHandler), and keeps its progress in the state file.
//
// Locks: s_instanceMutex (recursive) guards the singleton's creation, Init, Stop and the
// clearing of m_sender; Stop waits for the sender's barrier while holding it, so the sender
// reaches the barrier before it asks for the mutex (SenderDone). m_progressMutex orders the
// save after the server took a request against the processing of the server's answer, and
// guards the request's fields (id, key, core id), which several threads read.
class CertificateClientImpl {
 public:
  enum State_e : int32_t {
    STATE_FAILED = 1,
    STATE_INITIAL = 2,
    STATE_WAITING = 3,
    STATE_DENIED = 4,
    STATE_INSTALLED = 5,
  };
  enum DeploymentType_e { AUTO = 0, MANUAL = 1 };

  // ConfigChangeHandler follows "CERT_INSTALLED" in "sec.cm.certificates".
  class ConfigChangeHandler : public QxMoxConfig::ConfigChangeHandler_i {
   public:
    explicit ConfigChangeHandler(CertClientRpcHandler* rpcHandler);
    ~ConfigChangeHandler() override;
    void ConfigChanged(const QxMoxConfig::ChangedConfiguration_t& change) override {
      Update(change);
    }
    void Update(const QxMoxConfig::ChangedConfiguration_t& change);

   private:
    CertClientRpcHandler* m_rpcHandler;  // borrowed
  };

  static CertificateClientImpl* GetInstance();
  virtual ~CertificateClientImpl();

  void Init(const QxMoxStr::String_t& coreId);
  void Stop();
  bool DetermineAction(const QxMoxStr::String_t& coreId);
  int GetDeploymentType();
  // GetStatus maps the state to a CertStatus_e value.
  int GetStatus() const;
  // GetCertStatus asks the node's own service over loopback; 0 when it cannot be reached.
  // hostPort names another node's service ("host:port"); empty: this node's.
  static int GetCertStatus(const QxMoxStr::String_t& hostPort = QxMoxStr::String_t());
  // ServiceAuthority is hostPort when given, else this node's service: "localhost" with
  // "SERVER_PORT" of "sec.cm.client" when that is set (else the messaging layer's default port).
  static QxMoxStr::String_t ServiceAuthority(const QxMoxStr::String_t& hostPort);

  int CertificateRequestFromCmdLine(const QxMoxStr::String_t& coreId);
  int CertificateRequestFromCmdLine(const QxMoxStr::String_t& installId,
                                    const QxMoxArray::CharArray_t& installKey,
                                    const QxMoxStr::String_t& coreId,
                                    const QxMoxStr::String_t& context);

  void SetState(State_e state) { m_state.store(state); }
  State_e GetState() const { return static_cast<State_e>(m_state.load()); }
  // SenderDone is the finishing sender's last call: it reaches the sender's barrier, then
  // clears m_sender unless a newer sender replaced it.
  void SenderDone(RequestSender* sender, const std::shared_ptr<QxMoxThread::Barrier_t>& barrier);

  // The state file.
  bool SaveStateToFile();
  void RestoreState(const QxMoxStr::String_t& coreId);
  // SaveAcceptedRequest is the sender's save after the server took requestId: it writes the
  // waiting state only while the client still waits for that request, so an answer that was
  // processed before the save is never undone by it.
  bool SaveAcceptedRequest(const QxMoxStr::String_t& requestId);
  // FailRequest parks the client in STATE_FAILED when it still waits for requestId (a sender
  // of an older request never overrides a newer one).
  void FailRequest(const QxMoxStr::String_t& requestId);

  // The request.
  void InitiateCertificateRequest(const QxMoxStr::String_t& coreId, const int& installationType,
                                  const QxMoxArray::CharArray_t& installKey,
                                  const QxMoxStr::String_t& installId,
                                  const QxMoxStr::String_t& context);
  int PutCertificateRequest(const CertRequest& request, const QxMoxArray::CharArray_t& csr,
                            const QxMoxArray::CharArray_t& installKey,
                            const QxMoxStr::String_t& installId);

  // The answer.
  int ProcessResponse(int returnCode, const QxMoxStr::String_t& requestId,
                      const QxMoxArray::CharArray_t& certificate,
                      const std::vector<QxMoxArray::CharArray_t>& trustedCerts);
  void InstallCertificate(const QxMoxArray::CharArray_t& certificate,
                          const std::vector<QxMoxArray::CharArray_t>& trustedCerts);

  // The trusted roots.
  int UpdateTrustedRootCerts();

  QxMoxStr::String_t GetCoreId() const;
  QxMoxStr::String_t GetRequestId() const;

 private:
  CertificateClientImpl();
  int ProcessResponseLocked(int returnCode, const QxMoxStr::String_t& requestId,
                            const QxMoxArray::CharArray_t& certificate,
                            const std::vector<QxMoxArray::CharArray_t>& trustedCerts);
  ClientState CurrentState() const;
  ClientStateFile StateFile() const;
  std::shared_ptr<CertClientRpcHandler> RpcHandler() const;
  int StartRequestByHand(const QxMoxStr::String_t& coreId, int installationType,
                         const QxMoxArray::CharArray_t& installKey,
                         const QxMoxStr::String_t& installId, const QxMoxStr::String_t& context);
  void RemoveStateFile();
  void RemoveRpcHandler();

  std::shared_ptr<CertClientRpcHandler> m_rpcHandler;
  QxMoxStr::String_t m_requestId;
  QxMoxStr::String_t m_coreId;
  QxSecCore::Key m_privateKey;
  std::shared_ptr<QxMoxThread::Barrier_t> m_senderBarrier;
  RequestSender* m_sender = nullptr;
  std::unique_ptr<ConfigChangeHandler> m_configHandler;
  std::atomic<int32_t> m_state{STATE_INITIAL};
  QxMoxStr::String_t m_stateDir;
  QxMoxStr::String_t m_stateFile;
  mutable QxMoxThread::Mutex_t m_progressMutex{true};
  // m_senderMutex guards m_sender, m_senderBarrier and m_rpcHandler (copied, never used under
  // it, so a call in progress that needs it never waits for a handler being destroyed).
  mutable QxMoxThread::Mutex_t m_senderMutex;

  static std::atomic<CertificateClientImpl*> s_instance;
  static QxMoxThread::Mutex_t s_instanceMutex;
};

// LogMessage writes message to the platform log, with cause's messages as its details when
// given; LogMessages writes messages as they are. A failure of the log itself is ignored: the
// client reports to the log and goes on.
void LogMessage(QxMoxMsg::Message_t message, const QxMoxMsg::Exception_t* cause = nullptr);
void LogMessages(const QxMoxMsg::MessageList_t& messages);

// IsUnset is true for a configuration value that is missing or empty.
inline bool IsUnset(const QxMoxStr::String_t& value) { return value.IsNull() || value.IsEmpty(); }

}  // namespace QxSecCm
