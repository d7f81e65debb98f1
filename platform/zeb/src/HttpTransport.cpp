#include "HttpTransport.h"

#include <charconv>

#include "HttpClient.h"
#include "qxmox/Exception.h"
#include "qxzeb/Exceptions.h"

namespace QxZebHttp {

const Transport& PlainTransport();
const Transport& TlsTransport();

namespace {

std::string Lookup(const QxMoxConfig::Configuration_t& priv,
                   const QxMoxConfig::Configuration_t& global, const char* key) {
  QxMoxStr::String_t v = priv.GetValue(key);
  if (v.IsNull()) v = global.GetValue(key);
  return v.IsNull() ? std::string() : v.ToUtf8();
}

long ParseNumber(const std::string& text, const char* key, long min, long max) {
  long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("invalid messaging setting ") + key + " = '" +
                                   text + "'");
  }
  return value;
}

// Mapped returns step(lease, request) and throws a ClientFailure as transport's exception.
template <class Step>
auto Mapped(const Transport& transport, ClientPool::Lease& lease, const PostRequest& request,
            Step step) {
  try {
    return step(lease, request);
  } catch (const ClientFailure& failure) {
    transport.Throw(*lease, request, failure.why);
    throw;  // not reached: the compiler does not trust [[noreturn]] through a virtual call
  }
}

struct PlainClient final : PooledClient {
  using PooledClient::PooledClient;
  std::unique_ptr<Connection> Open(QxMoxIo::Fd_t fd, long) override {
    return std::make_unique<Connection>(std::move(fd));
  }
};

class Plain final : public Transport {
 public:
  const char* Scheme() const override { return "http"; }
  int DefaultPort(const Settings& s) const override { return s.port; }
  ClientPool::Lease Take(const std::string& host, int port, const PostRequest&) const override {
    return ClientPool::Shared().Take(
        ClientPool::Key({Scheme(), host, std::to_string(port)}),
        [host, port] { return std::make_unique<PlainClient>(host, port); });
  }
  [[noreturn]] void Throw(const PooledClient& client, const PostRequest& request,
                          const std::string& why) const override {
    throw PostFailure("HTTP", client.Host(), client.Port(), request, why);
  }
  QxSecCore::Ssl::SslCtxPtr MakeServerContext() const override { return nullptr; }
  void FillPeer(const SSL*, bool& secure, bool& trusted, std::string& commonName) const override {
    secure = false;
    trusted = false;
    commonName.clear();
  }
};

}  // namespace

Settings Settings::Load(const QxMoxConfig::Configuration_t& priv) {
  QxMoxConfig::Configuration_t global = QxMoxConfig::ConfigNamespace_t("zeb.http").Open();
  Settings s;
  if (auto v = Lookup(priv, global, "PORT"); !v.empty()) s.port = ParseNumber(v, "PORT", 1, 65535);
  if (auto v = Lookup(priv, global, "TLS_PORT"); !v.empty())
    s.tlsPort = ParseNumber(v, "TLS_PORT", 1, 65535);
  if (auto v = Lookup(priv, global, "LISTEN_ADDR"); !v.empty()) s.listenAddr = v;
  if (auto v = Lookup(priv, global, "TIMEOUT_MS"); !v.empty())
    s.timeoutMs = ParseNumber(v, "TIMEOUT_MS", 1, 24L * 3600 * 1000);
  if (auto v = priv.GetValue("SERVER_PORT"); !v.IsNull() && !v.IsEmpty())
    s.serverPort = ParseNumber(v.ToUtf8(), "SERVER_PORT", 0, 65535);
  return s;
}

const Transport& TransportFor(const std::string& scheme) {
  static const Transport* const table[] = {&PlainTransport(), &TlsTransport()};
  for (const Transport* t : table) {
    if (scheme == t->Scheme()) return *t;
  }
  QxMoxMsg::ThrowIllegalArgument("unsupported URI scheme '" + scheme + "'");
}

const Transport& PlainTransport() {
  static const Plain plain;
  return plain;
}

HttpException PostFailure(const char* protocol, const std::string& host, int port,
                          const PostRequest& request, const std::string& why) {
  return HttpException(
      QxMoxMsg::CreateError_t(std::string(protocol) + " POST to " + host + ":" +
                              std::to_string(port) + request.path + " failed: " + why),
      0);
}

PendingPost::PendingPost(const QxMoxNet::URI_t& uri, const Settings& settings, PostRequest request,
                         bool acceptStatus500)
    : m_transport(&TransportFor(uri.GetScheme().ToUtf8())),
      m_host(uri.GetHost().ToUtf8()),
      m_port(uri.GetPort() >= 0 ? uri.GetPort() : m_transport->DefaultPort(settings)),
      m_uri(uri.ToString().ToUtf8()),
      m_request(std::move(request)),
      m_acceptStatus500(acceptStatus500) {
  if (m_host.empty()) QxMoxMsg::ThrowIllegalArgument("URI without host: " + uri.ToString());
  std::string& path = m_request.path;
  if (path.empty()) path = uri.GetPath().IsEmpty() ? "/" : uri.GetPath().ToUtf8();
  if (path.front() != '/') path.insert(0, "/");
}

void PendingPost::Send() {
  if (m_lease) return;
  ClientPool::Lease lease = m_transport->Take(m_host, m_port, m_request);
  Mapped(*m_transport, lease, m_request, SendPost);
  m_lease.emplace(std::move(lease));
}

PostResult PendingPost::Receive() {
  Send();
  ClientPool::Lease lease = std::move(*m_lease);
  m_lease.reset();
  PostResult result = Mapped(*m_transport, lease, m_request, ReceivePost);
  if (result.status != 200 && !(m_acceptStatus500 && result.status == 500)) {
    throw HttpException(QxMoxMsg::CreateError_t("HTTP POST to " + m_uri + " answered status " +
                                                std::to_string(result.status)),
                        result.status);
  }
  return result;
}

}  // namespace QxZebHttp
