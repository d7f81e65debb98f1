// HttpServer: the asynchronous HTTP/1.1 server under a listener, plain HTTP and TLS on one port.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "OpenSslPtr.h"
#include "qxzeb/Message.h"

namespace QxZebMsg {

// HttpReply is a handler's answer: status, body and its content type.
struct HttpReply {
  int status = 200;
  std::string body;
  std::string contentType;
};

// HttpServer accepts connections on one port. Connections cost no thread while idle: one I/O
// thread reads and writes all of them, a fixed set of worker threads runs the handler. With a
// TLS context the first byte of a connection (0x16, a TLS record) tells TLS from plain HTTP.
class HttpServer {
 public:
  using Handler = std::function<HttpReply(IncomingMsg::Data)>;
  // TlsSource makes the TLS context; null while the process has no TLS identity.
  using TlsSource = std::function<QxSecCore::Ssl::SslCtxPtr()>;
  // HttpServer binds address:port (0: an ephemeral port) and serves. While tls gives no context
  // it serves plain HTTP and asks tls again at each TLS client hello, so that an identity
  // installed while the process runs is served without a restart. Throws
  // QxZebHttp::HttpException when the port cannot be bound or the first context not be made.
  HttpServer(const std::string& address, int port, TlsSource tls, Handler handler);
  // ~HttpServer stops accepting, closes every connection and waits for handlers in progress.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  int GetPort() const;
  // ServesTls: a TLS context is in place (it may come later, see the constructor).
  bool ServesTls() const;

  struct State;

 private:
  std::unique_ptr<State> m_state;
};

}  // namespace QxZebMsg
