// RpcService: method dispatch with the access check in one place.
#include "RpcService.h"

#include <algorithm>

namespace QxCmServer {

RpcService::RpcService(const AccessRule& rule, std::vector<Method> methods)
    : m_rule(rule), m_methods(std::move(methods)) {}

void RpcService::RegisterWith(QxZebRpc::RpcServer& server) {
  for (const Method& method : m_methods) server.Register(QxMoxStr::String_t(method.name), this);
}

void RpcService::Process(QxZebRpc::RpcServerCall& call) {
  const std::string name = call.GetMethodName().ToUtf8();
  const auto method = std::find_if(m_methods.begin(), m_methods.end(),
                                   [&](const Method& m) { return m.name == name; });
  if (method == m_methods.end()) {
    call.SendFault("Client", QxMoxStr::String_t("unknown method " + name));
    return;
  }
  if (const std::optional<std::string> refusal = m_rule.Refusal(call.GetMessage(), method->level)) {
    call.SendFault("Client", QxMoxStr::String_t(*refusal));
    return;
  }
  method->serve(call);
}

ArgReader RpcService::Reader(QxZebRpc::RpcServerCall& call) {
  return [&call](int count, QxZebSoap::SOAPArg* const* args) { call.ReadRequest(count, args); };
}

void RpcService::Respond(QxZebRpc::RpcServerCall& call,
                         std::initializer_list<QxZebSoap::SOAPArg*> results) {
  call.CreateResponse().SetArgs(static_cast<int>(results.size()), results.begin());
  call.SendResponse("UTF-8");
}

}  // namespace QxCmServer
