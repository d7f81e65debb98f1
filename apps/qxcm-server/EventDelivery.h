// EventDelivery: the thread that sends the stored events to the registered observers.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "DeliveryThread.h"
#include "Store.h"
#include "qxseccm/CertEvent.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Rpc.h"

namespace QxCmServer {

// EventDelivery sends every stored event, in order, to each registered observer's callback
// address as a "SendUpdate" call (argument "ce", result "result"), starting after the last
// event the observer received (Store::ObserverDelivered). Both observer twins read the event
// with its request. A failed call makes that observer wait (Tuning::firstWaitMs, doubled after
// each further failure in a row) while the others go on; after Tuning::maxFailures failures in
// a row the observer is removed and a warning logged. The thread sleeps until an observer's
// wait ends or Wake: call Wake after a change that wrote events, and ObserversChanged after one
// that registered or removed an observer; the change itself never waits for the delivery.
// While no observer is registered, Wake does nothing: the list is read again after
// ObserversChanged, or Tuning::maxSleepMs after it was last read (another process may register
// one). The store must outlive the object.
class EventDelivery {
 public:
  struct Tuning {
    int maxFailures = 5;
    int64_t firstWaitMs = 2000;
    int64_t maxWaitMs = 60000;
    long timeoutMs = 10000;      // one call's time limit
    int batch = 100;             // events read at once for one observer
    int64_t maxSleepMs = 30000;  // the longest sleep without a wake-up (another process may add)
  };

  EventDelivery(Store& store, QxZebMsg::Messenger sender);
  EventDelivery(Store& store, QxZebMsg::Messenger sender, const Tuning& tuning,
                Clock clock = SystemClockMs);
  ~EventDelivery();
  EventDelivery(const EventDelivery&) = delete;
  EventDelivery& operator=(const EventDelivery&) = delete;

  void Start();
  // Stop lets the call in progress finish and joins the thread.
  void Stop() { m_thread.Stop(); }
  // Wake does nothing while the last pass found no observer: no one waits for the events.
  void Wake() {
    if (!m_noObservers) m_thread.Wake();
  }
  void ObserversChanged() {
    m_observersChanged = true;
    m_thread.Wake();
  }

  // ToCertEvent returns the event as observers receive it: the type code, a short text (what
  // happened and the payload) and the stored request record (only the id when the request is
  // not stored or its record cannot be read).
  static QxSecCm::CertEvent ToCertEvent(Store& store, const Event& event);

 private:
  int64_t Pass();
  // CatchUp sends observer's events from its last delivered one on; returns the time until it
  // should be visited again (0: more events wait, the tuning's sleep: it is up to date).
  int64_t CatchUp(const Observer& observer, int64_t now);
  bool Send(const std::string& callback, const Event& event);

  Store& m_store;
  QxZebMsg::Messenger m_sender;
  QxZebRpc::RpcClient m_client;
  const Tuning m_tuning;
  const Clock m_clock;
  std::map<std::string, int64_t> m_retryAt;  // observers waiting after a failure (thread only)
  std::atomic<bool> m_observersChanged{true};
  std::optional<int64_t> m_noneSince;      // when the store last listed no observer (thread only)
  std::atomic<bool> m_noObservers{false};  // whether the last list read was empty
  DeliveryThread m_thread;                 // after the members its pass uses
};

}  // namespace QxCmServer
