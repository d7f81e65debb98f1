// SOAPArgCertEvent_ex: the event argument carrying a CertRequest_ex (the twin template). The
// nested request's element name follows the process-wide switch as it is at construction.
#include "SoapArgCertEventT.h"
#include "qxseccm/UseCertReq.h"

namespace QxSecCm {

QxMoxStr::String_t SOAPArgCertEventTraits_ex::RequestName() {
  return g_UseCertReq::GetUseCertReq() ? SoapNames::kEventRequestName
                                       : SoapNames::kEventRequestName_ex;
}

template class SOAPArgCertEventT<SOAPArgCertEventTraits_ex>;

}  // namespace QxSecCm
