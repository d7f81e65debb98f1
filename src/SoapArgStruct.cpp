// SOAPArgStruct: the base of the structured arguments and the steps of their parse machine.
#include "SoapArgNames.h"
#include "qxmox/Exception.h"
#include "qxseccm/SoapArgs.h"

namespace QxSecCm {

SOAPArgStruct::SOAPArgStruct(const QxMoxStr::String_t& name) : SOAPArg(name) {}

SOAPArgStruct::~SOAPArgStruct() = default;

QxZebSoap::SOAPElement* SOAPArgStruct::EnterSelf(const QxMoxStr::String_t& prefix,
                                                 const QxMoxStr::String_t& name,
                                                 const QxMoxStr::String_t& namespaceUri) {
  SOAPElement::StartElement(prefix, name, namespaceUri);
  m_state = SoapNames::kInside;
  m_items = 0;
  return this;
}

void SOAPArgStruct::EnterItem() {
  if (m_items == kMaxItems) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("more than ") +
                                   QxMoxStr::NumToStr(kMaxItems) + " items in '" + GetName() + "'");
  }
  ++m_items;
  EnterChild(SoapNames::kItem);
}

QxZebSoap::SOAPElement* SOAPArgStruct::StartListElement(const QxMoxStr::String_t& prefix,
                                                        const QxMoxStr::String_t& name,
                                                        const QxMoxStr::String_t& namespaceUri) {
  if (m_state == SoapNames::kOutside) {
    return name == GetName() ? EnterSelf(prefix, name, namespaceUri) : nullptr;
  }
  if (!SoapNames::IsName(name, SoapNames::kListItem)) return nullptr;
  EnterItem();
  return this;
}

void SOAPArgStruct::EnterChild(int32_t state) {
  RestartText();
  m_state = state;
}

void SOAPArgStruct::LeaveSelf(const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
                              const QxMoxStr::String_t& namespaceUri) {
  SOAPElement::EndElement(prefix, name, namespaceUri);
  m_state = SoapNames::kOutside;
}

void SOAPArgStruct::ResetParse() {
  SOAPArg::ResetParse();
  m_state = SoapNames::kOutside;
  m_items = 0;
  m_childHint = 0;
}

}  // namespace QxSecCm
