// RequestService: the server's "/certreqhandler/" methods for administrators and nodes.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "Decisions.h"
#include "RpcService.h"
#include "ServerIdentity.h"
#include "Store.h"
#include "qxseccm/CertRequest.h"

namespace QxCmServer {

// RequestService serves, for administrators: "GetPendingRequests" ("crcol"),
// "GetPendingRequestIds" ("reqids"), "GetPendingRequest" ("ret", "certreq"), "GrantRequest",
// "DenyRequest", "RemoveRequest" ("ret": 1 done, -1 the id is not pending) and
// "RemoveAllRequests" ("ret": how many); for nodes: "CertInstalled" ("ret": 0 recorded, 1 no
// such node) and "GetTrustedRootCerts" ("trusted": the PEM certificates of ServerIdentity::
// TrustedCertificates). The records are written in the _ex form (64-bit reception time), which
// both proxy twins read. The "uri" of Grant and Deny is read and not used: responses go to the
// address the request came from. changed is called after each change that adds an event or an
// outbox entry.
class RequestService : public RpcService {
 public:
  RequestService(Store& store, Decisions& decisions, const ServerIdentity& identity,
                 const AccessRule& rule, std::function<void()> changed);

  // Record returns the request record of a stored request, with its peer address and
  // reception time (seconds) set.
  static QxSecCm::CertRequest_ex Record(const Request& request);

  // InstalledRequest returns the request a node's "CertInstalled" report stands for, of the
  // requests with a certificate the one received last among: those of the caller's core id,
  // when the call came with a trusted client certificate (peerCn, its common name: a node calls
  // with the identity it has just installed, which tells apart nodes sharing one host); else
  // those whose record names the report's node name; else its IP address. Nothing when none
  // matches.
  static std::optional<std::string> InstalledRequest(Store& store,
                                                     const QxSecCm::CertRequest_ex& report,
                                                     const std::string& peerCn);

  // BeforeInstalled sets what runs before a node's "CertInstalled" is recorded: the response
  // delivery records the node replies it holds, so that the "answered" event of the response a
  // node installed comes before its "installed" event. Set it before serving.
  void BeforeInstalled(std::function<void()> recordReplies) {
    m_beforeInstalled = std::move(recordReplies);
  }

 private:
  std::vector<Method> Methods();
  void ServeDecision(QxZebRpc::RpcServerCall& call, bool grant);
  void ServeRemove(QxZebRpc::RpcServerCall& call);
  void ServeCertInstalled(QxZebRpc::RpcServerCall& call);
  void Changed(bool changed) const;

  Store& m_store;
  Decisions& m_decisions;
  const ServerIdentity& m_identity;
  std::function<void()> m_changed;
  std::function<void()> m_beforeInstalled;
};

}  // namespace QxCmServer
