// CertificateService: wiring the store, identity, decisions and handlers to the messenger.
#include "CertificateService.h"

#include "qxmox/Config.h"

namespace QxCmServer {
namespace {

constexpr const char* kServiceName = "com.mt.qx.sec.cm.certificateserver";

// OpenStore opens the store after the identity exists, so the messenger finds its TLS
// identity and the decisions their CA.
std::unique_ptr<Store> OpenStore(const ServerSettings& settings) {
  ServerIdentity::Ensure(settings.coreId);
  return std::make_unique<SqliteStore>(settings.databasePath);
}

QxZebRpc::RpcServer RpcServerAt(const char* path) {
  return QxZebRpc::RpcServer(QxMoxConfig::Configuration_t(),
                             QxZebRpc::RpcServer::Options().SetBasePath(path));
}

}  // namespace

CertificateService::CertificateService(const ServerSettings& settings)
    : m_store(OpenStore(settings)),
      m_sender(QxMoxConfig::Configuration_t(), QxZebMsg::Messenger::Options().SendOnly(true)),
      m_outbox(*m_store, m_sender, m_metrics),
      m_events(*m_store, m_sender),
      m_rule(settings.adminIds),
      m_decisions(*m_store, m_identity, m_metrics, [this] { Changed(); }),
      m_granter(settings.autoGrant, *m_store, m_decisions),
      m_intake(*m_store, m_granter, m_decisions, m_outbox, m_metrics,
               [this](bool enqueued) { enqueued ? Changed() : m_events.Wake(); }),
      m_requests(*m_store, m_decisions, m_identity, m_rule, [this] { Changed(); }),
      m_notifications(*m_store, m_rule, [this] { m_events.ObserversChanged(); }),
      m_metricsHandler(m_metrics, *m_store),
      m_requestServer(RpcServerAt("/certreqhandler/")),
      m_notificationServer(RpcServerAt("/notificationhandler/")) {
  m_requests.RegisterWith(m_requestServer);
  m_notifications.RegisterWith(m_notificationServer);
  m_messenger = QxZebMsg::Messenger(QxMoxConfig::Configuration_t(),
                                    QxZebMsg::Messenger::Options().SetBasePath(kServiceName));
  m_messenger.Register(&m_intake, true, 0);
  m_messenger.Register(m_requestServer.GetMsgHandler(), true, 0);
  m_messenger.Register(m_notificationServer.GetMsgHandler(), true, 0);
  m_messenger.Register(&m_metricsHandler, false, 0);
  m_outbox.OnAnswered([this] { m_events.Wake(); });
  m_requests.BeforeInstalled([this] { m_outbox.RecordEnded(); });
  // Whatever an earlier run left undelivered goes out now.
  m_outbox.Start();
  m_events.Start();
}

void CertificateService::Changed() {
  m_outbox.Wake();
  m_events.Wake();
}

CertificateService::~CertificateService() { Stop(); }

std::string CertificateService::BaseAddress() const {
  return m_messenger.GetBaseCbAddress().ToUtf8();
}

void CertificateService::Stop() {
  m_messenger.Close();
  m_requestServer.Close();
  m_notificationServer.Close();
  m_granter.Stop();
  m_outbox.Stop();
  m_events.Stop();
  m_sender.Close();
}

}  // namespace QxCmServer
