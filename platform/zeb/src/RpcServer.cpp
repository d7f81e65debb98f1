#include <condition_variable>
#include <map>
#include <mutex>

#include "SoapParser.h"
#include "SoapWriter.h"
#include "qxmox/Exception.h"
#include "qxmox/Trace.h"
#include "qxzeb/Rpc.h"

namespace QxZebRpc {

struct RpcServerCall::Impl {
  QxZebMsg::IncomingMsg& msg;
  std::string_view body;
  String_t method, methodNamespace;
  QxZebSoap::SOAPEnvelope response;
  bool responseCreated = false;
  bool answered = false;
  bool fault = false;
  std::string answer;
};

namespace {

QxMoxTrc::TraceWrapper_t g_trace("zeb.rpc", 1);

struct MethodEntry {
  RpcServerHandler* handler;
  int inProgress = 0;
};

struct RpcServerImpl;

// RpcMsgHandler is the message handler a messenger routes the server's calls to.
class RpcMsgHandler : public QxZebMsg::MsgHandler {
 public:
  explicit RpcMsgHandler(RpcServerImpl& server) : m_server(server) {}
  ~RpcMsgHandler() override { WaitForCalls(); }
  bool Authenticate(const QxZebMsg::IncomingMsg& msg) override;
  void Process(QxZebMsg::IncomingMsg& msg) override;
  String_t GetBasePath() const override;

 private:
  RpcServerImpl& m_server;
};

struct RpcServerImpl : QxZebCore::ObjectBody {
  String_t basePath;
  bool requireAuth = false;
  std::mutex mutex;
  std::condition_variable idle;
  std::map<std::u16string, std::shared_ptr<MethodEntry>> methods;
  // Destroyed first: it waits for the calls in progress, which use the members above.
  std::unique_ptr<RpcMsgHandler> msgHandler;

  ~RpcServerImpl() override { msgHandler.reset(); }

  std::shared_ptr<MethodEntry> Enter(const String_t& method) {
    std::lock_guard lock(mutex);
    auto it = methods.find(method.Str());
    if (it == methods.end()) return nullptr;
    ++it->second->inProgress;
    return it->second;
  }
  void Leave(MethodEntry& entry) {
    std::lock_guard lock(mutex);
    if (--entry.inProgress == 0) idle.notify_all();
  }
};

// Serve runs one call: the single place where a method handler's failure becomes a Fault.
void Serve(RpcServerImpl& server, RpcServerCall::Impl& impl) {
  RpcServerCall call(impl);
  try {
    QxZebSoap::SoapDocument doc = QxZebSoap::ParseSoap(impl.body, nullptr, true);
    if (doc.fault) throw RpcException(QxMoxMsg::CreateError_t("a Fault is not a call"), "Client");
    impl.method = doc.methodName;
    impl.methodNamespace = doc.methodNamespace;
    std::shared_ptr<MethodEntry> entry = server.Enter(impl.method);
    if (!entry) {
      throw RpcException(QxMoxMsg::CreateError_t("unknown method " + impl.method), "Client");
    }
    struct Leave {
      RpcServerImpl& s;
      MethodEntry& e;
      ~Leave() { s.Leave(e); }
    } leave{server, *entry};
    entry->handler->Attach();
    struct Detach {
      RpcServerHandler* h;
      ~Detach() {
        try {
          h->Detach();
        } catch (...) {
        }
      }
    } detach{entry->handler};
    entry->handler->Process(call);
    if (!impl.answered) {
      // Arguments set on the response may have gone with the handler's frame: answer empty.
      call.CreateResponse().SetArgs(0, nullptr);
      call.SendResponse("UTF-8");
    }
  } catch (const RpcException& e) {
    call.SendFault(e.GetFaultCode(), e.GetMessageList().Format());
  } catch (const QxMoxMsg::Exception_t& e) {
    call.SendFault("Server", e.GetMessageList().Format());
  } catch (const std::exception& e) {
    call.SendFault("Server", e.what());
  } catch (...) {
    call.SendFault("Server", "unknown failure");
  }
}

bool RpcMsgHandler::Authenticate(const QxZebMsg::IncomingMsg& msg) {
  return msg.Allows(m_server.requireAuth ? 2 : 0);
}

void RpcMsgHandler::Process(QxZebMsg::IncomingMsg& msg) {
  const auto& body = msg.GetBody();
  RpcServerCall::Impl impl{msg, body.View(), {}, {}, {}, false, false, false, {}};
  Serve(m_server, impl);
  if (impl.fault) {
    g_trace.Get().Trace(1, ("call answered with a fault: " + impl.answer).c_str(), __FILE__,
                        __LINE__);
  }
  QxZebMsg::OutgoingReply reply =
      msg.CreateReply(QxZebMsg::OutputMsg::Options().SetContentType("text/xml; charset=UTF-8"));
  reply.SetStatus(impl.fault ? 500 : 200);
  reply.Write(impl.answer.data(), impl.answer.size());
  reply.Send();
}

String_t RpcMsgHandler::GetBasePath() const { return m_server.basePath; }

}  // namespace

String_t RpcServerCall::GetMethodName() const { return m_impl.method; }

void RpcServerCall::ReadRequest(int count, QxZebSoap::SOAPArg* const* args) {
  if (count < 0 || (count > 0 && args == nullptr)) {
    QxMoxMsg::ThrowIllegalArgument("ReadRequest: bad argument count or array");
  }
  try {
    QxZebSoap::ParseSoap(m_impl.body, QxZebSoap::ResolveByName(count, args), false,
                         m_impl.method);
  } catch (const QxMoxMsg::IllegalArgumentError_t& e) {
    // A value an argument cannot read is the caller's fault, not the server's.
    throw RpcException(QxMoxMsg::CreateError_t(e.GetMessageList().Format()), "Client");
  }
}

QxZebSoap::SOAPEnvelope& RpcServerCall::CreateResponse() {
  if (!m_impl.responseCreated) {
    m_impl.response.SetMethod(m_impl.method + "Response", m_impl.methodNamespace);
    m_impl.responseCreated = true;
  }
  return m_impl.response;
}

void RpcServerCall::SendResponse(const char* encoding) {
  QxZebSoap::CheckEncoding(encoding);
  m_impl.answer = CreateResponse().Write();
  m_impl.answered = true;
  m_impl.fault = false;
}

void RpcServerCall::SendFault(const String_t& code, const String_t& text) {
  m_impl.answer = QxZebSoap::WriteFault(code, text);
  m_impl.answered = true;
  m_impl.fault = true;
}

const QxZebMsg::IncomingMsg& RpcServerCall::GetMessage() const { return m_impl.msg; }

void RpcCharHandler::Process(RpcServerCall& call) {
  std::vector<std::unique_ptr<QxZebSoap::SOAPArgUnicodeString>> args;
  // Every top-level argument becomes a string argument of its own, in document order.
  QxZebSoap::ArgResolver resolver = [&](const String_t&, const String_t& name,
                                        const String_t&) -> QxZebSoap::SOAPElement* {
    args.push_back(std::make_unique<QxZebSoap::SOAPArgUnicodeString>(name, String_t()));
    return args.back().get();
  };
  QxZebSoap::ParseSoap(
      std::string_view(reinterpret_cast<const char*>(call.GetMessage().GetBody().GetData()),
                       call.GetMessage().GetBody().GetSize()),
      resolver, false, call.GetMethodName());
  std::vector<RpcCharArg> list;
  list.reserve(args.size());
  for (const auto& a : args) list.push_back({a->GetName(), a->GetValue()});
  ProcessArgs(call, list);
}

RpcServer::RpcServer(const QxMoxConfig::Configuration_t&, const Options& options)
    : Object(std::make_shared<RpcServerImpl>()) {
  RpcServerImpl& s = RequireBody<RpcServerImpl>();
  s.basePath = options.GetBasePath();
  s.requireAuth = options.GetRequireAuthentication();
  s.msgHandler = std::make_unique<RpcMsgHandler>(s);
}

void RpcServer::Register(const String_t& method, RpcServerHandler* handler) {
  if (handler == nullptr) QxMoxMsg::ThrowIllegalArgument("Register: null RPC handler");
  RpcServerImpl& s = RequireBody<RpcServerImpl>();
  std::lock_guard lock(s.mutex);
  auto entry = std::make_shared<MethodEntry>();
  entry->handler = handler;
  if (!s.methods.emplace(method.Str(), entry).second) {
    QxMoxMsg::ThrowIllegalArgument("method " + method + " is registered already");
  }
}

void RpcServer::Deregister(const String_t& method) {
  RpcServerImpl& s = RequireBody<RpcServerImpl>();
  std::unique_lock lock(s.mutex);
  auto it = s.methods.find(method.Str());
  if (it == s.methods.end()) return;
  std::shared_ptr<MethodEntry> entry = it->second;
  s.methods.erase(it);
  s.idle.wait(lock, [&] { return entry->inProgress == 0; });
}

String_t RpcServer::GetBasePath() const { return RequireBody<RpcServerImpl>().basePath; }

QxZebMsg::MsgHandler* RpcServer::GetMsgHandler() const {
  return RequireBody<RpcServerImpl>().msgHandler.get();
}

void RpcServer::Close() { RequireBody<RpcServerImpl>().msgHandler->WaitForCalls(); }

}  // namespace QxZebRpc
