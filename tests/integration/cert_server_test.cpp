// The certificate server program against the library's clients, across processes: request
// messages written by the node's codec, the administrative proxy (both twins) over TLS, the
// node's and the observer's RPC calls, the trusted roots handed out, the access rule for a TLS
// caller off loopback, a stop by SIGTERM, and a SIGKILL during a burst of grants.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "FakeCertServer.h"
#include "RecordSamples.h"
#include "RequestMessage.h"
#include "ResponseMessage.h"
#include "SqliteStore.h"
#include "TestHome.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccm/CertificateServer.h"
#include "qxseccm/Exceptions.h"
#include "qxseccm/SoapArgs.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/KeyStore.h"

namespace {

using QxMoxStr::String_t;
using QxSecCm::CertRequest;
namespace fs = std::filesystem;

constexpr const char* kService = "/com.mt.qx.sec.cm.certificateserver/";
constexpr const char* kCaAlias = "CA_certificateserver";

// ServerProcess runs qxcm-server with QX_HOME home, on port, and waits for its ready line.
class ServerProcess {
 public:
  ServerProcess(const std::string& home, int port) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      setenv("QX_HOME", home.c_str(), 1);
      execl(QX_SERVER_BIN, QX_SERVER_BIN, "--port", std::to_string(port).c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (poll(&p, 1, 30000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') m_line += c;
    close(out[0]);
  }
  ~ServerProcess() {
    if (m_pid > 0) Signal(SIGKILL);
  }
  const std::string& ReadyLine() const { return m_line; }
  // Signal sends signal (0: none) and returns the wait status.
  int Signal(int signal) {
    kill(m_pid, signal);
    int status = -1;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return status;
  }

 private:
  pid_t m_pid = -1;
  std::string m_line;
};

// WithHome runs f with QX_HOME pointing at home (the server's key store, for instance).
template <class F>
auto WithHome(const std::string& home, F f) {
  const std::string old = getenv("QX_HOME");
  setenv("QX_HOME", home.c_str(), 1);
  struct Restore {
    std::string old;
    ~Restore() { setenv("QX_HOME", old.c_str(), 1); }
  } restore{old};
  return f();
}

// OtherAddress is an address of this machine off loopback (empty when it has none).
std::string OtherAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "";
  std::string found;
  for (ifaddrs* a = list; a != nullptr && found.empty(); a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
    if (std::string(text).rfind("127.", 0) != 0) found = text;
  }
  freeifaddrs(list);
  return found;
}

// Csr returns the request of cn, the same bytes each time (as a node's resends carry).
QxMoxArray::CharArray_t Csr(const std::string& cn) {
  static std::map<std::string, QxMoxArray::CharArray_t> made;
  QxMoxArray::CharArray_t& csr = made[cn];
  if (csr.IsEmpty()) QxSecCm::X509CertRequest(String_t(cn), "Here").GetEncoded(csr);
  return csr;
}

class CertServerTest : public QxTest::HomeTest {
 protected:
  void SetUp() override {
    fs::create_directories(ServerHome() + "/etc");
    m_port = QxTest::FreePort();
    m_node = QxZebMsg::Messenger(
        QxMoxConfig::Configuration_t(),
        QxZebMsg::Messenger::Options().SetBasePath("qx/node").RegisterWithCb(true));
  }
  void TearDown() override { m_node.Close(); }

  std::string ServerHome() const { return home / "server"; }
  std::string Authority(const std::string& host = "127.0.0.1") const {
    return host + ":" + std::to_string(m_port);
  }
  // Configure writes the server's settings; its messenger also listens on TLS_PORT, so each
  // test's server gets one of its own.
  void Configure(const std::string& serverSection) {
    std::ofstream(ServerHome() + "/etc/qx.conf")
        << "[zeb.http]\nTLS_PORT = " << QxTest::FreePort() << "\n[sec.cm.server]\n"
        << serverSection;
  }
  std::unique_ptr<ServerProcess> Start() {
    auto server = std::make_unique<ServerProcess>(ServerHome(), m_port);
    EXPECT_EQ(server->ReadyLine().rfind("qxcm-server: listening on http://", 0), 0u)
        << server->ReadyLine();
    return server;
  }
  // TrustServer makes this process trust the server's CA (for the proxy's https calls).
  void TrustServer() {
    const QxSecCore::X509Certificate ca =
        WithHome(ServerHome(), [] { return QxSecCore::KeyStore().GetCertificate(kCaAlias); });
    QxSecCore::KeyStore().InstallCertificate("server CA", ca, true, true);
  }
  std::unique_ptr<QxCmServer::SqliteStore> OpenStore() {
    return std::make_unique<QxCmServer::SqliteStore>(ServerHome() + "/data/sec/cs/server.db");
  }

  // Send writes a request message as the node's sender does and returns the server's reply.
  int Send(const CertRequest& request, const std::string& installKey = "",
           const std::string& installId = "") {
    return Post([&](QxMoxIo::OutputStream_t& out) {
      QxSecCm::RequestMessage::Write(out, request, Csr(request.GetCN().ToUtf8()),
                                     QxMoxArray::CharArray_t(installKey), String_t(installId));
    });
  }
  int Post(const std::function<void(QxMoxIo::OutputStream_t&)>& write) {
    QxZebMsg::OutgoingMsg msg =
        m_node.CreateMsg(QxMoxNet::URI_t(String_t("http://" + Authority() + kService + "msg/")));
    write(msg.GetOutputStream());
    const QxZebMsg::IncomingReply reply = msg.ReceiveReply();
    QxMoxIo::CharArrayInputStream_t body = reply.GetInputStream();
    return QxMoxIo::DataInputStream_t(body).ReadInt32();
  }
  std::string NodeAddress() const { return m_node.GetBaseCbAddress().ToUtf8(); }

  // Call makes an RPC call of the request handler (or path) over http from this process.
  void Call(const char* method, std::vector<QxZebSoap::SOAPArg*> args,
            std::vector<QxZebSoap::SOAPArg*> results, const char* path = "certreqhandler/") {
    QxZebRpc::RpcClient client(QxMoxConfig::Configuration_t(), m_node);
    QxZebRpc::RpcCall call =
        client.CreateCall(QxMoxNet::URI_t(String_t("http://" + Authority() + kService + path)));
    call.GetEnvelope().SetMethod(method);
    call.GetEnvelope().SetArgs(static_cast<int>(args.size()), args.data());
    call.Invoke(static_cast<int>(results.size()), results.data());
  }

  int m_port = 0;
  QxZebMsg::Messenger m_node;
};

// ExpectListed checks that proxy lists exactly request (sent by this process just now) with
// every field, by all three listing calls.
template <class Proxy>
void ExpectListed(const std::string& authority, const CertRequest& sent, int64_t sentAt) {
  SCOPED_TRACE(typeid(Proxy).name());
  Proxy proxy(typename Proxy::Options().SetHostname(String_t(authority)));
  typename Proxy::Collection pending;
  proxy.GetPendingRequests(pending);
  ASSERT_EQ(pending.Size(), 1);
  pending.MoveFirst();
  const auto listed = pending.GetCurrent();
  EXPECT_NEAR(static_cast<double>(listed.GetTimeReceived()), static_cast<double>(sentAt), 5);
  CertRequest expected = QxTest::SampleRequest<CertRequest>(1);
  expected->SetPeerAddress("127.0.0.1");
  expected->SetTimeReceived(static_cast<int32_t>(listed.GetTimeReceived()));
  EXPECT_EQ(QxTest::Describe(listed), QxTest::Describe(expected));
  EXPECT_EQ(QxTest::Describe(proxy.GetPendingRequest(sent.GetId())), QxTest::Describe(expected));
  QxSecCore::StringCollection ids;
  proxy.GetPendingRequestIds(ids);
  ASSERT_EQ(ids.GetCount(), 1u);
  EXPECT_EQ(ids.GetAt(0), sent.GetId());
}

TEST_F(CertServerTest, ServesNodesAndAdministratorsAndStopsCleanly) {
  // An AUTO_GRANT it does not know stops the server before it makes anything.
  Configure("AUTO_GRANT = SOMETIMES\n");
  {
    ServerProcess refused(ServerHome(), m_port);
    EXPECT_EQ(refused.ReadyLine(), "");
    const int status = refused.Signal(0);  // waits for its exit
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_FALSE(fs::exists(ServerHome() + "/data/keystore.db"));
  }

  Configure("ADMIN_IDS = admin1, admin2\n");
  auto server = Start();
  TrustServer();
  auto store = OpenStore();

  // A request written by the node's codec is stored with every field and listed by both twins.
  const CertRequest sample = QxTest::SampleRequest<CertRequest>(1);
  const int64_t sentAt = std::time(nullptr);
  ASSERT_EQ(Send(sample), 1);
  ExpectListed<QxSecCm::CertificateServer>(Authority(), sample, sentAt);
  ExpectListed<QxSecCm::CertificateServer_ex>(Authority(), sample, sentAt);
  EXPECT_EQ(store->GetRequest("id-1")->callback, NodeAddress());

  // A resend changes nothing; the same id with other bytes is answered with a duplicate response.
  ASSERT_EQ(Send(sample), 1);
  EXPECT_EQ(store->Waiting(), 0);
  CertRequest changed = QxTest::SampleRequest<CertRequest>(1);
  changed->SetContext("other");
  ASSERT_EQ(Send(changed), 1);
  EXPECT_EQ(store->ListPending().size(), 1u);
  std::vector<QxCmServer::OutboxEntry> due = store->Due(INT64_MAX, 10);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].destination, NodeAddress());
  QxMoxIo::CharArrayInputStream_t dupIn{QxMoxArray::CharArray_t(due[0].body)};
  EXPECT_EQ(QxSecCm::ResponseMessage::Read(dupIn).returnCode, QxSecCm::ResponseMessage::DUPLICATE);
  store->RecordReply(due[0].id, 0, 0);

  // Installation keys: unknown id -2, wrong key -3, garbage -3, the registered key 1.
  store->PutInstallKey("inst-1", "0123456789abcdef0123456789abcdef");
  CertRequest keyed = QxTest::SampleRequest<CertRequest>(2);
  EXPECT_EQ(Send(keyed, "0123456789abcdef0123456789abcdef", "inst-9"), -2);
  EXPECT_EQ(Send(keyed, "fedcba9876543210fedcba9876543210", "inst-1"), -3);
  EXPECT_EQ(Post([](QxMoxIo::OutputStream_t& out) {
              out.Write("\0\0\0\0garbage", 11);
              out.Close();
            }),
            -3);
  EXPECT_EQ(Send(keyed, "0123456789abcdef0123456789abcdef", "inst-1"), 1);
  EXPECT_EQ(store->GetRequest("id-2")->installationId, "inst-1");
  ASSERT_EQ(Send(QxTest::SampleRequest<CertRequest>(3)), 1);

  // A TLS caller off loopback whose CN is not an administrator is refused and changes nothing;
  // one named in ADMIN_IDS is let through.
  const std::string other = OtherAddress();
  if (!other.empty()) {
    const auto [caCert, caKey] = WithHome(ServerHome(), [] {
      QxSecCore::KeyStore ks;
      return std::make_pair(ks.GetCertificate(kCaAlias), ks.GetPrivateKey(kCaAlias));
    });
    for (const char* cn : {"intruder", "admin2"}) {
      const QxSecCm::X509CertRequest request(cn, "Here");
      QxMoxArray::CharArray_t csr, pem;
      request.GetEncoded(csr);
      QxSecCm::CertificateBuilder(caCert, caKey).BuildCertificate(CertRequest(), csr, pem, false);
      QxSecCore::KeyStore().InstallCertificate(cn, QxSecCore::X509Certificate(pem),
                                               request.GetPrivateKey(), false, true);
    }
    QxTest::SetConfig("sec.core", "CORE_ID", "intruder");
    QxSecCm::CertificateServer remote(
        QxSecCm::CertificateServer::Options().SetHostname(String_t(Authority(other))));
    try {
      remote.GrantRequest("id-3");
      ADD_FAILURE() << "a non-administrator granted a request";
    } catch (const QxSecCm::ServerNotAvailableException& e) {
      EXPECT_NE(std::string(e.what()).find("not an administrator: CN intruder"), std::string::npos)
          << e.what();
    }
    EXPECT_EQ(store->GetRequest("id-3")->status, QxCmServer::RequestStatus_e::PENDING);
    QxTest::SetConfig("sec.core", "CORE_ID", "admin2");
    QxSecCm::CertificateServer admin(
        QxSecCm::CertificateServer::Options().SetHostname(String_t(Authority(other))));
    admin.DenyRequest("id-3");
    EXPECT_EQ(store->GetRequest("id-3")->status, QxCmServer::RequestStatus_e::DENIED);
  }

  // The roots handed to the nodes: the CA alone, also when asked again later (the list is kept
  // between calls); a root installed in the server's key store while it runs is handed out
  // from then on.
  const auto trustedRoots = [&] {
    QxSecCm::CharArrayList roots;
    QxSecCm::SOAPArgCharArrayList rootsArg("trusted", &roots);
    Call("GetTrustedRootCerts", {}, {&rootsArg});
    return roots;
  };
  ASSERT_EQ(trustedRoots().size(), 1u);
  ASSERT_EQ(trustedRoots().size(), 1u);
  const QxSecCore::X509Certificate otherRoot = WithHome(ServerHome(), [] {
    QxSecCore::X509Certificate cert;
    QxSecCore::Key key;
    QxSecCm::CertificateBuilder::CreateSelfSignedCertificate("Other root", "Here", true, cert, key);
    QxSecCore::KeyStore().InstallCertificate("Other root", cert, false, true);
    return cert;
  });

  // Grant issues under the server's CA and queues the response with the certificate and the
  // roots; a decided id is unknown afterwards, and so is one never seen.
  QxSecCm::CertificateServer_ex proxy(
      QxSecCm::CertificateServer_ex::Options().SetHostname(String_t(Authority())));
  proxy.GrantRequest("id-1");
  EXPECT_THROW(proxy.GetPendingRequest("id-1"), QxSecCm::UnknownRequestIdException);
  try {
    proxy.DenyRequest("no-such-id");
    ADD_FAILURE() << "denied an unknown id";
  } catch (const QxSecCm::UnknownRequestIdException& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-id"), std::string::npos) << e.what();
  }
  due = store->Due(INT64_MAX, 10);
  const auto response =
      std::find_if(due.begin(), due.end(), [](const auto& e) { return e.requestId == "id-1"; });
  ASSERT_NE(response, due.end());
  QxMoxIo::CharArrayInputStream_t grantIn{QxMoxArray::CharArray_t(response->body)};
  const QxSecCm::ResponseMessage granted = QxSecCm::ResponseMessage::Read(grantIn);
  EXPECT_EQ(granted.returnCode, QxSecCm::ResponseMessage::GRANTED);
  EXPECT_EQ(granted.requestId.ToUtf8(), "id-1");
  const QxSecCore::X509Certificate issued(granted.certificate);
  EXPECT_EQ(issued.GetSubjectCN().ToUtf8(), "node1.example");
  ASSERT_EQ(granted.trustedCerts.size(), 2u);
  EXPECT_EQ(issued.GetIssuerCN(),
            QxSecCore::X509Certificate(granted.trustedCerts[0]).GetSubjectCN());
  EXPECT_EQ(QxSecCore::X509Certificate(granted.trustedCerts[1]), otherRoot);
  EXPECT_EQ(store->ListCertificates().at(0).pem, granted.certificate.ToStdString());
  proxy.RemoveRequest("id-2");
  EXPECT_EQ(proxy.RemoveAllRequests(), 0);

  // The node's calls: the installed report finds the node by name, the roots come as PEM.
  CertRequest report;
  report->SetNodename("node1");
  int ret = -9;
  QxSecCm::SOAPArgCertRequest reportArg("cr", report);
  QxZebSoap::SOAPArgInt retArg("ret", &ret);
  Call("CertInstalled", {&reportArg}, {&retArg});
  EXPECT_EQ(ret, 0);
  EXPECT_TRUE(store->ListCertificates().at(0).installed);
  report->SetNodename("stranger");
  Call("CertInstalled", {&reportArg}, {&retArg});
  EXPECT_EQ(ret, 1);
  const QxSecCm::CharArrayList roots = trustedRoots();
  ASSERT_EQ(roots.size(), 2u);
  EXPECT_EQ(QxSecCore::X509Certificate(roots.front()),
            QxSecCore::X509Certificate(granted.trustedCerts[0]));

  // Observers: registered once, withdrawn once.
  for (const auto& [method, expected] : {std::pair{"RegisterObserver", true},
                                         {"DeregisterObserver", true},
                                         {"DeregisterObserver", false}}) {
    bool result = !expected;
    QxZebSoap::SOAPArgURI uriArg("uri", QxMoxNet::URI_t(String_t("http://127.0.0.1:1/obs/")));
    QxZebSoap::SOAPArgBool resultArg("result", &result);
    Call(method, {&uriArg}, {&resultArg}, "notificationhandler/");
    EXPECT_EQ(result, expected) << method;
  }

  // SIGTERM: exit status 0; then the proxy cannot reach the server.
  const int status = server->Signal(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_THROW(proxy.RemoveAllRequests(), QxSecCm::ServerNotAvailableException);
}

TEST_F(CertServerTest, SigkillDuringAutomaticGrantsLosesNoAcknowledgedRequestOrSerial) {
  constexpr int kCount = 24;
  std::vector<std::string> acknowledged;
  // Stored without a policy, the first requests stay pending.
  Configure("AUTO_GRANT = NONE\n");
  {
    auto server = Start();
    for (int i = 1; i <= kCount; ++i) {
      if (Send(QxTest::SampleRequest<CertRequest>(i)) == 1)
        acknowledged.push_back("id-" + std::to_string(i));
    }
    EXPECT_EQ(server->Signal(SIGTERM), 0);
  }
  Configure("AUTO_GRANT = ALL\n");
  {
    // The restart takes up the pending ones on a thread of its own, while new requests are
    // granted in the commit that stores them: each is granted by the time it is acknowledged.
    auto server = Start();
    auto store = OpenStore();
    for (int i = kCount + 1; i <= 2 * kCount; ++i) {
      ASSERT_EQ(Send(QxTest::SampleRequest<CertRequest>(i)), 1);
      acknowledged.push_back("id-" + std::to_string(i));
      EXPECT_EQ(store->GetRequest(acknowledged.back())->status,
                QxCmServer::RequestStatus_e::GRANTED);
    }
    server->Signal(SIGKILL);
  }
  ASSERT_EQ(acknowledged.size(), static_cast<size_t>(2 * kCount));
  auto server = Start();  // takes up the requests the kill left pending
  auto store = OpenStore();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (store->ListCertificates().size() < acknowledged.size() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (const std::string& id : acknowledged) {
    ASSERT_TRUE(store->GetRequest(id).has_value()) << id;
    EXPECT_EQ(store->GetRequest(id)->status, QxCmServer::RequestStatus_e::GRANTED) << id;
  }
  // Serial numbers are reserved in blocks: the kill skips the rest of one, repeats none. The
  // record's hexadecimal serial and expiry are those of its certificate.
  std::set<std::string> serials;
  for (const QxCmServer::Certificate& cert : store->ListCertificates()) {
    const QxSecCore::X509Certificate parsed(QxMoxArray::CharArray_t(cert.pem));
    const std::string serial = parsed.GetSerial().ToUtf8();
    EXPECT_TRUE(serials.insert(serial).second) << cert.requestId;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%lX", std::stoul(serial));
    EXPECT_EQ(cert.serial, hex) << cert.requestId;
    EXPECT_EQ(cert.notAfterMs, parsed.GetNotAfter() * 1000) << cert.requestId;
  }
  EXPECT_EQ(serials.size(), acknowledged.size());
  EXPECT_EQ(server->Signal(SIGTERM), 0);
}

}  // namespace
