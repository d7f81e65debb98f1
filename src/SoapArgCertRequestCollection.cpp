// SOAPArgCertRequestCollection: a collection of CertRequest records (the twin template).
#include "SoapArgCertRequestCollectionT.h"

namespace QxSecCm {

template class SOAPArgCertRequestCollectionT<SOAPArgCertRequestCollectionTraits>;

}  // namespace QxSecCm
