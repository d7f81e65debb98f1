#include "Listener.h"


#include "qxmox/Exception.h"
#include "qxmox/Trace.h"
#include "HttpTransport.h"

namespace QxZebMsg {

namespace {

QxMoxTrc::TraceWrapper_t g_trace("zeb.msg", 1);

std::mutex g_registryMutex;
std::map<std::string, std::weak_ptr<Listener>> g_registry;

// Dispatch runs one message through its route: the single place where a handler's failure
// becomes an HTTP status.
int Dispatch(const Route& route, IncomingMsg& msg) {
  if (!msg.Allows(route.authenticationValue)) return 403;
  GateEntry entry(*route.gate);
  if (!entry) return 503;
  MsgHandler* handler = route.gate->Handler();
  if (msg.GetMethod() != "POST" && !handler->AcceptsGet()) return 405;
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

std::shared_ptr<Listener> Listener::Acquire(const std::string& address, int port) {
  std::string key = port == 0 ? std::string() : address + ":" + std::to_string(port);
  std::lock_guard lock(g_registryMutex);
  if (!key.empty()) {
    if (auto it = g_registry.find(key); it != g_registry.end()) {
      if (auto existing = it->second.lock()) return existing;
    }
  }
  // The key is set once the server runs: a listener whose port cannot be had goes away here,
  // under the lock, and its destructor must then not take the lock again.
  std::shared_ptr<Listener> listener(new Listener(std::string()));
  listener->m_server = std::make_unique<HttpServer>(
      address, port, [] { return QxZebHttp::TransportFor("https").MakeServerContext(); },
      [raw = listener.get()](IncomingMsg::Data data) { return raw->Handle(std::move(data)); });
  if (!key.empty()) {
    listener->m_key = key;
    g_registry[key] = listener;
  }
  return listener;
}

Listener::~Listener() {
  if (!m_key.empty()) {
    std::lock_guard lock(g_registryMutex);
    auto it = g_registry.find(m_key);
    if (it != g_registry.end() && it->second.expired()) g_registry.erase(it);
  }
  m_server.reset();
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

HttpReply Listener::Handle(IncomingMsg::Data data) const {
  data.path = NormalizePath(data.path);
  std::optional<Route> route = Find(data.path);
  if (!route) return {404, {}, {}};
  IncomingMsg msg(std::move(data));
  HttpReply reply;
  reply.status = Dispatch(*route, msg);
  reply.body = msg.TakeReplyBody();
  reply.contentType = msg.GetReplyContentType();
  return reply;
}

}  // namespace QxZebMsg
