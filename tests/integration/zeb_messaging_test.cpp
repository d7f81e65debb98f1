// Messaging on loopback: messages and replies, handler lifetime, timeouts, shared listeners,
// authentication values, RPC calls with simple arguments, in one process and across two.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "PeerProcess.h"
#include "RawHttp.h"
#include "TestHome.h"
#include "qxzeb/QxZeb.h"

using namespace std::chrono_literals;
using QxMoxArray::CharArray_t;
using QxMoxStr::String_t;
using QxTest::LoopbackPort;
using QxTest::RawExchange;

namespace {

QxMoxConfig::Configuration_t Loopback() {
  QxMoxConfig::Configuration_t config;
  config.SetAttrValue("LISTEN_ADDR", "127.0.0.1");
  return config;
}

QxZebMsg::Messenger Listening(const String_t& base) {
  return QxZebMsg::Messenger(Loopback(),
                             QxZebMsg::Messenger::Options().RegisterWithCb(true).SetBasePath(base));
}

QxZebMsg::Messenger SendOnly() {
  return QxZebMsg::Messenger(Loopback(), QxZebMsg::Messenger::Options().SendOnly(true));
}

QxMoxNet::URI_t At(const QxZebMsg::Messenger& m, const std::string& sub) {
  return QxMoxNet::URI_t(m.GetBaseCbAddress() + String_t(sub));
}

// Recorder answers "re:" + body and keeps what it saw.
class Recorder : public QxZebMsg::MsgHandler {
 public:
  explicit Recorder(String_t path, std::chrono::milliseconds delay = 0ms,
                    std::atomic<int>* done = nullptr)
      : m_path(std::move(path)), m_delay(delay), m_done(done) {}
  ~Recorder() override { WaitForCalls(); }
  void Attach() override { ++attached; }
  void Detach() override { ++detached; }
  void Process(QxZebMsg::IncomingMsg& msg) override {
    ++calls;
    started = true;
    {
      std::lock_guard lock(mutex);
      m_from = msg.GetFrom().ToUtf8();
      m_peer = msg.GetPeerAddress().ToUtf8();
    }
    std::this_thread::sleep_for(m_delay);
    QxZebMsg::OutgoingReply reply = msg.CreateReply();
    reply.Write(CharArray_t("re:" + msg.GetBody().ToStdString()));
    reply.Send();
    ++finished;
    if (m_done) ++*m_done;
  }
  String_t GetBasePath() const override { return m_path; }

  std::atomic<int> calls{0}, finished{0}, attached{0}, detached{0};
  std::atomic<bool> started{false};
  std::string From() {
    std::lock_guard lock(mutex);
    return m_from;
  }
  std::string Peer() {
    std::lock_guard lock(mutex);
    return m_peer;
  }

 private:
  std::mutex mutex;
  std::string m_from, m_peer;
  String_t m_path;
  std::chrono::milliseconds m_delay;
  std::atomic<int>* m_done;
};

std::string Exchange(QxZebMsg::Messenger& sender, const QxMoxNet::URI_t& uri,
                     const std::string& body, long timeoutMs = 0) {
  QxZebMsg::OutgoingMsg msg =
      sender.CreateMsg(uri, QxZebMsg::OutputMsg::Options().SetTimeout(timeoutMs));
  msg.Write(CharArray_t(body));
  return msg.ReceiveReply().GetBody().ToStdString();
}

int StatusOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const QxZebHttp::HttpException& e) {
    return e.GetStatus();
  }
  return 200;
}

// ServerSides returns the connections the kernel holds on the server's side of port in any
// state but listening (closed ones linger in TIME_WAIT), each named by its peer's address:port.
std::set<std::string> ServerSides(int port) {
  std::set<std::string> peers;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state != "0A" && std::stoi(local.substr(local.find(':') + 1), nullptr, 16) == port) {
      peers.insert(remote);
    }
  }
  return peers;
}

class ZebTest : public QxTest::HomeTest {};

}  // namespace

TEST_F(ZebTest, MessageGetsReplyAndSenderAddress) {
  QxZebMsg::Messenger server = Listening("qx/server");
  QxZebMsg::Messenger node = Listening("qx/node");
  Recorder handler("msg");
  server.Register(&handler, true, 0);
  EXPECT_EQ(Exchange(node, At(server, "msg"), std::string("hello\0bytes", 11)),
            std::string("re:hello\0bytes", 14));
  EXPECT_EQ(handler.From(), node.GetBaseCbAddress().ToUtf8());
  EXPECT_TRUE(node.GetBaseCbAddress().ToUtf8().starts_with("http://127.0.0.1:"));
  EXPECT_TRUE(node.GetBaseCbAddress().ToUtf8().ends_with("/qx/node/"));
  EXPECT_EQ(handler.Peer(), "127.0.0.1");
  EXPECT_EQ(handler.attached, 1);
  EXPECT_EQ(handler.detached, 1);

  QxZebMsg::Messenger tool = SendOnly();
  EXPECT_EQ(Exchange(tool, At(server, "msg/sub/path"), "x"), "re:x");
  EXPECT_EQ(handler.From(), "") << "a send-only messenger does not claim a callback address";
  EXPECT_EQ(StatusOf([&] { Exchange(tool, At(server, "other"), "x"); }), 404);

  server.Deregister(&handler, true);
  EXPECT_EQ(StatusOf([&] { Exchange(tool, At(server, "msg"), "x"); }), 404);
}

TEST_F(ZebTest, HandlerTeardownWaitsForCallInProgress) {
  QxZebMsg::Messenger server = Listening("srv");
  QxZebMsg::Messenger tool = SendOnly();
  std::atomic<int> done{0};
  auto handler = std::make_unique<Recorder>("slow", 500ms, &done);
  server.Register(handler.get(), true, 0);
  std::string reply;
  std::thread caller([&] { reply = Exchange(tool, At(server, "slow"), "a"); });
  while (!handler->started) std::this_thread::sleep_for(1ms);
  // Destroyed while Process sleeps: the destructor must wait for it to finish.
  handler.reset();
  EXPECT_EQ(done, 1) << "the destructor returned before the call in progress ended";
  caller.join();
  EXPECT_EQ(reply, "re:a");
  // A later call finds a closed gate, not freed memory.
  EXPECT_EQ(StatusOf([&] { Exchange(tool, At(server, "slow"), "b"); }), 503);
}

TEST_F(ZebTest, ClosedPortFailsQuicklyAndTimeoutApplies) {
  QxZebMsg::Messenger tool = SendOnly();
  int port;
  {
    QxZebMsg::Messenger gone = Listening("gone");
    port = QxMoxNet::URI_t(gone.GetBaseCbAddress()).GetPort();
  }
  auto t0 = std::chrono::steady_clock::now();
  QxMoxNet::URI_t closed(String_t("http://127.0.0.1:" + std::to_string(port) + "/gone/msg"));
  EXPECT_THROW(Exchange(tool, closed, "x"), QxMoxMsg::Exception_t);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);

  QxZebMsg::Messenger server = Listening("srv");
  Recorder slow("slow", 1500ms);
  server.Register(&slow, true, 0);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(StatusOf([&] { Exchange(tool, At(server, "slow"), "x", 200); }), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1200ms);

  // TIMEOUT_MS from [zeb.http] is the default of messengers without their own.
  std::filesystem::create_directories(home / "etc");
  std::ofstream(home / "etc/qx.conf") << "[zeb.http]\nTIMEOUT_MS = 250\n";
  QxZebMsg::Messenger configured = SendOnly();
  EXPECT_EQ(configured.GetTimeout(), 250);
  t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(Exchange(configured, At(server, "slow"), "x"), QxZebHttp::HttpException);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1200ms);
  EXPECT_EQ(SendOnly().GetTimeout(), 250);
  std::filesystem::remove(home / "etc/qx.conf");
  EXPECT_EQ(SendOnly().GetTimeout(), 30000);
}

// Calls reuse kept-alive connections, one per concurrent caller or per message sent before its
// reply is read, and a connection the server closed is replaced without the caller noticing.
TEST_F(ZebTest, CallsReuseConnectionsAcrossServerRestart) {
  std::optional<QxZebMsg::Messenger> server(Listening("srv"));
  Recorder echo("msg");
  server->Register(&echo, true, 0);
  const QxMoxNet::URI_t uri = At(*server, "msg");
  const int port = uri.GetPort();
  QxZebMsg::Messenger tool = SendOnly();
  auto opened = [port, before = ServerSides(port)] {
    size_t n = 0;
    for (const std::string& peer : ServerSides(port)) n += before.count(peer) == 0;
    return n;
  };
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Exchange(tool, uri, std::to_string(i)), "re:" + std::to_string(i));
  EXPECT_EQ(opened(), 1u) << "20 sequential calls, one connection";

  std::vector<std::thread> callers;
  std::atomic<int> answered{0};
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 20; ++i) answered += Exchange(tool, uri, "t") == "re:t";
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(answered, 120);
  EXPECT_LE(opened(), 6u) << "no more connections than concurrent callers";

  // Messages sent before any answer is read each read their own answer afterwards.
  auto overlapped = [&](const std::string& tag) {
    std::vector<QxZebMsg::OutgoingMsg> sent;
    for (int i = 0; i < 4; ++i) {
      sent.push_back(tool.CreateMsg(uri));
      sent.back().Write(CharArray_t(tag + std::to_string(i)));
      sent.back().Send();
    }
    for (int i = 3; i >= 0; --i) {
      EXPECT_EQ(sent[i].ReceiveReply().GetBody().ToStdString(), "re:" + tag + std::to_string(i));
    }
  };
  overlapped("o");
  overlapped("p");
  EXPECT_LE(opened(), 6u) << "overlapped messages reuse the kept connections";
  {
    // A message dropped with its answer unread takes its connection along.
    QxZebMsg::OutgoingMsg dropped = tool.CreateMsg(uri);
    dropped.Write(CharArray_t(std::string("unread")));
    dropped.Send();
  }
  EXPECT_EQ(Exchange(tool, uri, "next"), "re:next");

  // The server goes away, closing every kept-alive connection, and comes back on its port.
  server.reset();
  QxMoxConfig::Configuration_t samePort = Loopback();
  samePort.SetAttrValue("SERVER_PORT", String_t(std::to_string(port)));
  server.emplace(samePort, QxZebMsg::Messenger::Options().SetBasePath("srv"));
  server->Register(&echo, true, 0);
  overlapped("again");
  EXPECT_EQ(Exchange(tool, uri, "last"), "re:last");
}

namespace {

// Step is how ScriptedServer meets one request: it sends answer, in pieces of piece bytes
// unless piece is 0, and then closes the connection when close is set.
struct Step {
  std::string answer;
  bool close = false;
  size_t piece = 0;
};
const std::string kReply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nreply";
const Step kAnswer{kReply}, kDrop{"", true}, kCut{kReply.substr(0, 5), true};

// ScriptedServer accepts connections on loopback and meets the requests read on them, in
// order, with its steps. Without steps left it closes what it accepts.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<Step> steps) : m_steps(std::move(steps)) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), size) != 0 || listen(m_fd, 8) != 0 ||
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
      throw std::runtime_error("cannot listen");
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    shutdown(m_fd, SHUT_RDWR);
    m_thread.join();
    close(m_fd);
  }
  QxMoxNet::URI_t Uri() const {
    return QxMoxNet::URI_t(String_t("http://127.0.0.1:" + std::to_string(m_port) + "/msg"));
  }
  std::atomic<int> connections{0};

 private:
  void Serve() {
    size_t next = 0;
    const int one = 1;
    for (int c; (c = accept(m_fd, nullptr, nullptr)) >= 0; close(c)) {
      ++connections;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      while (next < m_steps.size() && ReadRequest(c)) {
        const Step& step = m_steps[next++];
        const size_t piece = step.piece == 0 ? step.answer.size() : step.piece;
        for (size_t at = 0; at < step.answer.size(); at += piece) {
          if (at > 0) std::this_thread::sleep_for(1ms);
          send(c, step.answer.data() + at, std::min(piece, step.answer.size() - at), MSG_NOSIGNAL);
        }
        if (step.close) break;
      }
    }
  }
  static bool ReadRequest(int c) {
    std::string in;
    char buf[4096];
    size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) return false;
      in.append(buf, static_cast<size_t>(n));
    }
    const size_t at = in.find("Content-Length: ");
    const size_t length = at == std::string::npos ? 0 : std::stoul(in.substr(at + 16));
    while (in.size() < end + 4 + length) {
      const ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) return false;
      in.append(buf, static_cast<size_t>(n));
    }
    return true;
  }

  std::vector<Step> m_steps;
  int m_fd = -1;
  int m_port = 0;
  std::thread m_thread;
};

}  // namespace

// A reused connection closed before any byte of the answer is taken for one the server closed
// while idle: the call is sent once more on a new connection. A connection closed after part of
// the answer, or a new connection closed early, fails the call.
TEST_F(ZebTest, ReusedConnectionClosedBeforeAnswerIsRetriedOnce) {
  ScriptedServer server({kAnswer, kDrop, kAnswer, kCut, kDrop});
  QxZebMsg::Messenger tool = SendOnly();
  EXPECT_EQ(Exchange(tool, server.Uri(), "1"), "reply");
  EXPECT_EQ(Exchange(tool, server.Uri(), "2"), "reply");
  EXPECT_EQ(server.connections, 2);
  EXPECT_EQ(StatusOf([&] { Exchange(tool, server.Uri(), "3"); }), 0);
  EXPECT_EQ(StatusOf([&] { Exchange(tool, server.Uri(), "4"); }), 0);
  EXPECT_EQ(server.connections, 3) << "only the call on a reused, silent connection is repeated";
}

// Answers framed in every way HTTP/1.1 allows are read whole; an answer too large or not HTTP
// fails the call with a text that says so. A connection is reused only when its answer allows.
TEST_F(ZebTest, ClientReadsAnyFramingAndRefusesBadAnswers) {
  const std::string big = "HTTP/1.1 200 OK\r\nContent-Length: 16777217\r\n\r\n";
  ScriptedServer server({
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nchu\r\n4\r\nnked\r\n0\r\n\r\n"},
      {kReply, false, 3},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nclose"},
      {"HTTP/1.1 200 OK\r\n\r\nuntil the end", true},
      {big + std::string(1 << 16, 'x')},
      {"SSH-2.0-x\r\n\r\n"},
      kAnswer,
  });
  QxZebMsg::Messenger tool = SendOnly();
  const auto failure = [&] {
    try {
      Exchange(tool, server.Uri(), "x");
    } catch (const QxZebHttp::HttpException& e) {
      EXPECT_EQ(e.GetStatus(), 0);
      return std::string(e.what());
    }
    return std::string("no failure");
  };
  EXPECT_EQ(Exchange(tool, server.Uri(), "1"), "chunked");
  EXPECT_EQ(Exchange(tool, server.Uri(), "2"), "reply");
  EXPECT_EQ(Exchange(tool, server.Uri(), "3"), "close");
  EXPECT_EQ(server.connections, 1);
  EXPECT_EQ(Exchange(tool, server.Uri(), "4"), "until the end");
  EXPECT_EQ(server.connections, 2) << "an answer with Connection: close ends its connection";
  const std::string large = failure();
  EXPECT_NE(large.find("failed: answer larger than 16 MiB"), std::string::npos) << large;
  const std::string garbage = failure();
  EXPECT_NE(garbage.find("failed: bad answer"), std::string::npos) << garbage;
  EXPECT_EQ(Exchange(tool, server.Uri(), "7"), "reply");
  EXPECT_EQ(server.connections, 5) << "each connection that failed or ran to its end is gone";
}

TEST_F(ZebTest, MessengersOnOnePortShareOneListener) {
  int port;
  {
    QxZebMsg::Messenger probe = Listening("p");
    port = QxMoxNet::URI_t(probe.GetBaseCbAddress()).GetPort();
  }
  QxMoxConfig::Configuration_t config = Loopback();
  config.SetAttrValue("SERVER_PORT", String_t(std::to_string(port)));
  QxZebMsg::Messenger a(config, QxZebMsg::Messenger::Options().SetBasePath("a"));
  QxZebMsg::Messenger b(config, QxZebMsg::Messenger::Options().SetBasePath("b"));
  Recorder ha("msg"), hb("msg");
  a.Register(&ha, true, 0);
  b.Register(&hb, true, 0);
  QxZebMsg::Messenger tool = SendOnly();
  EXPECT_EQ(Exchange(tool, At(a, "msg"), "1"), "re:1");
  EXPECT_EQ(Exchange(tool, At(b, "msg"), "2"), "re:2");
  EXPECT_EQ(ha.calls, 1);
  EXPECT_EQ(hb.calls, 1);
  Recorder clash("msg");
  QxZebMsg::Messenger c(config, QxZebMsg::Messenger::Options().SetBasePath("a"));
  EXPECT_THROW(c.Register(&clash, true, 0), QxMoxMsg::IllegalArgumentError_t);
  a.Close();
  EXPECT_EQ(StatusOf([&] { Exchange(tool, At(a, "msg"), "1"); }), 404);
  EXPECT_EQ(Exchange(tool, At(b, "msg"), "3"), "re:3") << "b keeps the shared listener";

  // A port that another socket holds is refused at once, and the port stays free to try again.
  struct Socket {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ~Socket() { close(fd); }
  } taken;
  sockaddr_in addr = LoopbackPort(0);
  socklen_t length = sizeof addr;
  ASSERT_EQ(bind(taken.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(taken.fd, 1), 0);
  ASSERT_EQ(getsockname(taken.fd, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  config.SetAttrValue("SERVER_PORT", String_t(std::to_string(ntohs(addr.sin_port))));
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_ANY_THROW(QxZebMsg::Messenger(config, QxZebMsg::Messenger::Options()));
  }
}

// Connections that send nothing, or a header byte per second, hold no thread of the listener.
TEST_F(ZebTest, IdleAndSlowConnectionsDoNotStallCalls) {
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_cur < 4096 && files.rlim_max > files.rlim_cur) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  }
  ASSERT_GE(files.rlim_cur, 1200u) << "1,064 sockets and the server's side of them must fit";
  QxZebMsg::Messenger server = Listening("srv");
  Recorder echo("msg");
  server.Register(&echo, true, 0);
  sockaddr_in addr = LoopbackPort(QxMoxNet::URI_t(server.GetBaseCbAddress()).GetPort());
  struct Sockets {
    std::vector<int> fds;
    ~Sockets() {
      for (int fd : fds) close(fd);
    }
  } all;
  for (int i = 0; i < 1064; ++i) {
    all.fds.push_back(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(all.fds.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << i;
  }
  const std::vector<int> slow(all.fds.end() - 64, all.fds.end());
  QxZebMsg::Messenger tool = SendOnly();
  const std::string header = "POST /srv/msg HTTP/1.1\r\n";
  for (size_t sent = 0; sent < 4; ++sent) {
    for (int fd : slow) ASSERT_EQ(send(fd, &header[sent], 1, MSG_NOSIGNAL), 1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(tool, At(server, "msg"), "x", 5000), "re:x");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    std::this_thread::sleep_for(1s - (std::chrono::steady_clock::now() - t0));
  }
}

// Framing that leaves a request's length in doubt is answered 400 and the connection closed
// (RFC 9112); the body limit is 16 MiB whatever the content type; GET only where accepted.
TEST_F(ZebTest, ListenerRefusesDoubtfulFramingAndMethodsAndTakesLargeForms) {
  QxZebMsg::Messenger server = Listening("srv");
  Recorder echo("msg");
  server.Register(&echo, true, 0);
  const int port = QxMoxNet::URI_t(server.GetBaseCbAddress()).GetPort();
  const std::string head = "POST /srv/msg HTTP/1.1\r\nHost: x\r\n";
  for (const char* framing :
       {"Content-Length: 4x\r\n", "Content-Length: 4\r\nContent-Length: 5\r\n",
        "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n",
        "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n",
        "Transfer-Encoding: gzip\r\nContent-Length: 4\r\n", "Transfer-Encoding: gzip\r\n"}) {
    SCOPED_TRACE(framing);
    EXPECT_EQ(RawExchange(port, head + framing + "\r\nbody").substr(0, 13), "HTTP/1.1 400 ");
  }
  EXPECT_EQ(echo.calls, 0);

  const std::string form = head + "Content-Type: application/x-www-form-urlencoded\r\n";
  const std::string body(100 << 10, 'a');
  const std::string reply =
      RawExchange(port, form + "Connection: close\r\nContent-Length: 102400\r\n\r\n" + body);
  EXPECT_EQ(reply.substr(0, 13), "HTTP/1.1 200 ");
  EXPECT_NE(reply.find("re:" + body), std::string::npos);
  EXPECT_EQ(RawExchange(port, form + "Content-Length: 16777217\r\n\r\n").substr(0, 13),
            "HTTP/1.1 413 ");

  // GET reaches only a handler that accepts it, with the method and the reply's content type;
  // a message handler and an RPC path answer 405, other methods never reach a handler.
  struct Status : QxZebMsg::MsgHandler {
    ~Status() override { WaitForCalls(); }
    bool AcceptsGet() const override { return true; }
    String_t GetBasePath() const override { return "/status"; }
    void Process(QxZebMsg::IncomingMsg& msg) override {
      msg.CreateReply(QxZebMsg::OutputMsg::Options().SetContentType("text/plain"))
          .Write(CharArray_t(msg.GetMethod() + " " + msg.GetPath().ToUtf8()));
    }
  } status;
  server.Register(&status, false, 0);
  QxZebRpc::RpcServer rpc(Loopback(), QxZebRpc::RpcServer::Options().SetBasePath("rpc"));
  server.Register(rpc, true, 0);
  const auto get = [&](const std::string& path, const char* method = "GET") {
    return RawExchange(port, std::string(method) + " " + path +
                                 " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  };
  const std::string page = get("/status?x=1");
  EXPECT_EQ(page.substr(0, 13), "HTTP/1.1 200 ");
  EXPECT_NE(page.find("Content-Type: text/plain\r\n"), std::string::npos) << page;
  EXPECT_EQ(page.substr(page.size() - 11), "GET /status");
  EXPECT_EQ(get("/srv/msg").substr(0, 13), "HTTP/1.1 405 ");
  EXPECT_EQ(get("/srv/rpc").substr(0, 13), "HTTP/1.1 405 ");
  EXPECT_EQ(get("/status", "DELETE").substr(0, 13), "HTTP/1.1 405 ");
  EXPECT_EQ(echo.calls, 1);
}

TEST_F(ZebTest, AuthenticationValuesOnPlainHttp) {
  QxZebMsg::Messenger server = Listening("srv");
  Recorder loopbackOk("one"), certOnly("two");
  server.Register(&loopbackOk, true, 1);
  server.Register(&certOnly, true, 2);
  QxZebMsg::Messenger tool = SendOnly();
  EXPECT_EQ(Exchange(tool, At(server, "one"), "x"), "re:x");
  EXPECT_EQ(StatusOf([&] { Exchange(tool, At(server, "two"), "x"); }), 403);
  EXPECT_EQ(certOnly.calls, 0) << "a refused caller reaches no handler";
  EXPECT_EQ(certOnly.attached, 0);
}

namespace {

class EchoRpc : public QxZebRpc::RpcServerHandler {
 public:
  void Process(QxZebRpc::RpcServerCall& call) override {
    method.store(call.GetMethodName() == String_t("Echo") ? 1 : 2);
    int32_t n = 0;
    bool flag = false;
    String_t s;
    CharArray_t k;
    QxZebSoap::XSDDateTime_ex when{};
    QxZebSoap::SOAPArgInt an("n", &n);
    QxZebSoap::SOAPArgBool af("flag", &flag);
    QxZebSoap::SOAPArgUnicodeString as("s", &s);
    QxZebSoap::SOAPArgByteArray ak("k", &k);
    QxZebSoap::SOAPArgDateTime_ex aw("when", &when);
    QxZebSoap::SOAPArg* in[] = {&an, &af, &as, &ak, &aw};
    call.ReadRequest(5, in);
    if (s == String_t("fail")) {
      throw QxMoxMsg::IllegalStateError_t(QxMoxMsg::CreateError_t("handler refused"));
    }
    n += 1;
    flag = !flag;
    s = s + String_t("!");
    when.m_time += 60;
    QxZebSoap::SOAPArg* out[] = {&an, &af, &as, &ak, &aw};
    call.CreateResponse().SetArgs(5, out);
    call.SendResponse("UTF-8");
  }
  std::atomic<int> method{0};  // 1 after a call of "Echo"
};

class CharRpc : public QxZebRpc::RpcCharHandler {
 public:
  void ProcessArgs(QxZebRpc::RpcServerCall& call,
                   const std::vector<QxZebRpc::RpcCharArg>& args) override {
    String_t joined;
    for (const auto& a : args) joined = joined + a.name + String_t("=") + a.text + String_t(";");
    QxZebSoap::SOAPArgUnicodeString out("joined", joined);
    QxZebSoap::SOAPArg* outs[] = {&out};
    call.CreateResponse().SetArgs(1, outs);
    call.SendResponse("UTF-8");
  }
};

}  // namespace

TEST_F(ZebTest, RpcCallWithSimpleArguments) {
  QxZebMsg::Messenger server = Listening("qx");
  QxZebRpc::RpcServer rpc(Loopback(), QxZebRpc::RpcServer::Options().SetBasePath("rpc"));
  EchoRpc echo;
  CharRpc chars;
  rpc.Register("Echo", &echo);
  rpc.Register("Chars", &chars);
  server.Register(rpc, true, 0);
  QxZebMsg::Messenger node = Listening("node");
  QxZebRpc::RpcClient client(Loopback(), node);

  CharArray_t bytes(std::string_view("\x00pem\xff", 5));
  QxZebSoap::SOAPArgInt n("n", 41);
  QxZebSoap::SOAPArgBool flag("flag", false);
  QxZebSoap::SOAPArgUnicodeString s("s", String_t(u"h\u00e9llo <&>"));
  QxZebSoap::SOAPArgByteArray k("k", bytes);
  QxZebSoap::SOAPArgDateTime_ex when("when", QxZebSoap::XSDDateTime_ex{int64_t{1} << 33, 0});
  QxZebSoap::SOAPArg* args[] = {&n, &flag, &s, &k, &when};

  int32_t rn = 0, preset = 77;
  bool rflag = false;
  String_t rs;
  CharArray_t rk;
  QxZebSoap::XSDDateTime_ex rwhen{};
  QxZebSoap::SOAPArgInt an("n", &rn), apreset("absent", &preset);
  QxZebSoap::SOAPArgBool af("flag", &rflag);
  QxZebSoap::SOAPArgUnicodeString as("s", &rs);
  QxZebSoap::SOAPArgByteArray ak("k", &rk);
  QxZebSoap::SOAPArgDateTime_ex aw("when", &rwhen);
  QxZebSoap::SOAPArg* results[] = {&an, &af, &as, &ak, &aw, &apreset};

  QxZebRpc::RpcCall call = client.CreateCall(At(server, "rpc"));
  call.GetEnvelope().SetMethod("Echo");
  call.GetEnvelope().SetArgs(5, args);
  call.Invoke(6, results, "UTF-8");
  EXPECT_EQ(echo.method, 1);
  EXPECT_EQ(rn, 42);
  EXPECT_TRUE(rflag);
  EXPECT_EQ(rs, String_t(u"h\u00e9llo <&>!"));
  EXPECT_EQ(rk, bytes);
  EXPECT_EQ(rwhen.m_time, (int64_t{1} << 33) + 60);
  EXPECT_EQ(preset, 77) << "a result the answer lacks keeps its preset";

  // A handler's failure and an unknown method come back as RpcException with their codes.
  s.SetValue("fail");
  try {
    call.Invoke(6, results, "UTF-8");
    FAIL() << "no fault";
  } catch (const QxZebRpc::RpcException& e) {
    EXPECT_EQ(e.GetFaultCode(), String_t("Server"));
    EXPECT_NE(std::string(e.what()).find("handler refused"), std::string::npos) << e.what();
  }
  // An unknown method and a value the server cannot read are the caller's faults.
  QxZebSoap::SOAPArgUnicodeString notAnInt("n", String_t("12abc"));
  QxZebSoap::SOAPArg* badArgs[] = {&notAnInt};
  for (const char* method : {"Nope", "Echo"}) {
    QxZebRpc::RpcCall bad = client.CreateCall(At(server, "rpc"));
    bad.GetEnvelope().SetMethod(method);
    bad.GetEnvelope().SetArgs(1, badArgs);
    try {
      bad.Invoke(0, nullptr, "UTF-8");
      ADD_FAILURE() << method << ": no fault";
    } catch (const QxZebRpc::RpcException& e) {
      EXPECT_EQ(e.GetFaultCode(), String_t("Client")) << method << ": " << e.what();
    }
  }

  QxZebRpc::RpcCall charCall = client.CreateCall(At(server, "rpc"));
  charCall.GetEnvelope().SetMethod("Chars");
  QxZebSoap::SOAPArgInt c1("a", 1);
  QxZebSoap::SOAPArgUnicodeString c2("b", String_t("two"));
  QxZebSoap::SOAPArg* cargs[] = {&c1, &c2};
  charCall.GetEnvelope().SetArgs(2, cargs);
  String_t joined;
  QxZebSoap::SOAPArgUnicodeString rj("joined", &joined);
  QxZebSoap::SOAPArg* cres[] = {&rj};
  charCall.Invoke(1, cres, "UTF-8");
  EXPECT_EQ(joined, String_t("a=1;b=two;"));

  // After Deregister the method is unknown; after Close nothing is served.
  rpc.Deregister("Chars");
  EXPECT_THROW(charCall.Invoke(1, cres, "UTF-8"), QxZebRpc::RpcException);
  rpc.Close();
  EXPECT_THROW(call.Invoke(6, results, "UTF-8"), QxZebHttp::HttpException);
}

TEST_F(ZebTest, RpcRequireAuthenticationRefusesPlainCaller) {
  QxZebMsg::Messenger server = Listening("qx");
  QxZebRpc::RpcServer rpc(
      Loopback(), QxZebRpc::RpcServer::Options().SetBasePath("rpc").SetRequireAuthentication(true));
  EchoRpc echo;
  rpc.Register("Echo", &echo);
  server.Register(rpc, true, 0);
  QxZebMsg::Messenger tool = SendOnly();
  QxZebRpc::RpcClient client(Loopback(), tool);
  QxZebRpc::RpcCall call = client.CreateCall(At(server, "rpc"));
  call.GetEnvelope().SetMethod("Echo");
  EXPECT_EQ(StatusOf([&] { call.Invoke(0, nullptr, "UTF-8"); }), 403);
  EXPECT_EQ(echo.method, 0) << "a refused caller reaches no handler";
}

TEST_F(ZebTest, MessagesAndCallsAcrossProcesses) {
  QxTest::PeerProcess peer(QX_BIN_DIR "/qx_zeb_peer");
  ASSERT_TRUE(peer.Address().starts_with("http://127.0.0.1:")) << peer.Address();
  QxZebMsg::Messenger node = Listening("node");
  Recorder callback("cb");
  node.Register(&callback, true, 0);
  // The peer answers and, asked to, reaches the node on the port the node listens on.
  EXPECT_EQ(Exchange(node, QxMoxNet::URI_t(String_t(peer.Address() + "msg")), "callback:cb"),
            "echo:callback:cb");
  EXPECT_EQ(callback.calls, 1);

  QxZebRpc::RpcClient client(Loopback(), node);
  QxZebSoap::SOAPArgInt a("a", 40), b("b", 2);
  QxZebSoap::SOAPArg* args[] = {&a, &b};
  EXPECT_EQ(client.Call("Add", QxMoxNet::URI_t(String_t(peer.Address() + "rpc")), {}, 2, args), 42);

  CharArray_t pem(
      std::string_view("-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n"));
  QxZebSoap::SOAPArgUnicodeString s("s", String_t(u"\u00fcber"));
  QxZebSoap::SOAPArgByteArray k("k", pem);
  QxZebSoap::SOAPArg* eargs[] = {&s, &k};
  String_t rs;
  CharArray_t rk;
  int32_t len = -1;
  QxZebSoap::SOAPArgUnicodeString ars("s", &rs);
  QxZebSoap::SOAPArgByteArray ark("k", &rk);
  QxZebSoap::SOAPArgInt alen("len", &len);
  QxZebSoap::SOAPArg* results[] = {&ars, &ark, &alen};
  QxZebRpc::RpcCall call = client.CreateCall(QxMoxNet::URI_t(String_t(peer.Address() + "rpc")));
  call.GetEnvelope().SetMethod("Echo");
  call.GetEnvelope().SetArgs(2, eargs);
  call.Invoke(3, results, "UTF-8");
  EXPECT_EQ(rs, String_t(u"\u00fcber"));
  EXPECT_EQ(rk, pem);
  EXPECT_EQ(len, static_cast<int32_t>(pem.GetSize()));

  const int status = peer.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_THROW(client.Call("Add", QxMoxNet::URI_t(String_t(peer.Address() + "rpc")), {}, 2, args),
               QxMoxMsg::Exception_t);
}
