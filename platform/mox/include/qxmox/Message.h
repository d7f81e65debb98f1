// Messages (Message_t, MessageList_t), message catalogs and the message constructors.
#pragma once

#include <string>
#include <vector>

#include "qxmox/String.h"

namespace QxMoxMsg {

enum Severity_e { SEV_NONE = 0, SEV_INFO = 1, SEV_WARNING = 2, SEV_ERROR = 3 };

// Format flags, combined by OR.
enum FormatFlags_e {
  FMT_TEXT = 0,      // the text with its arguments filled in
  FMT_DETAILS = 4,   // append the details: " (detail; detail)"
  FMT_LABEL = 16,    // console label: the text alone
  FMT_ID = 32,       // prefix "[catalog:number] " when the message has a number
};

// MessageCatalog_t names a catalog of numbered messages. The default texts given where a
// message is created are the texts of record; a catalog may override them by number.
class MessageCatalog_t {
 public:
  explicit MessageCatalog_t(QxMoxStr::String_t name) : m_name(std::move(name)) {}
  const QxMoxStr::String_t& GetName() const { return m_name; }

 private:
  QxMoxStr::String_t m_name;
};

class MessageList_t;

// Message_t is one message: severity, catalog name, number, default text, the arguments that
// fill %1, %2, ... in order, and details (causes).
class Message_t {
 public:
  Message_t() = default;
  Message_t(Severity_e severity, QxMoxStr::String_t catalog, int number, QxMoxStr::String_t text);

  Message_t& operator<<(const QxMoxStr::String_t& arg);
  Message_t& operator<<(const char* arg);
  Message_t& operator<<(int arg);
  // AddDetails attaches a cause (a message or every message of a list).
  Message_t& AddDetails(const Message_t& detail);
  Message_t& AddDetails(const MessageList_t& details);

  Severity_e GetSeverity() const { return m_severity; }
  const QxMoxStr::String_t& GetCatalogName() const { return m_catalog; }
  int GetNumber() const { return m_number; }
  const QxMoxStr::String_t& GetDefaultText() const { return m_text; }
  const std::vector<QxMoxStr::String_t>& GetArgs() const { return m_args; }
  const std::vector<Message_t>& GetDetails() const { return m_details; }

  // Format returns the text: %1..%9 are replaced by the arguments (a missing one by nothing),
  // %% by %, then the flags add the id prefix and the details.
  QxMoxStr::String_t Format(int flags = FMT_TEXT) const;

 private:
  Severity_e m_severity = SEV_NONE;
  QxMoxStr::String_t m_catalog;
  int m_number = 0;
  QxMoxStr::String_t m_text;
  std::vector<QxMoxStr::String_t> m_args;
  std::vector<Message_t> m_details;
};

// MessageList_t is an ordered list of messages.
class MessageList_t {
 public:
  MessageList_t() = default;
  MessageList_t(const Message_t& message) { m_messages.push_back(message); }  // NOLINT
  void Add(const Message_t& message) { m_messages.push_back(message); }
  size_t GetCount() const { return m_messages.size(); }
  bool IsEmpty() const { return m_messages.empty(); }
  const Message_t& operator[](size_t i) const { return m_messages[i]; }
  const Message_t& First() const { return m_messages.front(); }
  auto begin() const { return m_messages.begin(); }
  auto end() const { return m_messages.end(); }
  // Format joins the formatted messages with "; ".
  QxMoxStr::String_t Format(int flags = FMT_TEXT) const;

 private:
  std::vector<Message_t> m_messages;
};

// CreateMessage_t builds a catalog message, or a plain one from text alone.
class CreateMessage_t : public Message_t {
 public:
  CreateMessage_t(Severity_e severity, const MessageCatalog_t& catalog, int number,
                  const QxMoxStr::String_t& text)
      : Message_t(severity, catalog.GetName(), number, text) {}
  CreateMessage_t(Severity_e severity, const QxMoxStr::String_t& text)
      : Message_t(severity, QxMoxStr::String_t(), 0, text) {}
};

#define QX_MOX_CREATE_SEVERITY(Name, Severity)                                         \
  class Name : public CreateMessage_t {                                                \
   public:                                                                             \
    Name(const MessageCatalog_t& catalog, int number, const QxMoxStr::String_t& text)  \
        : CreateMessage_t(Severity, catalog, number, text) {}                          \
    explicit Name(const QxMoxStr::String_t& text) : CreateMessage_t(Severity, text) {} \
  };
QX_MOX_CREATE_SEVERITY(CreateError_t, SEV_ERROR)
QX_MOX_CREATE_SEVERITY(CreateWarn_t, SEV_WARNING)
QX_MOX_CREATE_SEVERITY(CreateInfo_t, SEV_INFO)
#undef QX_MOX_CREATE_SEVERITY

// Win32Message_t is the text of an operating-system error code (errno on this platform).
class Win32Message_t : public Message_t {
 public:
  Win32Message_t(int code, int flags = 2);
};

}  // namespace QxMoxMsg
