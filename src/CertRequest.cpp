// CertRequest: the record with a 32-bit reception time (the twin template, instantiated).
#include "CertRequestT.h"

namespace QxSecCm {

template class CertRequestT<CertRequestTraits>;
template class CertRequestImplT<CertRequestTraits>;

}  // namespace QxSecCm
