// CertRequestCollection: the collection of CertRequest records (the twin template, instantiated).
#include "CertRequestCollectionT.h"

namespace QxSecCm {

template class CertRequestCollectionT<CertRequestCollectionTraits>;
template class CertRequestCollectionImplT<CertRequestCollectionTraits>;

}  // namespace QxSecCm
