// SOAPArgPlatform: a platform record as five decimal children.
#include "SoapArgNames.h"
#include "qxseccm/SoapArgs.h"

namespace QxSecCm {

using QxZebSoap::SOAPArgInt;
namespace N = SoapNames;

SOAPArgPlatform::SOAPArgPlatform(const QxMoxStr::String_t& name, const Platform& value)
    : SOAPArgStruct(name), m_value(value), m_target(&m_value) {}

SOAPArgPlatform::SOAPArgPlatform(const QxMoxStr::String_t& name, Platform* target)
    : SOAPArgStruct(name),
      m_value(target != nullptr ? *target : Platform()),
      m_target(target != nullptr ? target : &m_value) {}

SOAPArgPlatform::~SOAPArgPlatform() = default;

void SOAPArgPlatform::Rebind(const Platform& value) {
  m_value = value;
  m_target = &m_value;
}

void SOAPArgPlatform::WriteContentTo(QxMoxXml::XmlWriter_t& writer) const {
  const PlatformImpl* body = m_target->operator->();
  for (const N::Child& c : N::kPlatformChildren) {
    int32_t value = 0;
    switch (c.state) {
      case N::kOS:
        value = body->GetTypeCode();
        break;
      case N::kMaj:
        value = body->GetVers1();
        break;
      case N::kMin:
        value = body->GetVers2();
        break;
      case N::kSub:
        value = body->GetVers3();
        break;
      case N::kCPU:
        value = body->GetCPUTypeCode();
        break;
      default:
        continue;
    }
    writer.OpenTag(c.name);
    writer.Data(SOAPArgInt::IntToUnicode(value));
    writer.CloseTag();
  }
}

QxZebSoap::SOAPElement* SOAPArgPlatform::StartElement(const QxMoxStr::String_t& prefix,
                                                      const QxMoxStr::String_t& name,
                                                      const QxMoxStr::String_t& namespaceUri) {
  if (m_state == N::kOutside) {
    return name == GetName() ? EnterSelf(prefix, name, namespaceUri) : nullptr;
  }
  const N::Child* child = N::Find(N::kPlatformChildren, name, m_childHint);
  if (child == nullptr) return nullptr;
  EnterChild(child->state);
  return this;
}

void SOAPArgPlatform::EndElement(const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
                                 const QxMoxStr::String_t& namespaceUri) {
  if (m_state == N::kOutside || m_state == N::kInside) {
    LeaveSelf(prefix, name, namespaceUri);
    return;
  }
  const int32_t value = SOAPArgInt::UnicodeToInt(GetCharacters());
  PlatformImpl* body = m_target->operator->();
  switch (m_state) {
    case N::kOS:
      body->SetTypeCode(value);
      break;
    case N::kMaj:
      body->SetVers1(value);
      break;
    case N::kMin:
      body->SetVers2(value);
      break;
    case N::kSub:
      body->SetVers3(value);
      break;
    case N::kCPU:
      body->SetCPUTypeCode(value);
      break;
    default:
      break;
  }
  m_state = N::kInside;
}

}  // namespace QxSecCm
