// The request collection, written once for both twins and instantiated for each.
#include "qxseccm/CertRequestCollection.h"

#include "qxseccm/ExceptionTracer.h"

namespace QxSecCm {

// ---- the body --------------------------------------------------------------------------------

template <class Traits>
CertRequestCollectionImplT<Traits>::CertRequestCollectionImplT() : m_cursor(m_requests.end()) {}

template <class Traits>
CertRequestCollectionImplT<Traits>::~CertRequestCollectionImplT() = default;

template <class Traits>
void CertRequestCollectionImplT<Traits>::DestroyThis() {
  delete this;
}

template <class Traits>
void CertRequestCollectionImplT<Traits>::Add(const Request& request) {
  m_requests.push_back(request);
  if (m_firstAdd != 0) {
    m_cursor = m_requests.begin();
    m_firstAdd = 0;
  }
}

template <class Traits>
int CertRequestCollectionImplT<Traits>::Remove(const Request& request) {
  int removed = 0;
  for (auto it = m_requests.begin(); it != m_requests.end();) {
    if (*it != request) {
      ++it;
      continue;
    }
    if (it == m_cursor) ++m_cursor;
    it = m_requests.erase(it);
    ++removed;
  }
  return removed;
}

template <class Traits>
void CertRequestCollectionImplT<Traits>::RemoveCurrent() {
  if (m_cursor != m_requests.end()) m_cursor = m_requests.erase(m_cursor);
}

template <class Traits>
void CertRequestCollectionImplT<Traits>::Clear() {
  m_requests.clear();
  m_cursor = m_requests.end();
}

template <class Traits>
void CertRequestCollectionImplT<Traits>::MoveFirst() {
  m_cursor = m_requests.begin();
}

template <class Traits>
void CertRequestCollectionImplT<Traits>::Next() {
  if (m_cursor != m_requests.end()) ++m_cursor;
}

template <class Traits>
bool CertRequestCollectionImplT<Traits>::IsAtEnd() const {
  return m_cursor == m_requests.end();
}

template <class Traits>
typename Traits::Request CertRequestCollectionImplT<Traits>::GetCurrent() const {
  if (IsAtEnd()) return Request();
  return *m_cursor;
}

template <class Traits>
bool CertRequestCollectionImplT<Traits>::IsEmpty() const {
  return m_requests.empty();
}

template <class Traits>
int CertRequestCollectionImplT<Traits>::Size() const {
  return static_cast<int>(m_requests.size());
}

// ---- the handle ------------------------------------------------------------------------------

template <class Traits>
CertRequestCollectionT<Traits>::~CertRequestCollectionT() = default;

template <class Traits>
void CertRequestCollectionT<Traits>::Add(const Request& request) const {
  GetBody().Add(request);
}

template <class Traits>
int CertRequestCollectionT<Traits>::Remove(const Request& request) const {
  return GetBody().Remove(request);
}

template <class Traits>
void CertRequestCollectionT<Traits>::RemoveCurrent() const {
  GetBody().RemoveCurrent();
}

template <class Traits>
void CertRequestCollectionT<Traits>::Clear() const {
  GetBody().Clear();
}

template <class Traits>
void CertRequestCollectionT<Traits>::MoveFirst() const {
  GetBody().MoveFirst();
}

template <class Traits>
void CertRequestCollectionT<Traits>::Next() const {
  GetBody().Next();
}

template <class Traits>
bool CertRequestCollectionT<Traits>::IsAtEnd() const {
  return GetBody().IsAtEnd();
}

template <class Traits>
typename Traits::Request CertRequestCollectionT<Traits>::GetCurrent() const {
  return GetBody().GetCurrent();
}

template <class Traits>
bool CertRequestCollectionT<Traits>::IsEmpty() const {
  return GetBody().IsEmpty();
}

template <class Traits>
int CertRequestCollectionT<Traits>::Size() const {
  return GetBody().Size();
}

// ---- the twins ------------------------------------------------------------------------------

template class CertRequestCollectionT<CertRequestCollectionTraits>;
template class CertRequestCollectionImplT<CertRequestCollectionTraits>;
template class CertRequestCollectionT<CertRequestCollectionTraits_ex>;
template class CertRequestCollectionImplT<CertRequestCollectionTraits_ex>;

}  // namespace QxSecCm
