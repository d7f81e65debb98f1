// Observer: the members of both certificate event observer twins, written once and instantiated
// for each.
#include "qxseccm/Observer.h"

#include "CallCounter.h"
#include "Swallow.h"
#include "TraceMacros.h"
#include "qxmox/Config.h"
#include "qxmox/Runtime.h"
#include "qxseccm/SoapArgs.h"
#include "qxseccm/Tracer.h"
#include "qxseccore/Uuid.h"
#include "qxzeb/Exceptions.h"
#include "qxzeb/Soap.h"

namespace QxSecCm {
namespace {

constexpr const char* kObserverName = "com.mt.qx.sec.cm.observer";
constexpr const char* kNotificationHandler =
    "/com.mt.qx.sec.cm.certificateserver/notificationhandler/";
constexpr const char* kSendUpdate = "SendUpdate";

QxMoxTrc::TraceObj_t& ProcTracer() { return QxSecCmTrc::Tracer::GetClientTracerProc(); }
QxMoxTrc::TraceObj_t& OperationTracer() { return QxSecCmTrc::Tracer::GetClientTracerOperation(); }

}  // namespace

// ---- the "SendUpdate" service -----------------------------------------------------------------

// ObserverServerHandlerT reads the event, answers the server's call with "result" 1 and only then
// hands the event to its observer, so a slow handler never holds up the server. It counts the
// calls in progress; its destructor waits until none is left.
template <class Traits>
class ObserverServerHandlerT : public QxZebRpc::RpcServerHandler {
 public:
  explicit ObserverServerHandlerT(ObserverImplT<Traits>* owner) : m_owner(owner) {}
  ~ObserverServerHandlerT() override {
    Swallow([&] { m_calls.WaitIdle(); });
  }
  void Attach() override { m_calls.Enter(); }
  void Detach() override { m_calls.Leave(); }

  void Process(QxZebRpc::RpcServerCall& call) override {
    typename Traits::Event event;
    typename Traits::EventArg eventArg("ce", &event);
    QxZebSoap::SOAPArg* args[] = {&eventArg};
    call.ReadRequest(1, args);
    QxZebSoap::SOAPArgInt result("result", 1);
    QxZebSoap::SOAPArg* results[] = {&result};
    call.CreateResponse().SetArgs(1, results);
    call.SendResponse("UTF-8");
    m_owner->SendUpdate(event);
  }

 private:
  CallCounter m_calls;
  ObserverImplT<Traits>* m_owner;
};

// ---- the observer -----------------------------------------------------------------------------

template <class Traits>
ObserverImplT<Traits>::ObserverImplT(const Options& options) {
  QXSECCM_BLOCK(ProcTracer(), Traits::kConstructor);
  Init(options);
}

template <class Traits>
ObserverImplT<Traits>::ObserverImplT(const Options& options, const QxZebMsg::Messenger& messenger)
    : m_messenger(messenger) {
  QXSECCM_BLOCK(ProcTracer(), Traits::kConstructor);
  Init(options);
}

template <class Traits>
void ObserverImplT<Traits>::Init(const Options& options) {
  QXSECCM_BLOCK(ProcTracer(), Traits::kInit);
  QxMoxConfig::Configuration_t config;
  config.SetAttrValue("APP_NAME", kObserverName);
  if (m_messenger.IsNull()) {
    m_messenger = QxZebMsg::Messenger(config, QxZebMsg::Messenger::Options()
                                                  .SetBasePath(kObserverName)
                                                  .RegisterWithCb(true)
                                                  .DeregisterFromCb(true));
  }
  // Each observer has a callback path of its own below the messenger's base address.
  const QxMoxStr::String_t path = QxSecCore::Uuid::GenerateUuid().ToString();
  m_server = QxZebRpc::RpcServer(config, QxZebRpc::RpcServer::Options().SetBasePath(path));
  m_client = QxZebRpc::RpcClient(config, m_messenger);
  m_serverHandler = std::make_unique<ObserverServerHandlerT<Traits>>(this);
  const QxMoxStr::String_t& targetId = options.GetTargetId();
  if (!targetId.IsNull() && !targetId.IsEmpty()) m_callOptions.SetTargetID(targetId);
  m_hostname = options.GetHostname();
  m_registered = false;
}

template <class Traits>
ObserverImplT<Traits>::~ObserverImplT() {
  QXSECCM_BLOCK(ProcTracer(), Traits::kDestructor);
  if (m_registered) Swallow([&] { Deregister(); });
  // The caller's messenger may outlive this observer: it must not route to the service below.
  if (m_routed) Swallow([&] { m_messenger.Deregister(m_server.GetMsgHandler(), true); });
  Swallow([&] { m_serverHandler.reset(); });
  if (!m_server.IsNull()) {
    Swallow([&] { m_server.Close(); });
    m_server = QxZebRpc::RpcServer();
  }
}

template <class Traits>
void ObserverImplT<Traits>::DestroyThis() {
  {
    QXSECCM_BLOCK(ProcTracer(), Traits::kDestroyThis);
  }
  delete this;
}

template <class Traits>
QxMoxStr::String_t ObserverImplT<Traits>::GetCallbackUri() const {
  return m_messenger.GetBaseCbAddress() + QxMoxStr::String_t("/") + m_server.GetBasePath() +
         QxMoxStr::String_t("/");
}

template <class Traits>
QxMoxNet::URI_t ObserverImplT<Traits>::ServiceUri() const {
  return QxMoxNet::URI_t(QxMoxStr::String_t("https://") + m_hostname +
                         QxMoxStr::String_t(kNotificationHandler));
}

template <class Traits>
bool ObserverImplT<Traits>::Call(const char* method, int argCount,
                                 QxZebSoap::SOAPArg* const* args) {
  bool result = false;
  QxZebSoap::SOAPArgBool resultArg("result", &result);
  QxZebSoap::SOAPArg* results[] = {&resultArg};
  QxZebRpc::RpcCall call = m_client.CreateCall(ServiceUri(), m_callOptions);
  call.GetEnvelope().SetMethod(method);
  call.GetEnvelope().SetArgs(argCount, args);
  call.Invoke(1, results, "UTF-8");
  return result;
}

template <class Traits>
bool ObserverImplT<Traits>::Register() {
  QXSECCM_BLOCK(ProcTracer(), Traits::kRegister);
  if (m_registered) Deregister();
  // "SendUpdate" stays served after a failed registration; it is served once.
  if (!m_serving) {
    m_server.Register(kSendUpdate, m_serverHandler.get());
    m_serving = true;
  }
  m_messenger.Register(m_server.GetMsgHandler(), true, 0);
  m_routed = true;
  try {
    QxZebSoap::SOAPArgURI uriArg("uri", QxMoxNet::URI_t(GetCallbackUri()));
    QxZebSoap::SOAPArgULong pidArg(
        "pid", static_cast<unsigned long>(QxMoxRuntime::App_t::GetProcessId()));
    QxZebSoap::SOAPArgUnicodeString nameArg("name", QxMoxRuntime::App_t::GetName());
    QxZebSoap::SOAPArg* args[] = {&uriArg, &pidArg, &nameArg};
    const bool result = Call("RegisterObserver", 3, args);
    m_registered = true;
    return result;
  } catch (const QxZebRpc::RpcException&) {
    m_messenger.Deregister(m_server.GetMsgHandler(), true);
    m_routed = false;
    return false;
  } catch (...) {
    // Not registered: the messenger must not route to a service the server does not know.
    Swallow([&] { m_messenger.Deregister(m_server.GetMsgHandler(), true); });
    m_routed = false;
    throw;
  }
}

template <class Traits>
bool ObserverImplT<Traits>::Deregister() {
  QXSECCM_BLOCK(ProcTracer(), Traits::kDeregister);
  if (!m_registered) return false;
  bool result = false;
  // In every case the messenger stops routing to this observer.
  struct Unroute {
    ObserverImplT* self;
    ~Unroute() {
      if (!self->m_routed) return;
      Swallow([&] { self->m_messenger.Deregister(self->m_server.GetMsgHandler(), true); });
      self->m_routed = false;
    }
  } unroute{this};
  try {
    QxZebSoap::SOAPArgURI uriArg("uri", QxMoxNet::URI_t(GetCallbackUri()));
    QxZebSoap::SOAPArg* args[] = {&uriArg};
    result = Call("DeregisterObserver", 1, args);
    if (m_serving) {
      m_server.Deregister(kSendUpdate);
      m_serving = false;
    }
    m_registered = false;
  } catch (const QxZebRpc::RpcException&) {
    QXSECCM_TRACE_LINE(OperationTracer(), 9, Traits::kDeregisterFailed);
    result = false;
  }
  return result;
}

template <class Traits>
void ObserverImplT<Traits>::RegisterUpdateHandler(Handler* handler) {
  QXSECCM_BLOCK(ProcTracer(), Traits::kRegisterHandler);
  if (handler == nullptr) {
    QXSECCM_THROW(QxMoxMsg::IllegalArgumentError_t, ExceptionTracer::Client,
                  QxMoxMsg::CreateWarn_t(QxMoxStr::String_t(Traits::kRegisterHandler) +
                                         ": null handler"));
  }
  QxMoxThread::MutexLock_t lock(m_handlerLock);
  m_handlers.insert(handler);
}

template <class Traits>
void ObserverImplT<Traits>::DeregisterUpdateHandler(Handler* handler) {
  QXSECCM_BLOCK(ProcTracer(), Traits::kDeregisterHandler);
  QxMoxThread::MutexLock_t lock(m_handlerLock);
  m_handlers.erase(handler);
}

template <class Traits>
void ObserverImplT<Traits>::SendUpdate(const Event& event) {
  QXSECCM_BLOCK(ProcTracer(), Traits::kSendUpdate);
  QxMoxThread::MutexLock_t lock(m_handlerLock);
  for (Handler* handler : m_handlers) {
    try {
      handler->Update(event);
    } catch (const QxMoxMsg::Exception_t&) {
      QXSECCM_TRACE_LINE(OperationTracer(), 9, Traits::kSendUpdateFailed);
    }
  }
}

template class ObserverImplT<ObserverTraits>;
template class ObserverImplT<ObserverTraits_ex>;

}  // namespace QxSecCm
