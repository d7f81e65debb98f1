#include "Listener.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "qxmox/Exception.h"
#include "qxmox/Trace.h"
#include "qxzeb/Exceptions.h"

namespace QxZebMsg {

namespace {

QxMoxTrc::TraceWrapper_t g_trace("zeb.msg", 1);

// Large enough for a request collection of thousands of records; larger bodies are refused
// before they are read.
constexpr size_t kMaxPayload = 16u << 20;

std::mutex g_registryMutex;
std::map<std::string, std::weak_ptr<Listener>> g_registry;

// SO_REUSEPORT (cpp-httplib's default) would let a second process bind the same port and take
// part of the traffic; only SO_REUSEADDR is wanted.
void ReuseAddressOnly(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// Dispatch runs one message through its route: the single place where a handler's failure
// becomes an HTTP status.
int Dispatch(const Route& route, IncomingMsg& msg) {
  if (!msg.Allows(route.authenticationValue)) return 403;
  GateEntry entry(*route.gate);
  if (!entry) return 503;
  MsgHandler* handler = route.gate->Handler();
  try {
    if (!handler->Authenticate(msg)) return 403;
    handler->Attach();
    struct Detach {
      MsgHandler* h;
      ~Detach() {
        try {
          h->Detach();
        } catch (...) {
        }
      }
    } detach{handler};
    if (handler->IsThreadSafe()) {
      handler->Process(msg);
    } else {
      std::lock_guard serial(route.gate->SerialMutex());
      handler->Process(msg);
    }
  } catch (const std::exception& e) {
    g_trace.Get().Trace(1, (std::string("message handler failed: ") + e.what()).c_str(), __FILE__,
                        __LINE__);
    return 500;
  } catch (...) {
    g_trace.Get().Trace(1, "message handler failed", __FILE__, __LINE__);
    return 500;
  }
  return msg.GetReplyStatus();
}

}  // namespace

std::string NormalizePath(const std::string& path) {
  std::string out;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) out += "/" + path.substr(i, j - i);
    i = j;
  }
  return out.empty() ? "/" : out;
}

std::string JoinPath(const std::string& base, const std::string& sub) {
  return NormalizePath(base + "/" + sub);
}

std::shared_ptr<Listener> Listener::Acquire(const QxZebHttp::Transport& transport,
                                            const std::string& address, int port) {
  std::string key =
      port == 0 ? std::string()
                : std::string(transport.Scheme()) + "://" + address + ":" + std::to_string(port);
  std::lock_guard lock(g_registryMutex);
  if (!key.empty()) {
    if (auto it = g_registry.find(key); it != g_registry.end()) {
      if (auto existing = it->second.lock()) return existing;
    }
  }
  std::unique_ptr<httplib::Server> server = transport.MakeServer();
  if (!server) return nullptr;
  std::shared_ptr<Listener> listener(new Listener(transport, std::move(server), key));
  listener->Start(address, port);
  if (!key.empty()) g_registry[key] = listener;
  return listener;
}

Listener::Listener(const QxZebHttp::Transport& transport, std::unique_ptr<httplib::Server> server,
                   std::string key)
    : m_transport(transport), m_key(std::move(key)), m_server(std::move(server)) {}

void Listener::Start(const std::string& address, int port) {
  m_server->set_socket_options(ReuseAddressOnly);
  m_server->set_payload_max_length(kMaxPayload);
  m_server->Post(".*",
                 [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); });
  if (port == 0) {
    m_port = m_server->bind_to_any_port(address);
  } else {
    m_port = m_server->bind_to_port(address, port) ? port : -1;
  }
  if (m_port <= 0) {
    throw QxZebHttp::HttpException(
        QxMoxMsg::CreateError_t(std::string("cannot listen for ") + m_transport.Scheme() + " on " +
                                address + ":" + std::to_string(port)),
        0);
  }
  m_thread = std::thread([server = m_server.get()] { server->listen_after_bind(); });
  // stop() only takes effect once the accept loop runs; wait for it so teardown cannot hang.
  while (!m_server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Listener::~Listener() {
  if (!m_key.empty()) {
    std::lock_guard lock(g_registryMutex);
    auto it = g_registry.find(m_key);
    if (it != g_registry.end() && it->second.expired()) g_registry.erase(it);
  }
  m_server->stop();
  if (m_thread.joinable()) m_thread.join();
}

void Listener::AddRoute(const std::string& path, Route route) {
  std::lock_guard lock(m_mutex);
  if (!m_routes.emplace(path, std::move(route)).second) {
    QxMoxMsg::ThrowIllegalArgument("a handler is registered at " + path + " already");
  }
}

void Listener::RemoveRoute(const std::string& path) {
  std::lock_guard lock(m_mutex);
  m_routes.erase(path);
}

std::optional<Route> Listener::Find(std::string path) const {
  std::lock_guard lock(m_mutex);
  for (;;) {
    if (auto it = m_routes.find(path); it != m_routes.end()) return it->second;
    if (path == "/") return std::nullopt;
    size_t slash = path.rfind('/');
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

void Listener::Handle(const httplib::Request& req, httplib::Response& res) {
  IncomingMsg::Data data;
  data.path = NormalizePath(req.path);
  std::optional<Route> route = Find(data.path);
  if (!route) {
    res.status = 404;
    return;
  }
  data.contentType = req.get_header_value("Content-Type");
  data.body = QxMoxArray::CharArray_t(std::string_view(req.body));
  data.from = req.get_header_value("X-Qx-From");
  data.peerAddress = req.remote_addr;
  for (const auto& [name, value] : req.headers) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    data.headers.emplace(std::move(lower), value);
  }
  m_transport.FillPeer(req, data.secure, data.trustedClientCert, data.peerCommonName);
  IncomingMsg msg(std::move(data));
  res.status = Dispatch(*route, msg);
  std::string body = msg.TakeReplyBody();
  if (!body.empty() || res.status == 200) res.set_content(body, msg.GetReplyContentType());
}

}  // namespace QxZebMsg
