// CertificateService: the certificate server's handlers on one messenger.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "AccessRule.h"
#include "AutoGranter.h"
#include "Decisions.h"
#include "NotificationService.h"
#include "RequestIntake.h"
#include "RequestService.h"
#include "ServerIdentity.h"
#include "ServerSettings.h"
#include "SqliteStore.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Rpc.h"

namespace QxCmServer {

// CertificateService opens the store, makes the identity when missing (ServerIdentity::Ensure),
// and serves under "com.mt.qx.sec.cm.certificateserver" on [zeb.http] PORT: "/msg/" (request
// messages), "/certreqhandler/" and "/notificationhandler/" (RPC). The messaging layer lets
// every caller through (authentication value 0); the services apply the access rule. changed
// is called after every committed change that adds an outbox entry or an event.
// Throws what the store, the key store, the builder and the messenger throw at start.
class CertificateService {
 public:
  CertificateService(const ServerSettings& settings, std::function<void()> changed);
  // ~CertificateService stops as Stop does.
  ~CertificateService();
  CertificateService(const CertificateService&) = delete;
  CertificateService& operator=(const CertificateService&) = delete;

  // BaseAddress is the messenger's base callback address (http://host:port/<base path>).
  std::string BaseAddress() const;
  Store& GetStore() { return *m_store; }

  // Stop refuses new calls and returns when the calls in progress have finished.
  void Stop();

 private:
  // Destruction runs bottom-up: the messenger and RPC servers stop before the handlers, the
  // handlers go before the decisions and the store they use.
  std::unique_ptr<Store> m_store;
  ServerIdentity m_identity;
  AccessRule m_rule;
  Decisions m_decisions;
  AutoGranter m_granter;
  RequestIntake m_intake;
  RequestService m_requests;
  NotificationService m_notifications;
  QxZebRpc::RpcServer m_requestServer;
  QxZebRpc::RpcServer m_notificationServer;
  QxZebMsg::Messenger m_messenger;
};

}  // namespace QxCmServer
