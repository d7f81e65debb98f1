// SOAPArgCertRequestCollection_ex: a collection of CertRequest_ex records (the twin template).
#include "SoapArgCertRequestCollectionT.h"

namespace QxSecCm {

template class SOAPArgCertRequestCollectionT<SOAPArgCertRequestCollectionTraits_ex>;

}  // namespace QxSecCm
