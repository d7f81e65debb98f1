#include "HttpTransport.h"

#include <charconv>

#include "qxmox/Exception.h"
#include "qxzeb/Exceptions.h"

namespace QxZebHttp {

const Transport& PlainTransport();
const Transport& TlsTransport();

namespace {

// The answer's body may be a whole request collection; beyond this the exchange is refused.
constexpr size_t kMaxBody = 16u << 20;

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

struct PlainClient final : PooledClient {
  PlainClient(const std::string& host, int port) : client(host, port) { KeepAlive(client, *this); }
  httplib::ClientImpl& Client() override { return client; }
  httplib::ClientImpl client;
};

class Plain final : public Transport {
 public:
  const char* Scheme() const override { return "http"; }
  int DefaultPort(const Settings& s) const override { return s.port; }
  PostResult Post(const std::string& host, int port, const PostRequest& request) const override {
    ClientPool::Lease lease =
        ClientPool::Shared().Take(ClientPool::Key({Scheme(), host, std::to_string(port)}),
                                  [&] { return std::make_unique<PlainClient>(host, port); });
    httplib::Error error = httplib::Error::Success;
    PostResult result = DoPost(lease, request, error);
    if (error != httplib::Error::Success) {
      throw HttpException(
          QxMoxMsg::CreateError_t("HTTP POST to " + host + ":" + std::to_string(port) +
                                  request.path + " failed: " + httplib::to_string(error)),
          0);
    }
    lease.Keep();
    return result;
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

void KeepAlive(httplib::ClientImpl& client, PooledClient& owner) {
  client.set_keep_alive(true);
  // The header and the body go out in two writes; Nagle would hold the second one back until
  // the server's delayed acknowledgement of the first.
  client.set_tcp_nodelay(true);
  client.set_socket_options([&owner](socket_t fd) { owner.Watch(fd); });
}

PostResult DoPost(ClientPool::Lease& lease, const PostRequest& request, httplib::Error& error) {
  const time_t sec = request.timeoutMs / 1000;
  const time_t usec = (request.timeoutMs % 1000) * 1000;
  for (;;) {
    httplib::ClientImpl& client = lease->Client();
    client.set_connection_timeout(sec, usec);
    client.set_read_timeout(sec, usec);
    client.set_write_timeout(sec, usec);
    const uint64_t connection = lease->Connection();
    const std::optional<uint64_t> receivedBefore = lease->Received();
    PostResult result;
    size_t received = 0;
    httplib::Request req;
    req.method = "POST";
    req.path = request.path;
    req.headers = request.headers;
    req.body = request.body;
    req.set_header("Content-Type", request.contentType);
    req.content_receiver = [&](const char* data, size_t length, uint64_t, uint64_t) {
      received += length;
      if (received > kMaxBody) return false;
      result.body.append(data, length);
      return true;
    };
    httplib::Response res;
    error = httplib::Error::Success;
    if (client.send(req, res, error)) {
      result.status = res.status;
      result.contentType = res.get_header_value("Content-Type");
      return result;
    }
    if (error == httplib::Error::Success) error = httplib::Error::Unknown;
    // A POST is not sent twice in general. The exception is the race with a server closing a
    // kept-alive connection that was idle a while: a request crossing that close fails to write
    // or reads end-of-stream, and the server never handled it. Such a failure is told by: the
    // connection came from the pool, the client did not reconnect on its own during the call,
    // and the kernel counted no segment carrying data received on it (the server's FIN carries
    // none), so not one byte of an answer arrived. The new connection is not reused, so the
    // request goes out at most twice. A server that read the request and closed without a word
    // looks the same; a caller of a POST bears that case with any transport.
    const bool staleClose = (error == httplib::Error::Write || error == httplib::Error::Read) &&
                            lease.Reused() && lease->Connection() == connection && receivedBefore &&
                            lease->Received() == receivedBefore;
    if (!staleClose) return result;
    lease.Renew();
  }
}

PostResult Post(const QxMoxNet::URI_t& uri, const Settings& settings, PostRequest request,
                bool acceptStatus500) {
  const Transport& transport = TransportFor(uri.GetScheme().ToUtf8());
  const std::string host = uri.GetHost().ToUtf8();
  if (host.empty()) QxMoxMsg::ThrowIllegalArgument("URI without host: " + uri.ToString());
  const int port = uri.GetPort() >= 0 ? uri.GetPort() : transport.DefaultPort(settings);
  if (request.path.empty()) request.path = uri.GetPath().IsEmpty() ? "/" : uri.GetPath().ToUtf8();
  if (request.path.front() != '/') request.path.insert(0, "/");
  PostResult result = transport.Post(host, port, request);
  if (result.status != 200 && !(acceptStatus500 && result.status == 500)) {
    throw HttpException(
        QxMoxMsg::CreateError_t("HTTP POST to " + uri.ToString() + " answered status " +
                                std::to_string(result.status)),
        result.status);
  }
  return result;
}

}  // namespace QxZebHttp
