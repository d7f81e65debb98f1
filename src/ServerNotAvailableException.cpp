// ServerNotAvailableException: a failed call to the certificate server, with its cause.
#include "qxseccm/Catalog.h"
#include "qxseccm/Exceptions.h"

namespace QxSecCm {
namespace {

constexpr int kCallFailed = 55;

QxMoxMsg::Message_t CallFailed(const QxMoxMsg::MessageList_t& cause) {
  QxMoxMsg::Message_t message = Catalog::Warn(kCallFailed);
  message.AddDetails(cause);
  return message;
}

bool IsCallFailed(const QxMoxMsg::Message_t& message) {
  return message.GetNumber() == kCallFailed &&
         message.GetCatalogName() == Catalog::GetCatalog().GetName();
}

}  // namespace

ServerNotAvailableException::ServerNotAvailableException(const QxMoxMsg::Exception_t& cause)
    : SecCmException(CallFailed(cause.GetMessageList())) {}

ServerNotAvailableException::ServerNotAvailableException(const QxMoxMsg::Message_t& message)
    : SecCmException(IsCallFailed(message) ? message : CallFailed(message)) {}

ServerNotAvailableException::~ServerNotAvailableException() = default;

}  // namespace QxSecCm
