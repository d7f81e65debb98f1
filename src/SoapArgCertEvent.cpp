// SOAPArgCertEvent: the event argument carrying a CertRequest (the twin template).
#include "SoapArgCertEventT.h"

namespace QxSecCm {

QxMoxStr::String_t SOAPArgCertEventTraits::RequestName() { return SoapNames::kEventRequestName; }

template class SOAPArgCertEventT<SOAPArgCertEventTraits>;

}  // namespace QxSecCm
