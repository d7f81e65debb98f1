// GetCertStatusHandler: the "GetCertStatus" method of the node's service.
#include "CertClientRpcCharHandler.h"
#include "CertificateClientImpl.h"
#include "TraceMacros.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm {

GetCertStatusHandler::GetCertStatusHandler(CertificateClientImpl* client)
    : CertClientRpcCharHandler(client) {
  QXSECCM_BLOCK(QxSecCmTrc::Tracer::GetClientTracerProc(), "GetCertStatusHandler::Constructor()");
}

GetCertStatusHandler::~GetCertStatusHandler() {
  QXSECCM_BLOCK(QxSecCmTrc::Tracer::GetClientTracerProc(), "GetCertStatusHandler::Destructor()");
  WaitForCalls();
}

int GetCertStatusHandler::Answer() {
  QXSECCM_BLOCK(QxSecCmTrc::Tracer::GetClientTracerProc(), "GetCertStatusHandler::ProcessArgs()");
  return Client()->GetStatus();
}

}  // namespace QxSecCm
