// enroll_load: N simulated nodes enroll against a qxcm-server process started for the run, over
// the real wire protocol (request message in, response message back to each node's callback
// address), with the server granting every request at once.
//
// Each node's RSA key and PKCS#10 request are made before the clock starts, so the figures are
// the server's; with --keygen they are made inside the measured run, as a node makes them. A few
// listening messengers stand for the nodes: nodes sharing a messenger share its callback
// address and are told apart by the request id of the response. Every response is read with the
// node's codec, its certificate checked against the node's key, and answered 0 (installed).
//
// Printed: requests accepted per second, certificates issued and delivered per second, p50 and
// p99 from request sent to response received, the server's CPU time per certificate (from
// /proc/<pid>/stat), and a "nothing lost" line: every node got exactly one certificate that
// matches its key, all serials distinct. Exit status 0 when nothing was lost, 1 otherwise, 2 for
// a usage or set-up error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RequestMessage.h"
#include "ResponseMessage.h"
#include "qxmox/Config.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/Certificate.h"
#include "qxzeb/Messenger.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using QxMoxStr::String_t;

constexpr const char* kServerMsgPath = "/com.mt.qx.sec.cm.certificateserver/msg/";

struct Options {
  int nodes = 1000;
  int inFlight = 24;
  int messengers = 4;
  int timeoutSeconds = 600;
  bool keygen = false;
  std::string serverBin = QX_SERVER_BIN;
};

// TempDir is a fresh directory under TMPDIR, removed with everything in it afterwards.
class TempDir {
 public:
  explicit TempDir(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& Path() const { return m_path; }

 private:
  fs::path m_path;
};

// FreePort returns a loopback port that was free a moment ago.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  close(fd);
  if (!ok) throw std::runtime_error("no free port");
  return ntohs(address.sin_port);
}

// CpuTime is a process's CPU time in seconds.
struct CpuTime {
  double user = 0, system = 0;
  double Total() const { return user + system; }
  CpuTime operator-(const CpuTime& o) const { return {user - o.user, system - o.system}; }
  bool operator==(const CpuTime&) const = default;
};

// ServerProcess runs the server with QX_HOME home on port until destroyed (SIGTERM, then wait).
// Its standard output is drained by a thread of its own after the ready line; its standard
// error goes to home/server.log.
class ServerProcess {
 public:
  ServerProcess(const std::string& bin, const fs::path& home, int port) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], 1);
      const int log = open((home / "server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (log >= 0) dup2(log, 2);
      close(out[0]);
      close(out[1]);
      setenv("QX_HOME", home.c_str(), 1);
      execl(bin.c_str(), bin.c_str(), "--port", std::to_string(port).c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    m_out = out[0];
    pollfd p{m_out, POLLIN, 0};
    char c;
    while (poll(&p, 1, 60000) == 1 && read(m_out, &c, 1) == 1 && c != '\n') m_readyLine += c;
    m_drain = std::thread([fd = m_out] {
      char buffer[4096];
      while (read(fd, buffer, sizeof buffer) > 0) {
      }
    });
  }
  ~ServerProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
    m_drain.join();
    close(m_out);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool Ready() const { return m_readyLine.rfind("qxcm-server: listening on http://", 0) == 0; }
  // Cpu returns the process's user and system time so far.
  CpuTime Cpu() const {
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    CpuTime cpu;
    // utime and stime are fields 14 and 15; the text after the name starts at field 3.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
      if (number == 14) cpu.user = static_cast<double>(std::stoll(field)) / tick;
      if (number == 15) cpu.system = static_cast<double>(std::stoll(field)) / tick;
    }
    return cpu;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  std::string m_readyLine;
  std::thread m_drain;
};

// Node is one simulated node: its key pair and request, and what the run recorded for it.
struct Node {
  std::unique_ptr<QxSecCm::X509CertRequest> keys;
  QxMoxArray::CharArray_t csr;
  QxSecCm::CertRequest record;
  Clock::time_point sent;
  Clock::time_point answered;
  int responses = 0;
  bool matches = false;
  std::string serial;
};

void MakeKeys(Node& node, int index) {
  const std::string name = "node" + std::to_string(index);
  node.keys = std::make_unique<QxSecCm::X509CertRequest>(String_t(name + ".bench"), "Bench");
  node.keys->GetEncoded(node.csr);
  node.record->SetId(String_t("bench-" + std::to_string(index)));
  node.record->SetCN(String_t(name + ".bench"));
  node.record->SetNodename(String_t(name));
  node.record->SetIPAddress("127.0.0.1");
  node.record->SetInstallationType(QxSecCm::CertRequest::IT_AUTOMATIC);
}

// Nodes holds every node; the response handlers and the senders meet here under one mutex.
class Nodes {
 public:
  explicit Nodes(int count) : m_nodes(count) {}
  Node& operator[](int index) { return m_nodes[index]; }
  int Size() const { return static_cast<int>(m_nodes.size()); }
  std::mutex& Mutex() { return m_mutex; }

  // Answer records a response and returns the node's reply: 0 when the certificate matches
  // the node's key, REPLY_WRONG_REQUEST_ID for an id no node sent, REPLY_INSTALL_FAILED else.
  int Answer(const QxSecCm::ResponseMessage& response) {
    const std::string id = response.requestId.ToUtf8();
    int index = -1;
    if (id.rfind("bench-", 0) == 0) index = std::atoi(id.c_str() + 6);
    if (index < 0 || index >= Size()) return QxSecCm::ResponseMessage::REPLY_WRONG_REQUEST_ID;
    std::lock_guard lock(m_mutex);
    Node& node = m_nodes[index];
    node.answered = Clock::now();
    if (++node.responses == 1) ++m_answered;
    if (response.returnCode != QxSecCm::ResponseMessage::GRANTED || node.keys == nullptr)
      return QxSecCm::ResponseMessage::REPLY_INSTALL_FAILED;
    const QxSecCore::X509Certificate cert(response.certificate);
    node.matches = X509_check_private_key(cert.Native(), node.keys->GetKeyPair()) == 1;
    node.serial = cert.GetSerial().ToUtf8();
    m_done.notify_all();
    return node.matches ? QxSecCm::ResponseMessage::REPLY_PROCESSED
                        : QxSecCm::ResponseMessage::REPLY_INSTALL_FAILED;
  }
  // WaitAnswered waits until every node has an answer or until deadline; returns the count.
  int WaitAnswered(Clock::time_point deadline) {
    std::unique_lock lock(m_mutex);
    m_done.wait_until(lock, deadline, [&] { return m_answered == Size(); });
    return m_answered;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_done;
  int m_answered = 0;
  std::vector<Node> m_nodes;
};

// ResponseHandler is a messenger's "/msg/" endpoint, as a node serves it.
class ResponseHandler : public QxZebMsg::MsgHandler {
 public:
  explicit ResponseHandler(Nodes& nodes) : m_nodes(nodes) {}
  ~ResponseHandler() override { WaitForCalls(); }
  void Process(QxZebMsg::IncomingMsg& msg) override {
    int reply = QxSecCm::ResponseMessage::REPLY_CORRUPT;
    try {
      QxMoxIo::CharArrayInputStream_t in = msg.GetInputStream();
      reply = m_nodes.Answer(QxSecCm::ResponseMessage::Read(in));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "enroll_load: unreadable response: %s\n", e.what());
    }
    QxZebMsg::OutgoingReply out = msg.CreateReply();
    QxMoxIo::DataOutputStream_t data(out.GetOutputStream());
    data.WriteInt32(reply);
    data.Close();
  }
  String_t GetBasePath() const override { return "/msg/"; }

 private:
  Nodes& m_nodes;
};

// Endpoint is one listening messenger with its response handler.
struct Endpoint {
  std::unique_ptr<ResponseHandler> handler;
  QxZebMsg::Messenger messenger;

  Endpoint(Nodes& nodes, int number)
      : handler(std::make_unique<ResponseHandler>(nodes)),
        messenger(QxMoxConfig::Configuration_t(),
                  QxZebMsg::Messenger::Options()
                      .SetBasePath(String_t("qx/bench" + std::to_string(number)))
                      .RegisterWithCb(true)) {
    messenger.Register(handler.get(), true, 0);
  }
  ~Endpoint() { messenger.Close(); }
};

// Send writes node's request message through messenger and returns the server's reply.
int Send(QxZebMsg::Messenger& messenger, const QxMoxNet::URI_t& server, const Node& node) {
  QxZebMsg::OutgoingMsg msg = messenger.CreateMsg(server);
  QxSecCm::RequestMessage::Write(msg.GetOutputStream(), node.record, node.csr, {}, String_t(""));
  const QxZebMsg::IncomingReply reply = msg.ReceiveReply();
  QxMoxIo::CharArrayInputStream_t body = reply.GetInputStream();
  return QxMoxIo::DataInputStream_t(body).ReadInt32();
}

// ForEachIndex runs work(i) for i in [0, count) on threads workers.
template <class Work>
void ForEachIndex(int count, int threads, Work work) {
  std::atomic<int> next{0};
  std::vector<std::jthread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (int i = next++; i < count; i = next++) work(i);
    });
  }
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// WriteSettings writes home/etc/qx.conf with the shared platform key and extra lines.
void WriteSettings(const fs::path& home, const fs::path& keyFile, const std::string& extra) {
  fs::create_directories(home / "etc");
  std::ofstream(home / "etc/qx.conf")
      << "[sec.core]\nPLATFORM_KEY_FILE = " << keyFile.string() << "\n"
      << extra;
}

// Report prints the figures and returns whether nothing was lost.
bool Report(Nodes& nodes, int accepted, Clock::duration acceptSpan, Clock::duration deliverSpan,
            const CpuTime& serverCpu, double clientCpu) {
  const int n = nodes.Size();
  std::vector<double> latencies;
  std::set<std::string> serials;
  int exactlyOne = 0, matching = 0;
  for (int i = 0; i < n; ++i) {
    const Node& node = nodes[i];
    if (node.responses == 1) ++exactlyOne;
    if (node.matches) ++matching;
    if (!node.serial.empty()) serials.insert(node.serial);
    if (node.responses > 0) latencies.push_back(Seconds(node.answered - node.sent) * 1000);
  }
  std::sort(latencies.begin(), latencies.end());
  const auto percentile = [&](double p) {
    if (latencies.empty()) return 0.0;
    return latencies[std::min(latencies.size() - 1,
                              static_cast<size_t>(p * static_cast<double>(latencies.size())))];
  };
  std::printf("requests accepted:        %d of %d, %.1f/s\n", accepted, n,
              accepted / Seconds(acceptSpan));
  std::printf("certificates delivered:   %zu, %.1f/s (issued and answered by the node)\n",
              latencies.size(), static_cast<double>(latencies.size()) / Seconds(deliverSpan));
  std::printf("sent to received:         p50 %.1f ms, p99 %.1f ms\n", percentile(0.50),
              percentile(0.99));
  std::printf(
      "server CPU:               %.2f s, %.2f ms per certificate, %.1f certificates per "
      "CPU-second\n",
      serverCpu.Total(), serverCpu.Total() * 1000 / std::max<size_t>(1, latencies.size()),
      static_cast<double>(latencies.size()) / std::max(serverCpu.Total(), 1e-9));
  std::printf("server CPU split:         user %.2f s, system %.2f s\n", serverCpu.user,
              serverCpu.system);
  std::printf("client CPU:               %.2f s\n", clientCpu);
  const bool nothingLost =
      exactlyOne == n && matching == n && static_cast<int>(serials.size()) == n;
  std::printf(
      "%s: %d of %d nodes got exactly one certificate, %d match their key, %zu distinct "
      "serials\n",
      nothingLost ? "nothing lost" : "LOST", exactlyOne, n, matching, serials.size());
  return nothingLost;
}

int Run(const Options& options) {
  const TempDir serverHome("enroll-server"), nodeHome("enroll-nodes");
  const fs::path keyFile = serverHome.Path() / "platform.key";
  {
    unsigned char key[32];
    if (RAND_bytes(key, sizeof key) != 1) throw std::runtime_error("RAND_bytes failed");
    std::ofstream(keyFile, std::ios::binary).write(reinterpret_cast<const char*>(key), sizeof key);
  }
  WriteSettings(serverHome.Path(), keyFile,
                "[zeb.http]\nTLS_PORT = " + std::to_string(FreePort()) +
                    "\n[sec.cm.server]\nAUTO_GRANT = ALL\n");
  WriteSettings(nodeHome.Path(), keyFile, "");
  setenv("QX_HOME", nodeHome.Path().c_str(), 1);
  unsetenv("QX_CONFIG");

  Nodes nodes(options.nodes);
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  if (!options.keygen) {
    const auto start = Clock::now();
    ForEachIndex(options.nodes, static_cast<int>(cores), [&](int i) { MakeKeys(nodes[i], i); });
    std::printf("keys and requests made beforehand: %d in %.1f s\n", options.nodes,
                Seconds(Clock::now() - start));
  }

  const int port = FreePort();
  const ServerProcess server(options.serverBin, serverHome.Path(), port);
  if (!server.Ready()) {
    std::fprintf(stderr, "enroll_load: %s did not start (see its log)\n",
                 options.serverBin.c_str());
    return 2;
  }
  std::vector<std::unique_ptr<Endpoint>> endpoints;
  for (int m = 0; m < options.messengers; ++m)
    endpoints.push_back(std::make_unique<Endpoint>(nodes, m));
  const QxMoxNet::URI_t serverUri(
      String_t("http://127.0.0.1:" + std::to_string(port) + kServerMsgPath));

  std::printf("nodes %d, in flight %d, messengers %d, %s, load average before %s\n", options.nodes,
              options.inFlight, options.messengers,
              options.keygen ? "keys made in the run" : "keys made beforehand",
              LoadAverage().c_str());
  std::fflush(stdout);
  const CpuTime serverCpuBefore = server.Cpu();
  const double clientCpuBefore = OwnCpuSeconds();
  std::atomic<int> accepted{0};
  std::atomic<Clock::rep> lastAccepted{0};
  const auto start = Clock::now();
  ForEachIndex(options.nodes, options.inFlight, [&](int i) {
    Node& node = nodes[i];
    if (options.keygen) {
      auto keys = std::make_unique<Node>();
      MakeKeys(*keys, i);
      std::lock_guard lock(nodes.Mutex());
      node = std::move(*keys);
    }
    {
      std::lock_guard lock(nodes.Mutex());
      node.sent = Clock::now();
    }
    try {
      if (Send(endpoints[i % endpoints.size()]->messenger, serverUri, node) ==
          QxSecCm::RequestMessage::REPLY_ACCEPTED) {
        ++accepted;
        Clock::rep now = (Clock::now() - start).count();
        for (Clock::rep seen = lastAccepted; seen < now;)
          if (lastAccepted.compare_exchange_weak(seen, now)) break;
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "enroll_load: request %d not sent: %s\n", i, e.what());
    }
  });
  nodes.WaitAnswered(Clock::now() + std::chrono::seconds(options.timeoutSeconds));
  const auto delivered = Clock::now() - start;
  const double clientCpu = OwnCpuSeconds() - clientCpuBefore;
  // The server records each node's reply after the node answered: let it settle.
  CpuTime serverCpuAfter = server.Cpu();
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const CpuTime now = server.Cpu();
    if (now == serverCpuAfter) break;
    serverCpuAfter = now;
  }
  std::printf("load average after %s\n", LoadAverage().c_str());
  return Report(nodes, accepted, Clock::duration(lastAccepted.load()), delivered,
                serverCpuAfter - serverCpuBefore, clientCpu)
             ? 0
             : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app("Enrollment load: simulated nodes against a qxcm-server process of its own.");
  app.add_option("--nodes", options.nodes, "Number of simulated nodes")->check(CLI::PositiveNumber);
  app.add_option("--in-flight", options.inFlight, "Requests sent at the same time")
      ->check(CLI::PositiveNumber);
  app.add_option("--messengers", options.messengers, "Listening messengers shared by the nodes")
      ->check(CLI::PositiveNumber);
  app.add_option("--timeout", options.timeoutSeconds, "Seconds to wait for the responses")
      ->check(CLI::PositiveNumber);
  app.add_flag("--keygen", options.keygen, "Make each node's key and request inside the run");
  app.add_option("--server-bin", options.serverBin, "The qxcm-server program");
  CLI11_PARSE(app, argc, argv);
  signal(SIGPIPE, SIG_IGN);
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "enroll_load: %s\n", e.what());
    return 2;
  }
}
