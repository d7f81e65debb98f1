// The node's certificate client against a certificate server double: sending and retrying,
// the state across a restart, the answers and their replies, installation, the trusted roots.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "CertificateClientImpl.h"
#include "FakeCertServer.h"
#include "PeerProcess.h"
#include "TestHome.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccm/CertificateClient.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/KeyStore.h"

namespace {

using QxMoxArray::CharArray_t;
using QxMoxStr::String_t;
using QxSecCm::CertificateClientImpl;
using QxSecCm::ResponseMessage;
using QxTest::FakeCertServer;
using QxTest::SetConfig;
using namespace std::chrono_literals;

struct Ca {
  QxSecCore::X509Certificate cert;
  QxSecCore::Key key;
};

Ca MakeCa(const char* name) {
  Ca ca;
  QxSecCm::CertificateBuilder::CreateSelfSignedCertificate(name, "Here", true, ca.cert, ca.key);
  return ca;
}

CharArray_t Bytes(const std::string& text) { return CharArray_t(std::string_view(text)); }

class NodeClientTest : public QxTest::HomeTest {
 protected:
  void SetUp() override {
    nodePort = QxTest::FreePort();
    SetConfig("sec.cm.client", "SERVER_PORT", std::to_string(nodePort));
    SetConfig("sec.cm.client", "RETRY_INTERVAL", "1");
  }
  void TearDown() override {
    QxSecCm::CertificateClient::Stop();
    if (HasFailure()) {  // the client reports to the log: show it with the failure
      std::ifstream in(home / "log/qx.log");
      std::cerr << in.rdbuf();
    }
  }

  void StartNode(FakeCertServer& server, const char* coreId) {
    SetConfig("sec.cm.client", "CERTIFICATE_SERVER", server.Authority());
    QxSecCm::CertificateClient::Init(coreId);
  }
  CertificateClientImpl& Client() { return *CertificateClientImpl::GetInstance(); }

  // Logged counts the platform log's lines of the library's catalog by message number.
  std::map<int, int> Logged() const {
    std::map<int, int> counts;
    std::ifstream in(home / "log/qx.log");
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find(" sec.cm.client:");
      if (at != std::string::npos) ++counts[std::stoi(line.substr(at + 15))];
    }
    return counts;
  }
  bool StateFileExists() const { return std::filesystem::exists(home / "data/sec/cc/ccstate.dat"); }

  // Grant issues the certificate for a received request under ca.
  static ResponseMessage Grant(const Ca& ca, const QxTest::Received& request, bool withRoot) {
    QxSecCm::CertificateBuilder builder(ca.cert, ca.key);
    ResponseMessage response;
    response.returnCode = ResponseMessage::GRANTED;
    response.requestId = request.id;
    builder.BuildCertificate(QxSecCm::CertRequest(), request.csr, response.certificate, false);
    if (withRoot) response.trustedCerts.push_back(ca.cert.GetEncoded());
    return response;
  }
  static ResponseMessage Answer(int code, const std::string& id) {
    ResponseMessage response;
    response.returnCode = code;
    response.requestId = id;
    return response;
  }

  int nodePort = 0;
};

TEST_F(NodeClientTest, RequestIsRetriedSavedOnAcceptanceAndItsGrantInstalled) {
  FakeCertServer server([](int attempt) { return attempt < 3 ? 0 : 1; });
  StartNode(server, "node-1");
  ASSERT_TRUE(server.WaitForRequests(3, 10));
  for (int i = 0; i < 50 && !StateFileExists(); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(StateFileExists());

  const std::vector<QxTest::Received> received = server.Requests();
  const QxTest::Received& request = received.back();
  EXPECT_EQ(request.installId, "0");
  EXPECT_EQ(request.cn, "node-1");
  EXPECT_EQ(request.installationType, 0);
  EXPECT_FALSE(request.nodename.empty());
  EXPECT_EQ(received.front().id, request.id);  // one request, resent
  EXPECT_NE(
      request.from.find(":" + std::to_string(nodePort) + "/com.mt.qx.sec.cm.certificateclient"),
      std::string::npos)
      << request.from;
  EXPECT_EQ(Client().GetStatus(), QxSecCm::CERT_STATUS_PENDING);
  EXPECT_EQ(CertificateClientImpl::GetCertStatus(), QxSecCm::CERT_STATUS_PENDING);
  EXPECT_EQ(Logged()[64], 1);

  // An answer that does not chain to a root the node knows or was given is not installed.
  const Ca ca = MakeCa("Node Test CA");
  EXPECT_EQ(server.Send(request.from, Grant(ca, request, false)),
            ResponseMessage::REPLY_INSTALL_FAILED);
  EXPECT_EQ(Logged()[37], 1);
  QxSecCore::KeyStore store;
  EXPECT_FALSE(store.IsCertEntry("node-1"));
  EXPECT_TRUE(StateFileExists());

  // Answers for another request id, of unknown codes and garbage leave it waiting.
  EXPECT_EQ(server.Send(request.from, Answer(ResponseMessage::GRANTED, "other")),
            ResponseMessage::REPLY_WRONG_REQUEST_ID);
  EXPECT_EQ(server.Send(request.from, Answer(7, request.id)), ResponseMessage::REPLY_UNKNOWN_CODE);
  EXPECT_EQ(server.SendRaw(request.from, std::string("\0\0\0\0junk", 8)),
            ResponseMessage::REPLY_CORRUPT);
  EXPECT_EQ(server.SendRaw(request.from, "not a response at all"), ResponseMessage::REPLY_CORRUPT);
  EXPECT_EQ(Client().GetStatus(), QxSecCm::CERT_STATUS_PENDING);

  ASSERT_EQ(server.Send(request.from, Grant(ca, request, true)), ResponseMessage::REPLY_PROCESSED);
  EXPECT_TRUE(store.IsPrivateKeyEntry("node-1"));
  EXPECT_TRUE(store.IsTrustedCertEntry("Node Test CA"));
  EXPECT_FALSE(StateFileExists());
  EXPECT_EQ(Client().GetStatus(), QxSecCm::CERT_STATUS_INSTALLED);
  const QxMoxConfig::Configuration_t certificates =
      QxMoxConfig::ConfigNamespace_t("sec.cm.certificates").Open();
  EXPECT_EQ(certificates.GetValue("CERT_INSTALLED"), String_t("TRUE"));
  const std::string updated = certificates.GetValue("LAST_CERT_UPDATE").ToUtf8();
  EXPECT_EQ(updated.size(), 24u);  // ctime's text, one line
  EXPECT_EQ(certificates.GetValue("LAST_TRUSTED_CERT_UPDATE").ToUtf8(), updated);
  EXPECT_EQ(Logged()[43], 1);

  // The same answer again finds the client no longer waiting.
  EXPECT_EQ(server.Send(request.from, Grant(ca, request, true)),
            ResponseMessage::REPLY_NOT_WAITING);
  // A restart with the certificate in the key store sends nothing.
  QxSecCm::CertificateClient::Stop();
  StartNode(server, "node-1");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server.Requests().size(), received.size());
  EXPECT_EQ(Client().GetStatus(), QxSecCm::CERT_STATUS_INSTALLED);
}

TEST_F(NodeClientTest, RefusedKeysAndTheAttemptLimitEndInFailure) {
  {
    FakeCertServer server([](int) { return -3; });
    StartNode(server, "node-2");
    ASSERT_TRUE(server.WaitForRequests(1, 5));
    for (int i = 0; i < 50 && Client().GetState() != CertificateClientImpl::STATE_FAILED; ++i) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(Client().GetStatus(), QxSecCm::CERT_STATUS_UNKNOWN);
    EXPECT_EQ(Logged()[148], 1);
    EXPECT_FALSE(StateFileExists());
    QxSecCm::CertificateClient::Stop();
  }
  // With an interval above 5 s the first two waits are 5 s; the limit ends the sender.
  SetConfig("sec.cm.client", "RETRY_INTERVAL", "7");
  SetConfig("sec.cm.client", "MAX_RETRIES", "3");
  {
    FakeCertServer server([](int) { return 0; });
    StartNode(server, "node-3");
    ASSERT_TRUE(server.WaitForRequests(3, 15));
    const std::vector<QxTest::Received> received = server.Requests();
    for (size_t i = 1; i < 3; ++i) {
      const auto gap = received[i].at - received[i - 1].at;
      EXPECT_GT(gap, 4500ms);
      EXPECT_LT(gap, 6500ms);
    }
    for (int i = 0; i < 100 && Logged()[65] == 0; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(Logged()[65], 1);
    EXPECT_EQ(Client().GetState(), CertificateClientImpl::STATE_FAILED);
    QxSecCm::CertificateClient::Stop();
  }
  // Message 66 after every tenth attempt below the limit.
  SetConfig("sec.cm.client", "RETRY_INTERVAL", "1");
  SetConfig("sec.cm.client", "MAX_RETRIES", "11");
  {
    FakeCertServer server([](int) { return 0; });
    StartNode(server, "node-4");
    ASSERT_TRUE(server.WaitForRequests(11, 20));
    for (int i = 0; i < 100 && Logged()[65] < 2; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(Logged()[66], 1);
    EXPECT_EQ(Logged()[65], 2);
    EXPECT_EQ(server.Requests().size(), 11u);
  }
}

TEST_F(NodeClientTest, DenialIsKeptDuplicateFailsAndRequestsByHandStartAnew) {
  FakeCertServer server([](int) { return 1; });
  SetConfig("sec.cm.client", "CERTIFICATE_DEPLOYMENT_TYPE", "manual");
  StartNode(server, "node-5");
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(Client().GetStatus(), QxSecCm::CERT_STATUS_NONE);

  EXPECT_EQ(Client().CertificateRequestFromCmdLine("node-5"), 1);
  ASSERT_TRUE(server.WaitForRequests(1, 5));
  QxTest::Received first = server.Requests().back();
  EXPECT_EQ(first.installationType, 1);
  for (int i = 0; i < 50 && !StateFileExists(); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(server.Send(first.from, Answer(ResponseMessage::DENIED, first.id)),
            ResponseMessage::REPLY_PROCESSED);
  EXPECT_EQ(Client().GetStatus(), QxSecCm::CERT_STATUS_DENIED);
  EXPECT_EQ(Logged()[38], 1);

  // The denial survives a restart: nothing is sent and the status stays denied.
  QxSecCm::CertificateClient::Stop();
  SetConfig("sec.cm.client", "CERTIFICATE_DEPLOYMENT_TYPE", "AUTO");
  StartNode(server, "node-5");
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(Client().GetStatus(), QxSecCm::CERT_STATUS_DENIED);
  EXPECT_EQ(server.Send(first.from, Answer(ResponseMessage::DENIED, first.id)),
            ResponseMessage::REPLY_NOT_WAITING);

  // A request with an installation key carries its id and a key the server can open.
  server.m_installKey = Bytes(std::string(32, 'k'));
  EXPECT_EQ(Client().CertificateRequestFromCmdLine("inst-7", server.m_installKey, "node-5", "ctx"),
            1);
  ASSERT_TRUE(server.WaitForRequests(2, 5));
  const QxTest::Received second = server.Requests().back();
  EXPECT_EQ(second.installId, "inst-7");
  EXPECT_EQ(second.installationType, 2);
  EXPECT_NE(second.id, first.id);
  for (int i = 0; i < 50 && !StateFileExists(); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(server.Send(second.from, Answer(ResponseMessage::DUPLICATE, second.id)),
            ResponseMessage::REPLY_PROCESSED);
  EXPECT_EQ(Client().GetState(), CertificateClientImpl::STATE_FAILED);
  EXPECT_EQ(Logged()[39], 1);

  // A node that holds a certificate for the core id refuses a request by hand.
  const Ca ca = MakeCa("Hand CA");
  QxSecCore::KeyStore store;
  store.InstallCertificate("node-5", ca.cert, ca.key, false, true);
  EXPECT_EQ(Client().CertificateRequestFromCmdLine("node-5"), -4);
  EXPECT_EQ(Client().CertificateRequestFromCmdLine(""), -1);
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(NodeClientTest, AnAnswerBeforeTheServersReplyIsNeverUndoneByTheSave) {
  // The server decides before it replies to the request message: the node installs the grant
  // while its sender still waits, and the sender's save must not bring back the waiting state.
  FakeCertServer server([](int) { return 1; });
  const Ca ca = MakeCa("Fast CA");
  std::atomic<int> nodeReply{-1};
  server.beforeReply = [&](const QxTest::Received& request) {
    nodeReply = server.Send(request.from, Grant(ca, request, true));
  };
  StartNode(server, "node-8");
  ASSERT_TRUE(server.WaitForRequests(1, 10));
  for (int i = 0; i < 100 && Logged()[64] == 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(nodeReply.load(), ResponseMessage::REPLY_PROCESSED);
  EXPECT_EQ(Client().GetStatus(), QxSecCm::CERT_STATUS_INSTALLED);
  EXPECT_FALSE(StateFileExists());
}

TEST_F(NodeClientTest, RestartWhileWaitingKeepsTheRequestAndInstallsTheLaterGrant) {
  FakeCertServer server([](int) { return 1; });
  SetConfig("sec.cm.client", "CERTIFICATE_SERVER", server.Authority());
  {
    QxTest::PeerProcess node(std::string(QX_BIN_DIR) + "/qx_client_helper", {"node-6"});
    ASSERT_TRUE(server.WaitForRequests(1, 10));
    for (int i = 0; i < 100 && !StateFileExists(); ++i) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(StateFileExists());
    EXPECT_EQ(node.Stop(), 0);
  }
  const QxTest::Received request = server.Requests().back();
  QxTest::PeerProcess node(std::string(QX_BIN_DIR) + "/qx_client_helper", {"node-6"});
  EXPECT_EQ(node.Address(), "2");  // pending, restored
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server.Requests().size(), 1u);
  const Ca ca = MakeCa("Restart CA");
  EXPECT_EQ(server.Send(request.from, Grant(ca, request, true)), ResponseMessage::REPLY_PROCESSED);
  EXPECT_EQ(CertificateClientImpl::GetCertStatus(), QxSecCm::CERT_STATUS_INSTALLED);
  EXPECT_EQ(node.Stop(), 0);
  QxSecCore::KeyStore store;
  EXPECT_TRUE(store.IsPrivateKeyEntry("node-6"));  // the key store checked key and certificate
}

TEST_F(NodeClientTest, RootUpdateReplacesTrustedEntriesAndKeepsOwnOnes) {
  // The update is fetched over https: the double gets a TLS identity that the node trusts.
  const Ca tlsCa = MakeCa("TLS CA");
  const Ca oldRoot = MakeCa("Old Root");
  const Ca newRoot = MakeCa("New Root");
  const Ca own = MakeCa("Own Entry");
  SetConfig("sec.core", "CORE_ID", "srv");
  {
    const QxSecCm::X509CertRequest request("srv", "Here");
    CharArray_t csr, pem;
    request.GetEncoded(csr);
    QxSecCm::CertificateBuilder(tlsCa.cert, tlsCa.key)
        .BuildCertificate(QxSecCm::CertRequest(), csr, pem, false);
    QxSecCore::KeyStore store;
    store.InstallCertificate("srv", QxSecCore::X509Certificate(pem), request.GetPrivateKey(), false,
                             true);
    store.InstallCertificate("TLS CA", tlsCa.cert, false, true);
    store.InstallCertificate("Old Root", oldRoot.cert, false, true);
    store.InstallCertificate("own", own.cert, own.key, false, true);
  }
  FakeCertServer server([](int) { return 1; });
  SetConfig("sec.cm.client", "CERTIFICATE_DEPLOYMENT_TYPE", "MANUAL");
  SetConfig("sec.cm.client", "CERTIFICATE_SERVER_ID", "srv");
  StartNode(server, "node-7");

  EXPECT_EQ(Client().UpdateTrustedRootCerts(), 1);  // an empty list changes nothing
  EXPECT_EQ(Logged()[46], 1);
  server.SetRoots({newRoot.cert.GetEncoded(), Bytes("not a certificate")});
  EXPECT_EQ(Client().UpdateTrustedRootCerts(), 1);  // nor does a list with one unreadable root
  QxSecCore::KeyStore store;
  EXPECT_TRUE(store.IsTrustedCertEntry("Old Root"));
  EXPECT_FALSE(store.IsCertEntry("New Root"));

  server.SetRoots({newRoot.cert.GetEncoded(), newRoot.cert.GetEncoded(), tlsCa.cert.GetEncoded()});
  EXPECT_EQ(Client().UpdateTrustedRootCerts(), 0);
  EXPECT_EQ(Logged()[45], 1);
  EXPECT_FALSE(store.IsCertEntry("Old Root"));
  EXPECT_TRUE(store.IsTrustedCertEntry("New Root"));
  EXPECT_TRUE(store.IsTrustedCertEntry("TLS CA"));
  EXPECT_TRUE(store.IsPrivateKeyEntry("own"));
  EXPECT_TRUE(store.IsPrivateKeyEntry("srv"));
  EXPECT_FALSE(QxMoxConfig::ConfigNamespace_t("sec.cm.certificates")
                   .Open()
                   .GetValue("LAST_TRUSTED_CERT_UPDATE")
                   .IsEmpty());

  // A server that does not prove the expected identity is refused (message 53).
  SetConfig("sec.cm.client", "CERTIFICATE_SERVER_ID", "someone-else");
  EXPECT_EQ(Client().UpdateTrustedRootCerts(), 1);
  EXPECT_EQ(Logged()[53], 1);
  EXPECT_TRUE(store.IsTrustedCertEntry("New Root"));
}

}  // namespace
