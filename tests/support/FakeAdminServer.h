// FakeAdminServer: a double of the certificate server's administrative RPC side. It serves the
// request handler's list/fetch/grant/deny/remove methods with canned answers and the
// notification handler's observer registration, records what the callers sent, and sends
// "SendUpdate" calls to the registered observers.
#pragma once

#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "qxmox/Config.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccm/SoapArgs.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/KeyStore.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Rpc.h"

namespace QxTest {

// AdminCall is one call as the double read it: the method, "reqid" and "uri" when sent.
struct AdminCall {
  std::string method, reqid, uri;
};

class FakeAdminServer {
 public:
  FakeAdminServer() {
    const QxMoxConfig::Configuration_t config;
    // RegisterWithCb: an ephemeral port, so tests running at once never share one.
    m_messenger = QxZebMsg::Messenger(config, QxZebMsg::Messenger::Options()
                                                  .SetBasePath("com.mt.qx.sec.cm.certificateserver")
                                                  .RegisterWithCb(true));
    m_requests = QxZebRpc::RpcServer(
        config, QxZebRpc::RpcServer::Options().SetBasePath("/certreqhandler/"));
    for (const char* method : {"GetPendingRequests", "GetPendingRequestIds", "GetPendingRequest",
                               "GrantRequest", "DenyRequest", "RemoveRequest", "RemoveAllRequests"})
      m_requests.Register(method, &m_handler);
    m_messenger.Register(m_requests.GetMsgHandler(), true, 0);
    m_notifications = QxZebRpc::RpcServer(
        config, QxZebRpc::RpcServer::Options().SetBasePath("/notificationhandler/"));
    for (const char* method : {"RegisterObserver", "DeregisterObserver"})
      m_notifications.Register(method, &m_handler);
    m_messenger.Register(m_notifications.GetMsgHandler(), true, 0);
    m_client = QxZebRpc::RpcClient(config, m_messenger);
  }
  ~FakeAdminServer() { Stop(); }

  // InstallTlsIdentity gives the process (its QX_HOME) the TLS identity "srv", issued by a CA it
  // trusts, before a double starts: the proxy and the observer call the double over https.
  static void InstallTlsIdentity() {
    QxSecCore::X509Certificate caCert;
    QxSecCore::Key caKey;
    QxSecCm::CertificateBuilder::CreateSelfSignedCertificate("TLS CA", "Here", true, caCert,
                                                             caKey);
    QxMoxConfig::ConfigUpdate_t update;
    update.SetAttr("sec.core", "CORE_ID", QxMoxStr::String_t("srv"));
    update.Apply(false);
    const QxSecCm::X509CertRequest request("srv", "Here");
    QxMoxArray::CharArray_t csr, pem;
    request.GetEncoded(csr);
    QxSecCm::CertificateBuilder(caCert, caKey)
        .BuildCertificate(QxSecCm::CertRequest(), csr, pem, false);
    QxSecCore::KeyStore store;
    store.InstallCertificate("srv", QxSecCore::X509Certificate(pem), request.GetPrivateKey(), false,
                             true);
    store.InstallCertificate("TLS CA", caCert, false, true);
  }

  // Stop closes the double's port: later calls fail at the transport.
  void Stop() { m_messenger.Close(); }

  // Authority is "127.0.0.1:<port>", the host name for the proxy's and observer's options.
  std::string Authority() const {
    const std::string base = m_messenger.GetBaseCbAddress().ToUtf8();
    const size_t colon = base.find(':', base.find("//"));
    return "127.0.0.1:" + base.substr(colon + 1, base.find('/', colon) - colon - 1);
  }

  std::vector<AdminCall> Calls() {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }
  // Observers is the callback addresses registered and not deregistered, in order.
  std::vector<std::string> Observers() {
    std::lock_guard lock(m_mutex);
    return m_observers;
  }

  // SendUpdate sends one event (CertEvent or CertEvent_ex) to the observer at callback and
  // returns its "result".
  template <class Event>
  int SendUpdate(const std::string& callback, const Event& event) {
    std::conditional_t<std::is_same_v<Event, QxSecCm::CertEvent>, QxSecCm::SOAPArgCertEvent,
                       QxSecCm::SOAPArgCertEvent_ex>
        eventArg("ce", event);
    int result = 0;
    QxZebSoap::SOAPArgInt resultArg("result", &result);
    QxZebSoap::SOAPArg* args[] = {&eventArg};
    QxZebSoap::SOAPArg* results[] = {&resultArg};
    QxZebRpc::RpcCall call = m_client.CreateCall(QxMoxNet::URI_t(QxMoxStr::String_t(callback)));
    call.GetEnvelope().SetMethod("SendUpdate");
    call.GetEnvelope().SetArgs(1, args);
    call.Invoke(1, results, "UTF-8");
    return result;
  }

  // The canned answers: two pending requests; "-1" is an unknown id; RemoveAllRequests removes 2.
  static QxSecCm::CertRequest Pending(int i) {
    QxSecCm::CertRequest request;
    request->SetId(i == 0 ? "req-a" : "req-b");
    request->SetCN(i == 0 ? "node-a" : "node-b");
    request->SetNodename("host");
    return request;
  }

 private:
  struct Handler : QxZebRpc::RpcServerHandler {
    explicit Handler(FakeAdminServer* owner) : server(owner) {}
    FakeAdminServer* server;
    void Process(QxZebRpc::RpcServerCall& call) override {
      const std::string method = call.GetMethodName().ToUtf8();
      QxMoxStr::String_t reqid("");
      QxMoxStr::String_t uri("");  // read as the text on the wire
      QxZebSoap::SOAPArgUnicodeString reqidArg("reqid", &reqid);
      QxZebSoap::SOAPArgUnicodeString uriArg("uri", &uri);
      QxZebSoap::SOAPArg* args[] = {&reqidArg, &uriArg};
      const bool observer = method.find("Observer") != std::string::npos;
      call.ReadRequest(observer ? 1 : 2, observer ? args + 1 : args);
      const AdminCall record{method, reqid.ToUtf8(), uri.ToUtf8()};
      {
        std::lock_guard lock(server->m_mutex);
        server->m_calls.push_back(record);
        auto& list = server->m_observers;
        if (method == "RegisterObserver") list.push_back(record.uri);
        if (method == "DeregisterObserver") std::erase(list, record.uri);
      }
      const int ret = record.reqid == "-1" ? -1 : 1;
      QxZebSoap::SOAPArgInt retArg("ret", method == "RemoveAllRequests" ? 2 : ret);
      QxZebSoap::SOAPArgBool resultArg("result", true);
      QxSecCm::CertRequestCollection pending;
      pending.Add(Pending(0));
      pending.Add(Pending(1));
      QxSecCm::SOAPArgCertRequestCollection crcol("crcol", pending);
      QxSecCore::StringCollection ids;
      ids.Add("req-a");
      ids.Add("req-b");
      QxSecCm::SOAPArgStringCollection reqids("reqids", ids);
      QxSecCm::SOAPArgCertRequest certreq("certreq", Pending(1));
      std::vector<QxZebSoap::SOAPArg*> results;
      if (observer) results = {&resultArg};
      else if (method == "GetPendingRequests") results = {&crcol};
      else if (method == "GetPendingRequestIds") results = {&reqids};
      else if (method == "GetPendingRequest" && ret != -1) results = {&retArg, &certreq};
      else results = {&retArg};
      call.CreateResponse().SetArgs(static_cast<int>(results.size()), results.data());
      call.SendResponse("UTF-8");
    }
  };

  std::mutex m_mutex;
  std::vector<AdminCall> m_calls;
  std::vector<std::string> m_observers;
  Handler m_handler{this};
  QxZebMsg::Messenger m_messenger;
  QxZebRpc::RpcServer m_requests;
  QxZebRpc::RpcServer m_notifications;
  QxZebRpc::RpcClient m_client;
};

}  // namespace QxTest
