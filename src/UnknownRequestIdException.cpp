// UnknownRequestIdException: the certificate server does not know a request id.
#include "qxseccm/Exceptions.h"

namespace QxSecCm {

UnknownRequestIdException::UnknownRequestIdException(const QxMoxMsg::Message_t& message)
    : SecCmException(message) {}

UnknownRequestIdException::~UnknownRequestIdException() = default;

}  // namespace QxSecCm
