// Observer and Observer_ex: receive the certificate server's events and hand them to the
// registered CertEventUpdateHandler objects.
#pragma once

#include <memory>
#include <set>

#include "qxmox/String.h"
#include "qxmox/Thread.h"
#include "qxseccm/CertEventUpdateHandler.h"
#include "qxseccm/Object.h"
#include "qxseccm/ServerOptions.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Rpc.h"

namespace QxSecCm {

class ObserverImpl;
class ObserverImpl_ex;
class SOAPArgCertEvent;
class SOAPArgCertEvent_ex;

// ObserverTraits and ObserverTraits_ex are what differs between the twins: the event, its
// handler and argument, the body class and the names in traces.
struct ObserverTraits {
  using Event = CertEvent;
  using Handler = CertEventUpdateHandler;
  using EventArg = SOAPArgCertEvent;
  using Options = ServerOptionsT<ObserverOptionsTraits>;
  using Body = ObserverImpl;
  static constexpr const char* kClassName = "Observer";
  static constexpr const char* kConstructor = "ObserverImpl::Contructor()";
  static constexpr const char* kInit = "ObserverImpl::Init()";
  static constexpr const char* kRegister = "ObserverImpl::Register()";
  static constexpr const char* kDeregister = "ObserverImpl::Deregister()";
  static constexpr const char* kSendUpdate = "ObserverImpl::SendUpdate()";
  static constexpr const char* kRegisterHandler = "ObserverImpl::RegisterUpdateHandler()";
  static constexpr const char* kDeregisterHandler = "ObserverImpl::DeregisterUpdateHandler()";
  static constexpr const char* kDestructor = "ObserverImpl::Destructor()";
  static constexpr const char* kDestroyThis = "ObserverImpl::DestroyThis()";
  static constexpr const char* kDeregisterFailed =
      "ObserverImpl::Deregister(): Got exception when trying to unregister";
  static constexpr const char* kSendUpdateFailed = "ObserverImpl::SendUpdate() failed";
};
struct ObserverTraits_ex {
  using Event = CertEvent_ex;
  using Handler = CertEventUpdateHandler_ex;
  using EventArg = SOAPArgCertEvent_ex;
  using Options = ServerOptionsT<ObserverOptionsTraits_ex>;
  using Body = ObserverImpl_ex;
  static constexpr const char* kClassName = "Observer_ex";
  static constexpr const char* kConstructor = "Observer_exImpl::Contructor()";
  static constexpr const char* kInit = "Observer_exImpl::Init()";
  static constexpr const char* kRegister = "Observer_exImpl::Register()";
  static constexpr const char* kDeregister = "Observer_exImpl::Deregister()";
  static constexpr const char* kSendUpdate = "Observer_exImpl::SendUpdate()";
  static constexpr const char* kRegisterHandler = "ObserverImpl_ex::RegisterUpdateHandler()";
  static constexpr const char* kDeregisterHandler = "ObserverImpl_ex::DeregisterUpdateHandler()";
  static constexpr const char* kDestructor = "ObserverImpl_ex::Destructor()";
  static constexpr const char* kDestroyThis = "ObserverImpl_ex::DestroyThis()";
  static constexpr const char* kDeregisterFailed =
      "Observer_exImpl::Deregister(): Got exception when trying to unregister";
  static constexpr const char* kSendUpdateFailed = "ObserverImpl_ex::SendUpdate() failed";
};

template <class Traits>
class ObserverImplT;

// ObserverServerHandlerT serves "SendUpdate" for one observer (defined with the observer's
// members).
template <class Traits>
class ObserverServerHandlerT;

// ObserverImplT runs an RPC service of its own at "<messenger base address>/<fresh UUID>/" and
// announces it to "https://<hostname>/com.mt.qx.sec.cm.certificateserver/notificationhandler/".
// Without messenger it opens its own under the base path "com.mt.qx.sec.cm.observer".
template <class Traits>
class ObserverImplT : public ObjectImpl {
 public:
  using Event = typename Traits::Event;
  using Handler = typename Traits::Handler;
  using Options = typename Traits::Options;

  explicit ObserverImplT(const Options& options);
  ObserverImplT(const Options& options, const QxZebMsg::Messenger& messenger);
  // ~ObserverImplT deregisters from the server when registered, waits for a "SendUpdate" in
  // progress and closes its RPC service. Handlers are never deleted.
  ~ObserverImplT() override;
  void DestroyThis() override;

  // Register announces this observer ("RegisterObserver"), first withdrawing an earlier
  // announcement, and returns the server's answer. A failed call returns false and stops the
  // messenger routing to this observer. The observer counts as registered once the call
  // completed, whatever the server answered.
  bool Register();
  // Deregister withdraws the announcement ("DeregisterObserver") and returns the server's
  // answer: false at once when not registered, false when the call fails (the observer then
  // stays registered). The messenger stops routing to this observer in either case.
  bool Deregister();
  // RegisterUpdateHandler adds handler (once); a null handler throws
  // QxMoxMsg::IllegalArgumentError_t. DeregisterUpdateHandler removes it; an absent one is
  // ignored. Both wait while events are being dispatched.
  void RegisterUpdateHandler(Handler* handler);
  void DeregisterUpdateHandler(Handler* handler);

  // SendUpdate calls Update(event) on each handler in ascending pointer order under the handler
  // lock; a platform exception from one handler is traced and the next one called.
  void SendUpdate(const Event& event);

  // GetCallbackUri is "<messenger base address>/<RPC base path>/", the address announced.
  QxMoxStr::String_t GetCallbackUri() const;

 private:
  void Init(const Options& options);
  QxMoxNet::URI_t ServiceUri() const;
  // Call invokes method at the server with the callback URI first among args; returns "result".
  bool Call(const char* method, int argCount, QxZebSoap::SOAPArg* const* args);

  std::set<Handler*> m_handlers;
  QxMoxThread::Mutex_t m_handlerLock;
  QxZebMsg::Messenger m_messenger;
  QxZebRpc::RpcServer m_server;
  QxZebRpc::RpcClient m_client;
  std::unique_ptr<ObserverServerHandlerT<Traits>> m_serverHandler;
  QxMoxStr::String_t m_hostname;
  bool m_registered = false;
  bool m_serving = false;  // "SendUpdate" is served by m_server
  bool m_routed = false;   // the messenger routes to m_server
  QxZebRpc::RpcCall::Options m_callOptions;
};

// ObserverT is the observer handle; it owns its body, which is released (DestroyThis:
// deregistered, its service closed) when the last handle sharing it goes. Every operation of an
// empty handle throws QxMoxMsg::IllegalStateError_t whose text is the class name.
template <class Traits>
class ObserverT : public BodyHandle<Traits, ExceptionTracer::Client> {
 public:
  using Body = typename Traits::Body;
  using Handler = typename Traits::Handler;
  using Options = typename Traits::Options;

  ObserverT() : ObserverT(Options()) {}
  explicit ObserverT(const Options& options) : Base(new Body(options)) {}
  explicit ObserverT(const QxZebMsg::Messenger& messenger) : ObserverT(Options(), messenger) {}
  ObserverT(const Options& options, const QxZebMsg::Messenger& messenger)
      : Base(new Body(options, messenger)) {}
  ~ObserverT() override = default;

  bool Register() { return GetBody().Register(); }
  bool Deregister() { return GetBody().Deregister(); }
  void RegisterUpdateHandler(Handler* handler) { GetBody().RegisterUpdateHandler(handler); }
  void DeregisterUpdateHandler(Handler* handler) { GetBody().DeregisterUpdateHandler(handler); }

 private:
  using Base = BodyHandle<Traits, ExceptionTracer::Client>;
  using Base::GetBody;
};

extern template class ObserverImplT<ObserverTraits>;
extern template class ObserverImplT<ObserverTraits_ex>;

class ObserverImpl : public ObserverImplT<ObserverTraits> {
 public:
  using ObserverImplT::ObserverImplT;
};
class ObserverImpl_ex : public ObserverImplT<ObserverTraits_ex> {
 public:
  using ObserverImplT::ObserverImplT;
};

// Observer hands CertEvent events to CertEventUpdateHandler objects.
class Observer : public ObserverT<ObserverTraits> {
 public:
  using ObserverT::ObserverT;
};

// Observer_ex hands CertEvent_ex events to CertEventUpdateHandler_ex objects.
class Observer_ex : public ObserverT<ObserverTraits_ex> {
 public:
  using Options_ex = Options;
  using ObserverT::ObserverT;
};

}  // namespace QxSecCm
