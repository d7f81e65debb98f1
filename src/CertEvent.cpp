// CertEvent: the event about a CertRequest (the twin template, instantiated).
#include "CertEventT.h"

namespace QxSecCm {

template class CertEventT<CertEventTraits>;
template class CertEventImplT<CertEventTraits>;

}  // namespace QxSecCm
