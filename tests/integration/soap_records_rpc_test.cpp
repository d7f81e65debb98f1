// Record arguments over real RPC calls on loopback, served in the test's own process and by a
// peer process: pending-request collections of both twins, a string collection, a byte-array
// list of PEM certificates, and an event whose request element name follows g_UseCertReq.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "PeerProcess.h"
#include "RecordsService.h"
#include "TestHome.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccm/UseCertReq.h"

using QxMoxStr::String_t;
using namespace QxSecCm;

namespace {

QxMoxConfig::Configuration_t Loopback() {
  QxMoxConfig::Configuration_t config;
  config.SetAttrValue("LISTEN_ADDR", "127.0.0.1");
  return config;
}

// InProcessServer serves RecordsService in this process.
class InProcessServer {
 public:
  InProcessServer()
      : m_messenger(Loopback(),
                    QxZebMsg::Messenger::Options().RegisterWithCb(true).SetBasePath("records")),
        m_rpc(Loopback(), QxZebRpc::RpcServer::Options().SetBasePath("rpc")),
        m_service(m_rpc) {
    m_messenger.Register(m_rpc, true, 0);
  }
  std::string Address() const { return m_messenger.GetBaseCbAddress().ToUtf8(); }

 private:
  QxZebMsg::Messenger m_messenger;
  QxZebRpc::RpcServer m_rpc;
  QxTest::RecordsService m_service;
};

class SoapRecordsRpcTest : public QxTest::HomeTest {
 protected:
  SoapRecordsRpcTest()
      : m_node(Loopback(), QxZebMsg::Messenger::Options().RegisterWithCb(true).SetBasePath("n")),
        m_client(Loopback(), m_node) {}

  QxZebRpc::RpcCall Call(const std::string& server, const char* method) {
    QxZebRpc::RpcCall call = m_client.CreateCall(QxMoxNet::URI_t(String_t(server + "rpc")));
    call.GetEnvelope().SetMethod(method);
    return call;
  }

  // ExpectPending asks server for count pending requests of one twin and checks every field of
  // every request, in order.
  template <class Collection, class CollectionArg>
  void ExpectPending(const std::string& server, const char* method, int count) {
    SCOPED_TRACE(std::string(method) + " with " + std::to_string(count));
    QxSecCore::StringCollection ids;
    for (int i = 0; i < count; ++i) ids.Add(String_t("req-" + std::to_string(i) + " <&>"));
    QxSecCm::SOAPArgStringCollection idsArg("reqids", ids);
    QxZebSoap::SOAPArg* args[] = {&idsArg};
    Collection got;
    CollectionArg result("crcol", &got);
    QxZebSoap::SOAPArg* results[] = {&result};
    QxZebRpc::RpcCall call = Call(server, method);
    call.GetEnvelope().SetArgs(1, args);
    call.Invoke(1, results, "UTF-8");

    ASSERT_EQ(got.Size(), count);
    int n = 0;
    for (got.MoveFirst(); !got.IsAtEnd(); got.Next(), ++n) {
      auto expected = QxTest::SampleRequest<typename Collection::Request>(n);
      expected->SetId(String_t("req-" + std::to_string(n) + " <&>"));
      ASSERT_EQ(QxTest::Describe(got.GetCurrent()), QxTest::Describe(expected));
    }
  }

  void ExpectAllPending(const std::string& server) {
    for (const int count : {0, 2, 1000}) {
      ExpectPending<CertRequestCollection, SOAPArgCertRequestCollection>(
          server, "GetPendingRequests", count);
      ExpectPending<CertRequestCollection_ex, SOAPArgCertRequestCollection_ex>(
          server, "GetPendingRequests_ex", count);
    }
  }

  void ExpectCertificatesEchoed(const std::string& server) {
    CharArrayList certs;
    for (const char* cn : {"Root One", "Root Two"}) {
      QxSecCore::X509Certificate cert;
      QxSecCore::Key key;
      CertificateBuilder::CreateSelfSignedCertificate(cn, "Lab", true, cert, key);
      certs.push_back(cert.GetEncoded());
    }
    SOAPArgCharArrayList arg("certs", certs);
    QxZebSoap::SOAPArg* args[] = {&arg};
    CharArrayList got;
    int32_t count = -1;
    SOAPArgCharArrayList gotArg("certs", &got);
    QxZebSoap::SOAPArgInt countArg("count", &count);
    QxZebSoap::SOAPArg* results[] = {&gotArg, &countArg};
    QxZebRpc::RpcCall call = Call(server, "EchoCertificates");
    call.GetEnvelope().SetArgs(1, args);
    call.Invoke(2, results, "UTF-8");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(got, certs);
    // What came back is a certificate again, not only the same bytes.
    EXPECT_EQ(QxSecCore::X509Certificate(got.front()).GetEncoded(), certs.front());
  }

  // EchoEvent sends an _ex event and returns what the server read and sent back.
  CertEvent_ex EchoEvent(const std::string& server, const CertEvent_ex& event) {
    SOAPArgCertEvent_ex arg("ce", event);
    QxZebSoap::SOAPArg* args[] = {&arg};
    CertEvent_ex got;
    SOAPArgCertEvent_ex gotArg("ce", &got);
    QxZebSoap::SOAPArg* results[] = {&gotArg};
    QxZebRpc::RpcCall call = Call(server, "EchoEvent_ex");
    call.GetEnvelope().SetArgs(1, args);
    call.Invoke(1, results, "UTF-8");
    return got;
  }

  static CertEvent_ex SampleEvent() {
    CertEvent_ex event;
    event->SetType(static_cast<CertEvent_ex::Type>(3));
    event->SetInfo("granted <by admin>");
    event->SetCertRequest(QxTest::SampleRequest<CertRequest_ex>(9));
    return event;
  }

  QxZebMsg::Messenger m_node;
  QxZebRpc::RpcClient m_client;
};

}  // namespace

TEST_F(SoapRecordsRpcTest, RecordsTravelWithEveryFieldInOneProcessAndAcrossTwo) {
  const InProcessServer local;
  ExpectAllPending(local.Address());
  ExpectCertificatesEchoed(local.Address());

  QxTest::PeerProcess peer(QX_BIN_DIR "/qx_records_peer");
  ASSERT_TRUE(peer.Address().starts_with("http://127.0.0.1:")) << peer.Address();
  ExpectAllPending(peer.Address());
  ExpectCertificatesEchoed(peer.Address());
  const int status = peer.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// g_UseCertReq only ever goes from off to on in a process, so this test switches this process
// last and compares against peers started with and without the switch.
TEST_F(SoapRecordsRpcTest, EventRequestTravelsUnderTheNameTheSwitchChooses) {
  ASSERT_FALSE(g_UseCertReq::GetUseCertReq());
  const CertEvent_ex event = SampleEvent();
  QxTest::PeerProcess plain(QX_BIN_DIR "/qx_records_peer");
  QxTest::PeerProcess switched(QX_BIN_DIR "/qx_records_peer", {"--use-certreq"});

  // Both sides under "certrequest_ex": the request arrives and comes back whole.
  CertEvent_ex got = EchoEvent(plain.Address(), event);
  EXPECT_EQ(got.GetType(), event.GetType());
  EXPECT_EQ(got.GetInfo(), event.GetInfo());
  EXPECT_EQ(QxTest::Describe(got.GetCertRequest()), QxTest::Describe(event.GetCertRequest()));

  // A peer that expects "certrequest" skips a "certrequest_ex" element: the event arrives
  // with a fresh request, the other fields intact.
  got = EchoEvent(switched.Address(), event);
  EXPECT_EQ(got.GetType(), event.GetType());
  EXPECT_EQ(QxTest::Describe(got.GetCertRequest()), QxTest::Describe(CertRequest_ex()));

  // Switched on both sides: the request travels as "certrequest" and arrives whole again.
  g_UseCertReq::SetUseCertReq();
  got = EchoEvent(switched.Address(), event);
  EXPECT_EQ(QxTest::Describe(got.GetCertRequest()), QxTest::Describe(event.GetCertRequest()));
  // ... and the unswitched peer no longer finds it.
  got = EchoEvent(plain.Address(), event);
  EXPECT_EQ(QxTest::Describe(got.GetCertRequest()), QxTest::Describe(CertRequest_ex()));
}
