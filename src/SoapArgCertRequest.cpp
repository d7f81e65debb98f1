// SOAPArgCertRequest: the request argument with a 32-bit reception time (the twin template).
#include "SoapArgCertRequestT.h"

namespace QxSecCm {

template class SOAPArgCertRequestT<CertRequest, QxZebSoap::SOAPArgDateTime>;

}  // namespace QxSecCm
