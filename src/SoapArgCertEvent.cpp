// The event argument, written once for both twins and instantiated for each. The
// extended twin's nested request element name follows the process-wide switch as it is at
// construction.
#include "SoapArgNames.h"
#include "qxseccm/SoapArgs.h"
#include "qxseccm/UseCertReq.h"

namespace QxSecCm {

// Both constructors bind the nested request argument to a handle sharing the body of the target
// event's request, so parsing fills that request in place.
template <class Traits>
SOAPArgCertEventT<Traits>::SOAPArgCertEventT(const QxMoxStr::String_t& name, const Event& value)
    : SOAPArgStruct(name),
      m_value(value),
      m_target(&m_value),
      m_request((*m_target)->GetCertRequest()),
      m_requestArg(Traits::RequestName(), m_request) {}

template <class Traits>
SOAPArgCertEventT<Traits>::SOAPArgCertEventT(const QxMoxStr::String_t& name, Event* target)
    : SOAPArgStruct(name),
      m_value(),
      m_target(target != nullptr ? target : &m_value),
      m_request((*m_target)->GetCertRequest()),
      m_requestArg(Traits::RequestName(), m_request) {}

template <class Traits>
SOAPArgCertEventT<Traits>::~SOAPArgCertEventT() = default;

template <class Traits>
void SOAPArgCertEventT<Traits>::WriteContentTo(QxMoxXml::XmlWriter_t& writer) const {
  namespace N = SoapNames;
  const auto* body = m_target->operator->();
  for (const N::Child& c : N::kEvent) {
    writer.OpenTag(c.name);
    if (c.state == N::kType) {
      writer.Data(QxZebSoap::SOAPArgInt::IntToUnicode(static_cast<int32_t>(body->GetType())));
    } else if (c.state == N::kInfo) {
      writer.Data(body->GetInfo());
    }
    writer.CloseTag();
  }
  writer.OpenTag(m_requestArg.GetName());
  m_requestArg.WriteContentTo(writer);
  writer.CloseTag();
}

template <class Traits>
QxZebSoap::SOAPElement* SOAPArgCertEventT<Traits>::StartElement(
    const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
    const QxMoxStr::String_t& namespaceUri) {
  namespace N = SoapNames;
  if (m_state == N::kOutside) {
    return name == GetName() ? EnterSelf(prefix, name, namespaceUri) : nullptr;
  }
  if (name == m_requestArg.GetName()) {
    EnterChild(N::kEventRequest);
    return m_requestArg.StartElement(prefix, name, namespaceUri);
  }
  const N::Child* child = N::Find(N::kEvent, name, m_childHint);
  if (child == nullptr) return nullptr;
  EnterChild(child->state);
  return this;
}

template <class Traits>
void SOAPArgCertEventT<Traits>::EndElement(const QxMoxStr::String_t& prefix,
                                           const QxMoxStr::String_t& name,
                                           const QxMoxStr::String_t& namespaceUri) {
  namespace N = SoapNames;
  // The nested request's closing tag goes to the nested argument, so a closing tag reaching this
  // argument in that state is its own.
  if (m_state == N::kOutside || m_state == N::kInside || m_state == N::kEventRequest) {
    LeaveSelf(prefix, name, namespaceUri);
    return;
  }
  const QxMoxStr::String_t text = GetCharacters();
  auto* body = m_target->operator->();
  if (m_state == N::kType) {
    body->SetType(static_cast<typename Event::Type>(QxZebSoap::SOAPArgInt::UnicodeToInt(text)));
  } else if (m_state == N::kInfo) {
    body->SetInfo(text);
  }
  m_state = N::kInside;
}

template <class Traits>
void SOAPArgCertEventT<Traits>::ResetParse() {
  SOAPArgStruct::ResetParse();
  m_requestArg.ResetParse();
}

// ---- the twins ------------------------------------------------------------------------------

QxMoxStr::String_t SOAPArgCertEventTraits::RequestName() { return SoapNames::kEventRequestName; }

QxMoxStr::String_t SOAPArgCertEventTraits_ex::RequestName() {
  return g_UseCertReq::GetUseCertReq() ? SoapNames::kEventRequestName
                                       : SoapNames::kEventRequestName_ex;
}

template class SOAPArgCertEventT<SOAPArgCertEventTraits>;
template class SOAPArgCertEventT<SOAPArgCertEventTraits_ex>;

}  // namespace QxSecCm
