// SOAPArgCharArrayList: a list of byte arrays as one "li" element per array, the bytes read as
// ISO-8859-1 text (byte n is character n). Text such as PEM survives the trip byte for byte, CR
// included; XML cannot carry NUL or the other control bytes below 0x20 except tab, LF and CR, so
// an array stops at its first NUL and the writer refuses the others: binary data such as DER
// must be encoded (PEM, base64) before it goes into the list.
#include <cstring>

#include "SoapArgNames.h"
#include "SoapArgTrace.h"
#include "qxseccm/SoapArgs.h"

namespace QxSecCm {
namespace {

// AsLatin1Text reads bytes as ISO-8859-1 text up to the first NUL byte or the end.
QxMoxStr::String_t AsLatin1Text(const QxMoxArray::CharArray_t& bytes) {
  std::u16string text;
  text.reserve(bytes.GetSize());
  for (size_t i = 0; i < bytes.GetSize() && bytes[i] != 0; ++i) text.push_back(bytes[i]);
  return QxMoxStr::String_t(std::move(text));
}

}  // namespace

namespace N = SoapNames;

SOAPArgCharArrayList::SOAPArgCharArrayList(const QxMoxStr::String_t& name,
                                           const CharArrayList& value)
    : SOAPArgStruct(name), m_value(value), m_target(&m_value) {
  QX_SOAPARG_BLOCK("SOAPArgCharArrayList::Constructor()");
}

// The pointer form fills the caller's list; its own empty list is not used.
SOAPArgCharArrayList::SOAPArgCharArrayList(const QxMoxStr::String_t& name, CharArrayList* target)
    : SOAPArgStruct(name), m_target(target != nullptr ? target : &m_value) {
  QX_SOAPARG_BLOCK("SOAPArgCharArrayList::Constructor()");
}

SOAPArgCharArrayList::~SOAPArgCharArrayList() = default;

void SOAPArgCharArrayList::WriteContentTo(QxMoxXml::XmlWriter_t& writer) const {
  QX_SOAPARG_BLOCK("SOAPArgCharArrayList::WriteContentTo()");
  for (const QxMoxArray::CharArray_t& bytes : *m_target) {
    writer.OpenTag(N::kListItem);
    writer.Data(AsLatin1Text(bytes));
    writer.CloseTag();
  }
}

QxZebSoap::SOAPElement* SOAPArgCharArrayList::StartElement(const QxMoxStr::String_t& prefix,
                                                           const QxMoxStr::String_t& name,
                                                           const QxMoxStr::String_t& namespaceUri) {
  QX_SOAPARG_BLOCK("SOAPArgCharArrayList::StartElement()");
  return StartListElement(prefix, name, namespaceUri);
}

void SOAPArgCharArrayList::EndElement(const QxMoxStr::String_t& prefix,
                                      const QxMoxStr::String_t& name,
                                      const QxMoxStr::String_t& namespaceUri) {
  QX_SOAPARG_BLOCK("SOAPArgCharArrayList::EndElement()");
  if (m_state != N::kItem) {
    LeaveSelf(prefix, name, namespaceUri);
    return;
  }
  const QxMoxStr::String_t text = GetCharacters();
  SoapArgTrace::Adding(text, "list", __FILE__, __LINE__);
  const QxMoxStr::MBS_t bytes(text, QxMoxStr::ENC_LATIN1);
  // The array holds the text up to its terminating NUL, as a C string would be read.
  m_target->emplace_back(bytes.c_str(), std::strlen(bytes.c_str()));
  m_state = N::kInside;
}

}  // namespace QxSecCm
