// NotificationService: the server's "/notificationhandler/" methods, observer registration.
#pragma once

#include <functional>

#include "RpcService.h"
#include "Store.h"

namespace QxCmServer {

// NotificationService serves, for administrators, "RegisterObserver" ("uri", "pid", "name";
// "result" true once the callback address is registered: events after the last one so far go
// to it) and "DeregisterObserver" ("uri"; "result" true when it was registered). changed is
// called after either method changed the stored observers. The store must outlive the service.
class NotificationService : public RpcService {
 public:
  NotificationService(Store& store, const AccessRule& rule, std::function<void()> changed);

 private:
  std::vector<Method> Methods();

  Store& m_store;
  std::function<void()> m_changed;
};

}  // namespace QxCmServer
