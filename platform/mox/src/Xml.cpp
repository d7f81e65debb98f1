// Streaming XML writer: checked names, escaped text and attribute values, UTF-8 output.
#include "qxmox/Xml.h"

#include <algorithm>

#include "qxmox/Exception.h"

namespace QxMoxXml {
namespace {

using QxMoxStr::String_t;

// Decodes the next code point of text at i, or throws for a lone surrogate.
char32_t NextCodePoint(const std::u16string& text, size_t& i) {
  const char16_t c = text[i++];
  if (c >= 0xD800 && c <= 0xDBFF) {
    if (i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
      const char16_t low = text[i++];
      return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (low - 0xDC00);
    }
    QxMoxMsg::ThrowIllegalArgument("XML: unpaired surrogate in text");
  }
  if (c >= 0xDC00 && c <= 0xDFFF) QxMoxMsg::ThrowIllegalArgument("XML: unpaired surrogate in text");
  return c;
}

// Char ::= #x9 | #xA | #xD | [#x20-#xD7FF] | [#xE000-#xFFFD] | [#x10000-#x10FFFF]
bool IsXmlChar(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// NameStartChar without ':' (names are checked as prefix:local, each part on its own).
bool IsNameStart(char32_t c) {
  return (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') || (c >= 0xC0 && c <= 0xD6) ||
         (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
         (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
         (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) ||
         (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
         (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(char32_t c) {
  return IsNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// A qualified name: NCName, optionally "prefix:" before it. Returns the name in UTF-8.
std::string CheckedName(const String_t& name) {
  const std::u16string& text = name.Str();
  std::string out;
  bool ok = !text.empty();
  bool atPartStart = true;
  bool sawColon = false;
  for (size_t i = 0; ok && i < text.size();) {
    const char32_t c = NextCodePoint(text, i);
    if (c == ':') {
      ok = !atPartStart && !sawColon;
      sawColon = atPartStart = true;
    } else {
      ok = atPartStart ? IsNameStart(c) : IsNameChar(c);
      atPartStart = false;
    }
    AppendUtf8(out, c);
  }
  if (!ok || atPartStart) {
    QxMoxMsg::ThrowIllegalArgument(String_t("XML: not a name: \"") + name + String_t("\""));
  }
  return out;
}

// Escapes text for element content (attribute = false) or a double-quoted attribute value.
// Line ends and tabs in attributes become character references because a parser would turn
// them into spaces; a CR in content likewise, because a parser would turn it into LF.
void AppendEscaped(std::string& out, const String_t& value, bool attribute) {
  const std::u16string& text = value.Str();
  for (size_t i = 0; i < text.size();) {
    const char32_t c = NextCodePoint(text, i);
    if (!IsXmlChar(c)) {
      QxMoxMsg::ThrowIllegalArgument("XML: text holds a character XML cannot carry");
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\r':
        out += "&#13;";
        break;
      case '"':
        out += attribute ? "&quot;" : "\"";
        break;
      case '\n':
        out += attribute ? "&#10;" : "\n";
        break;
      case '\t':
        out += attribute ? "&#9;" : "\t";
        break;
      default:
        AppendUtf8(out, c);
    }
  }
}

}  // namespace

void XmlWriter_t::FinishStartTag() {
  if (m_startTagOpen) {
    m_out.push_back('>');
    m_startTagOpen = false;
    m_attributes.clear();
  }
}

XmlWriter_t& XmlWriter_t::OpenTag(const QxMoxStr::String_t& name) {
  std::string checked = CheckedName(name);
  FinishStartTag();
  m_out += '<';
  m_out += checked;
  m_open.push_back(std::move(checked));
  m_startTagOpen = true;
  return *this;
}

XmlWriter_t& XmlWriter_t::Attribute(const QxMoxStr::String_t& name,
                                    const QxMoxStr::String_t& value) {
  if (!m_startTagOpen) QxMoxMsg::ThrowIllegalState("XML: attribute outside a start tag");
  std::string checked = CheckedName(name);
  if (std::find(m_attributes.begin(), m_attributes.end(), checked) != m_attributes.end()) {
    QxMoxMsg::ThrowIllegalArgument(String_t("XML: duplicate attribute \"") + name + String_t("\""));
  }
  // Escape into a scratch string first so a refused value leaves the output unchanged.
  std::string piece = " " + checked + "=\"";
  AppendEscaped(piece, value, true);
  piece += '"';
  m_out += piece;
  m_attributes.push_back(std::move(checked));
  return *this;
}

XmlWriter_t& XmlWriter_t::Data(const QxMoxStr::String_t& text) {
  if (m_open.empty()) QxMoxMsg::ThrowIllegalState("XML: text outside an element");
  std::string piece;
  AppendEscaped(piece, text, false);
  FinishStartTag();
  m_out += piece;
  return *this;
}

XmlWriter_t& XmlWriter_t::CloseTag() {
  if (m_open.empty()) QxMoxMsg::ThrowIllegalState("XML: no open element to close");
  if (m_startTagOpen) {
    m_out += "/>";
    m_startTagOpen = false;
    m_attributes.clear();
  } else {
    m_out += "</";
    m_out += m_open.back();
    m_out += '>';
  }
  m_open.pop_back();
  return *this;
}

}  // namespace QxMoxXml
