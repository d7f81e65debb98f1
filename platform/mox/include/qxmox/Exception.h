// The runtime's exception classes; every one carries a message list.
#pragma once

#include <exception>
#include <string>

#include "qxmox/Message.h"

namespace QxMoxMsg {

// Exception_t is the base of every runtime and library exception.
class Exception_t : public std::exception {
 public:
  explicit Exception_t(const Message_t& message) : m_messages(message) {}
  explicit Exception_t(MessageList_t messages) : m_messages(std::move(messages)) {}
  ~Exception_t() override = default;
  const MessageList_t& GetMessageList() const { return m_messages; }
  // what returns the message list formatted with its details, in UTF-8.
  const char* what() const noexcept override;

 private:
  MessageList_t m_messages;
  mutable std::string m_what;
};

#define QX_MOX_EXCEPTION(Name, Base)                                        \
  class Name : public Base {                                                \
   public:                                                                  \
    explicit Name(const QxMoxMsg::Message_t& message) : Base(message) {}    \
    explicit Name(QxMoxMsg::MessageList_t messages) : Base(std::move(messages)) {} \
  };

QX_MOX_EXCEPTION(RuntimeException_t, Exception_t)
QX_MOX_EXCEPTION(IllegalArgumentError_t, Exception_t)
QX_MOX_EXCEPTION(IllegalStateError_t, Exception_t)

}  // namespace QxMoxMsg

namespace QxMoxIo {
QX_MOX_EXCEPTION(IOException_t, QxMoxMsg::Exception_t)
}  // namespace QxMoxIo

namespace QxMoxLog {
QX_MOX_EXCEPTION(LogException_t, QxMoxMsg::Exception_t)
}  // namespace QxMoxLog

namespace QxMoxMsg {
// Throw helpers for the runtime's own failures: the text becomes a plain warning message.
[[noreturn]] void ThrowIO(const QxMoxStr::String_t& text);
[[noreturn]] void ThrowIllegalArgument(const QxMoxStr::String_t& text);
[[noreturn]] void ThrowIllegalState(const QxMoxStr::String_t& text);
[[noreturn]] void ThrowRuntime(const QxMoxStr::String_t& text);
// ThrowErrno throws IOException_t "<what>: <strerror(err)>".
[[noreturn]] void ThrowErrno(const QxMoxStr::String_t& what, int err);
}  // namespace QxMoxMsg
