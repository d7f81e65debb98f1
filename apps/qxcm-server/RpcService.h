// RpcService: an RPC handler serving a table of methods, each behind the access rule.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "AccessRule.h"
#include "CallArgs.h"
#include "qxzeb/Rpc.h"

namespace QxCmServer {

// RpcService serves the methods of its table. A caller the access rule refuses for a method's
// level gets a SOAP Fault "Client" with the reason, and the method does not run. Exceptions of
// a method become a SOAP Fault through the RPC server (an RpcException with its code, others
// as "Server"). Rule and the objects the methods use must outlive the service.
class RpcService : public QxZebRpc::RpcServerHandler {
 public:
  struct Method {
    std::string name;
    AccessRule::Level_e level;
    std::function<void(QxZebRpc::RpcServerCall&)> serve;
  };

  RpcService(const AccessRule& rule, std::vector<Method> methods);

  // RegisterWith registers every method of the table with server.
  void RegisterWith(QxZebRpc::RpcServer& server);
  void Process(QxZebRpc::RpcServerCall& call) override;

  // Reader returns the argument reader of call.
  static ArgReader Reader(QxZebRpc::RpcServerCall& call);
  // Respond answers call with results.
  static void Respond(QxZebRpc::RpcServerCall& call,
                      std::initializer_list<QxZebSoap::SOAPArg*> results);

 private:
  const AccessRule& m_rule;
  std::vector<Method> m_methods;
};

}  // namespace QxCmServer
