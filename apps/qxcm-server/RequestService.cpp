// RequestService: the request handler's methods over the store and the decisions.
#include "RequestService.h"

#include "qxmox/Io.h"
#include "qxseccm/SoapArgs.h"

namespace QxCmServer {
namespace {

using QxZebRpc::RpcServerCall;
using Level = AccessRule::Level_e;

constexpr int kNotPending = -1;
constexpr int kDone = 1;
constexpr int kInstalledRecorded = 0;
constexpr int kNoSuchNode = 1;

void RespondRet(RpcServerCall& call, int ret) {
  QxZebSoap::SOAPArgInt retArg("ret", ret);
  RpcService::Respond(call, {&retArg});
}

}  // namespace

RequestService::RequestService(Store& store, Decisions& decisions, const ServerIdentity& identity,
                               const AccessRule& rule, std::function<void()> changed)
    : RpcService(rule, Methods()),
      m_store(store),
      m_decisions(decisions),
      m_identity(identity),
      m_changed(std::move(changed)) {}

QxSecCm::CertRequest_ex RequestService::Record(const Request& request) {
  QxSecCm::CertRequest_ex record;
  QxMoxIo::CharArrayInputStream_t in{QxMoxArray::CharArray_t(request.record)};
  record->ReadFrom(&in);
  record->SetPeerAddress(QxMoxStr::String_t(request.peerAddress));
  record->SetTimeReceived(request.receivedMs / 1000);
  return record;
}

std::optional<std::string> RequestService::InstalledRequest(Store& store,
                                                            const QxSecCm::CertRequest_ex& report,
                                                            const std::string& peerCn) {
  if (!peerCn.empty()) {
    if (std::optional<std::string> id = store.LatestIssuedRequest(peerCn)) return id;
  }
  const std::string nodename = report.GetNodename().ToUtf8();
  const std::string address = report.GetIPAddress().ToUtf8();
  std::optional<Request> byName, byAddress;
  const auto later = [](const std::optional<Request>& best, const Request& r) {
    return !best || r.receivedMs > best->receivedMs;
  };
  for (const Certificate& cert : store.ListCertificates()) {
    const std::optional<Request> request = store.GetRequest(cert.requestId);
    if (!request) continue;
    const QxSecCm::CertRequest_ex record = Record(*request);
    if (!nodename.empty() && record.GetNodename().ToUtf8() == nodename) {
      if (later(byName, *request)) byName = request;
    } else if (!address.empty() && record.GetIPAddress().ToUtf8() == address) {
      if (later(byAddress, *request)) byAddress = request;
    }
  }
  if (byName) return byName->id;
  if (byAddress) return byAddress->id;
  return std::nullopt;
}

void RequestService::Changed(bool changed) const {
  if (changed) m_changed();
}

void RequestService::ServeDecision(RpcServerCall& call, bool grant) {
  const CallArgs::Decision args = CallArgs::ReadDecision(Reader(call));
  const std::string actor = AccessRule::Actor(call.GetMessage());
  const bool done =
      grant ? m_decisions.Grant(args.reqid, actor) : m_decisions.Deny(args.reqid, actor);
  RespondRet(call, done ? kDone : kNotPending);
}

void RequestService::ServeRemove(RpcServerCall& call) {
  const bool removed = m_store.Remove(CallArgs::RequestId(Reader(call)));
  Changed(removed);
  RespondRet(call, removed ? kDone : kNotPending);
}

void RequestService::ServeCertInstalled(RpcServerCall& call) {
  const QxZebMsg::IncomingMsg& msg = call.GetMessage();
  const std::string peerCn =
      msg.HasTrustedClientCertificate() ? msg.GetPeerCommonName().ToUtf8() : std::string();
  const std::optional<std::string> id =
      InstalledRequest(m_store, CallArgs::InstalledReport(Reader(call)), peerCn);
  if (id && m_beforeInstalled) m_beforeInstalled();
  const bool recorded = id && m_store.MarkInstalled(*id);
  Changed(recorded);
  RespondRet(call, recorded ? kInstalledRecorded : kNoSuchNode);
}

std::vector<RpcService::Method> RequestService::Methods() {
  return {
      {"GetPendingRequests", Level::ADMIN,
       [this](RpcServerCall& call) {
         QxSecCm::CertRequestCollection_ex pending;
         for (const Request& request : m_store.ListPending()) pending.Add(Record(request));
         QxSecCm::SOAPArgCertRequestCollection_ex crcol("crcol", pending);
         Respond(call, {&crcol});
       }},
      {"GetPendingRequestIds", Level::ADMIN,
       [this](RpcServerCall& call) {
         QxSecCore::StringCollection ids;
         for (const Request& request : m_store.ListPending()) ids.Add(request.id);
         QxSecCm::SOAPArgStringCollection reqids("reqids", ids);
         Respond(call, {&reqids});
       }},
      {"GetPendingRequest", Level::ADMIN,
       [this](RpcServerCall& call) {
         const std::optional<Request> request =
             m_store.GetRequest(CallArgs::RequestId(Reader(call)));
         if (!request || request->status != RequestStatus_e::PENDING) {
           RespondRet(call, kNotPending);
           return;
         }
         QxZebSoap::SOAPArgInt retArg("ret", kDone);
         QxSecCm::SOAPArgCertRequest_ex certreq("certreq", Record(*request));
         Respond(call, {&retArg, &certreq});
       }},
      {"GrantRequest", Level::ADMIN, [this](RpcServerCall& call) { ServeDecision(call, true); }},
      {"DenyRequest", Level::ADMIN, [this](RpcServerCall& call) { ServeDecision(call, false); }},
      {"RemoveRequest", Level::ADMIN, [this](RpcServerCall& call) { ServeRemove(call); }},
      {"RemoveAllRequests", Level::ADMIN,
       [this](RpcServerCall& call) {
         const int removed = m_store.RemoveAll();
         Changed(removed > 0);
         RespondRet(call, removed);
       }},
      {"CertInstalled", Level::NODE, [this](RpcServerCall& call) { ServeCertInstalled(call); }},
      {"GetTrustedRootCerts", Level::NODE,
       [this](RpcServerCall& call) {
         const std::vector<QxMoxArray::CharArray_t> pems = m_identity.TrustedCertificates();
         QxSecCm::SOAPArgCharArrayList trusted("trusted",
                                               QxSecCm::CharArrayList(pems.begin(), pems.end()));
         Respond(call, {&trusted});
       }},
  };
}

}  // namespace QxCmServer
