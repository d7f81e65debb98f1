#include "SoapWriter.h"

#include <strings.h>

#include <cstring>

#include "qxmox/Exception.h"

namespace QxZebSoap {

void CheckEncoding(const char* encoding) {
  if (encoding != nullptr && strcasecmp(encoding, "UTF-8") != 0 &&
      strcasecmp(encoding, "UTF8") != 0) {
    QxMoxMsg::ThrowIllegalArgument(String_t("unsupported encoding ") + encoding);
  }
}

void OpenEnvelope(QxMoxXml::XmlWriter_t& writer) {
  writer.OpenTag("SOAP-ENV:Envelope")
      .Attribute("xmlns:SOAP-ENV", kEnvelopeNs)
      .Attribute("xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance")
      .Attribute("xmlns:xsd", "http://www.w3.org/2001/XMLSchema")
      .Attribute("SOAP-ENV:encodingStyle", "http://schemas.xmlsoap.org/soap/encoding/");
  writer.OpenTag("SOAP-ENV:Body");
}

std::string CloseEnvelope(QxMoxXml::XmlWriter_t& writer) {
  writer.CloseTag().CloseTag();
  return kXmlDeclaration + writer.GetText();
}

std::string WriteFault(const String_t& code, const String_t& text) {
  // The text may come from any exception; characters XML cannot carry become '?'.
  std::u16string clean = text.Str();
  for (char16_t& c : clean) {
    if ((c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0xFFFE || c == 0xFFFF ||
        (c >= 0xD800 && c <= 0xDFFF)) {
      c = u'?';
    }
  }
  QxMoxXml::XmlWriter_t writer;
  OpenEnvelope(writer);
  writer.OpenTag("SOAP-ENV:Fault");
  writer.OpenTag("faultcode").Data("SOAP-ENV:" + code).CloseTag();
  writer.OpenTag("faultstring").Data(String_t(std::move(clean))).CloseTag();
  writer.CloseTag();
  return CloseEnvelope(writer);
}

}  // namespace QxZebSoap
