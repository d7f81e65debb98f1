// CertificateBuilder_ex: the builder twin for the extended request record.
#include "CertificateBuilderT.h"

namespace QxSecCm {

template <>
QxMoxSync::ProcessSync_t CertificateBuilderT<CertificateBuilderTraits_ex>::s_serialLock{
    kSerialLockName};

template class CertificateBuilderT<CertificateBuilderTraits_ex>;

}  // namespace QxSecCm
