// CertificateServer and CertificateServer_ex: the administrative proxy of the certificate
// server's request handler.
#pragma once

#include "qxmox/Net.h"
#include "qxmox/String.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/CertRequestCollection.h"
#include "qxseccm/Object.h"
#include "qxseccm/ServerOptions.h"
#include "qxseccore/StringCollection.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Rpc.h"

namespace QxSecCm {

class CertificateServerImpl;
class CertificateServerImpl_ex;
class SOAPArgCertRequest;
class SOAPArgCertRequest_ex;
class SOAPArgCertRequestCollection;
class SOAPArgCertRequestCollection_ex;

// CertificateServerTraits and CertificateServerTraits_ex are what differs between the twins: the
// records exchanged, their arguments, the body class and the names in traces and messages.
struct CertificateServerTraits {
  using Request = CertRequest;
  using Collection = CertRequestCollection;
  using RequestArg = SOAPArgCertRequest;
  using CollectionArg = SOAPArgCertRequestCollection;
  using Options = ServerOptionsT<CertificateServerOptionsTraits>;
  using Body = CertificateServerImpl;
  static constexpr const char* kClassName = "CertificateServer";
  static constexpr const char* kImplName = "CertificateServerImpl::";
};
struct CertificateServerTraits_ex {
  using Request = CertRequest_ex;
  using Collection = CertRequestCollection_ex;
  using RequestArg = SOAPArgCertRequest_ex;
  using CollectionArg = SOAPArgCertRequestCollection_ex;
  using Options = ServerOptionsT<CertificateServerOptionsTraits_ex>;
  using Body = CertificateServerImpl_ex;
  static constexpr const char* kClassName = "CertificateServer_ex";
  static constexpr const char* kImplName = "CertificateServerImpl_ex::";
};

// CertificateServerImplT makes one synchronous RPC call per operation to
// "https://<hostname>/com.mt.qx.sec.cm.certificateserver/certreqhandler/", with the options'
// target id (when set) as the id the server's certificate must name. Failures:
//   any platform exception of the call  ServerNotAvailableException (message 55, the platform's
//                                       messages as details)
//   "ret" -1 for an operation on an id  UnknownRequestIdException (message 56 with the id)
// Operations take no lock; one proxy may be used on several threads at once.
template <class Traits>
class CertificateServerImplT : public ObjectImpl {
 public:
  using Request = typename Traits::Request;
  using Collection = typename Traits::Collection;
  using Options = typename Traits::Options;

  // Without messenger the body opens a send-only messenger of its own; with one, it shares it.
  explicit CertificateServerImplT(const Options& options);
  CertificateServerImplT(const Options& options, const QxZebMsg::Messenger& messenger);
  ~CertificateServerImplT() override;
  void DestroyThis() override;

  // DenyRequest and GrantRequest send the id and uri (empty for the one-argument forms), which
  // the server interprets.
  void DenyRequest(const QxMoxStr::String_t& id);
  void DenyRequest(const QxMoxStr::String_t& id, const QxMoxNet::URI_t& uri);
  void GrantRequest(const QxMoxStr::String_t& id);
  void GrantRequest(const QxMoxStr::String_t& id, const QxMoxNet::URI_t& uri);
  void RemoveRequest(const QxMoxStr::String_t& id);
  // RemoveAllRequests returns the server's "ret" (0 when the answer has none).
  int RemoveAllRequests();
  // GetPendingRequests and GetPendingRequestIds add what the server sent to out.
  void GetPendingRequests(Collection& out);
  void GetPendingRequestIds(QxSecCore::StringCollection& out);
  Request GetPendingRequest(const QxMoxStr::String_t& id);

  const QxMoxNet::URI_t& GetServiceUri() const { return m_uri; }

 private:
  void Init(const Options& options);
  // Invoke makes the call of method with the arguments given, mapping platform failures.
  void Invoke(const char* method, int argCount, QxZebSoap::SOAPArg* const* args, int resultCount,
              QxZebSoap::SOAPArg* const* results);
  // Decide runs "DenyRequest" or "GrantRequest" for id and uri.
  void Decide(const char* method, const QxMoxStr::String_t& id, const QxMoxNet::URI_t& uri);
  // CheckKnown throws UnknownRequestIdException for id when ret is -1.
  static void CheckKnown(int ret, const QxMoxStr::String_t& id);

  QxZebRpc::RpcCall::Options m_callOptions;
  QxMoxNet::URI_t m_uri;
  QxZebRpc::RpcClient m_client;
  QxZebMsg::Messenger m_messenger;
};

// CertificateServerT is the proxy handle; it owns its body, which is released (DestroyThis, with
// its messenger and RPC client) when the last handle sharing it goes. Every operation of an
// empty handle throws QxMoxMsg::IllegalStateError_t whose text is the class name.
template <class Traits>
class CertificateServerT : public BodyHandle<Traits, ExceptionTracer::Server> {
 public:
  using Body = typename Traits::Body;
  using Request = typename Traits::Request;
  using Collection = typename Traits::Collection;
  using Options = typename Traits::Options;

  CertificateServerT() : CertificateServerT(Options()) {}
  explicit CertificateServerT(const Options& options) : Base(new Body(options)) {}
  explicit CertificateServerT(const QxZebMsg::Messenger& messenger)
      : CertificateServerT(Options(), messenger) {}
  CertificateServerT(const Options& options, const QxZebMsg::Messenger& messenger)
      : Base(new Body(options, messenger)) {}
  ~CertificateServerT() override = default;

  void DenyRequest(const QxMoxStr::String_t& id) { GetBody().DenyRequest(id); }
  void DenyRequest(const QxMoxStr::String_t& id, const QxMoxNet::URI_t& uri) {
    GetBody().DenyRequest(id, uri);
  }
  void GrantRequest(const QxMoxStr::String_t& id) { GetBody().GrantRequest(id); }
  void GrantRequest(const QxMoxStr::String_t& id, const QxMoxNet::URI_t& uri) {
    GetBody().GrantRequest(id, uri);
  }
  void RemoveRequest(const QxMoxStr::String_t& id) { GetBody().RemoveRequest(id); }
  int RemoveAllRequests() { return GetBody().RemoveAllRequests(); }
  void GetPendingRequests(Collection& out) { GetBody().GetPendingRequests(out); }
  void GetPendingRequestIds(QxSecCore::StringCollection& out) {
    GetBody().GetPendingRequestIds(out);
  }
  Request GetPendingRequest(const QxMoxStr::String_t& id) {
    return GetBody().GetPendingRequest(id);
  }

 private:
  using Base = BodyHandle<Traits, ExceptionTracer::Server>;
  using Base::GetBody;
};

extern template class CertificateServerImplT<CertificateServerTraits>;
extern template class CertificateServerImplT<CertificateServerTraits_ex>;

class CertificateServerImpl : public CertificateServerImplT<CertificateServerTraits> {
 public:
  using CertificateServerImplT::CertificateServerImplT;
};
class CertificateServerImpl_ex : public CertificateServerImplT<CertificateServerTraits_ex> {
 public:
  using CertificateServerImplT::CertificateServerImplT;
};

// CertificateServer exchanges CertRequest records.
class CertificateServer : public CertificateServerT<CertificateServerTraits> {
 public:
  using CertificateServerT::CertificateServerT;
};

// CertificateServer_ex exchanges CertRequest_ex records.
class CertificateServer_ex : public CertificateServerT<CertificateServerTraits_ex> {
 public:
  using Options_ex = Options;
  using CertificateServerT::CertificateServerT;
};

}  // namespace QxSecCm
