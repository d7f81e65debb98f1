// A small streaming XML writer with escaping of text, attribute values and checked names.
#pragma once

#include <string>
#include <vector>

#include "qxmox/String.h"

namespace QxMoxXml {

// XmlWriter_t writes UTF-8 XML into a buffer (no XML declaration). Names are checked: an
// element or attribute name must be an XML name with at most one colon, between a prefix and
// the local part ("SOAP-ENV:Envelope"); anything else throws QxMoxMsg::IllegalArgumentError_t.
// Text escapes & < > and CR (as &#13;, so a parser gives the CR back); attribute values are
// double-quoted and also escape ", LF and TAB. Characters that XML 1.0 cannot carry (controls
// other than TAB, LF and CR, unpaired surrogates, U+FFFE, U+FFFF) throw IllegalArgumentError_t.
// A call that throws leaves the output as it was. An element without content is written as
// <name/>.
class XmlWriter_t {
 public:
  // OpenTag starts an element inside the current one (or the root).
  XmlWriter_t& OpenTag(const QxMoxStr::String_t& name);
  // Attribute adds an attribute to the tag just opened (before any Data or child). Throws
  // IllegalStateError_t when no start tag is open, IllegalArgumentError_t for a name already
  // given to this tag.
  XmlWriter_t& Attribute(const QxMoxStr::String_t& name, const QxMoxStr::String_t& value);
  // Data writes escaped text into the innermost open element; throws IllegalStateError_t when
  // no element is open. The null string writes nothing.
  XmlWriter_t& Data(const QxMoxStr::String_t& text);
  // CloseTag closes the innermost open tag; throws IllegalStateError_t when none is open.
  XmlWriter_t& CloseTag();
  // GetText returns what was written so far (open tags are not closed).
  const std::string& GetText() const { return m_out; }
  size_t GetDepth() const { return m_open.size(); }

 private:
  void FinishStartTag();
  std::string m_out;
  std::vector<std::string> m_open;        // names of the open elements, innermost last
  std::vector<std::string> m_attributes;  // attribute names of the start tag still open
  bool m_startTagOpen = false;
};

}  // namespace QxMoxXml
