// SOAPArgStruct: the base of the structured arguments and the steps of their parse machine.
#include "SoapArgNames.h"
#include "qxseccm/SoapArgs.h"

namespace QxSecCm {

SOAPArgStruct::SOAPArgStruct(const QxMoxStr::String_t& name) : SOAPArg(name) {}

SOAPArgStruct::~SOAPArgStruct() = default;

QxZebSoap::SOAPElement* SOAPArgStruct::EnterSelf(const QxMoxStr::String_t& prefix,
                                                 const QxMoxStr::String_t& name,
                                                 const QxMoxStr::String_t& namespaceUri) {
  SOAPElement::StartElement(prefix, name, namespaceUri);
  m_state = SoapNames::kInside;
  return this;
}

QxZebSoap::SOAPElement* SOAPArgStruct::StartListElement(const QxMoxStr::String_t& prefix,
                                                        const QxMoxStr::String_t& name,
                                                        const QxMoxStr::String_t& namespaceUri) {
  if (m_state == SoapNames::kOutside) {
    return name == GetName() ? EnterSelf(prefix, name, namespaceUri) : nullptr;
  }
  static const QxMoxStr::String_t kItemName(SoapNames::kListItem);
  if (name != kItemName) return nullptr;
  EnterChild(SoapNames::kItem);
  return this;
}

void SOAPArgStruct::EnterChild(int32_t state) {
  // Copies: the base start stores the texts it is given.
  const QxMoxStr::String_t prefix = GetPrefix();
  const QxMoxStr::String_t name = GetName();
  const QxMoxStr::String_t ns = GetNamespaceUri();
  SOAPElement::EndElement(prefix, name, ns);
  SOAPElement::StartElement(prefix, name, ns);
  m_state = state;
}

void SOAPArgStruct::LeaveSelf(const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
                              const QxMoxStr::String_t& namespaceUri) {
  SOAPElement::EndElement(prefix, name, namespaceUri);
  m_state = SoapNames::kOutside;
}

}  // namespace QxSecCm
