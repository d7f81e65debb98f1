// Listeners: one HTTP(S) server per bound port, shared by the messengers of the process.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "HandlerGate.h"
#include "HttpTransport.h"

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
  // Acquire returns the process's listener for (transport, address, port), starting it when
  // none runs; port 0 always starts a new listener on an ephemeral port. Returns null when the
  // transport cannot serve (no TLS identity). Throws QxZebHttp::HttpException when the port
  // cannot be bound.
  static std::shared_ptr<Listener> Acquire(const QxZebHttp::Transport& transport,
                                           const std::string& address, int port);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  int GetPort() const { return m_port; }
  // AddRoute serves path; throws QxMoxMsg::IllegalArgumentError_t when it is served already.
  void AddRoute(const std::string& path, Route route);
  void RemoveRoute(const std::string& path);

 private:
  Listener(const QxZebHttp::Transport& transport, std::unique_ptr<httplib::Server> server,
           std::string key);
  void Start(const std::string& address, int port);
  void Handle(const httplib::Request& request, httplib::Response& response);
  std::optional<Route> Find(std::string path) const;

  const QxZebHttp::Transport& m_transport;
  std::string m_key;  // registry key; empty for an ephemeral listener
  // The server stops (and its threads end) before the routes and the thread object go away.
  mutable std::mutex m_mutex;
  std::map<std::string, Route> m_routes;
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
  int m_port = 0;
};

}  // namespace QxZebMsg
