// CertClientRpcHandler: the node's endpoints, "InitCertRequest", and the calls to the server.
#include "CertClientRpcHandler.h"

#include "CertClientMsgHandler.h"
#include "CertClientRpcCharHandler.h"
#include "CertificateClientImpl.h"
#include "Swallow.h"
#include "TraceMacros.h"
#include "qxmox/Config.h"
#include "qxmox/Net.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/Tracer.h"
#include "qxzeb/Exceptions.h"
#include "qxzeb/Soap.h"

namespace QxSecCm {
namespace {

constexpr const char* kRequestHandlerPath = "/com.mt.qx.sec.cm.certificateserver/certreqhandler/";

QxMoxTrc::TraceObj_t& ProcTracer() { return QxSecCmTrc::Tracer::GetClientTracerProc(); }

QxMoxStr::String_t CertificateServer() {
  return QxMoxConfig::ConfigNamespace_t("sec.cm.client").Open().GetValue("CERTIFICATE_SERVER");
}

QxMoxNet::URI_t RequestHandlerUri(const QxMoxStr::String_t& server) {
  return QxMoxNet::URI_t(QxMoxStr::String_t("https://") + server +
                         QxMoxStr::String_t(kRequestHandlerPath));
}

QxMoxConfig::Configuration_t ServiceConfiguration() {
  QxMoxConfig::Configuration_t config;
  config.SetAttrValue("APP_NAME", CertClientRpcHandler::BASE_PATH);
  const QxMoxStr::String_t port =
      QxMoxConfig::ConfigNamespace_t("sec.cm.client").Open().GetValue("SERVER_PORT");
  if (!IsUnset(port)) config.SetAttrValue("SERVER_PORT", port);
  return config;
}

}  // namespace

CertClientRpcHandler::CertClientRpcHandler(CertificateClientImpl* client) : m_client(client) {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcHandler::Constructor()");
  const QxMoxConfig::Configuration_t config = ServiceConfiguration();
  m_messenger = QxZebMsg::Messenger(config, QxZebMsg::Messenger::Options()
                                                .SetBasePath(BASE_PATH)
                                                .SetAuthenticationMethod(1)
                                                .RegisterWithCb(false)
                                                .DeregisterFromCb(false));
  m_msgHandler = std::make_unique<CertClientMsgHandler>(client, "/msg/", m_messenger);
  m_messenger.Register(m_msgHandler.get(), true, 0);

  m_rpc2 = QxZebRpc::RpcServer(config, QxZebRpc::RpcServer::Options().SetBasePath("/rpc2/"));
  m_statusHandler = std::make_unique<GetCertStatusHandler>(client);
  m_rpc2.Register("GetCertStatus", m_statusHandler.get());
  m_rpc2.Register("InitCertRequest", this);
  m_messenger.Register(m_rpc2.GetMsgHandler(), true, 1);

  m_rpc1 = QxZebRpc::RpcServer(
      config, QxZebRpc::RpcServer::Options().SetBasePath("/rpc1/").SetRequireAuthentication(true));
  m_trustedHandler = std::make_unique<UpdateTrustedHandler>(client);
  m_rpc1.Register("UpdateRootCertificates", m_trustedHandler.get());
  m_messenger.Register(m_rpc1.GetMsgHandler(), true, 2);

  m_rpcClient = QxZebRpc::RpcClient(config, m_messenger);
}

CertClientRpcHandler::~CertClientRpcHandler() {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcHandler::Destructor()");
  Swallow([&] { m_messenger.Deregister(m_msgHandler.get(), true); });
  Swallow([&] { m_msgHandler.reset(); });
  Swallow([&] { m_rpc2.Deregister("InitCertRequest"); });
  Swallow([&] { m_rpc2.Deregister("GetCertStatus"); });
  Swallow([&] { m_statusHandler.reset(); });
  Swallow([&] { m_rpc1.Deregister("UpdateRootCertificates"); });
  Swallow([&] { m_trustedHandler.reset(); });
  Swallow([&] { m_calls.WaitIdle(); });
  Swallow([&] { m_messenger.Deregister(m_rpc2.GetMsgHandler(), true); });
  Swallow([&] { m_messenger.Deregister(m_rpc1.GetMsgHandler(), true); });
  Swallow([&] { m_rpc2.Close(); });
  Swallow([&] { m_rpc1.Close(); });
  Swallow([&] { m_messenger.Close(); });
}

void CertClientRpcHandler::Attach() {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcHandler::Attach()");
  m_calls.Enter();
}

void CertClientRpcHandler::Detach() {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcHandler::Detach()");
  m_calls.Leave();
}

void CertClientRpcHandler::Process(QxZebRpc::RpcServerCall& call) {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcHandler::Process()");
  if (call.GetMethodName() != QxMoxStr::String_t("InitCertRequest")) return;
  QxMoxStr::String_t installId, coreId, context;
  QxMoxArray::CharArray_t installKey;
  QxZebSoap::SOAPArgUnicodeString idArg("instid", &installId);
  QxZebSoap::SOAPArgByteArray keyArg("key", &installKey);
  QxZebSoap::SOAPArgUnicodeString coreIdArg("coreid", &coreId);
  QxZebSoap::SOAPArgUnicodeString contextArg("context", &context);
  QxZebSoap::SOAPArg* args[] = {&idArg, &keyArg, &coreIdArg, &contextArg};
  call.ReadRequest(4, args);

  const int result = installKey.GetSize() == 0 ? m_client->CertificateRequestFromCmdLine(coreId)
                                               : m_client->CertificateRequestFromCmdLine(
                                                     installId, installKey, coreId, context);
  QxZebSoap::SOAPArgInt ret("ret", result);
  QxZebSoap::SOAPArg* results[] = {&ret};
  call.CreateResponse().SetArgs(1, results);
  call.SendResponse("UTF-8");
}

int CertClientRpcHandler::PutCertificateRequest(const CertRequest& request,
                                                const QxMoxArray::CharArray_t& csr) {
  return m_msgHandler->PutCertificateRequest(request, csr);
}

int CertClientRpcHandler::PutCertificateRequest(const CertRequest& request,
                                                const QxMoxArray::CharArray_t& csr,
                                                const QxMoxArray::CharArray_t& installKey,
                                                const QxMoxStr::String_t& installId) {
  return m_msgHandler->PutCertificateRequest(request, csr, installKey, installId);
}

int CertClientRpcHandler::CertInstalled(const CertRequest& request) {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcHandler::CertInstalled()");
  int result = 1;
  SOAPArgCertRequest requestArg("cr", request);
  int serverAnswer = 0;
  QxZebSoap::SOAPArgInt ret("ret", &serverAnswer);
  try {
    const QxMoxStr::String_t server = CertificateServer();
    if (IsUnset(server)) {
      LogMessage(Catalog::Error(54));
      return result;
    }
    QxZebRpc::RpcCall call = m_rpcClient.CreateCall(RequestHandlerUri(server));
    QxZebSoap::SOAPArg* args[] = {&requestArg};
    call.GetEnvelope().SetMethod("CertInstalled");
    call.GetEnvelope().SetArgs(1, args);
    QxZebSoap::SOAPArg* results[] = {&ret};
    call.Invoke(1, results, "UTF-8");
    result = 0;
  } catch (const QxMoxMsg::Exception_t&) {
    result = 1;
  }
  return result;
}

int CertClientRpcHandler::GetTrustedRootCerts(CharArrayList* out) {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcHandler::GetTrustedRootCerts()");
  SOAPArgCharArrayList trusted("trusted", out);
  try {
    const QxMoxConfig::Configuration_t config =
        QxMoxConfig::ConfigNamespace_t("sec.cm.client").Open();
    const QxMoxStr::String_t server = config.GetValue("CERTIFICATE_SERVER");
    const QxMoxStr::String_t serverId = config.GetValue("CERTIFICATE_SERVER_ID");
    if (IsUnset(server)) {
      LogMessage(Catalog::Error(52));
      return 1;
    }
    QxZebRpc::RpcCall::Options options;
    if (!serverId.IsNull()) options.SetTargetID(serverId);
    QxZebRpc::RpcCall call = m_rpcClient.CreateCall(RequestHandlerUri(server), options);
    call.GetEnvelope().SetMethod("GetTrustedRootCerts");
    call.GetEnvelope().SetArgs(0, nullptr);
    QxZebSoap::SOAPArg* results[] = {&trusted};
    call.Invoke(1, results, "UTF-8");
    return 0;
  } catch (const QxZebHttp::TargetIDFailureException&) {
    LogMessage(Catalog::Error(53));
    return 1;
  } catch (const QxMoxMsg::Exception_t&) {
    return 1;
  }
}

}  // namespace QxSecCm
