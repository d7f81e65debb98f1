// CertificateServer: the members of both certificate server proxy twins, written once and
// instantiated for each.
#include "qxseccm/CertificateServer.h"

#include <array>
#include <sstream>
#include <string>

#include "TraceMacros.h"
#include "qxmox/Config.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/Exceptions.h"
#include "qxseccm/SoapArgs.h"
#include "qxseccm/Tracer.h"
#include "qxzeb/Soap.h"

namespace QxSecCm {
namespace {

constexpr const char* kServiceName = "com.mt.qx.sec.cm.certificateserver";
constexpr int kUnknownId = -1;

QxMoxTrc::TraceObj_t& ProcTracer() { return QxSecCmTrc::Tracer::GetServerTracerProc(); }

// The members whose blocks are traced, and their names after the body's name.
enum Member { kCtor, kInit, kDtor, kDestroy, kDeny, kGrant, kRemove, kRemoveAll, kRequests,
              kIds, kRequest, kMemberCount };
constexpr const char* kMemberNames[kMemberCount] = {
    "Constructor()",     "Init()",         "Destructor()",          "DestroyThis()",
    "DenyRequest()",     "GrantRequest()", "RemoveRequest()",       "RemoveAllRequests()",
    "GetPendingRequests()", "GetPendingRequestIds()", "GetPendingRequest()"};

// BlockName returns "<body name><member>", built once per twin (a block trace keeps the pointer).
template <class Traits>
const char* BlockName(Member member) {
  static const std::array<std::string, kMemberCount> names = [] {
    std::array<std::string, kMemberCount> all;
    for (int i = 0; i < kMemberCount; ++i) all[i] = std::string(Traits::kImplName) + kMemberNames[i];
    return all;
  }();
  return names[member].c_str();
}

}  // namespace

#define QXSECCM_PROXY_BLOCK(member) QXSECCM_BLOCK(ProcTracer(), BlockName<Traits>(member))

template <class Traits>
CertificateServerImplT<Traits>::CertificateServerImplT(const Options& options) {
  QXSECCM_PROXY_BLOCK(kCtor);
  Init(options);
}

template <class Traits>
CertificateServerImplT<Traits>::CertificateServerImplT(const Options& options,
                                                       const QxZebMsg::Messenger& messenger)
    : m_messenger(messenger) {
  QXSECCM_PROXY_BLOCK(kCtor);
  Init(options);
}

template <class Traits>
CertificateServerImplT<Traits>::~CertificateServerImplT() {
  QXSECCM_PROXY_BLOCK(kDtor);
}

template <class Traits>
void CertificateServerImplT<Traits>::DestroyThis() {
  {
    QXSECCM_PROXY_BLOCK(kDestroy);
  }
  delete this;
}

template <class Traits>
void CertificateServerImplT<Traits>::Init(const Options& options) {
  QXSECCM_PROXY_BLOCK(kInit);
  const QxMoxStr::String_t& targetId = options.GetTargetId();
  if (!targetId.IsNull() && !targetId.IsEmpty()) m_callOptions.SetTargetID(targetId);

  std::ostringstream uri;
  uri << "https://" << options.GetHostname().ToUtf8() << "/" << kServiceName << "/certreqhandler/";
  m_uri = QxMoxNet::URI_t(QxMoxStr::String_t(uri.str()));

  QxMoxConfig::Configuration_t config;
  config.SetAttrValue("APP_NAME", kServiceName);
  if (m_messenger.IsNull()) {
    m_messenger = QxZebMsg::Messenger(config, QxZebMsg::Messenger::Options().SendOnly(true));
  }
  m_client = QxZebRpc::RpcClient(config, m_messenger);
}

template <class Traits>
void CertificateServerImplT<Traits>::Invoke(const char* method, int argCount,
                                            QxZebSoap::SOAPArg* const* args, int resultCount,
                                            QxZebSoap::SOAPArg* const* results) {
  try {
    QxZebRpc::RpcCall call = m_client.CreateCall(m_uri, m_callOptions);
    call.GetEnvelope().SetMethod(method);
    call.GetEnvelope().SetArgs(argCount, args);
    call.Invoke(resultCount, results, "UTF-8");
  } catch (const QxMoxMsg::Exception_t& e) {
    QxMoxMsg::Message_t message = Catalog::Warn(55);
    message.AddDetails(e.GetMessageList());
    QXSECCM_THROW(ServerNotAvailableException, ExceptionTracer::Server, message);
  }
}

template <class Traits>
void CertificateServerImplT<Traits>::CheckKnown(int ret, const QxMoxStr::String_t& id) {
  if (ret == kUnknownId) {
    QXSECCM_THROW(UnknownRequestIdException, ExceptionTracer::Server, Catalog::Warn(56) << id);
  }
}

template <class Traits>
void CertificateServerImplT<Traits>::Decide(const char* method, const QxMoxStr::String_t& id,
                                            const QxMoxNet::URI_t& uri) {
  QxZebSoap::SOAPArgUnicodeString idArg("reqid", id);
  QxZebSoap::SOAPArgURI uriArg("uri", uri);
  int ret = kUnknownId;
  QxZebSoap::SOAPArgInt retArg("ret", &ret);
  QxZebSoap::SOAPArg* args[] = {&idArg, &uriArg};
  QxZebSoap::SOAPArg* results[] = {&retArg};
  Invoke(method, 2, args, 1, results);
  CheckKnown(ret, id);
}

template <class Traits>
void CertificateServerImplT<Traits>::DenyRequest(const QxMoxStr::String_t& id) {
  QXSECCM_PROXY_BLOCK(kDeny);
  DenyRequest(id, QxMoxNet::URI_t());
}

template <class Traits>
void CertificateServerImplT<Traits>::DenyRequest(const QxMoxStr::String_t& id,
                                                 const QxMoxNet::URI_t& uri) {
  QXSECCM_PROXY_BLOCK(kDeny);
  Decide("DenyRequest", id, uri);
}

template <class Traits>
void CertificateServerImplT<Traits>::GrantRequest(const QxMoxStr::String_t& id) {
  QXSECCM_PROXY_BLOCK(kGrant);
  GrantRequest(id, QxMoxNet::URI_t());
}

template <class Traits>
void CertificateServerImplT<Traits>::GrantRequest(const QxMoxStr::String_t& id,
                                                  const QxMoxNet::URI_t& uri) {
  QXSECCM_PROXY_BLOCK(kGrant);
  Decide("GrantRequest", id, uri);
}

template <class Traits>
void CertificateServerImplT<Traits>::RemoveRequest(const QxMoxStr::String_t& id) {
  QXSECCM_PROXY_BLOCK(kRemove);
  QxZebSoap::SOAPArgUnicodeString idArg("reqid", id);
  int ret = kUnknownId;
  QxZebSoap::SOAPArgInt retArg("ret", &ret);
  QxZebSoap::SOAPArg* args[] = {&idArg};
  QxZebSoap::SOAPArg* results[] = {&retArg};
  Invoke("RemoveRequest", 1, args, 1, results);
  CheckKnown(ret, id);
}

template <class Traits>
int CertificateServerImplT<Traits>::RemoveAllRequests() {
  QXSECCM_PROXY_BLOCK(kRemoveAll);
  int ret = 0;
  QxZebSoap::SOAPArgInt retArg("ret", &ret);
  QxZebSoap::SOAPArg* results[] = {&retArg};
  Invoke("RemoveAllRequests", 0, nullptr, 1, results);
  return ret;
}

template <class Traits>
void CertificateServerImplT<Traits>::GetPendingRequests(Collection& out) {
  QXSECCM_PROXY_BLOCK(kRequests);
  typename Traits::CollectionArg collection("crcol", &out);
  QxZebSoap::SOAPArg* results[] = {&collection};
  Invoke("GetPendingRequests", 0, nullptr, 1, results);
}

template <class Traits>
void CertificateServerImplT<Traits>::GetPendingRequestIds(QxSecCore::StringCollection& out) {
  QXSECCM_PROXY_BLOCK(kIds);
  SOAPArgStringCollection ids("reqids", &out);
  QxZebSoap::SOAPArg* results[] = {&ids};
  Invoke("GetPendingRequestIds", 0, nullptr, 1, results);
}

template <class Traits>
typename CertificateServerImplT<Traits>::Request CertificateServerImplT<Traits>::GetPendingRequest(
    const QxMoxStr::String_t& id) {
  QXSECCM_PROXY_BLOCK(kRequest);
  QxZebSoap::SOAPArgUnicodeString idArg("reqid", id);
  int ret = kUnknownId;
  QxZebSoap::SOAPArgInt retArg("ret", &ret);
  Request request;
  typename Traits::RequestArg requestArg("certreq", &request);
  QxZebSoap::SOAPArg* args[] = {&idArg};
  QxZebSoap::SOAPArg* results[] = {&retArg, &requestArg};
  Invoke("GetPendingRequest", 1, args, 2, results);
  CheckKnown(ret, id);
  return request;
}

#undef QXSECCM_PROXY_BLOCK

template class CertificateServerImplT<CertificateServerTraits>;
template class CertificateServerImplT<CertificateServerTraits_ex>;

}  // namespace QxSecCm
