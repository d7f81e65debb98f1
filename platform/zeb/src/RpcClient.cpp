#include "MessengerImpl.h"
#include "SoapParser.h"
#include "SoapWriter.h"
#include "qxmox/Exception.h"
#include "qxzeb/Rpc.h"

namespace QxZebRpc {

namespace {

struct RpcClientImpl : QxZebCore::ObjectBody {
  std::shared_ptr<QxZebMsg::MessengerImpl> messenger;
};

struct RpcCallImpl : QxZebCore::ObjectBody {
  std::shared_ptr<QxZebMsg::MessengerImpl> messenger;
  QxMoxNet::URI_t uri;
  RpcCall::Options options;
  QxZebSoap::SOAPEnvelope envelope;
};

}  // namespace

QxZebSoap::SOAPEnvelope& RpcCall::GetEnvelope() { return RequireBody<RpcCallImpl>().envelope; }

void RpcCall::Invoke(int count, QxZebSoap::SOAPArg* const* results, const char* encoding) {
  RpcCallImpl& call = RequireBody<RpcCallImpl>();
  QxZebSoap::CheckEncoding(encoding);
  if (count < 0 || (count > 0 && results == nullptr)) {
    QxMoxMsg::ThrowIllegalArgument("Invoke: bad result count or array");
  }
  const QxZebSoap::SOAPEnvelope& env = call.envelope;
  QxZebHttp::PostRequest request;
  request.body = env.Write();
  request.contentType = "text/xml; charset=UTF-8";
  request.headers.emplace_back("SOAPAction", "\"" + env.GetMethodNamespace().ToUtf8() + "#" +
                                                 env.GetMethod().ToUtf8() + "\"");
  request.targetId = call.options.GetTargetID().ToUtf8();
  QxZebHttp::PostResult answer =
      call.messenger->Post(call.uri, std::move(request), call.options.GetTimeout(), true).Receive();
  QxZebSoap::SoapDocument doc = QxZebSoap::ParseSoap(
      answer.body, QxZebSoap::ResolveByName(count, results), false, env.GetMethod() + "Response");
  if (doc.fault) {
    throw RpcException(
        QxMoxMsg::CreateError_t("remote call " + env.GetMethod() + " failed: " + doc.faultString),
        doc.faultCode.Mid(doc.faultCode.Find(":") + 1));
  }
  if (answer.status != 200) {
    throw RpcException(
        QxMoxMsg::CreateError_t("remote call " + env.GetMethod() + " answered HTTP status " +
                                QxMoxStr::NumToStr(answer.status)),
        "Server");
  }
}

RpcClient::RpcClient(const QxMoxConfig::Configuration_t&, const QxZebMsg::Messenger& messenger)
    : Object(std::make_shared<RpcClientImpl>()) {
  RequireBody<RpcClientImpl>().messenger = QxZebMsg::MessengerAccess::Get(messenger);
  if (!RequireBody<RpcClientImpl>().messenger) {
    QxMoxMsg::ThrowIllegalArgument("RpcClient: null messenger");
  }
}

RpcCall RpcClient::CreateCall(const QxMoxNet::URI_t& uri, const RpcCall::Options& options) {
  auto call = std::make_shared<RpcCallImpl>();
  call->messenger = RequireBody<RpcClientImpl>().messenger;
  QxZebHttp::TransportFor(uri.GetScheme().ToUtf8());
  call->uri = uri;
  call->options = options;
  return RpcCall(call);
}

int RpcClient::Call(const String_t& method, const QxMoxNet::URI_t& uri,
                    const RpcCall::Options& options, int count, QxZebSoap::SOAPArg* const* values) {
  RpcCall call = CreateCall(uri, options);
  call.GetEnvelope().SetMethod(method);
  call.GetEnvelope().SetArgs(count, values);
  QxZebSoap::SOAPArgInt result("return", 0);
  QxZebSoap::SOAPArg* results[] = {&result};
  call.Invoke(1, results, "UTF-8");
  return result.GetValue();
}

}  // namespace QxZebRpc
