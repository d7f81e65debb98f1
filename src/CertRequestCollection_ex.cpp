// CertRequestCollection_ex: the collection of CertRequest_ex records (the twin template,
// instantiated).
#include "CertRequestCollectionT.h"

namespace QxSecCm {

template class CertRequestCollectionT<CertRequestCollectionTraits_ex>;
template class CertRequestCollectionImplT<CertRequestCollectionTraits_ex>;

}  // namespace QxSecCm
