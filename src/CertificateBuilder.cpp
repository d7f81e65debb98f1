// CertificateBuilder: the builder twin for the plain request record.
#include "CertificateBuilderT.h"

namespace QxSecCm {

template <>
QxMoxSync::ProcessSync_t CertificateBuilderT<CertificateBuilderTraits>::s_serialLock{
    kSerialLockName};

template class CertificateBuilderT<CertificateBuilderTraits>;

}  // namespace QxSecCm
