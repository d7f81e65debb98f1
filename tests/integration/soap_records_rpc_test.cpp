// Structured arguments over a real RPC call on loopback: a pending-request query whose answer is
// a request collection, served and called in one process.
#include <gtest/gtest.h>

#include <string>

#include "TestHome.h"
#include "qxseccm/SoapArgs.h"
#include "qxzeb/QxZeb.h"

using QxMoxStr::String_t;
using namespace QxSecCm;

namespace {

QxMoxConfig::Configuration_t Loopback() {
  QxMoxConfig::Configuration_t config;
  config.SetAttrValue("LISTEN_ADDR", "127.0.0.1");
  return config;
}

// PendingRequests answers "GetPendingRequests": one request per id asked for, in the order asked.
class PendingRequests : public QxZebRpc::RpcServerHandler {
 public:
  void Process(QxZebRpc::RpcServerCall& call) override {
    QxSecCore::StringCollection ids;
    SOAPArgStringCollection in("reqids", &ids);
    QxZebSoap::SOAPArg* ins[] = {&in};
    call.ReadRequest(1, ins);
    const CertRequestCollection pending;
    int n = 0;
    for (ids.MoveFirst(); !ids.IsAtEnd(); ids.Next(), ++n) {
      CertRequest r;
      r->SetId(ids.GetCurrent());
      r->SetCN(String_t("node" + std::to_string(n) + ".example"));
      r->SetPeerAddress("127.0.0.1");
      r->GetPlatform()->SetVers1(n);
      r->SetInstallationType(CertRequest::IT_MANUAL);
      r->SetTimeReceived(1700000000 + n);
      pending.Add(r);
    }
    SOAPArgCertRequestCollection out("crcol", pending);
    QxZebSoap::SOAPArg* outs[] = {&out};
    call.CreateResponse().SetArgs(1, outs);
    call.SendResponse("UTF-8");
  }
};

class SoapRecordsRpcTest : public QxTest::HomeTest {};

}  // namespace

TEST_F(SoapRecordsRpcTest, PendingRequestsTravelAsACollection) {
  QxZebMsg::Messenger server(Loopback(),
                             QxZebMsg::Messenger::Options().RegisterWithCb(true).SetBasePath("qx"));
  QxZebRpc::RpcServer rpc(Loopback(), QxZebRpc::RpcServer::Options().SetBasePath("rpc"));
  PendingRequests handler;
  rpc.Register("GetPendingRequests", &handler);
  server.Register(rpc, true, 0);
  QxZebMsg::Messenger node(Loopback(),
                           QxZebMsg::Messenger::Options().RegisterWithCb(true).SetBasePath("n"));
  QxZebRpc::RpcClient client(Loopback(), node);

  for (int count : {0, 3, 500}) {
    QxSecCore::StringCollection ids;
    for (int i = 0; i < count; ++i) ids.Add(String_t("req-" + std::to_string(i) + " <&>"));
    SOAPArgStringCollection idsArg("reqids", ids);
    QxZebSoap::SOAPArg* args[] = {&idsArg};
    CertRequestCollection got;
    SOAPArgCertRequestCollection result("crcol", &got);
    QxZebSoap::SOAPArg* results[] = {&result};

    QxZebRpc::RpcCall call =
        client.CreateCall(QxMoxNet::URI_t(server.GetBaseCbAddress() + String_t("rpc")));
    call.GetEnvelope().SetMethod("GetPendingRequests");
    call.GetEnvelope().SetArgs(1, args);
    call.Invoke(1, results, "UTF-8");

    ASSERT_EQ(got.Size(), count);
    int n = 0;
    for (got.MoveFirst(); !got.IsAtEnd(); got.Next(), ++n) {
      const CertRequest r = got.GetCurrent();
      EXPECT_EQ(r.GetId(), String_t("req-" + std::to_string(n) + " <&>"));
      EXPECT_EQ(r.GetCN(), String_t("node" + std::to_string(n) + ".example"));
      EXPECT_EQ(r.GetPeerAddress(), String_t("127.0.0.1"));
      EXPECT_EQ(r.GetPlatform().GetVers1(), n);
      EXPECT_EQ(r.GetInstallationType(), CertRequest::IT_MANUAL);
      EXPECT_EQ(r.GetTimeReceived(), 1700000000 + n);
    }
  }
}
