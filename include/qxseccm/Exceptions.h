// The library's exceptions: SecCmException, ServerNotAvailableException, UnknownRequestIdException.
#pragma once

#include "qxmox/Exception.h"
#include "qxseccm/ExceptionTracer.h"

namespace QxSecCm {

// SecCmException is the base of the library's own exceptions; it is a
// QxMoxMsg::RuntimeException_t and so a QxMoxMsg::Exception_t.
class SecCmException : public QxMoxMsg::RuntimeException_t {
 public:
  // SecCmException(cause) takes over cause's messages.
  explicit SecCmException(const QxMoxMsg::Exception_t& cause);
  // SecCmException(message) carries message.
  explicit SecCmException(const QxMoxMsg::Message_t& message);
  ~SecCmException() override;
};

// ServerNotAvailableException reports a failed call to the certificate server. It always
// carries catalog message 55 "Call to server failed." (warning) with the cause as details.
class ServerNotAvailableException : public SecCmException {
 public:
  // ServerNotAvailableException(cause) builds message 55 and adds cause's message list as
  // details.
  explicit ServerNotAvailableException(const QxMoxMsg::Exception_t& cause);
  // ServerNotAvailableException(message) carries message when it is already message 55 of the
  // library's catalog (built by the throw site with its cause attached); any other message is
  // taken as the cause and attached to a new message 55 as details.
  explicit ServerNotAvailableException(const QxMoxMsg::Message_t& message);
  ~ServerNotAvailableException() override;
};

// UnknownRequestIdException reports that the certificate server does not know a request id;
// it carries catalog message 56 "Unknown request id '%1'." with the id as %1.
class UnknownRequestIdException : public SecCmException {
 public:
  // UnknownRequestIdException(message) carries message (message 56 with the id appended).
  explicit UnknownRequestIdException(const QxMoxMsg::Message_t& message);
  ~UnknownRequestIdException() override;
};

template <>
struct ExceptionName<SecCmException> {
  static constexpr const char* value = "SecCmException";
};
template <>
struct ExceptionName<ServerNotAvailableException> {
  static constexpr const char* value = "ServerNotAvailableException";
};
template <>
struct ExceptionName<UnknownRequestIdException> {
  static constexpr const char* value = "UnknownRequestIdException";
};

}  // namespace QxSecCm
