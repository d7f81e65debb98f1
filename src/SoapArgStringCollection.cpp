// SOAPArgStringCollection: a string collection as one "li" element per string.
#include "SoapArgNames.h"
#include "qxmox/Trace.h"
#include "qxseccm/SoapArgs.h"
#include "qxseccm/TraceText.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm {
namespace {

constexpr uint32_t kTraceLevel = 9;

#define QX_SOAPARG_BLOCK(name)                                                            \
  const QxMoxTrc::BlockTrace_t qxBlock(QxSecCmTrc::Tracer::GetServerTracerProc(), (name), \
                                       kTraceLevel, __FILE__, __LINE__)

// TraceAdding writes the "Adding ..." line; a failure to build or write it is ignored, since the
// item is appended all the same.
void TraceAdding(const QxMoxStr::String_t& text) noexcept {
  try {
    QxMoxTrc::TraceObj_t& tracer = QxSecCmTrc::Tracer::GetServerTracerOperation();
    if (!tracer.IsEnabled(kTraceLevel)) return;
    QxSecCmTrc::TraceText line;
    line << "Adding " << text << " to collection";
    tracer.DoTrace(kTraceLevel, line.GetMsg(), __FILE__, __LINE__);
  } catch (...) {
  }
}

}  // namespace

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
  TraceAdding(text);
  m_target->Add(text);
  m_state = N::kInside;
}

}  // namespace QxSecCm
