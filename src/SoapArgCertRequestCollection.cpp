// The request collection argument, written once for both twins and instantiated for each.
#include "SoapArgNames.h"
#include "SoapArgTrace.h"
#include "qxmox/Trace.h"
#include "qxseccm/SoapArgs.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm {

template <class Traits>
SOAPArgCertRequestCollectionT<Traits>::SOAPArgCertRequestCollectionT(const QxMoxStr::String_t& name,
                                                                     const Collection& value)
    : SOAPArgStruct(name), m_value(value), m_target(&m_value) {
  QX_SOAPARG_BLOCK(Traits::kConstructor);
}

// The pointer form fills the caller's collection; its own empty collection is not used.
template <class Traits>
SOAPArgCertRequestCollectionT<Traits>::SOAPArgCertRequestCollectionT(const QxMoxStr::String_t& name,
                                                                     Collection* target)
    : SOAPArgStruct(name), m_value(), m_target(target != nullptr ? target : &m_value) {
  QX_SOAPARG_BLOCK(Traits::kConstructor);
}

template <class Traits>
SOAPArgCertRequestCollectionT<Traits>::~SOAPArgCertRequestCollectionT() {
  QX_SOAPARG_BLOCK(Traits::kDestructor);
  m_item.reset();
}

template <class Traits>
void SOAPArgCertRequestCollectionT<Traits>::WriteContentTo(QxMoxXml::XmlWriter_t& writer) const {
  QX_SOAPARG_BLOCK(Traits::kWrite);
  const Collection& collection = *m_target;
  for (collection.MoveFirst(); !collection.IsAtEnd(); collection.Next()) {
    const RequestArg item(SoapNames::kCollectionItem, collection.GetCurrent());
    writer.OpenTag(item.GetName());
    item.WriteContentTo(writer);
    writer.CloseTag();
  }
}

template <class Traits>
QxZebSoap::SOAPElement* SOAPArgCertRequestCollectionT<Traits>::StartElement(
    const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
    const QxMoxStr::String_t& namespaceUri) {
  QX_SOAPARG_BLOCK(Traits::kStart);
  namespace N = SoapNames;
  if (m_state == N::kOutside) {
    return name == GetName() ? EnterSelf(prefix, name, namespaceUri) : nullptr;
  }
  if (!N::IsName(name, N::kCollectionItem)) return nullptr;
  EnterItem();
  // The record joins the collection before it is filled; the item argument fills it in place.
  // The previous item's element is closed, so its argument is back outside any element and can
  // be rebound: building one per record showed in the profile of long lists.
  const Request request;
  m_target->Add(request);
  if (m_item) {
    m_item->Rebind(request);
  } else {
    m_item.emplace(N::Text<N::kCollectionItem>(), request);
  }
  return m_item->StartElement(prefix, name, namespaceUri);
}

template <class Traits>
void SOAPArgCertRequestCollectionT<Traits>::EndElement(const QxMoxStr::String_t& prefix,
                                                       const QxMoxStr::String_t& name,
                                                       const QxMoxStr::String_t& namespaceUri) {
  QX_SOAPARG_BLOCK(Traits::kEnd);
  // Each item's closing tag goes to its own argument, so every closing tag reaching this argument
  // is its own.
  LeaveSelf(prefix, name, namespaceUri);
}

template <class Traits>
void SOAPArgCertRequestCollectionT<Traits>::ResetParse() {
  SOAPArgStruct::ResetParse();
  m_item.reset();
}

// ---- the twins ------------------------------------------------------------------------------

template class SOAPArgCertRequestCollectionT<SOAPArgCertRequestCollectionTraits>;
template class SOAPArgCertRequestCollectionT<SOAPArgCertRequestCollectionTraits_ex>;

}  // namespace QxSecCm
