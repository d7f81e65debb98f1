// Messenger: a messaging endpoint that sends messages and serves registered handlers.
#pragma once

#include "qxmox/Config.h"
#include "qxmox/Net.h"
#include "qxmox/String.h"
#include "qxzeb/Message.h"
#include "qxzeb/Object.h"

namespace QxZebMsg {

// Messenger is an endpoint built from a private configuration and options. Unless SendOnly, it
// listens for HTTP: on SERVER_PORT of its configuration when set, else on an ephemeral port with
// RegisterWithCb, else on [zeb.http] PORT (default 15080); it binds LISTEN_ADDR (its
// configuration, else [zeb.http], else all addresses). With a TLS identity in the process's key
// store it also listens for https (TLS_PORT, or ephemeral by the same rule). Messengers of one
// process on one fixed port share one listener. Calls time out after TIMEOUT_MS (its
// configuration, else [zeb.http], else 30000). Copies share one endpoint.
class Messenger : public QxZebCore::Object {
 public:
  class Options {
   public:
    Options& SendOnly(bool on) {
      m_sendOnly = on;
      return *this;
    }
    Options& RegisterWithCb(bool on) {
      m_registerWithCb = on;
      return *this;
    }
    Options& DeregisterFromCb(bool on) {
      m_deregisterFromCb = on;
      return *this;
    }
    // SetBasePath sets the path under which the handlers are registered ("qx/node").
    Options& SetBasePath(const String_t& path) {
      m_basePath = path;
      return *this;
    }
    // SetAuthenticationMethod sets the authentication value used when Register gets -1.
    Options& SetAuthenticationMethod(int value) {
      m_authMethod = value;
      return *this;
    }
    bool IsSendOnly() const { return m_sendOnly; }
    bool IsRegisterWithCb() const { return m_registerWithCb; }
    bool IsDeregisterFromCb() const { return m_deregisterFromCb; }
    const String_t& GetBasePath() const { return m_basePath; }
    int GetAuthenticationMethod() const { return m_authMethod; }

   private:
    bool m_sendOnly = false;
    bool m_registerWithCb = false;
    bool m_deregisterFromCb = false;
    String_t m_basePath;
    int m_authMethod = 0;
  };

  Messenger() = default;
  // Messenger starts listening as configured. Throws QxZebHttp::HttpException when it cannot
  // bind, QxMoxMsg::IllegalArgumentError_t for a bad SERVER_PORT.
  Messenger(const QxMoxConfig::Configuration_t& configuration, const Options& options);

  // Register serves handler at <base path>/<handler's base path> (relative true) or at the
  // handler's base path alone, for callers that pass the authentication value (0, 1 or 2; -1
  // takes the messenger's authentication method). The caller keeps the handler, which must
  // stay alive until deregistered or destroyed. Throws QxMoxMsg::IllegalArgumentError_t for a
  // null handler or a path already served, IllegalStateError_t for a send-only or closed
  // messenger.
  void Register(MsgHandler* handler, bool relative, int authenticationValue = -1);
  // Deregister stops serving handler; with wait true it returns when no call is in progress.
  void Deregister(MsgHandler* handler, bool wait);
  // GetBaseCbAddress returns http://<host>:<port>/<base path>; empty when send-only.
  String_t GetBaseCbAddress() const;
  // GetTlsBaseCbAddress returns the https address, empty without TLS listener.
  String_t GetTlsBaseCbAddress() const;
  // CreateMsg returns a message to uri (http or https); its body is written by the caller.
  OutgoingMsg CreateMsg(const QxMoxNet::URI_t& uri,
                        const OutputMsg::Options& options = OutputMsg::Options());
  // GetTimeout returns the calls' default timeout in milliseconds.
  long GetTimeout() const;
  // Close stops serving (handlers are deregistered, calls in progress finish) and refuses
  // further sends. Calling it again does nothing.
  void Close();

 private:
  friend struct MessengerAccess;
};

}  // namespace QxZebMsg
