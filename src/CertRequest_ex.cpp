// CertRequest_ex: the record with a 64-bit reception time (the twin template, instantiated).
#include "CertRequestT.h"

namespace QxSecCm {

template class CertRequestT<CertRequestTraits_ex>;
template class CertRequestImplT<CertRequestTraits_ex>;

}  // namespace QxSecCm
