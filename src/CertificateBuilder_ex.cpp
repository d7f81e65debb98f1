// CertificateBuilder_ex: the builder twin for the extended request record.
#include "CertificateBuilderT.h"

namespace QxSecCm {

template class CertificateBuilderT<CertificateBuilderTraits_ex>;

}  // namespace QxSecCm
