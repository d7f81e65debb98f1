// Messages: argument filling and formatting.
#include "qxmox/Message.h"

#include <cstring>

namespace QxMoxMsg {

Message_t::Message_t(Severity_e severity, QxMoxStr::String_t catalog, int number,
                     QxMoxStr::String_t text)
    : m_severity(severity), m_catalog(std::move(catalog)), m_number(number),
      m_text(std::move(text)) {}

Message_t& Message_t::operator<<(const QxMoxStr::String_t& arg) {
  m_args.push_back(arg);
  return *this;
}

Message_t& Message_t::operator<<(const char* arg) {
  m_args.emplace_back(arg == nullptr ? "" : arg);
  return *this;
}

Message_t& Message_t::operator<<(int arg) {
  m_args.push_back(QxMoxStr::NumToStr(arg));
  return *this;
}

Message_t& Message_t::AddDetails(const Message_t& detail) {
  m_details.push_back(detail);
  return *this;
}

Message_t& Message_t::AddDetails(const MessageList_t& details) {
  for (const Message_t& m : details) m_details.push_back(m);
  return *this;
}

QxMoxStr::String_t Message_t::Format(int flags) const {
  const std::u16string& t = m_text.Str();
  std::u16string out;
  out.reserve(t.size());
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == u'%' && i + 1 < t.size()) {
      const char16_t next = t[i + 1];
      if (next >= u'1' && next <= u'9') {
        const size_t arg = static_cast<size_t>(next - u'1');
        if (arg < m_args.size()) out += m_args[arg].Str();
        ++i;
        continue;
      }
      if (next == u'%') {
        out += u'%';
        ++i;
        continue;
      }
    }
    out += t[i];
  }
  QxMoxStr::String_t result;
  if ((flags & FMT_ID) != 0 && m_number != 0) {
    result.Append("[").Append(m_catalog).Append(":").Append(QxMoxStr::NumToStr(m_number))
        .Append("] ");
  }
  result.Append(QxMoxStr::String_t(std::move(out)));
  if ((flags & FMT_DETAILS) != 0 && !m_details.empty()) {
    result.Append(" (");
    for (size_t i = 0; i < m_details.size(); ++i) {
      if (i > 0) result.Append("; ");
      result.Append(m_details[i].Format(flags));
    }
    result.Append(")");
  }
  return result;
}

QxMoxStr::String_t MessageList_t::Format(int flags) const {
  QxMoxStr::String_t out;
  for (size_t i = 0; i < m_messages.size(); ++i) {
    if (i > 0) out.Append("; ");
    out.Append(m_messages[i].Format(flags));
  }
  return out;
}

Win32Message_t::Win32Message_t(int code, int /*flags*/)
    : Message_t(SEV_ERROR, QxMoxStr::String_t("os"), code, QxMoxStr::String_t(std::strerror(code))) {}

}  // namespace QxMoxMsg
