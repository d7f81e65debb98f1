// CertClientRpcHandler: the node's service "com.mt.qx.sec.cm.certificateclient".
#pragma once

#include <memory>

#include "CallCounter.h"
#include "qxmox/CharArray.h"
#include "qxmox/String.h"
#include "qxmox/Thread.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/SoapArgs.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Rpc.h"

namespace QxSecCm {

class CertificateClientImpl;
class CertClientMsgHandler;
class GetCertStatusHandler;
class UpdateTrustedHandler;
class MessageKey;

// CertClientRpcHandler builds the node's endpoint on one messenger: the certificate server's
// answers under "/msg/" (anyone), "GetCertStatus" and "InitCertRequest" under "/rpc2/"
// (loopback or a trusted client certificate), "UpdateRootCertificates" under "/rpc1/" (a
// trusted client certificate only). Its RPC client tells the certificate server that the node
// installed its certificate and fetches the trusted roots. It serves "InitCertRequest" itself.
class CertClientRpcHandler : public QxZebRpc::RpcServerHandler {
 public:
  static constexpr const char* BASE_PATH = "com.mt.qx.sec.cm.certificateclient";

  // CertClientRpcHandler opens the messenger on "SERVER_PORT" of "sec.cm.client" (unset: the
  // messaging layer's default ports) and registers every endpoint. Throws what the messaging
  // layer throws.
  explicit CertClientRpcHandler(CertificateClientImpl* client);
  // ~CertClientRpcHandler withdraws the endpoints, waits for calls in progress and closes the
  // messenger. Nothing it does throws.
  ~CertClientRpcHandler() override;

  void Process(QxZebRpc::RpcServerCall& call) override;
  void Attach() override;
  void Detach() override;

  int PutCertificateRequest(const CertRequest& request, const QxMoxArray::CharArray_t& csr);
  int PutCertificateRequest(const CertRequest& request, const QxMoxArray::CharArray_t& csr,
                            const QxMoxArray::CharArray_t& installKey,
                            const QxMoxStr::String_t& installId);

  // CertInstalled tells the certificate server that this node installed its certificate:
  // 0 when the call completed, 1 otherwise (message 54 logged when "CERTIFICATE_SERVER" is
  // unset).
  int CertInstalled(const CertRequest& request);
  // GetTrustedRootCerts fetches the server's trusted roots into out: 0 when the call
  // completed, 1 otherwise (messages 52 and 53).
  int GetTrustedRootCerts(CharArrayList* out);

 private:
  CallCounter m_calls;
  QxZebRpc::RpcClient m_rpcClient;
  QxZebRpc::RpcServer m_rpc2;
  QxZebRpc::RpcServer m_rpc1;
  QxZebMsg::Messenger m_messenger;
  std::unique_ptr<GetCertStatusHandler> m_statusHandler;
  std::unique_ptr<UpdateTrustedHandler> m_trustedHandler;
  std::unique_ptr<CertClientMsgHandler> m_msgHandler;
  CertificateClientImpl* m_client;
};

}  // namespace QxSecCm
