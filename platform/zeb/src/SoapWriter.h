// The envelope's frame (shared by calls, answers and faults).
#pragma once

#include <string>

#include "qxmox/Xml.h"
#include "qxzeb/Soap.h"

namespace QxZebSoap {

inline constexpr char kXmlDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
inline constexpr char kEnvelopeNs[] = "http://schemas.xmlsoap.org/soap/envelope/";

// CheckEncoding throws QxMoxMsg::IllegalArgumentError_t for an encoding other than UTF-8.
void CheckEncoding(const char* encoding);
// OpenEnvelope opens SOAP-ENV:Envelope (with the xsi and xsd namespaces) and SOAP-ENV:Body.
void OpenEnvelope(QxMoxXml::XmlWriter_t& writer);
// CloseEnvelope closes Body and Envelope and returns the document with its declaration.
std::string CloseEnvelope(QxMoxXml::XmlWriter_t& writer);
// WriteFault returns a document holding a SOAP Fault with the code's local part and the text.
std::string WriteFault(const String_t& code, const String_t& text);

}  // namespace QxZebSoap
