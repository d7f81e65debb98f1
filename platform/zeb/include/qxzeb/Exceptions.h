// The messaging library's exceptions: transport failures, target id failures, RPC faults.
#pragma once

#include "qxmox/Exception.h"
#include "qxmox/String.h"

namespace QxZebHttp {

// HttpException is a failed HTTP exchange: no connection, a timeout (GetStatus() 0) or an
// answer with a status other than 200 (GetStatus() that status, e.g. 403 or 404).
class HttpException : public QxMoxMsg::Exception_t {
 public:
  HttpException(const QxMoxMsg::Message_t& message, int status)
      : Exception_t(message), m_status(status) {}
  int GetStatus() const { return m_status; }

 private:
  int m_status;
};

// TargetIDFailureException: the callee's certificate does not prove the requested target id
// (its subject common name differs, or it presented none).
QX_MOX_EXCEPTION(TargetIDFailureException, QxMoxMsg::Exception_t)

}  // namespace QxZebHttp

namespace QxZebRpc {

// RpcException is a failed remote call: a SOAP Fault from the callee (GetFaultCode() and the
// fault string as the message) or an answer that is not a well-formed SOAP response.
class RpcException : public QxMoxMsg::Exception_t {
 public:
  RpcException(const QxMoxMsg::Message_t& message, QxMoxStr::String_t faultCode)
      : Exception_t(message), m_faultCode(std::move(faultCode)) {}
  explicit RpcException(const QxMoxMsg::Message_t& message) : RpcException(message, "Client") {}
  // GetFaultCode returns the fault code's local part ("Client", "Server").
  const QxMoxStr::String_t& GetFaultCode() const { return m_faultCode; }

 private:
  QxMoxStr::String_t m_faultCode;
};

}  // namespace QxZebRpc
