// CertificateClientImpl: start, stop, the status, requests started by hand, the state file,
// the request, the answer and its installation, and the trusted root update.
#include "CertificateClientImpl.h"

#include <openssl/x509_vfy.h>
#include <strings.h>

#include <cstring>
#include <ctime>

#include "CertClientRpcHandler.h"
#include "OpenSslPtr.h"
#include "RequestSender.h"
#include "ResponseMessage.h"
#include "TraceMacros.h"
#include "qxmox/Log.h"
#include "qxmox/Net.h"
#include "qxmox/Runtime.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/CertificateClient.h"
#include "qxseccm/Platform.h"
#include "qxseccm/Tracer.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/Cipher.h"
#include "qxseccore/Exceptions.h"
#include "qxseccore/KeyStore.h"
#include "qxseccore/StringCollection.h"
#include "qxseccore/Uuid.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Rpc.h"

namespace QxSecCm {
namespace {

constexpr uint32_t kLevel = 9;
constexpr const char* kCertificates = "sec.cm.certificates";
constexpr const char* kCertInstalled = "CERT_INSTALLED";

QxMoxTrc::TraceObj_t& OpTracer() { return QxSecCmTrc::Tracer::GetClientTracerOperation(); }
QxMoxTrc::TraceObj_t& ProcTracer() { return QxSecCmTrc::Tracer::GetClientTracerProc(); }

bool EqualsNoCase(const QxMoxStr::String_t& value, const char* text) {
  return !value.IsNull() && strcasecmp(value.ToUtf8().c_str(), text) == 0;
}

QxMoxStr::String_t CertInstalledSetting() {
  return QxMoxConfig::ConfigNamespace_t(kCertificates).Open().GetValue(kCertInstalled);
}

// CTimeText is the ctime text of now without its line feed ("Sun Dec  6 17:00:00 2026"): a
// configuration value is one line.
QxMoxStr::String_t CTimeText(std::time_t now) {
  char text[32] = {};
  if (ctime_r(&now, text) == nullptr) return QxMoxStr::String_t("");
  text[std::strcspn(text, "\n")] = '\0';
  return QxMoxStr::String_t(static_cast<const char*>(text));
}

// ReportInconsistency reports a key store that holds only one of the node's certificate and
// private key (messages 26 and 25); true when it does.
bool ReportInconsistency(bool hasCert, bool hasKey) {
  if (hasKey && !hasCert) {
    QXSECCM_TRACE_LINE(OpTracer(), 12,
                       "CertificateClient: Inconsistent state: Certificate for installed private "
                       "key is missing");
    LogMessage(Catalog::Error(26));
    return true;
  }
  if (hasCert && !hasKey) {
    QXSECCM_TRACE_LINE(OpTracer(), 12,
                       "CertificateClient: Inconsistent state: Private key for installed "
                       "certificate is missing");
    LogMessage(Catalog::Error(25));
    return true;
  }
  return false;
}

// WarnIfBuiltInPlatformKey warns that the certificate server's answers can be read and forged
// by anyone while the key built into the library enciphers them.
void WarnIfBuiltInPlatformKey() {
  try {
    if (QxSecCore::Crypt().UsesKeyFile()) return;
  } catch (const QxMoxMsg::Exception_t&) {
    return;  // an unreadable key file is reported where it is used
  }
  LogMessage(QxMoxMsg::CreateWarn_t(QxMoxStr::String_t(
      "The platform key built into the library is in use: anyone can read and forge the "
      "certificate server's answers. Set PLATFORM_KEY_FILE in [sec.core] to a key file shared "
      "with the certificate server.")));
}

// VerifyIssued checks that an issued certificate chains to one of the delivered trusted
// certificates or to a root the key store already trusts. Its validity period is not checked
// here (a certificate that is not yet valid is installed with a warning). Throws
// QxMoxMsg::RuntimeException_t naming the reason when it does not.
void VerifyIssued(const QxSecCore::X509Certificate& cert,
                  const std::vector<QxSecCore::X509Certificate>& delivered,
                  QxSecCore::KeyStore& keyStore) {
  namespace Ssl = QxSecCore::Ssl;
  Ssl::X509StorePtr store(X509_STORE_new());
  Ssl::X509StoreCtxPtr context(X509_STORE_CTX_new());
  Ssl::Check(store != nullptr && context != nullptr, "X509_STORE_new");
  for (const QxSecCore::X509Certificate& root : delivered) {
    Ssl::Check(X509_STORE_add_cert(store.get(), root.Native()) == 1, "X509_STORE_add_cert");
  }
  QxSecCore::StringCollection aliases;
  keyStore.Aliases(aliases);
  for (aliases.MoveFirst(); !aliases.IsAtEnd(); aliases.Next()) {
    const QxMoxStr::String_t& alias = aliases.GetCurrent();
    if (!keyStore.IsTrustedCertEntry(alias)) continue;
    const QxSecCore::X509Certificate root = keyStore.GetCertificate(alias);
    Ssl::Check(X509_STORE_add_cert(store.get(), root.Native()) == 1, "X509_STORE_add_cert");
  }
  Ssl::Check(X509_STORE_CTX_init(context.get(), store.get(), cert.Native(), nullptr) == 1,
             "X509_STORE_CTX_init");
  X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_NO_CHECK_TIME);
  if (X509_verify_cert(context.get()) != 1) {
    const int error = X509_STORE_CTX_get_error(context.get());
    ERR_clear_error();
    throw QxMoxMsg::RuntimeException_t(QxMoxMsg::CreateWarn_t(
        QxMoxStr::String_t("The issued certificate does not chain to a trusted certificate (") +
        QxMoxStr::String_t(X509_verify_cert_error_string(error)) + QxMoxStr::String_t(").")));
  }
}

}  // namespace

void LogMessage(QxMoxMsg::Message_t message, const QxMoxMsg::Exception_t* cause) {
  if (cause != nullptr) message.AddDetails(cause->GetMessageList());
  LogMessages(message);
}

void LogMessages(const QxMoxMsg::MessageList_t& messages) {
  try {
    QxMoxLog::Log(messages);
  } catch (const QxMoxLog::LogException_t&) {
  }
}

// ---- the singleton --------------------------------------------------------------------------

std::atomic<CertificateClientImpl*> CertificateClientImpl::s_instance{nullptr};
QxMoxThread::Mutex_t CertificateClientImpl::s_instanceMutex{true};

CertificateClientImpl::CertificateClientImpl()
    : m_senderBarrier(std::make_shared<QxMoxThread::Barrier_t>(0)),
      m_stateDir(QxMoxRuntime::Dir_t::Path(7, ClientStateFile::DIRECTORY)),
      m_stateFile(QxMoxRuntime::Dir_t::Path(7, ClientStateFile::FILE)) {}

CertificateClientImpl::~CertificateClientImpl() {
  try {
    Stop();
  } catch (...) {
  }
}

CertificateClientImpl* CertificateClientImpl::GetInstance() {
  CertificateClientImpl* instance = s_instance.load();
  if (instance != nullptr) return instance;
  QxMoxThread::MutexLock_t lock(s_instanceMutex);
  instance = s_instance.load();
  if (instance == nullptr) {
    instance = new CertificateClientImpl();  // lives until the process ends
    s_instance.store(instance);
  }
  return instance;
}

// ---- start and stop -------------------------------------------------------------------------

void CertificateClientImpl::Init(const QxMoxStr::String_t& coreId) {
  QXSECCM_TRACE_LINE(OpTracer(), kLevel,
                     "CertificateClient: Init called for CORE_ID '" << coreId << "'");
  QxMoxThread::MutexLock_t lock(s_instanceMutex);
  try {
    RemoveRpcHandler();
    const bool requestNeeded = DetermineAction(coreId);
    auto handler = std::make_shared<CertClientRpcHandler>(this);
    {
      QxMoxThread::MutexLock_t senderLock(m_senderMutex);
      m_rpcHandler = handler;
    }
    m_configHandler = std::make_unique<ConfigChangeHandler>(handler.get());
    QxMoxConfig::ConfigNamespace_t(kCertificates).Register(m_configHandler.get());
    WarnIfBuiltInPlatformKey();
    if (requestNeeded) {
      QXSECCM_TRACE_LINE(OpTracer(), kLevel,
                         "CertificateClient: Determined that certrequest needs to be sent");
      InitiateCertificateRequest(coreId, CertRequest::IT_AUTOMATIC, QxMoxArray::CharArray_t(),
                                 QxMoxStr::String_t(""), QxMoxStr::String_t(""));
    }
  } catch (const QxMoxMsg::Exception_t& e) {
    LogMessage(Catalog::Error(23), &e);
  } catch (...) {
    LogMessage(Catalog::Error(24));
  }
}

void CertificateClientImpl::Stop() {
  QxMoxThread::MutexLock_t lock(s_instanceMutex);
  std::shared_ptr<QxMoxThread::Barrier_t> barrier;
  {
    QxMoxThread::MutexLock_t senderLock(m_senderMutex);
    if (m_sender != nullptr) {
      m_sender->Stop();
      barrier = m_senderBarrier;
    }
  }
  // The sender reaches its barrier before it asks for any lock held here.
  if (barrier != nullptr) barrier->Wait();
  RemoveRpcHandler();
}

void CertificateClientImpl::RemoveRpcHandler() {
  if (m_configHandler != nullptr) {
    QxMoxConfig::ConfigNamespace_t(kCertificates).Unregister(m_configHandler.get());
    m_configHandler.reset();
  }
  std::shared_ptr<CertClientRpcHandler> old;
  {
    QxMoxThread::MutexLock_t senderLock(m_senderMutex);
    old.swap(m_rpcHandler);
  }
  old.reset();  // waits for the calls in progress, unless a running sender still holds it
}

std::shared_ptr<CertClientRpcHandler> CertificateClientImpl::RpcHandler() const {
  QxMoxThread::MutexLock_t senderLock(m_senderMutex);
  return m_rpcHandler;
}

bool CertificateClientImpl::DetermineAction(const QxMoxStr::String_t& coreId) {
  QxSecCore::KeyStore keyStore;
  const bool hasCert = keyStore.IsCertEntry(coreId);
  const bool hasKey = keyStore.IsPrivateKeyEntry(coreId);
  if (hasCert && hasKey) {
    SetState(STATE_INSTALLED);
    {
      QxMoxThread::MutexLock_t progress(m_progressMutex);
      m_coreId = coreId;
    }
    if (!EqualsNoCase(CertInstalledSetting(), "TRUE")) {
      QxMoxConfig::ConfigUpdate_t update;
      update.SetAttr(kCertificates, kCertInstalled, "TRUE");
      update.Apply(true);
    }
    return false;
  }
  if (ReportInconsistency(hasCert, hasKey)) {
    SetState(STATE_FAILED);
    return false;
  }
  RestoreState(coreId);
  return GetDeploymentType() == AUTO && GetState() == STATE_INITIAL;
}

int CertificateClientImpl::GetDeploymentType() {
  const QxMoxStr::String_t value = QxMoxConfig::ConfigNamespace_t("sec.cm.client")
                                       .Open()
                                       .GetValue("CERTIFICATE_DEPLOYMENT_TYPE");
  if (EqualsNoCase(value, "AUTO")) return AUTO;
  if (EqualsNoCase(value, "MANUAL")) return MANUAL;
  if (IsUnset(value)) {
    QXSECCM_TRACE_LINE(OpTracer(), 2,
                       "CertificateClient: Empty deployment type setting ''. Using 'AUTO' "
                       "instead.");
    return AUTO;
  }
  LogMessage(Catalog::Error(41) << value);
  return AUTO;
}

// ---- the status -----------------------------------------------------------------------------

int CertificateClientImpl::GetStatus() const {
  switch (GetState()) {
    case STATE_INITIAL:
      return CERT_STATUS_NONE;
    case STATE_WAITING:
      return CERT_STATUS_PENDING;
    case STATE_DENIED:
      return CERT_STATUS_DENIED;
    case STATE_INSTALLED:
      return CERT_STATUS_INSTALLED;
    default:
      return CERT_STATUS_UNKNOWN;
  }
}

QxMoxStr::String_t CertificateClientImpl::ServiceAuthority(const QxMoxStr::String_t& hostPort) {
  if (!IsUnset(hostPort)) return hostPort;
  const QxMoxStr::String_t port =
      QxMoxConfig::ConfigNamespace_t("sec.cm.client").Open().GetValue("SERVER_PORT");
  const QxMoxStr::String_t local("localhost");
  return IsUnset(port) ? local : local + QxMoxStr::String_t(":") + port;
}

int CertificateClientImpl::GetCertStatus(const QxMoxStr::String_t& hostPort) {
  try {
    const QxMoxConfig::Configuration_t config;
    QxZebMsg::Messenger messenger(
        config, QxZebMsg::Messenger::Options().SendOnly(true).RegisterWithCb(false));
    QxZebRpc::RpcClient client(config, messenger);
    const QxMoxNet::URI_t uri(
        QxMoxStr::String_t("http://") + ServiceAuthority(hostPort) + QxMoxStr::String_t("/") +
        QxMoxStr::String_t(CertClientRpcHandler::BASE_PATH) + QxMoxStr::String_t("/rpc2/"));
    return client.Call("GetCertStatus", uri, QxZebRpc::RpcCall::Options(), 0, nullptr);
  } catch (const QxMoxMsg::Exception_t&) {
    QXSECCM_TRACE_LINE(OpTracer(), 10, "Caught exception, could not contact CertificateClient");
    return CERT_STATUS_UNKNOWN;
  }
}

// ---- requests started by hand ---------------------------------------------------------------

int CertificateClientImpl::CertificateRequestFromCmdLine(const QxMoxStr::String_t& coreId) {
  return StartRequestByHand(coreId, CertRequest::IT_MANUAL, QxMoxArray::CharArray_t(),
                            QxMoxStr::String_t(""), QxMoxStr::String_t(""));
}

int CertificateClientImpl::CertificateRequestFromCmdLine(const QxMoxStr::String_t& installId,
                                                         const QxMoxArray::CharArray_t& installKey,
                                                         const QxMoxStr::String_t& coreId,
                                                         const QxMoxStr::String_t& context) {
  return StartRequestByHand(coreId, CertRequest::IT_INSTALLATION_KEY, installKey, installId,
                            context);
}

int CertificateClientImpl::StartRequestByHand(const QxMoxStr::String_t& coreId,
                                              int installationType,
                                              const QxMoxArray::CharArray_t& installKey,
                                              const QxMoxStr::String_t& installId,
                                              const QxMoxStr::String_t& context) {
  if (IsUnset(coreId)) return -1;  // no certificate can be requested for no name
  QxSecCore::KeyStore keyStore;
  if (keyStore.IsCertEntry(coreId)) return -4;
  if (!IsUnset(GetCoreId())) {
    QxMoxThread::MutexLock_t progress(m_progressMutex);
    RemoveStateFile();
    SetState(STATE_INITIAL);
  }
  try {
    InitiateCertificateRequest(coreId, installationType, installKey, installId, context);
  } catch (const QxMoxMsg::Exception_t&) {
    return -1;
  }
  return 1;
}

// ---- the state file -------------------------------------------------------------------------

ClientStateFile CertificateClientImpl::StateFile() const {
  return ClientStateFile(m_stateDir, m_stateFile);
}

ClientState CertificateClientImpl::CurrentState() const {
  QxMoxThread::MutexLock_t progress(m_progressMutex);
  ClientState state;
  state.state = GetState();
  state.privateKey = m_privateKey;
  state.requestId = m_requestId;
  state.coreId = m_coreId;
  return state;
}

bool CertificateClientImpl::SaveStateToFile() {
  QxMoxThread::MutexLock_t progress(m_progressMutex);
  const std::optional<QxMoxMsg::Message_t> failure = StateFile().Save(CurrentState());
  if (failure.has_value()) {
    LogMessage(*failure);
    return false;
  }
  return true;
}

bool CertificateClientImpl::SaveAcceptedRequest(const QxMoxStr::String_t& requestId) {
  QxMoxThread::MutexLock_t progress(m_progressMutex);
  if (GetState() != STATE_WAITING || m_requestId != requestId) return false;
  return SaveStateToFile();
}

void CertificateClientImpl::FailRequest(const QxMoxStr::String_t& requestId) {
  QxMoxThread::MutexLock_t progress(m_progressMutex);
  if (GetState() == STATE_WAITING && m_requestId == requestId) SetState(STATE_FAILED);
}

void CertificateClientImpl::RestoreState(const QxMoxStr::String_t& coreId) {
  QxMoxThread::MutexLock_t progress(m_progressMutex);
  m_coreId = coreId;
  SetState(STATE_INITIAL);
  const ClientStateFile::Restored restored = StateFile().Restore(coreId);
  for (const QxMoxMsg::Message_t& message : restored.messages) LogMessage(message);
  if (restored.state.state == STATE_WAITING) {
    m_requestId = restored.state.requestId;
    m_privateKey = restored.state.privateKey;
  }
  SetState(static_cast<State_e>(restored.state.state));
}

void CertificateClientImpl::RemoveStateFile() {
  const ClientStateFile file = StateFile();
  if (file.Exists() && !file.Remove()) LogMessage(Catalog::Error(36) << file.GetPath());
}

QxMoxStr::String_t CertificateClientImpl::GetCoreId() const {
  QxMoxThread::MutexLock_t progress(m_progressMutex);
  return m_coreId;
}

QxMoxStr::String_t CertificateClientImpl::GetRequestId() const {
  QxMoxThread::MutexLock_t progress(m_progressMutex);
  return m_requestId;
}

// ---- the request ----------------------------------------------------------------------------

void CertificateClientImpl::InitiateCertificateRequest(const QxMoxStr::String_t& coreId,
                                                       const int& installationType,
                                                       const QxMoxArray::CharArray_t& installKey,
                                                       const QxMoxStr::String_t& installId,
                                                       const QxMoxStr::String_t& context) {
  {
    QxMoxThread::MutexLock_t senderLock(m_senderMutex);
    if (m_sender != nullptr) m_sender->Stop();  // not waited for
  }
  const QxMoxNet::InetAddress_t local = QxMoxNet::InetAddress_t::GetLocalHost();
  QxMoxStr::String_t address = local.GetHostAddress();
  const QxMoxStr::String_t bindAddress =
      QxMoxConfig::ConfigNamespace_t("zeb.http").Open().GetValue("CLIENT_BIND_ADDR");
  if (!IsUnset(bindAddress)) address = bindAddress;

  const X509CertRequest generated(coreId, local.GetHostName());
  const QxSecCore::Key privateKey = generated.GetPrivateKey();
  QxMoxArray::CharArray_t csr;
  generated.GetEncoded(csr);
  const QxMoxStr::String_t requestId = QxSecCore::Uuid::GenerateUuid().ToString();

  CertRequest request;
  request->SetId(requestId);
  request->SetCN(coreId);
  request->SetNodename(local.GetHostName());
  request->SetIPAddress(address);
  request->SetPlatform(PlatformImpl::GetCurrentPlatform());
  request->SetInstallationType(static_cast<CertRequest::InstallationType>(installationType));
  request->SetContext(context);

  {
    QxMoxThread::MutexLock_t progress(m_progressMutex);
    m_coreId = coreId;
    m_privateKey = privateKey;
    m_requestId = requestId;
    SetState(STATE_WAITING);  // saved once the server took the request
  }

  QxMoxThread::MutexLock_t senderLock(m_senderMutex);
  if (m_sender != nullptr) m_sender->Stop();  // one started meanwhile by another caller
  auto barrier = std::make_shared<QxMoxThread::Barrier_t>(1);
  auto* sender = new RequestSender(this, request, csr, installKey, installId, barrier);
  QxMoxThread::Thread_t thread("QxSecCm:RequestSender");
  try {
    thread.Start(sender);
  } catch (...) {
    delete sender;
    throw;
  }
  m_sender = sender;
  m_senderBarrier = std::move(barrier);
}

void CertificateClientImpl::SenderDone(RequestSender* sender,
                                       const std::shared_ptr<QxMoxThread::Barrier_t>& barrier) {
  barrier->Reached();
  QxMoxThread::MutexLock_t senderLock(m_senderMutex);
  if (m_sender == sender) m_sender = nullptr;
}

int CertificateClientImpl::PutCertificateRequest(const CertRequest& request,
                                                 const QxMoxArray::CharArray_t& csr,
                                                 const QxMoxArray::CharArray_t& installKey,
                                                 const QxMoxStr::String_t& installId) {
  const std::shared_ptr<CertClientRpcHandler> handler = RpcHandler();
  if (handler == nullptr) return -1;
  if (installKey.GetSize() == 0) return handler->PutCertificateRequest(request, csr);
  return handler->PutCertificateRequest(request, csr, installKey, installId);
}

// ---- the answer -----------------------------------------------------------------------------

int CertificateClientImpl::ProcessResponse(int returnCode, const QxMoxStr::String_t& requestId,
                                           const QxMoxArray::CharArray_t& certificate,
                                           const std::vector<QxMoxArray::CharArray_t>& trusted) {
  // Ordered against the sender's save of the waiting state (SaveAcceptedRequest).
  QxMoxThread::MutexLock_t progress(m_progressMutex);
  if (GetState() != STATE_WAITING) {
    LogMessage(Catalog::Error(33) << requestId);
    return ResponseMessage::REPLY_NOT_WAITING;
  }
  if (requestId != m_requestId) {
    LogMessage(Catalog::Error(34) << requestId);
    return ResponseMessage::REPLY_WRONG_REQUEST_ID;
  }
  switch (returnCode) {
    case ResponseMessage::GRANTED: {
      LogMessage(Catalog::Info(35));
      try {
        int reply = ResponseMessage::REPLY_PROCESSED;
        try {
          InstallCertificate(certificate, trusted);
          SetState(STATE_INSTALLED);
        } catch (const QxSecCore::AlreadyInstalledException&) {
          reply = ResponseMessage::REPLY_ALREADY_INSTALLED;
        }
        RemoveStateFile();
        return reply;
      } catch (const QxMoxMsg::Exception_t& e) {
        LogMessage(Catalog::Error(37), &e);
        return ResponseMessage::REPLY_INSTALL_FAILED;
      }
    }
    case ResponseMessage::DENIED: {
      SetState(STATE_DENIED);
      SaveStateToFile();
      LogMessage(Catalog::Info(38) << requestId);
      QxSecCore::KeyStore keyStore;
      const bool holdsCertificate =
          keyStore.IsCertEntry(m_coreId) && keyStore.IsPrivateKeyEntry(m_coreId);
      return holdsCertificate ? ResponseMessage::REPLY_ALREADY_INSTALLED
                              : ResponseMessage::REPLY_PROCESSED;
    }
    case ResponseMessage::DUPLICATE:
      SetState(STATE_FAILED);
      LogMessage(Catalog::Info(39) << requestId);
      return ResponseMessage::REPLY_PROCESSED;
    default:
      QXSECCM_TRACE_LINE(OpTracer(), 12,
                         "Received unknown return code '%1' from server" << returnCode);
      LogMessage(Catalog::Error(40) << returnCode);
      return ResponseMessage::REPLY_UNKNOWN_CODE;
  }
}

void CertificateClientImpl::InstallCertificate(
    const QxMoxArray::CharArray_t& certificate,
    const std::vector<QxMoxArray::CharArray_t>& trustedCerts) {
  const QxSecCore::X509Certificate cert(certificate);
  std::vector<QxSecCore::X509Certificate> trusted;
  trusted.reserve(trustedCerts.size());
  for (const QxMoxArray::CharArray_t& bytes : trustedCerts) trusted.emplace_back(bytes);

  QxSecCore::KeyStore keyStore;
  // The answer arrives at an open endpoint: install only a certificate that chains to a root
  // (the key store checks that it matches the request's private key).
  VerifyIssued(cert, trusted, keyStore);
  if (!cert.CheckValidity()) LogMessage(Catalog::Warn(152));

  // One answer is installed whole or not at all, also across a crash: a failure leaves the key
  // store as it was, so the answer installs cleanly when the server sends it again.
  QxSecCore::KeyStore::Group group(keyStore);
  // Persisted: a session entry would be gone with this key store object.
  keyStore.InstallCertificate(m_coreId, cert, m_privateKey, false, true);
  for (const QxSecCore::X509Certificate& root : trusted) {
    const QxMoxStr::String_t name = root.GetSubjectCN();
    if (keyStore.IsCertEntry(name)) {
      LogMessage(Catalog::Info(42) << name);
    } else {
      keyStore.InstallCertificate(name, root, false, true);
    }
  }
  group.Commit();
  // The certificate is in place from here on, as the next start would find it too: a
  // configuration that cannot be written is reported, not taken for a failed installation.
  try {
    const QxMoxStr::String_t now = CTimeText(std::time(nullptr));
    QxMoxConfig::ConfigUpdate_t update;
    update.SetAttr(kCertificates, "LAST_CERT_UPDATE", now);
    update.SetAttr(kCertificates, "LAST_TRUSTED_CERT_UPDATE", now);
    update.SetAttr(kCertificates, kCertInstalled, "TRUE");
    update.Apply(true);
  } catch (const QxMoxMsg::Exception_t& e) {
    LogMessages(e.GetMessageList());
  }
  LogMessage(Catalog::Info(43) << m_coreId);
}

// ---- the trusted roots ----------------------------------------------------------------------

int CertificateClientImpl::UpdateTrustedRootCerts() {
  QXSECCM_BLOCK(ProcTracer(), "CertificateClientImpl::UpdateTrustedRootCerts()");
  try {
    const std::shared_ptr<CertClientRpcHandler> handler = RpcHandler();
    if (handler == nullptr) return 1;
    CharArrayList list;
    if (handler->GetTrustedRootCerts(&list) != 0) return 1;
    QxSecCore::KeyStore keyStore;
    if (list.empty()) {
      LogMessage(Catalog::Info(46));
      return 1;
    }
    // Every delivered root is read before the old ones go: one that cannot be read must not
    // leave the node trusting nothing.
    std::vector<QxSecCore::X509Certificate> roots;
    for (const QxMoxArray::CharArray_t& bytes : list) roots.emplace_back(bytes);
    QxSecCore::StringCollection aliases;
    keyStore.Aliases(aliases);
    for (aliases.MoveFirst(); !aliases.IsAtEnd(); aliases.Next()) {
      const QxMoxStr::String_t& alias = aliases.GetCurrent();
      if (keyStore.IsTrustedCertEntry(alias) && !keyStore.IsPrivateKeyEntry(alias)) {
        keyStore.RemoveCertificate(alias);
      }
    }
    QxMoxConfig::ConfigUpdate_t update;
    const QxMoxStr::String_t now = CTimeText(std::time(nullptr));
    for (const QxSecCore::X509Certificate& root : roots) {
      const QxMoxStr::String_t name = root.GetSubjectCN();
      if (keyStore.IsCertEntry(name)) continue;
      try {
        keyStore.InstallCertificate(name, root, false, true);
        update.SetAttr(kCertificates, "LAST_TRUSTED_CERT_UPDATE", now);
      } catch (const QxSecCore::AlreadyInstalledException&) {
        LogMessage(Catalog::Info(44) << name);
      }
    }
    update.Apply(true);
    LogMessage(Catalog::Info(45));
    return 0;
  } catch (const QxMoxMsg::Exception_t&) {
    return 1;
  }
}

// ---- the configuration change handler -------------------------------------------------------

CertificateClientImpl::ConfigChangeHandler::ConfigChangeHandler(CertClientRpcHandler* rpcHandler)
    : m_rpcHandler(rpcHandler) {}

CertificateClientImpl::ConfigChangeHandler::~ConfigChangeHandler() = default;

void CertificateClientImpl::ConfigChangeHandler::Update(
    const QxMoxConfig::ChangedConfiguration_t& change) {
  if (!change.HasChanged(kCertInstalled)) return;
  try {
    const QxMoxStr::String_t value = CertInstalledSetting();
    CertificateClientImpl* client = GetInstance();
    const QxMoxStr::String_t coreId = client->GetCoreId();
    QxSecCore::KeyStore keyStore;
    const bool hasCert = keyStore.IsCertEntry(coreId);
    const bool hasKey = keyStore.IsPrivateKeyEntry(coreId);
    if (ReportInconsistency(hasCert, hasKey)) {
      client->SetState(STATE_FAILED);
      return;
    }
    if (value == QxMoxStr::String_t("TRUE") && hasCert && hasKey) {
      client->SetState(STATE_INSTALLED);
      const QxMoxNet::InetAddress_t local = QxMoxNet::InetAddress_t::GetLocalHost();
      CertRequest request;
      request->SetNodename(local.GetHostName());
      request->SetIPAddress(local.GetHostAddress());
      request->SetPlatform(PlatformImpl::GetCurrentPlatform());
      m_rpcHandler->CertInstalled(request);
    } else if (value == QxMoxStr::String_t("FALSE") && !hasCert && !hasKey) {
      client->RestoreState(coreId);
    }
  } catch (const QxMoxMsg::Exception_t& e) {
    LogMessages(e.GetMessageList());  // runs on the configuration thread: nobody to tell
  }
}

// ---- the facade -----------------------------------------------------------------------------

CertificateClientImpl* CertificateClient::s_client = nullptr;

void CertificateClient::Init(const QxMoxStr::String_t& coreId) {
  s_client = CertificateClientImpl::GetInstance();
  s_client->Init(coreId);
}

void CertificateClient::Stop() {
  if (s_client == nullptr) return;
  s_client->Stop();
  s_client = nullptr;
}

int CertificateClient::GetCertStatus() { return CertificateClientImpl::GetCertStatus(); }

}  // namespace QxSecCm
