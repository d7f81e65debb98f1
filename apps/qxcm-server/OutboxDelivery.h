// OutboxDelivery: the thread that delivers the durable outbox's responses to the nodes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Batcher.h"
#include "DeliveryThread.h"
#include "Metrics.h"
#include "Store.h"
#include "qxzeb/Messenger.h"

namespace QxCmServer {

// OutboxDelivery sends each due outbox entry's bytes as one message to "<destination>/msg/"
// (the node's response handler under its callback address) and records the node's reply, an
// Int32, or a failed attempt when the node could not be reached or its answer was not a reply
// (which waits longer each time); attempts ending together are recorded in one transaction
// (Store::RecordAttempts). Up to
// Tuning::concurrency sends run at once on a pool of threads; one thread reads the store and
// hands them out, then sleeps until the next entry is due (Store::NextDueMs), a send ends, or
// Wake. Call Wake after enqueuing a response. The store and metrics must outlive the object.
class OutboxDelivery {
 public:
  struct Tuning {
    int concurrency = 32;        // sends in flight at once
    long timeoutMs = 30000;      // one send's time limit
    int64_t maxSleepMs = 30000;  // the longest sleep without a wake-up (another process may add)
  };

  OutboxDelivery(Store& store, QxZebMsg::Messenger sender, Metrics& metrics);
  OutboxDelivery(Store& store, QxZebMsg::Messenger sender, Metrics& metrics, const Tuning& tuning,
                 Clock clock = SystemClockMs);
  // ~OutboxDelivery stops.
  ~OutboxDelivery();
  OutboxDelivery(const OutboxDelivery&) = delete;
  OutboxDelivery& operator=(const OutboxDelivery&) = delete;

  // Start starts the threads (again after Stop).
  void Start();
  // Stop finishes the sends in progress and joins the threads; entries not yet sent stay due
  // in the store.
  void Stop();
  void Wake() { m_thread.Wake(); }
  // OnAnswered sets what is called after node replies are recorded (they add "answered" events,
  // which the event delivery should send at once). Set it before Start.
  void OnAnswered(std::function<void()> answered) { m_answered = std::move(answered); }

 private:
  int64_t Pass();
  void Work();
  void Deliver(const OutboxEntry& entry);

  Store& m_store;
  QxZebMsg::Messenger m_sender;
  Metrics& m_metrics;
  const Tuning m_tuning;
  const Clock m_clock;
  std::mutex m_mutex;
  std::condition_variable m_work;
  std::deque<OutboxEntry> m_queue;  // handed out, not yet taken by a sender
  std::set<int64_t> m_inFlight;     // ids queued, being sent, or sent since the last pass
  std::vector<int64_t> m_finished;  // ids sent and recorded since the last pass began
  bool m_stopping = false;
  std::function<void()> m_answered;
  Batcher<DeliveryAttempt, OutboxState_e> m_records;
  std::vector<std::thread> m_pool;
  DeliveryThread m_thread;  // after the members its pass uses
};

}  // namespace QxCmServer
