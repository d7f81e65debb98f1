// RequestIntake: the server's "/msg/" handler, where nodes deliver their request messages.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "AutoGranter.h"
#include "Batcher.h"
#include "Metrics.h"
#include "Store.h"
#include "qxzeb/Message.h"

namespace QxCmServer {

// RequestIntake reads a request message (installation id "0": enciphered with the platform
// key; any other: with the installation key the store holds under that id) and answers one
// Int32, as the node's sender reads it:
//    1  the request is on record: stored now (PutRequest NEW), or already stored with the same
//       bytes (SAME: nothing new), or its id came again with other bytes (DUPLICATE: the node
//       is sent a response with code DUPLICATE);
//   -2  no installation key is registered under the installation id;
//   -3  the key does not decipher the message, the message is corrupt or cut short, or its
//       request has no id: the sender takes -3 as final, and bytes that failed to read once
//       never read later;
//    0  the store could not take it now (busy, failing): the sender tries again.
// A new request is offered to the auto granter after it is committed; changed is called after
// each commit that adds an event, telling whether it also added an outbox entry. Requests arriving
// together are stored in one transaction, and each is answered once that has committed. Store,
// granter and changed must outlive this handler.
class RequestIntake : public QxZebMsg::MsgHandler {
 public:
  RequestIntake(Store& store, AutoGranter& granter, Metrics& metrics,
                std::function<void(bool enqueued)> changed);
  ~RequestIntake() override;

  QxMoxStr::String_t GetBasePath() const override { return "/msg/"; }
  void Process(QxZebMsg::IncomingMsg& msg) override;

 private:
  int32_t Take(const QxZebMsg::IncomingMsg& msg);

  Store& m_store;
  AutoGranter& m_granter;
  Metrics& m_metrics;
  std::function<void(bool enqueued)> m_changed;
  Batcher<Request, PutOutcome> m_puts;
};

}  // namespace QxCmServer
