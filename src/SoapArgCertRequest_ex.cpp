// SOAPArgCertRequest_ex: the request argument with a 64-bit reception time (the twin template).
#include "SoapArgCertRequestT.h"

namespace QxSecCm {

template class SOAPArgCertRequestT<CertRequest_ex, QxZebSoap::SOAPArgDateTime_ex>;

}  // namespace QxSecCm
