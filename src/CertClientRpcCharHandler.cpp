// CertClientRpcCharHandler: integer answers and the count of calls in progress.
#include "CertClientRpcCharHandler.h"

#include "TraceMacros.h"
#include "qxseccm/Tracer.h"
#include "qxzeb/Soap.h"

namespace QxSecCm {
namespace {
QxMoxTrc::TraceObj_t& ProcTracer() { return QxSecCmTrc::Tracer::GetClientTracerProc(); }
}  // namespace

CertClientRpcCharHandler::CertClientRpcCharHandler(CertificateClientImpl* client)
    : m_client(client) {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcCharHandler::Constructor()");
}

CertClientRpcCharHandler::~CertClientRpcCharHandler() {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcCharHandler::Destructor()");
  WaitForCalls();
}

void CertClientRpcCharHandler::WaitForCalls() { m_calls.WaitIdle(); }

void CertClientRpcCharHandler::Attach() {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcCharHandler::Attach()");
  m_calls.Enter();
}

void CertClientRpcCharHandler::Detach() {
  QXSECCM_BLOCK(ProcTracer(), "CertClientRpcCharHandler::Detach()");
  m_calls.Leave();
}

void CertClientRpcCharHandler::ProcessArgs(QxZebRpc::RpcServerCall& call,
                                           const std::vector<QxZebRpc::RpcCharArg>& /*args*/) {
  QxZebSoap::SOAPArgInt result("return", Answer());
  QxZebSoap::SOAPArg* results[] = {&result};
  call.CreateResponse().SetArgs(1, results);
  call.SendResponse("UTF-8");
}

}  // namespace QxSecCm
