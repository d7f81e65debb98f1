// NotificationService: registering and withdrawing event observers.
#include "NotificationService.h"

#include "Clock.h"

namespace QxCmServer {
namespace {

using QxZebRpc::RpcServerCall;

void RespondResult(RpcServerCall& call, bool result) {
  QxZebSoap::SOAPArgBool resultArg("result", result);
  RpcService::Respond(call, {&resultArg});
}

}  // namespace

NotificationService::NotificationService(Store& store, const AccessRule& rule,
                                         std::function<void()> changed)
    : RpcService(rule, Methods()), m_store(store), m_changed(std::move(changed)) {}

std::vector<RpcService::Method> NotificationService::Methods() {
  return {
      {"RegisterObserver", AccessRule::Level_e::ADMIN,
       [this](RpcServerCall& call) {
         const CallArgs::Registration args = CallArgs::ReadRegistration(Reader(call));
         if (args.uri.empty()) {
           call.SendFault("Client", "RegisterObserver needs a callback uri");
           return;
         }
         m_store.AddObserver(args.uri, NowMs());
         m_changed();
         RespondResult(call, true);
       }},
      {"DeregisterObserver", AccessRule::Level_e::ADMIN,
       [this](RpcServerCall& call) {
         const bool removed = m_store.RemoveObserver(CallArgs::ReadRegistration(Reader(call)).uri);
         if (removed) m_changed();
         RespondResult(call, removed);
       }},
  };
}

}  // namespace QxCmServer
