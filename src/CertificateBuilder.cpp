// CertificateBuilder: the builder twin for the plain request record.
#include "CertificateBuilderT.h"

namespace QxSecCm {

template class CertificateBuilderT<CertificateBuilderTraits>;

}  // namespace QxSecCm
