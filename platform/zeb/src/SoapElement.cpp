#include "SoapWriter.h"
#include "qxmox/Exception.h"
#include "qxzeb/Soap.h"

namespace QxZebSoap {

SOAPElement* SOAPElement::StartElement(const String_t& prefix, const String_t& name,
                                       const String_t& namespaceUri) {
  m_prefix = prefix;
  m_name = name;
  m_namespaceUri = namespaceUri;
  m_text.clear();
  return this;
}

void SOAPElement::Characters(const char16_t* text, size_t length) { m_text.append(text, length); }

void SOAPElement::EndElement(const String_t&, const String_t&, const String_t&) {}

void SOAPArg::AddNamespace(const String_t& prefix, const String_t& uri) {
  m_attributes.emplace_back(prefix.IsEmpty() ? String_t("xmlns") : "xmlns:" + prefix, uri);
}

void SOAPArg::AddAttribute(const String_t& name, const String_t& value) {
  m_attributes.emplace_back(name, value);
}

void SOAPArg::WriteTo(QxMoxXml::XmlWriter_t& writer) const {
  WriteOpenTagTo(writer);
  WriteContentTo(writer);
  WriteCloseTagTo(writer);
}

void SOAPArg::WriteTo(QxMoxIo::OutputStream_t& out, const char* encoding, bool declaration) const {
  CheckEncoding(encoding);
  QxMoxXml::XmlWriter_t writer;
  WriteTo(writer);
  if (declaration) out.Write(kXmlDeclaration, sizeof kXmlDeclaration - 1);
  out.Write(writer.GetText().data(), writer.GetText().size());
}

void SOAPArg::WriteTo(Writer_t& out, bool declaration) const {
  QxMoxXml::XmlWriter_t writer;
  WriteTo(writer);
  out.Write(String_t(std::string(declaration ? kXmlDeclaration : "") + writer.GetText()));
}

void SOAPArg::WriteOpenTagTo(QxMoxXml::XmlWriter_t& writer) const {
  writer.OpenTag(GetName());
  for (const auto& [name, value] : m_attributes) writer.Attribute(name, value);
  if (!m_type.IsEmpty()) writer.Attribute("xsi:type", m_type);
}

void SOAPArg::WriteContentTo(QxMoxXml::XmlWriter_t&) const {}

void SOAPArg::WriteCloseTagTo(QxMoxXml::XmlWriter_t& writer) const { writer.CloseTag(); }

SOAPElement* SOAPArg::StartElement(const String_t& prefix, const String_t& name,
                                   const String_t& namespaceUri) {
  if (m_inside || name != GetName()) return nullptr;
  m_inside = true;
  return SOAPElement::StartElement(prefix, name, namespaceUri);
}

void SOAPArg::Characters(const char16_t* text, size_t length) {
  SOAPElement::Characters(text, length);
}

void SOAPArg::EndElement(const String_t& prefix, const String_t& name,
                         const String_t& namespaceUri) {
  m_inside = false;
  SOAPElement::EndElement(prefix, name, namespaceUri);
}

void SOAPEnvelope::SetMethod(const String_t& name, const String_t& namespaceUri) {
  m_method = name;
  m_namespace = namespaceUri;
}

void SOAPEnvelope::SetArgs(int count, SOAPArg* const* args) {
  if (count < 0 || (count > 0 && args == nullptr)) {
    QxMoxMsg::ThrowIllegalArgument("SetArgs: bad argument count or array");
  }
  std::vector<SOAPArg*> list(args, args + count);
  for (SOAPArg* a : list) {
    if (a == nullptr) QxMoxMsg::ThrowIllegalArgument("SetArgs: null argument");
  }
  m_args = std::move(list);
}

std::string SOAPEnvelope::Write() const {
  if (m_method.IsEmpty()) QxMoxMsg::ThrowIllegalState("SOAP envelope without a method");
  QxMoxXml::XmlWriter_t writer;
  OpenEnvelope(writer);
  writer.OpenTag("m:" + m_method).Attribute("xmlns:m", m_namespace);
  for (const SOAPArg* a : m_args) a->WriteTo(writer);
  writer.CloseTag();
  return CloseEnvelope(writer);
}

}  // namespace QxZebSoap
