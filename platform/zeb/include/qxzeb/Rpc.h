// Remote calls over SOAP 1.1: client calls, servers, server handlers and the calls they serve.
#pragma once

#include <memory>
#include <vector>

#include "qxmox/Config.h"
#include "qxmox/Net.h"
#include "qxzeb/Exceptions.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Object.h"
#include "qxzeb/Soap.h"

namespace QxZebRpc {

using QxMoxStr::String_t;

// RpcCall is one remote call: set the method and arguments on GetEnvelope(), then Invoke.
// Copies share one call. Made by RpcClient::CreateCall.
class RpcCall : public QxZebCore::Object {
 public:
  // Options: SetTargetID(id): over https the callee's certificate subject common name must equal
  // id, else QxZebHttp::TargetIDFailureException. SetTimeout: milliseconds (0: the messenger's).
  class Options {
   public:
    Options& SetTargetID(const String_t& id) {
      m_targetId = id;
      return *this;
    }
    Options& SetTimeout(long milliseconds) {
      m_timeoutMs = milliseconds;
      return *this;
    }
    const String_t& GetTargetID() const { return m_targetId; }
    long GetTimeout() const { return m_timeoutMs; }

   private:
    String_t m_targetId;
    long m_timeoutMs = 0;
  };

  RpcCall() = default;
  QxZebSoap::SOAPEnvelope& GetEnvelope();
  // Invoke sends the call and fills the result arguments by name from <Method>Response; a
  // result the answer does not carry keeps its value. encoding must be "UTF-8". Throws
  // RpcException for a SOAP Fault or an answer that is not a SOAP response (arguments filled
  // before the bad point keep what they got), QxZebHttp::HttpException for transport failures
  // and timeouts, QxZebHttp::TargetIDFailureException (all QxMoxMsg::Exception_t).
  void Invoke(int count, QxZebSoap::SOAPArg* const* results, const char* encoding = "UTF-8");

  explicit RpcCall(std::shared_ptr<QxZebCore::ObjectBody> body) : Object(std::move(body)) {}
};

// RpcClient makes calls through a messenger.
class RpcClient : public QxZebCore::Object {
 public:
  RpcClient() = default;
  RpcClient(const QxMoxConfig::Configuration_t& configuration,
            const QxZebMsg::Messenger& messenger);
  RpcCall CreateCall(const QxMoxNet::URI_t& uri, const RpcCall::Options& options = {});
  // Call invokes method at uri with the arguments and returns the integer result argument
  // "return" of the answer (0 when it has none). Throws as RpcCall::Invoke.
  int Call(const String_t& method, const QxMoxNet::URI_t& uri, const RpcCall::Options& options,
           int count, QxZebSoap::SOAPArg* const* values);
};

class RpcServerCall;

// RpcServerHandler serves one or more methods of an RpcServer. Attach is called before and
// Detach after each Process. An exception escaping Process answers a SOAP Fault (an
// RpcException with its fault code, anything else as "Server").
class RpcServerHandler {
 public:
  virtual ~RpcServerHandler() = default;
  virtual void Process(RpcServerCall& call) = 0;
  virtual void Attach() {}
  virtual void Detach() {}
};

// RpcServerCall is one call being served: valid during RpcServerHandler::Process.
class RpcServerCall {
 public:
  struct Impl;
  explicit RpcServerCall(Impl& impl) : m_impl(impl) {}
  RpcServerCall(const RpcServerCall&) = delete;
  RpcServerCall& operator=(const RpcServerCall&) = delete;
  // GetMethodName returns the method element's local name.
  String_t GetMethodName() const;
  // ReadRequest fills the arguments by name from the request; an argument the request does not
  // carry keeps its value. Throws RpcException (fault code "Client") for a malformed request
  // or a value an argument cannot read.
  void ReadRequest(int count, QxZebSoap::SOAPArg* const* args);
  // CreateResponse returns the answer's envelope (method <Method>Response); set its arguments.
  QxZebSoap::SOAPEnvelope& CreateResponse();
  // SendResponse writes the answer (encoding must be "UTF-8"); it goes out when Process
  // returns. Without it, an empty <Method>Response is sent (arguments set on CreateResponse()
  // are then not written: they may not outlive Process).
  void SendResponse(const char* encoding = "UTF-8");
  // SendFault answers a SOAP Fault with code ("Client", "Server") and text instead.
  void SendFault(const String_t& code, const String_t& text);
  // GetMessage returns the HTTP message that carried the call.
  const QxZebMsg::IncomingMsg& GetMessage() const;

 private:
  Impl& m_impl;
};

// RpcCharArg is one top-level argument of a call as its name and text.
struct RpcCharArg {
  String_t name;
  String_t text;
};

// RpcCharHandler hands each call's top-level arguments, as text, to ProcessArgs.
class RpcCharHandler : public RpcServerHandler {
 public:
  void Process(RpcServerCall& call) final;
  virtual void ProcessArgs(RpcServerCall& call, const std::vector<RpcCharArg>& args) = 0;
};

// RpcServer dispatches SOAP calls to registered method handlers. Register it with a messenger
// through GetMsgHandler(). Copies share one server.
class RpcServer : public QxZebCore::Object {
 public:
  class Options {
   public:
    Options& SetBasePath(const String_t& path) {
      m_basePath = path;
      return *this;
    }
    // SetRequireAuthentication(true) admits only callers with a trusted client certificate.
    Options& SetRequireAuthentication(bool on) {
      m_requireAuth = on;
      return *this;
    }
    const String_t& GetBasePath() const { return m_basePath; }
    bool GetRequireAuthentication() const { return m_requireAuth; }

   private:
    String_t m_basePath;
    bool m_requireAuth = false;
  };

  RpcServer() = default;
  RpcServer(const QxMoxConfig::Configuration_t& configuration, const Options& options);
  // Register serves method with handler (kept by the caller until Deregister or Close).
  // Throws QxMoxMsg::IllegalArgumentError_t for a null handler or a method already served.
  void Register(const String_t& method, RpcServerHandler* handler);
  // Deregister stops serving method and waits for its calls in progress.
  void Deregister(const String_t& method);
  String_t GetBasePath() const;
  // GetMsgHandler returns the handler a messenger registers (owned by the server).
  QxZebMsg::MsgHandler* GetMsgHandler() const;
  operator QxZebMsg::MsgHandler*() const { return GetMsgHandler(); }  // NOLINT
  // Close refuses further calls and waits for the calls in progress.
  void Close();
};

}  // namespace QxZebRpc
