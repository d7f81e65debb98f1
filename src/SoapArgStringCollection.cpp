// SOAPArgStringCollection: a string collection as one "li" element per string.
#include "SoapArgNames.h"
#include "SoapArgTrace.h"
#include "qxseccm/SoapArgs.h"

namespace QxSecCm {
namespace N = SoapNames;

SOAPArgStringCollection::SOAPArgStringCollection(const QxMoxStr::String_t& name,
                                                 const QxSecCore::StringCollection& value)
    : SOAPArgStruct(name), m_value(value), m_target(&m_value) {
  QX_SOAPARG_BLOCK("SOAPArgStringCollection::Constructor()");
}

// The pointer form fills the caller's collection; its own empty collection is not used.
SOAPArgStringCollection::SOAPArgStringCollection(const QxMoxStr::String_t& name,
                                                 QxSecCore::StringCollection* target)
    : SOAPArgStruct(name), m_target(target != nullptr ? target : &m_value) {
  QX_SOAPARG_BLOCK("SOAPArgStringCollection::Constructor()");
}

SOAPArgStringCollection::~SOAPArgStringCollection() = default;

void SOAPArgStringCollection::WriteContentTo(QxMoxXml::XmlWriter_t& writer) const {
  QX_SOAPARG_BLOCK("SOAPArgStringCollection::WriteContentTo()");
  for (m_target->MoveFirst(); !m_target->IsAtEnd(); m_target->Next()) {
    writer.OpenTag(N::kListItem);
    writer.Data(m_target->GetCurrent());
    writer.CloseTag();
  }
}

QxZebSoap::SOAPElement* SOAPArgStringCollection::StartElement(
    const QxMoxStr::String_t& prefix, const QxMoxStr::String_t& name,
    const QxMoxStr::String_t& namespaceUri) {
  QX_SOAPARG_BLOCK("SOAPArgStringCollection::StartElement()");
  return StartListElement(prefix, name, namespaceUri);
}

void SOAPArgStringCollection::EndElement(const QxMoxStr::String_t& prefix,
                                         const QxMoxStr::String_t& name,
                                         const QxMoxStr::String_t& namespaceUri) {
  QX_SOAPARG_BLOCK("SOAPArgStringCollection::EndElement()");
  if (m_state != N::kItem) {
    LeaveSelf(prefix, name, namespaceUri);
    return;
  }
  const QxMoxStr::String_t text = GetCharacters();
  SoapArgTrace::Adding(text, "collection", __FILE__, __LINE__);
  m_target->Add(text);
  m_state = N::kInside;
}

}  // namespace QxSecCm
