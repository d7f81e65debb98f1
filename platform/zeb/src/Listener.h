// Listeners: one server per bound port (plain HTTP and TLS), shared by the messengers of the process.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "HandlerGate.h"
#include "HttpServer.h"

namespace QxZebMsg {

// Route is a registered handler path: the handler's gate and the authentication value.
struct Route {
  std::shared_ptr<HandlerGate> gate;
  int authenticationValue = 0;
};

// NormalizePath returns "/a/b" for "a//b/", "/" for empty.
std::string NormalizePath(const std::string& path);
std::string JoinPath(const std::string& base, const std::string& sub);

class Listener {
 public:
  // Acquire returns the process's listener for (address, port), starting it when none runs; port
  // 0 always starts a new listener on an ephemeral port. It serves TLS beside plain HTTP when the
  // process has a TLS identity. Throws QxZebHttp::HttpException when the port cannot be bound.
  static std::shared_ptr<Listener> Acquire(const std::string& address, int port);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  int GetPort() const { return m_server->GetPort(); }
  bool ServesTls() const { return m_server->ServesTls(); }
  // AddRoute serves path; throws QxMoxMsg::IllegalArgumentError_t when it is served already.
  void AddRoute(const std::string& path, Route route);
  void RemoveRoute(const std::string& path);

 private:
  explicit Listener(std::string key) : m_key(std::move(key)) {}
  HttpReply Handle(IncomingMsg::Data data) const;
  std::optional<Route> Find(std::string path) const;

  std::string m_key;  // registry key; empty for an ephemeral listener
  // The server stops (and its handlers end) before the routes go away.
  mutable std::mutex m_mutex;
  std::map<std::string, Route> m_routes;
  std::unique_ptr<HttpServer> m_server;
};

}  // namespace QxZebMsg
