// The request argument, written once for both twins (32-bit and 64-bit reception time) and
// instantiated for each.
#include "SoapArgNames.h"
#include "qxseccm/SoapArgs.h"

namespace QxSecCm {

namespace SoapArgDetail {

// TargetOf returns the caller's object, or the holder when the caller gave none.
template <class T>
T* TargetOf(T* target, T* holder) {
  return target != nullptr ? target : holder;
}

// TimeReceivedOf returns the reception time the nested argument fills. The body is never const:
// its accessor only hands out a const view of the field.
template <class DateTimeArg, class Request>
typename DateTimeArg::Value* TimeReceivedOf(const Request& request) {
  return const_cast<typename DateTimeArg::Value*>(&request->GetDateTimeReceived());
}

}  // namespace SoapArgDetail

template <class Request, class DateTimeArg>
SOAPArgCertRequestT<Request, DateTimeArg>::SOAPArgCertRequestT(const QxMoxStr::String_t& name,
                                                               const Request& value)
    : SOAPArgStruct(name),
      m_value(value),
      m_target(&m_value),
      m_platform(SoapNames::Text<SoapNames::kPlatformName>(), (*m_target)->GetPlatform()),
      m_timeReceived(SoapNames::Text<SoapNames::kTimeReceivedName>(),
                     SoapArgDetail::TimeReceivedOf<DateTimeArg>(*m_target)) {}

template <class Request, class DateTimeArg>
SOAPArgCertRequestT<Request, DateTimeArg>::SOAPArgCertRequestT(const QxMoxStr::String_t& name,
                                                               Request* target)
    : SOAPArgStruct(name),
      m_value(target != nullptr ? *target : Request()),
      m_target(SoapArgDetail::TargetOf(target, &m_value)),
      m_platform(SoapNames::Text<SoapNames::kPlatformName>(), (*m_target)->GetPlatform()),
      m_timeReceived(SoapNames::Text<SoapNames::kTimeReceivedName>(),
                     SoapArgDetail::TimeReceivedOf<DateTimeArg>(*m_target)) {}

template <class Request, class DateTimeArg>
SOAPArgCertRequestT<Request, DateTimeArg>::~SOAPArgCertRequestT() = default;

template <class Request, class DateTimeArg>
void SOAPArgCertRequestT<Request, DateTimeArg>::Rebind(const Request& value) {
  m_value = value;
  m_target = &m_value;
  m_platform.Rebind(value->GetPlatform());
  m_timeReceived.SetTarget(SoapArgDetail::TimeReceivedOf<DateTimeArg>(value));
}

template <class Request, class DateTimeArg>
void SOAPArgCertRequestT<Request, DateTimeArg>::WriteContentTo(
    QxMoxXml::XmlWriter_t& writer) const {
  namespace N = SoapNames;
  const auto* body = m_target->operator->();
  for (const N::Child& c : N::kRequest) {
    writer.OpenTag(c.name);
    switch (c.state) {
      case N::kId:
        writer.Data(body->GetId());
        break;
      case N::kContext:
        writer.Data(body->GetContext());
        break;
      case N::kCN:
        writer.Data(body->GetCN());
        break;
      case N::kNodename:
        writer.Data(body->GetNodename());
        break;
      case N::kIPAddress:
        writer.Data(body->GetIPAddress());
        break;
      case N::kPeerAddress:
        writer.Data(body->GetPeerAddress());
        break;
      case N::kPlatform:
        m_platform.WriteContentTo(writer);
        break;
      case N::kIType:
        writer.Data(
            QxZebSoap::SOAPArgInt::IntToUnicode(static_cast<int32_t>(body->GetInstallationType())));
        break;
      case N::kTimeReceived:
        m_timeReceived.WriteContentTo(writer);
        break;
      default:
        break;
    }
    writer.CloseTag();
  }
}

template <class Request, class DateTimeArg>
QxZebSoap::SOAPElement* SOAPArgCertRequestT<Request, DateTimeArg>::StartElement(
    const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
    const QxMoxStr::String_t& namespaceUri) {
  namespace N = SoapNames;
  if (m_state == N::kOutside) {
    return name == GetName() ? EnterSelf(prefix, name, namespaceUri) : nullptr;
  }
  const N::Child* child = N::Find(N::kRequest, name, m_childHint);
  if (child == nullptr) return nullptr;
  EnterChild(child->state);
  switch (child->state) {
    case N::kPlatform:
      return m_platform.StartElement(prefix, name, namespaceUri);
    case N::kTimeReceived:
      return m_timeReceived.StartElement(prefix, name, namespaceUri);
    default:
      return this;
  }
}

template <class Request, class DateTimeArg>
void SOAPArgCertRequestT<Request, DateTimeArg>::EndElement(const QxMoxStr::String_t& prefix,
                                                           const QxMoxStr::String_t& name,
                                                           const QxMoxStr::String_t& namespaceUri) {
  namespace N = SoapNames;
  // A nested child's closing tag goes to the nested argument, so a closing tag reaching this
  // argument in a nested child's state is its own.
  if (m_state == N::kOutside || m_state == N::kInside || N::IsNested(N::kRequest, m_state)) {
    LeaveSelf(prefix, name, namespaceUri);
    return;
  }
  const QxMoxStr::String_t text = GetCharacters();
  auto* body = m_target->operator->();
  switch (m_state) {
    case N::kId:
      body->SetId(text);
      break;
    case N::kContext:
      body->SetContext(text);
      break;
    case N::kCN:
      body->SetCN(text);
      break;
    case N::kNodename:
      body->SetNodename(text);
      break;
    case N::kIPAddress:
      body->SetIPAddress(text);
      break;
    case N::kPeerAddress:
      body->SetPeerAddress(text);
      break;
    case N::kIType:
      body->SetInstallationType(static_cast<typename Request::InstallationType>(
          QxZebSoap::SOAPArgInt::UnicodeToInt(text)));
      break;
    default:
      break;
  }
  m_state = N::kInside;
}

template <class Request, class DateTimeArg>
void SOAPArgCertRequestT<Request, DateTimeArg>::ResetParse() {
  SOAPArgStruct::ResetParse();
  m_platform.ResetParse();
  m_timeReceived.ResetParse();
}

// ---- the twins ------------------------------------------------------------------------------

template class SOAPArgCertRequestT<CertRequest, QxZebSoap::SOAPArgDateTime>;
template class SOAPArgCertRequestT<CertRequest_ex, QxZebSoap::SOAPArgDateTime_ex>;

}  // namespace QxSecCm
