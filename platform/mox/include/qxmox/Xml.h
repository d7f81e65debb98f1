// A small streaming XML writer with escaping of text, attribute values and checked names.
#pragma once

#include <string>
#include <vector>

#include "qxmox/String.h"

namespace QxMoxXml {

// XmlWriter_t writes UTF-8 XML into a buffer. Names are checked (a name that is not an XML
// name throws QxMoxMsg::IllegalArgumentError_t); text and attribute values are escaped;
// characters that XML 1.0 cannot carry throw IllegalArgumentError_t.
class XmlWriter_t {
 public:
  XmlWriter_t& OpenTag(const QxMoxStr::String_t& name);
  // Attribute adds an attribute to the tag just opened (before any Data or child).
  XmlWriter_t& Attribute(const QxMoxStr::String_t& name, const QxMoxStr::String_t& value);
  XmlWriter_t& Data(const QxMoxStr::String_t& text);
  // CloseTag closes the innermost open tag; throws IllegalStateError_t when none is open.
  XmlWriter_t& CloseTag();
  // GetText returns what was written so far (open tags are not closed).
  const std::string& GetText() const { return m_out; }
  size_t GetDepth() const { return m_open.size(); }

 private:
  void FinishStartTag();
  std::string m_out;
  std::vector<std::string> m_open;
  bool m_startTagOpen = false;
};

}  // namespace QxMoxXml
