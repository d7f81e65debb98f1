#include "HttpServer.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/core/detect_ssl.hpp>
#include <boost/beast/http.hpp>
#include <atomic>
#include <list>
#include <optional>
#include <thread>

#include "HttpTransport.h"
#include "qxmox/Exception.h"
#include "qxmox/Trace.h"
#include "qxzeb/Exceptions.h"

namespace QxZebMsg {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

QxMoxTrc::TraceWrapper_t g_trace("zeb.msg", 1);

// Large enough for a request collection of thousands of records; larger bodies are refused.
constexpr size_t kMaxBody = 16u << 20;
// A request's header must arrive within kHeaderTime of its first byte (or of the connection),
// its body within kBodyTime; a kept-alive connection may wait kIdleTime for its next request.
constexpr auto kHeaderTime = 10s;
constexpr auto kBodyTime = 60s;
constexpr auto kIdleTime = 60s;
constexpr auto kWriteTime = 60s;
// Far above a fleet's needs; at the bound the longest-idle connection makes room.
constexpr size_t kMaxConnections = 10000;
constexpr int kWorkers = 8;

class Session;

// RefusalStatus is the answer to a request that could not be read: 413 for a body beyond the
// limit, 400 for a request the parser refused (RFC 9112: an invalid or conflicting
// Content-Length, a bad Transfer-Encoding), 0 when the connection just ended or timed out.
int RefusalStatus(beast::error_code ec) {
  if (ec == http::error::body_limit) return 413;
  if (ec.category() != beast::error_code(http::error::bad_method).category() ||
      ec == http::error::end_of_stream || ec == http::error::partial_message) {
    return 0;
  }
  return 400;
}

// HasAmbiguousFraming tells a request whose Transfer-Encoding leaves its length open (chunked
// is not its final coding) or comes with a Content-Length. The parser refuses some orders of
// these headers itself, not all.
bool HasAmbiguousFraming(const http::request_parser<http::string_body>& parser) {
  const auto& header = parser.get();
  return header.count(http::field::transfer_encoding) > 0 &&
         (!parser.chunked() || header.count(http::field::content_length) > 0);
}

}  // namespace

struct HttpServer::State {
  HttpServer::Handler handler;
  // Sessions by last activity, front the longest idle; touched by the I/O thread only. Declared
  // before the I/O context, whose destruction ends the last sessions.
  std::list<Session*> sessions;
  // The TLS context, made by tlsSource on the I/O thread once there is an identity.
  std::function<std::unique_ptr<asio::ssl::context>()> tlsSource;
  std::unique_ptr<asio::ssl::context> tls;
  std::atomic<bool> servesTls{false};
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer retry{io};
  asio::thread_pool workers{kWorkers};
  std::thread thread;
  int port = 0;

  void Accept();
  void MakeRoom();
  // Tls is the TLS context, made now when there is none yet; null without an identity.
  asio::ssl::context* Tls();
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(HttpServer::State& server, tcp::socket socket)
      : m_server(server), m_socket(std::move(socket)), m_timer(server.io) {
    boost::system::error_code ec;
    m_peer = m_socket.remote_endpoint(ec).address().to_string();
    m_pos = m_server.sessions.insert(m_server.sessions.end(), this);
    m_tracked = true;
  }
  ~Session() { Untrack(); }

  void Start() {
    Arm(kHeaderTime);
    if (!m_server.tls && !m_server.tlsSource) return ReadRequest();
    beast::async_detect_ssl(m_socket, m_buffer,
                            [self = shared_from_this()](beast::error_code ec, bool isTls) {
                              if (ec) return self->Close();
                              if (!isTls) return self->ReadRequest();
                              if (self->m_server.Tls() == nullptr) return self->Close();
                              self->Handshake();
                            });
  }

  bool Busy() const { return m_busy; }

  void Close() {
    Untrack();
    m_timer.cancel();
    boost::system::error_code ec;
    m_socket.shutdown(tcp::socket::shutdown_both, ec);
    m_socket.close(ec);
  }

 private:
  template <class F>
  void WithStream(F&& f) {
    if (m_tls) {
      f(*m_tls);
    } else {
      f(m_socket);
    }
  }

  void Untrack() {
    if (m_tracked) m_server.sessions.erase(m_pos);
    m_tracked = false;
  }

  void Touch() {
    if (m_tracked) m_server.sessions.splice(m_server.sessions.end(), m_server.sessions, m_pos);
  }

  void Arm(std::chrono::steady_clock::duration d) {
    m_timer.expires_after(d);
    m_timer.async_wait([weak = weak_from_this()](beast::error_code ec) {
      if (ec) return;
      if (auto self = weak.lock()) self->Close();
    });
  }

  void Handshake() {
    m_tls.emplace(m_socket, *m_server.tls);
    m_tls->async_handshake(asio::ssl::stream_base::server, m_buffer.data(),
                           [self = shared_from_this()](beast::error_code ec, size_t used) {
                             if (ec) return self->Close();
                             self->m_buffer.consume(used);
                             self->ReadRequest();
                           });
  }

  // ReadRequest waits for the next request's first byte (idle time), then its header.
  void ReadRequest() {
    if (m_buffer.size() > 0) return ReadHeader();
    if (m_requests > 0) Arm(kIdleTime);
    WithStream([this](auto& s) {
      s.async_read_some(m_buffer.prepare(4096),
                        [self = shared_from_this()](beast::error_code ec, size_t n) {
                          if (ec) return self->Close();
                          self->m_buffer.commit(n);
                          self->ReadHeader();
                        });
    });
  }

  void ReadHeader() {
    if (m_requests > 0) Arm(kHeaderTime);
    m_parser.emplace();
    m_parser->body_limit(kMaxBody);
    WithStream([this](auto& s) {
      http::async_read_header(s, m_buffer, *m_parser,
                              [self = shared_from_this()](beast::error_code ec, size_t) {
                                if (ec) return self->Refuse(ec);
                                if (HasAmbiguousFraming(*self->m_parser))
                                  return self->Answer({400, {}, {}}, false);
                                self->ReadBody();
                              });
    });
  }

  // A Content-Length beyond the body limit was refused with the header (413).
  void ReadBody() {
    Arm(kBodyTime);
    WithStream([this](auto& s) {
      http::async_read(s, m_buffer, *m_parser,
                       [self = shared_from_this()](beast::error_code ec, size_t) {
                         if (ec) return self->Refuse(ec);
                         self->Dispatch();
                       });
    });
  }

  // Refuse answers a request that could not be read and closes the connection after it.
  void Refuse(beast::error_code ec) {
    const int status = RefusalStatus(ec);
    if (status == 0) return Close();
    Answer({status, {}, {}}, false);
  }

  IncomingMsg::Data Take() {
    http::request<http::string_body> req = m_parser->release();
    IncomingMsg::Data data;
    const std::string target(req.target());
    data.path = target.substr(0, target.find('?'));
    data.body = QxMoxArray::CharArray_t(std::string_view(req.body()));
    data.peerAddress = m_peer;
    for (const auto& field : req) {
      std::string name(field.name_string());
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      data.headers.emplace(std::move(name), std::string(field.value()));
    }
    if (auto it = data.headers.find("content-type"); it != data.headers.end())
      data.contentType = it->second;
    if (auto it = data.headers.find("x-qx-from"); it != data.headers.end()) data.from = it->second;
    QxZebHttp::TransportFor(m_tls ? "https" : "http")
        .FillPeer(m_tls ? m_tls->native_handle() : nullptr, data.secure, data.trustedClientCert,
                  data.peerCommonName);
    m_keepAlive = req.keep_alive();
    data.method = std::string(req.method_string());
    // GET goes on to the handler, which may accept it; any other method is answered here.
    if (req.method() != http::verb::post && req.method() != http::verb::get) data.path.clear();
    return data;
  }

  void Dispatch() {
    m_timer.cancel();
    m_busy = true;
    IncomingMsg::Data data = Take();
    if (data.path.empty()) return Answer({405, {}, {}}, m_keepAlive);
    asio::post(m_server.workers, [self = shared_from_this(), data = std::move(data)]() mutable {
      HttpReply reply = Run(self->m_server.handler, std::move(data));
      asio::post(self->m_server.io, [self, reply = std::move(reply)]() mutable {
        self->Answer(std::move(reply), self->m_keepAlive);
      });
    });
  }

  // Run is the one place where a handler's escaping failure becomes a status.
  static HttpReply Run(const HttpServer::Handler& handler, IncomingMsg::Data data) {
    try {
      return handler(std::move(data));
    } catch (const std::exception& e) {
      g_trace.Get().Trace(1, (std::string("request failed: ") + e.what()).c_str(), __FILE__,
                          __LINE__);
    }
    return {500, {}, {}};
  }

  void Answer(HttpReply reply, bool keepAlive) {
    m_response = {};
    m_response.version(11);
    m_response.result(static_cast<unsigned>(reply.status));
    if (!reply.body.empty() || reply.status == 200)
      m_response.set(http::field::content_type, reply.contentType);
    m_response.body() = std::move(reply.body);
    m_response.keep_alive(keepAlive);
    m_response.prepare_payload();
    Arm(kWriteTime);
    WithStream([this](auto& s) {
      http::async_write(s, m_response, [self = shared_from_this()](beast::error_code ec, size_t) {
        if (ec || !self->m_response.keep_alive()) return self->Close();
        self->m_busy = false;
        ++self->m_requests;
        self->Touch();
        self->ReadRequest();
      });
    });
  }

  HttpServer::State& m_server;
  tcp::socket m_socket;
  std::optional<asio::ssl::stream<tcp::socket&>> m_tls;  // after a TLS client hello
  asio::steady_timer m_timer;
  beast::flat_buffer m_buffer;
  std::optional<http::request_parser<http::string_body>> m_parser;
  http::response<http::string_body> m_response;
  std::string m_peer;
  std::list<Session*>::iterator m_pos;
  bool m_tracked = false;
  bool m_busy = false;
  bool m_keepAlive = false;
  int m_requests = 0;
};

}  // namespace

void HttpServer::State::MakeRoom() {
  for (Session* s : sessions) {
    if (!s->Busy()) return s->Close();
  }
}

void HttpServer::State::Accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
    if (ec) {
      // Out of descriptors: an idle connection makes room, the accept is tried again shortly.
      MakeRoom();
      retry.expires_after(10ms);
      retry.async_wait([this](beast::error_code e) {
        if (!e) Accept();
      });
      return;
    }
    if (sessions.size() >= kMaxConnections) MakeRoom();
    std::make_shared<Session>(*this, std::move(socket))->Start();
    Accept();
  });
}

asio::ssl::context* HttpServer::State::Tls() {
  if (tls == nullptr && tlsSource) {
    try {
      tls = tlsSource();
      servesTls = tls != nullptr;
    } catch (const QxMoxMsg::Exception_t&) {
      // Still no usable identity: this connection is refused, the next one asks again.
    }
  }
  return tls.get();
}

HttpServer::HttpServer(const std::string& address, int port, TlsSource tls, Handler handler)
    : m_state(std::make_unique<State>()) {
  m_state->handler = std::move(handler);
  if (tls) {
    m_state->tlsSource = [tls = std::move(tls)]() -> std::unique_ptr<asio::ssl::context> {
      QxSecCore::Ssl::SslCtxPtr ctx = tls();
      if (!ctx) return nullptr;
      return std::make_unique<asio::ssl::context>(ctx.release());
    };
    m_state->tls = m_state->tlsSource();
    m_state->servesTls = m_state->tls != nullptr;
  }
  boost::system::error_code ec;
  const tcp::endpoint endpoint(asio::ip::make_address(address, ec), static_cast<uint16_t>(port));
  tcp::acceptor& a = m_state->acceptor;
  if (!ec) a.open(endpoint.protocol(), ec);
  // Only SO_REUSEADDR: SO_REUSEPORT would let a second process take part of the traffic.
  if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw QxZebHttp::HttpException(
        QxMoxMsg::CreateError_t("cannot listen on " + address + ":" + std::to_string(port) + ": " +
                                ec.message()),
        0);
  }
  m_state->port = a.local_endpoint().port();
  m_state->Accept();
  m_state->thread = std::thread([state = m_state.get()] { state->io.run(); });
}

HttpServer::~HttpServer() {
  State& s = *m_state;
  asio::post(s.io, [&s] {
    boost::system::error_code ec;
    s.acceptor.close(ec);
    s.retry.cancel();
    while (!s.sessions.empty()) s.sessions.front()->Close();
  });
  s.workers.join();
  s.io.stop();
  s.thread.join();
}

int HttpServer::GetPort() const { return m_state->port; }

bool HttpServer::ServesTls() const { return m_state->servesTls; }

}  // namespace QxZebMsg
