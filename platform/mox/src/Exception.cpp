// The runtime's exceptions and the throw helpers of its own failures.
#include "qxmox/Exception.h"

#include <cstring>

namespace QxMoxMsg {

const char* Exception_t::what() const noexcept {
  try {
    if (m_what.empty()) m_what = m_messages.Format(FMT_DETAILS).ToUtf8();
    return m_what.c_str();
  } catch (...) {
    return "exception (message could not be formatted)";
  }
}

void ThrowIO(const QxMoxStr::String_t& text) { throw QxMoxIo::IOException_t(CreateWarn_t(text)); }

void ThrowIllegalArgument(const QxMoxStr::String_t& text) {
  throw IllegalArgumentError_t(CreateWarn_t(text));
}

void ThrowIllegalState(const QxMoxStr::String_t& text) {
  throw IllegalStateError_t(CreateWarn_t(text));
}

void ThrowRuntime(const QxMoxStr::String_t& text) {
  throw RuntimeException_t(CreateWarn_t(text));
}

void ThrowErrno(const QxMoxStr::String_t& what, int err) {
  QxMoxStr::String_t text(what);
  text.Append(": ").Append(std::strerror(err));
  throw QxMoxIo::IOException_t(CreateWarn_t(text));
}

}  // namespace QxMoxMsg
