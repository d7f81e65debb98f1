// UpdateTrustedHandler: the "UpdateRootCertificates" method of the node's service.
#include "CertClientRpcCharHandler.h"
#include "CertificateClientImpl.h"
#include "TraceMacros.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm {

UpdateTrustedHandler::UpdateTrustedHandler(CertificateClientImpl* client)
    : CertClientRpcCharHandler(client) {
  QXSECCM_BLOCK(QxSecCmTrc::Tracer::GetClientTracerProc(), "UpdateTrustedHandler::Constructor()");
}

UpdateTrustedHandler::~UpdateTrustedHandler() {
  QXSECCM_BLOCK(QxSecCmTrc::Tracer::GetClientTracerProc(), "UpdateTrustedHandler::Destructor()");
  WaitForCalls();
}

int UpdateTrustedHandler::Answer() {
  QXSECCM_BLOCK(QxSecCmTrc::Tracer::GetClientTracerProc(), "UpdateTrustedHandler::ProcessArgs()");
  return Client()->UpdateTrustedRootCerts();
}

}  // namespace QxSecCm
