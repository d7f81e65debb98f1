// FakeCertServer: a certificate server double for the node's tests. It reads request messages
// with the library's codec and answers them with chosen values, serves "GetTrustedRootCerts",
// and sends response messages to a node.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RequestMessage.h"
#include "ResponseMessage.h"
#include "qxmox/Config.h"
#include "qxmox/Io.h"
#include "qxseccm/SoapArgs.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Rpc.h"

namespace QxTest {

// FreePort returns a loopback TCP port that was free a moment ago.
inline int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

inline void SetConfig(const char* ns, const char* key, const std::string& value) {
  QxMoxConfig::ConfigUpdate_t update;
  update.SetAttr(ns, key, QxMoxStr::String_t(value));
  update.Apply(false);
}

// Received is one request message as the server read it.
struct Received {
  std::string installId, id, cn, nodename, from;
  int installationType = -1;
  QxMoxArray::CharArray_t csr;
  std::chrono::steady_clock::time_point at;
};

class FakeCertServer {
 public:
  // Reply chooses the answer to the request message of the given attempt (1, 2, ...).
  using Reply = std::function<int(int attempt)>;

  explicit FakeCertServer(Reply reply) : m_reply(std::move(reply)) {
    m_messenger = QxZebMsg::Messenger(QxMoxConfig::Configuration_t(),
                                      QxZebMsg::Messenger::Options()
                                          .SetBasePath("com.mt.qx.sec.cm.certificateserver")
                                          .RegisterWithCb(true));
    m_messenger.Register(&m_sink, true, 0);
    m_rpc = QxZebRpc::RpcServer(QxMoxConfig::Configuration_t(),
                                QxZebRpc::RpcServer::Options().SetBasePath("/certreqhandler/"));
    m_rpc.Register("GetTrustedRootCerts", &m_roots);
    m_messenger.Register(m_rpc.GetMsgHandler(), true, 0);
  }
  ~FakeCertServer() { m_messenger.Close(); }

  // Authority is "127.0.0.1:<port>", the value of CERTIFICATE_SERVER for the node.
  std::string Authority() const {
    return "127.0.0.1:" + std::to_string(QxMoxNet::URI_t(m_messenger.GetBaseCbAddress()).GetPort());
  }

  std::vector<Received> Requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }
  // WaitForRequests waits up to seconds for count request messages.
  bool WaitForRequests(size_t count, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      if (Requests().size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Requests().size() >= count;
  }

  // SetRoots sets what "GetTrustedRootCerts" answers.
  void SetRoots(QxSecCm::CharArrayList roots) { m_roots.roots = std::move(roots); }

  // Send sends a response message (or raw bytes) to the node's "/msg/" at from (the X-Qx-From
  // of its request) and returns the node's reply.
  int Send(const std::string& from, const QxSecCm::ResponseMessage& response) {
    return SendBody(from, [&](QxMoxIo::OutputStream_t& out) { response.Write(out); });
  }
  int SendRaw(const std::string& from, const std::string& bytes) {
    return SendBody(from, [&](QxMoxIo::OutputStream_t& out) {
      out.Write(bytes.data(), bytes.size());
      out.Close();
    });
  }

 private:
  struct Sink : QxZebMsg::MsgHandler {
    explicit Sink(FakeCertServer* owner) : server(owner) {}
    ~Sink() override { WaitForCalls(); }
    FakeCertServer* server;
    QxMoxStr::String_t GetBasePath() const override { return "/msg/"; }
    void Process(QxZebMsg::IncomingMsg& msg) override {
      QxMoxIo::CharArrayInputStream_t in = msg.GetInputStream();
      QxSecCm::RequestMessage message(in);
      const auto body = message.ReadBody(message.UnwrapKey(server->m_installKey));
      Received r;
      r.installId = message.GetInstallId().ToUtf8();
      r.id = body.request.GetId().ToUtf8();
      r.cn = body.request.GetCN().ToUtf8();
      r.nodename = body.request.GetNodename().ToUtf8();
      r.installationType = body.request.GetInstallationType();
      r.csr = body.csr;
      r.from = msg.GetFrom().ToUtf8();
      r.at = std::chrono::steady_clock::now();
      int attempt;
      {
        std::lock_guard lock(server->m_mutex);
        server->m_requests.push_back(r);
        attempt = static_cast<int>(server->m_requests.size());
      }
      if (server->beforeReply) server->beforeReply(r);
      QxZebMsg::OutgoingReply reply = msg.CreateReply();
      QxMoxIo::DataOutputStream_t out(reply.GetOutputStream());
      out.WriteInt32(server->m_reply(attempt));
      out.Close();
    }
  };
  struct Roots : QxZebRpc::RpcServerHandler {
    QxSecCm::CharArrayList roots;
    void Process(QxZebRpc::RpcServerCall& call) override {
      QxSecCm::SOAPArgCharArrayList result("trusted", roots);
      QxZebSoap::SOAPArg* results[] = {&result};
      call.CreateResponse().SetArgs(1, results);
      call.SendResponse("UTF-8");
    }
  };

  int SendBody(const std::string& from, const std::function<void(QxMoxIo::OutputStream_t&)>& w) {
    const std::string base =
        !from.empty() && from.back() == '/' ? from.substr(0, from.size() - 1) : from;
    QxZebMsg::OutgoingMsg msg = m_messenger.CreateMsg(QxMoxNet::URI_t(base + "/msg/"));
    w(msg.GetOutputStream());
    const QxZebMsg::IncomingReply reply = msg.ReceiveReply();
    QxMoxIo::CharArrayInputStream_t body = reply.GetInputStream();
    QxMoxIo::DataInputStream_t in(body);
    return in.ReadInt32();
  }

 public:
  QxMoxArray::CharArray_t m_installKey;  // the installation key the server knows
  // beforeReply, when set, runs for each request message before the server replies to it.
  std::function<void(const Received&)> beforeReply;

 private:
  Reply m_reply;
  std::mutex m_mutex;
  std::vector<Received> m_requests;
  Sink m_sink{this};
  Roots m_roots;
  QxZebMsg::Messenger m_messenger;
  QxZebRpc::RpcServer m_rpc;
};

}  // namespace QxTest
