// The certificate event, written once for both twins and instantiated for each.
#include "qxseccm/CertEvent.h"

#include <utility>

#include "qxseccm/ExceptionTracer.h"

namespace QxSecCm {

// ---- the body --------------------------------------------------------------------------------

template <class Traits>
CertEventImplT<Traits>::CertEventImplT() = default;

template <class Traits>
CertEventImplT<Traits>::~CertEventImplT() = default;

template <class Traits>
void CertEventImplT<Traits>::DestroyThis() {
  delete this;
}

template <class Traits>
void CertEventImplT<Traits>::SetType(Type type) {
  m_type = type;
}

template <class Traits>
void CertEventImplT<Traits>::SetInfo(QxMoxStr::String_t info) {
  m_info = std::move(info);
}

template <class Traits>
void CertEventImplT<Traits>::SetCertRequest(const Request& request) {
  m_request = request;
}

// ---- the handle ------------------------------------------------------------------------------

template <class Traits>
CertEventT<Traits>::~CertEventT() = default;

template <class Traits>
typename CertEventT<Traits>::Type CertEventT<Traits>::GetType() const {
  return GetBody().GetType();
}

template <class Traits>
QxMoxStr::String_t CertEventT<Traits>::GetInfo() const {
  return GetBody().GetInfo();
}

template <class Traits>
typename Traits::Request CertEventT<Traits>::GetCertRequest() const {
  return GetBody().GetCertRequest();
}

// ---- the twins ------------------------------------------------------------------------------

template class CertEventT<CertEventTraits>;
template class CertEventImplT<CertEventTraits>;
template class CertEventT<CertEventTraits_ex>;
template class CertEventImplT<CertEventTraits_ex>;

}  // namespace QxSecCm
