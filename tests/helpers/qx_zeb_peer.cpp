// A messaging peer in a process of its own: it listens on an ephemeral loopback port, prints its
// base callback address on one line, serves until its standard input closes, then exits.
//
// Served under <base>/msg: every message is answered with "echo:" and its body; a body
// "callback:<path>" first sends "hello from peer" to the sender's X-Qx-From address + <path>.
// Served under <base>/rpc: "Add" (int a, int b -> int return) and "Echo" (string s, byte array
// k -> the same values, and int len with the byte count).
#include <cstdio>
#include <iostream>
#include <string>

#include "PeerMain.h"
#include "qxzeb/QxZeb.h"

namespace {

class EchoHandler : public QxZebMsg::MsgHandler {
 public:
  explicit EchoHandler(QxZebMsg::Messenger& messenger) : m_messenger(messenger) {}
  ~EchoHandler() override { WaitForCalls(); }
  void Process(QxZebMsg::IncomingMsg& msg) override {
    std::string body = msg.GetBody().ToStdString();
    if (body.starts_with("callback:")) {
      QxMoxNet::URI_t back(msg.GetFrom() + String_t(body.substr(9)));
      QxZebMsg::OutgoingMsg out = m_messenger.CreateMsg(back);
      out.Write(QxMoxArray::CharArray_t(std::string_view("hello from peer")));
      out.ReceiveReply();
    }
    QxZebMsg::OutgoingReply reply = msg.CreateReply();
    reply.Write(QxMoxArray::CharArray_t("echo:" + body));
    reply.Send();
  }
  QxMoxStr::String_t GetBasePath() const override { return "msg"; }

 private:
  using String_t = QxMoxStr::String_t;
  QxZebMsg::Messenger& m_messenger;
};

class AddHandler : public QxZebRpc::RpcServerHandler {
 public:
  void Process(QxZebRpc::RpcServerCall& call) override {
    int32_t a = 0, b = 0;
    QxZebSoap::SOAPArgInt aa("a", &a), ab("b", &b);
    QxZebSoap::SOAPArg* in[] = {&aa, &ab};
    call.ReadRequest(2, in);
    QxZebSoap::SOAPArgInt result("return", a + b);
    QxZebSoap::SOAPArg* out[] = {&result};
    call.CreateResponse().SetArgs(1, out);
    call.SendResponse("UTF-8");
  }
};

class EchoRpcHandler : public QxZebRpc::RpcServerHandler {
 public:
  void Process(QxZebRpc::RpcServerCall& call) override {
    QxMoxStr::String_t s;
    QxMoxArray::CharArray_t k;
    QxZebSoap::SOAPArgUnicodeString as("s", &s);
    QxZebSoap::SOAPArgByteArray ak("k", &k);
    QxZebSoap::SOAPArg* in[] = {&as, &ak};
    call.ReadRequest(2, in);
    QxZebSoap::SOAPArgInt len("len", static_cast<int32_t>(k.GetSize()));
    QxZebSoap::SOAPArg* out[] = {&as, &ak, &len};
    call.CreateResponse().SetArgs(3, out);
    call.SendResponse("UTF-8");
  }
};

}  // namespace

int main() {
  try {
    QxMoxConfig::Configuration_t config;
    config.SetAttrValue("LISTEN_ADDR", "127.0.0.1");
    QxZebMsg::Messenger messenger(
        config, QxZebMsg::Messenger::Options().RegisterWithCb(true).SetBasePath("peer"));
    EchoHandler echo(messenger);
    AddHandler add;
    EchoRpcHandler echoRpc;
    QxZebRpc::RpcServer server(config, QxZebRpc::RpcServer::Options().SetBasePath("rpc"));
    server.Register("Add", &add);
    server.Register("Echo", &echoRpc);
    messenger.Register(&echo, true, 0);
    messenger.Register(server, true, 0);
    QxTest::ServeUntilInputCloses(messenger, server);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "qx_zeb_peer: " << e.what() << std::endl;
    return 1;
  }
}
