// RequestIntake: the server's "/msg/" handler, where nodes deliver their request messages.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "AutoGranter.h"
#include "Batcher.h"
#include "Decisions.h"
#include "Metrics.h"
#include "OutboxDelivery.h"
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
// A new request that the granter's policy covers is granted in the commit that stores it (with
// the actor "auto"): its response is in the outbox once the node is answered. changed is called
// after each commit that adds an event, telling whether it also added an outbox entry (for a
// grant, decisions calls its own). Requests arriving together are stored in one transaction, and
// each is answered once that has committed. A request on record already (a node sending it
// again) may have a certificate issued that is then not stored: serial numbers have gaps, never
// repeats. Each commit also records the response deliveries that ended meanwhile. Store,
// granter, decisions, outbox and changed must outlive this handler.
class RequestIntake : public QxZebMsg::MsgHandler {
 public:
  RequestIntake(Store& store, const AutoGranter& granter, Decisions& decisions,
                OutboxDelivery& outbox, Metrics& metrics,
                std::function<void(bool enqueued)> changed);
  ~RequestIntake() override;

  QxMoxStr::String_t GetBasePath() const override { return "/msg/"; }
  void Process(QxZebMsg::IncomingMsg& msg) override;

 private:
  // What storing a request came to: its outcome, and whether it was granted with it.
  struct Stored {
    PutOutcome outcome;
    bool granted = false;
  };

  int32_t Take(const QxZebMsg::IncomingMsg& msg);
  // StoreGroup stores requests and grants those the policy covers, in one transaction that also
  // records the delivery attempts that ended meanwhile.
  std::vector<Stored> StoreGroup(const std::vector<Request>& requests);

  Store& m_store;
  const AutoGranter& m_granter;
  Decisions& m_decisions;
  OutboxDelivery& m_outbox;
  Metrics& m_metrics;
  std::function<void(bool enqueued)> m_changed;
  Batcher<Request, Stored> m_puts;
};

}  // namespace QxCmServer
