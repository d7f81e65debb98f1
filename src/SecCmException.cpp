// SecCmException: the base of the library's own exceptions.
#include "qxseccm/Exceptions.h"

namespace QxSecCm {

SecCmException::SecCmException(const QxMoxMsg::Exception_t& cause)
    : QxMoxMsg::RuntimeException_t(cause.GetMessageList()) {}

SecCmException::SecCmException(const QxMoxMsg::Message_t& message)
    : QxMoxMsg::RuntimeException_t(message) {}

SecCmException::~SecCmException() = default;

}  // namespace QxSecCm
