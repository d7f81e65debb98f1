// The messenger's body, shared with the RPC client.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HttpTransport.h"
#include "Listener.h"
#include "qxzeb/Messenger.h"

namespace QxZebMsg {

struct MessengerImpl : QxZebCore::ObjectBody {
  QxZebHttp::Settings settings;
  Messenger::Options options;
  std::string basePath;  // normalised
  std::string baseAddress, tlsBaseAddress;
  std::mutex mutex;
  bool closed = false;
  // Routes go before the listeners: a listener is released only after its routes are removed.
  std::map<MsgHandler*, std::pair<std::string, std::shared_ptr<HandlerGate>>> registered;
  // Each listener serves http and, with an identity, https.
  std::vector<std::shared_ptr<Listener>> listeners;

  ~MessengerImpl() override;
  void Close();
  // Post returns the post of a message, not yet sent, with the messenger's timeout unless
  // timeoutMs is above 0 and, when the messenger listens, X-Qx-From. Throws
  // QxMoxMsg::IllegalStateError_t on a closed messenger.
  QxZebHttp::PendingPost Post(const QxMoxNet::URI_t& uri, QxZebHttp::PostRequest request,
                              long timeoutMs, bool acceptStatus500);
};

// MessengerAccess reaches the body of a messenger handle.
struct MessengerAccess {
  static std::shared_ptr<MessengerImpl> Get(const Messenger& messenger);
};

}  // namespace QxZebMsg
