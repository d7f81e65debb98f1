// CertClientRpcCharHandler and its two methods of the node's service: "GetCertStatus" and
// "UpdateRootCertificates", each answered with one integer.
#pragma once

#include <vector>

#include "CallCounter.h"
#include "qxzeb/Rpc.h"

namespace QxSecCm {

class CertificateClientImpl;

// CertClientRpcCharHandler answers a call with the integer Answer() returns (result argument
// "return") and counts its calls in progress so that its destructor waits for them.
class CertClientRpcCharHandler : public QxZebRpc::RpcCharHandler {
 public:
  explicit CertClientRpcCharHandler(CertificateClientImpl* client);
  ~CertClientRpcCharHandler() override;

  void Attach() override;
  void Detach() override;
  void ProcessArgs(QxZebRpc::RpcServerCall& call,
                   const std::vector<QxZebRpc::RpcCharArg>& args) final;
  // Answer is the call's result.
  virtual int Answer() = 0;

 protected:
  CertificateClientImpl* Client() const { return m_client; }
  // WaitForCalls returns when no call is in progress; subclasses call it first in their
  // destructors, before the object they answer from goes away.
  void WaitForCalls();

 private:
  CertificateClientImpl* m_client;
  CallCounter m_calls;
};

// GetCertStatusHandler answers the client's certificate status (CertStatus_e).
class GetCertStatusHandler : public CertClientRpcCharHandler {
 public:
  explicit GetCertStatusHandler(CertificateClientImpl* client);
  ~GetCertStatusHandler() override;
  int Answer() override;
};

// UpdateTrustedHandler replaces the node's trusted roots with the certificate server's and
// answers 0, or 1 when they could not be updated.
class UpdateTrustedHandler : public CertClientRpcCharHandler {
 public:
  explicit UpdateTrustedHandler(CertificateClientImpl* client);
  ~UpdateTrustedHandler() override;
  int Answer() override;
};

}  // namespace QxSecCm
