// Messaging over TLS on loopback, one refusal per test: the platform's RSA-1024/SHA-1 profile is
// accepted only by the library's own rule, while old protocol versions, weak or expired
// certificates, a wrong target id, an untrusted chain and a missing client certificate are not.
// Certificates come from the openssl command; raw OpenSSL clients and servers play the peer
// the library does not make.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <thread>
#include <utility>

#include "Files.h"
#include "OpenSslPtr.h"
#include "TestHome.h"
#include "qxseccore/KeyStore.h"
#include "qxzeb/QxZeb.h"

using QxMoxArray::CharArray_t;
using QxMoxStr::String_t;
using QxTest::ReadFile;
namespace Ssl = QxSecCore::Ssl;

namespace {

using Ssl::SslPtr;

QxMoxConfig::Configuration_t Loopback() {
  QxMoxConfig::Configuration_t config;
  config.SetAttrValue("LISTEN_ADDR", "127.0.0.1");
  return config;
}

void WriteConfig(const QxTest::TempHome& home, const std::string& coreId) {
  std::filesystem::create_directories(home / "etc");
  std::ofstream(home / "etc/qx.conf") << "[sec.core]\nCORE_ID = " << coreId << "\n";
}

// Answer replies "re:" + body and counts its calls.
class Answer : public QxZebMsg::MsgHandler {
 public:
  explicit Answer(String_t path) : m_path(std::move(path)) {}
  void Process(QxZebMsg::IncomingMsg& msg) override {
    ++calls;
    QxZebMsg::OutgoingReply reply = msg.CreateReply();
    reply.Write(CharArray_t("re:" + msg.GetBody().ToStdString()));
    reply.Send();
  }
  String_t GetBasePath() const override { return m_path; }
  std::atomic<int> calls{0};

 private:
  String_t m_path;
};

// Socket owns a file descriptor; its calls give up after five seconds.
class Socket {
 public:
  explicit Socket(int fd) : m_fd(fd) {
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  ~Socket() {
    if (m_fd >= 0) close(m_fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

// Handshake is what a raw client learnt: whether the handshake completed, how the server's
// certificate verified, the first OpenSSL error, and an HTTP status when a request was sent.
struct Handshake {
  bool ok = false;
  long verify = X509_V_OK;
  unsigned long error = 0;
  int status = 0;
};

// Connect runs a handshake from ctx to 127.0.0.1:port and, when it completes and request is not
// empty, sends request and reads the response's status.
Handshake Connect(SSL_CTX* ctx, int port, const std::string& request = {}) {
  Handshake result;
  Socket sock(socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in addr = LoopbackAddress(port);
  if (connect(sock.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return result;
  }
  SslPtr ssl(SSL_new(ctx));
  SSL_set_fd(ssl.get(), sock.Fd());
  ERR_clear_error();
  result.ok = SSL_connect(ssl.get()) == 1;
  result.verify = SSL_get_verify_result(ssl.get());
  result.error = ERR_peek_error();
  ERR_clear_error();
  if (!result.ok || request.empty()) return result;
  if (SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) <= 0) return result;
  char head[64] = {};
  if (SSL_read(ssl.get(), head, sizeof head - 1) > 9) result.status = std::atoi(head + 9);
  return result;
}

// ClientContext returns a raw client context at the given security level that verifies the
// server against trustedPem (no verification when empty).
Ssl::SslCtxPtr ClientContext(int level, const std::string& trustedPem = {}) {
  Ssl::SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_security_level(ctx.get(), level);
  if (!trustedPem.empty()) {
    EXPECT_EQ(SSL_CTX_load_verify_locations(ctx.get(), trustedPem.c_str(), nullptr), 1);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  }
  return ctx;
}

void UseIdentity(SSL_CTX* ctx, const std::string& chainPem, const std::string& keyPem) {
  ASSERT_EQ(SSL_CTX_use_certificate_chain_file(ctx, chainPem.c_str()), 1);
  ASSERT_EQ(SSL_CTX_use_PrivateKey_file(ctx, keyPem.c_str(), SSL_FILETYPE_PEM), 1);
}

// RawServer presents chainPem (leaf first) at security level 0 to one caller on 127.0.0.1,
// answers a completed handshake with an empty 200 response that lets the connection be kept,
// closes it, stops listening and then calls closed. It speaks TLS 1.2: an RSA-512 key is too
// short for the RSA-PSS signatures of TLS 1.3, which would end the handshake before the client
// has judged the certificate.
class RawServer {
 public:
  RawServer(
      const std::string& chainPem, const std::string& keyPem, std::function<void()> closed = [] {})
      : m_closed(std::move(closed)),
        m_ctx(SSL_CTX_new(TLS_server_method())),
        m_listen(socket(AF_INET, SOCK_STREAM, 0)) {
    SSL_CTX_set_security_level(m_ctx.get(), 0);
    SSL_CTX_set_max_proto_version(m_ctx.get(), TLS1_2_VERSION);
    UseIdentity(m_ctx.get(), chainPem, keyPem);
    sockaddr_in addr = LoopbackAddress(0);
    socklen_t len = sizeof addr;
    if (bind(m_listen.Fd(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(m_listen.Fd(), 1) != 0 ||
        getsockname(m_listen.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
      return;
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~RawServer() {
    if (m_thread.joinable()) m_thread.join();
  }
  int Port() const { return m_port; }

 private:
  void Serve() {
    pollfd ready{m_listen.Fd(), POLLIN, 0};
    if (poll(&ready, 1, 5000) != 1) return;
    {
      Socket conn(accept(m_listen.Fd(), nullptr, nullptr));
      SslPtr ssl(SSL_new(m_ctx.get()));
      SSL_set_fd(ssl.get(), conn.Fd());
      if (SSL_accept(ssl.get()) == 1) {
        char request[4096];
        SSL_read(ssl.get(), request, sizeof request);
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
        SSL_write(ssl.get(), answer.data(), static_cast<int>(answer.size()));
        SSL_shutdown(ssl.get());
      }
      ERR_clear_error();
    }
    shutdown(m_listen.Fd(), SHUT_RDWR);  // later connection attempts are refused
    m_closed();
  }

  std::function<void()> m_closed;
  Ssl::SslCtxPtr m_ctx;
  Socket m_listen;
  int m_port = 0;
  std::thread m_thread;  // last: it uses the members above
};

// TlsTest gives the process the platform's certificate profile (RSA-1024, SHA-1), made by the
// openssl command: a trusted root, the own entry "node-a" issued by it, and a second root that
// the key store does not trust with a leaf "node-a" of its own. Beside them, certificates for
// node-a that must be refused: an RSA-512 key, an MD5-signed intermediate CA, an expired date.
class TlsTest : public QxTest::HomeTest {
 protected:
  void SetUp() override {
    // The raw peers write to sockets whose other end may have given up on the handshake.
    std::signal(SIGPIPE, SIG_IGN);
    std::filesystem::create_directories(pki);
    const std::string script =
        "set -e; export OPENSSL_CONF=/dev/null; cd '" + pki +
        "'; printf 'basicConstraints=critical,CA:TRUE\\nkeyUsage=keyCertSign\\n' > ca.ext; "
        "for ca in root other; do "
        "openssl req -x509 -newkey rsa:1024 -sha1 -nodes -days 2 -keyout $ca.key -out $ca.pem "
        "-subj /CN=$ca-ca 2>/dev/null; "
        "openssl req -newkey rsa:1024 -nodes -keyout $ca-leaf.key -out $ca-leaf.csr "
        "-subj /CN=node-a 2>/dev/null; "
        "openssl x509 -req -sha1 -days 2 -in $ca-leaf.csr -CA $ca.pem -CAkey $ca.key "
        "-CAcreateserial -out $ca-leaf.pem 2>/dev/null; done; "
        "openssl req -newkey rsa:512 -nodes -keyout rsa512.key -out rsa512.csr -subj /CN=node-a "
        "2>/dev/null; "
        "openssl x509 -req -sha256 -days 2 -in rsa512.csr -CA root.pem -CAkey root.key "
        "-out rsa512.pem 2>/dev/null; "
        "openssl req -newkey rsa:1024 -nodes -keyout md5-ca.key -out md5-ca.csr -subj /CN=md5-ca "
        "2>/dev/null; "
        "openssl x509 -req -md5 -days 2 -in md5-ca.csr -CA root.pem -CAkey root.key "
        "-extfile ca.ext -out md5-ca.pem 2>/dev/null; "
        "openssl x509 -req -sha1 -days 2 -in root-leaf.csr -CA md5-ca.pem -CAkey md5-ca.key "
        "-CAcreateserial -out md5-leaf.pem 2>/dev/null; cat md5-ca.pem >> md5-leaf.pem; "
        "openssl x509 -req -sha1 -days -1 -in root-leaf.csr -CA root.pem -CAkey root.key "
        "-out expired.pem 2>/dev/null";
    ASSERT_EQ(std::system(script.c_str()), 0);
    QxSecCore::KeyStore store;
    store.InstallCertificate("node-a",
                             QxSecCore::X509Certificate(String_t(ReadFile(pki + "/root-leaf.pem"))),
                             QxSecCore::Key(QxSecCore::Key::TYPE_RSA_PRIVATE,
                                            CharArray_t(ReadFile(pki + "/root-leaf.key"))),
                             true, true);
    store.InstallCertificate(
        "root", QxSecCore::X509Certificate(String_t(ReadFile(pki + "/root.pem"))), true, true);
    WriteConfig(home, "node-a");
    server.emplace(Loopback(),
                   QxZebMsg::Messenger::Options().RegisterWithCb(true).SetBasePath("qx"));
    tool.emplace(Loopback(), QxZebMsg::Messenger::Options().SendOnly(true));
    ASSERT_TRUE(server->GetTlsBaseCbAddress().ToUtf8().starts_with("https://127.0.0.1:"))
        << server->GetTlsBaseCbAddress().ToUtf8();
    server->Register(&open, true, 0);
  }

  int Port() const { return QxMoxNet::URI_t(server->GetTlsBaseCbAddress()).GetPort(); }
  std::string Pem(const std::string& name) const { return pki + "/" + name; }

  // Send posts body to url from a send-only messenger, requiring targetId of the callee.
  std::string Send(const std::string& url, const std::string& body = "x",
                   const std::string& targetId = {}) {
    QxZebMsg::OutgoingMsg msg = tool->CreateMsg(
        QxMoxNet::URI_t(String_t(url)),
        QxZebMsg::OutputMsg::Options().SetTimeout(5000).SetTargetID(String_t(targetId)));
    msg.Write(CharArray_t(body));
    return msg.ReceiveReply().GetBody().ToStdString();
  }
  std::string Tls(const std::string& sub) const {
    return server->GetTlsBaseCbAddress().ToUtf8() + sub;
  }

  // Failure posts to url and returns the status and text of the HttpException that ends it;
  // a post that succeeds fails the test.
  std::pair<int, std::string> Failure(const std::string& url) {
    try {
      Send(url);
    } catch (const QxZebHttp::HttpException& e) {
      return {e.GetStatus(), e.what()};
    }
    ADD_FAILURE() << url << " was accepted";
    return {200, {}};
  }

  // Refusal returns why the library's client refused a raw server presenting chainPem.
  std::string Refusal(const std::string& chainPem, const std::string& keyPem) {
    RawServer peer(Pem(chainPem), Pem(keyPem));
    const auto [status, why] =
        Failure("https://127.0.0.1:" + std::to_string(peer.Port()) + "/qx/any");
    EXPECT_EQ(status, 0) << why;
    return why;
  }

  const std::string pki = home / "pki";
  Answer open{"any"};  // before the messengers: registered with the server until it closes
  std::optional<QxZebMsg::Messenger> server;  // made once the key store holds node-a
  std::optional<QxZebMsg::Messenger> tool;
};

}  // namespace

TEST_F(TlsTest, HttpAndTlsShareOnePort) {
  EXPECT_EQ(QxMoxNet::URI_t(server->GetBaseCbAddress()).GetPort(), Port());
  EXPECT_EQ(Send(Tls("any"), "s"), "re:s");
  EXPECT_EQ(Send(server->GetBaseCbAddress().ToUtf8() + "any", "p"), "re:p");
  EXPECT_EQ(open.calls, 2);
}

TEST_F(TlsTest, PlatformProfileAcceptedOnlyThroughTheLibrarysRule) {
  // A client at the default security level refuses the chain for its SHA-1 signature ...
  const Handshake strict = Connect(ClientContext(1, Pem("root.pem")).get(), Port());
  EXPECT_FALSE(strict.ok);
  EXPECT_EQ(strict.verify, X509_V_ERR_CA_MD_TOO_WEAK)
      << X509_verify_cert_error_string(strict.verify);
  // ... which is the only fault it finds: without the security level the chain verifies ...
  const Handshake lax = Connect(ClientContext(0, Pem("root.pem")).get(), Port());
  EXPECT_TRUE(lax.ok);
  EXPECT_EQ(lax.verify, X509_V_OK) << X509_verify_cert_error_string(lax.verify);
  // ... and the library's client accepts it at the default level with its own rule.
  EXPECT_EQ(Send(Tls("any")), "re:x");
}

TEST_F(TlsTest, Tls11Refused) {
  Ssl::SslCtxPtr old = ClientContext(0);
  ASSERT_EQ(SSL_CTX_set_max_proto_version(old.get(), TLS1_1_VERSION), 1);
  const Handshake refused = Connect(old.get(), Port());
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(ERR_GET_REASON(refused.error), SSL_R_TLSV1_ALERT_PROTOCOL_VERSION)
      << ERR_reason_error_string(refused.error);
  // The same client allowed TLS 1.2 gets through.
  ASSERT_EQ(SSL_CTX_set_max_proto_version(old.get(), TLS1_2_VERSION), 1);
  EXPECT_TRUE(Connect(old.get(), Port()).ok);
}

TEST_F(TlsTest, WeakServerCertificatesRefused) {
  const std::string rsa512 = Refusal("rsa512.pem", "rsa512.key");
  EXPECT_NE(rsa512.find("key too weak"), std::string::npos) << rsa512;
  const std::string md5 = Refusal("md5-leaf.pem", "root-leaf.key");
  EXPECT_NE(md5.find("digest algorithm too weak"), std::string::npos) << md5;
}

TEST_F(TlsTest, WeakClientCertificateRefused) {
  Answer certOnly("two");
  server->Register(&certOnly, true, 2);
  std::string path = Tls("two");
  path = path.substr(path.find('/', std::string("https://").size()));
  const std::string request = "POST " + path +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1\r\n"
                              "Connection: close\r\n\r\nx";
  auto status = [&](const std::string& chainPem, const std::string& keyPem) {
    Ssl::SslCtxPtr ctx = ClientContext(0);
    SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);  // see RawServer: RSA-512
    UseIdentity(ctx.get(), Pem(chainPem), Pem(keyPem));
    return Connect(ctx.get(), Port(), request).status;
  };
  EXPECT_EQ(status("root-leaf.pem", "root-leaf.key"), 200);
  EXPECT_EQ(status("rsa512.pem", "rsa512.key"), 403);
  EXPECT_EQ(status("md5-leaf.pem", "root-leaf.key"), 403);
  EXPECT_EQ(certOnly.calls, 1);
}

TEST_F(TlsTest, ExpiredServerCertificateRefused) {
  EXPECT_NE(Refusal("expired.pem", "root-leaf.key").find("certificate has expired"),
            std::string::npos);
}

TEST_F(TlsTest, WrongTargetIdRefused) {
  EXPECT_EQ(Send(Tls("any"), "x", "node-a"), "re:x");
  EXPECT_EQ(Send(Tls("any"), "x", ""), "re:x") << "without a target id any trusted server";
  EXPECT_THROW(Send(Tls("any"), "x", "node-b"), QxZebHttp::TargetIDFailureException);
  EXPECT_EQ(open.calls, 2);
}

TEST_F(TlsTest, UntrustedChainRefused) {
  QxSecCore::KeyStore store;
  store.RemoveCertificate("root");
  store.InstallCertificate("root", QxSecCore::X509Certificate(String_t(ReadFile(Pem("other.pem")))),
                           true, true);
  EXPECT_EQ(Failure(Tls("any")).first, 0);
  EXPECT_EQ(open.calls, 0);
}

TEST_F(TlsTest, ValueTwoWithoutClientCertificateRefused) {
  Answer certOnly("two");
  server->Register(&certOnly, true, 2);
  EXPECT_EQ(Send(Tls("two")), "re:x") << "this process presents node-a";
  WriteConfig(home, "nobody");
  EXPECT_EQ(Failure(Tls("two")).first, 403);
  EXPECT_EQ(certOnly.calls, 1);
}

// The kept-alive connection of the first post is closed by the peer; the second post writes a
// body of many TLS records to it, and the peer's reset of the first record makes the next write
// fail with EPIPE. Test programs ignore SIGPIPE; this one takes its default action back for the
// test (ctest runs each test in a process of its own), so a write raising it would end the
// program instead of failing the post.
TEST_F(TlsTest, WriteToClosedConnectionFailsWithoutSigpipe) {
  std::promise<void> closed;
  RawServer peer(Pem("root-leaf.pem"), Pem("root-leaf.key"), [&] { closed.set_value(); });
  const std::string url = "https://127.0.0.1:" + std::to_string(peer.Port()) + "/qx/any";
  const auto previous = std::signal(SIGPIPE, SIG_DFL);
  EXPECT_TRUE(Send(url).empty());
  ASSERT_EQ(closed.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  try {
    Send(url, std::string(1 << 20, 'x'));
    ADD_FAILURE() << "a post to a closed connection succeeded";
  } catch (const QxZebHttp::HttpException& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("HTTPS POST to 127.0.0.1:")) << e.what();
  }
  std::signal(SIGPIPE, previous);
}
