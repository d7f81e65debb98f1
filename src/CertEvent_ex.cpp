// CertEvent_ex: the event about a CertRequest_ex (the twin template, instantiated).
#include "CertEventT.h"

namespace QxSecCm {

template class CertEventT<CertEventTraits_ex>;
template class CertEventImplT<CertEventTraits_ex>;

}  // namespace QxSecCm
