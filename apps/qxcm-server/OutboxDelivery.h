// OutboxDelivery: the thread that delivers the durable outbox's responses to the nodes.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "DeliveryThread.h"
#include "Metrics.h"
#include "Store.h"
#include "qxzeb/Messenger.h"

namespace QxCmServer {

// OutboxDelivery sends each due outbox entry's bytes as one message to "<destination>/msg/"
// (the node's response handler under its callback address) and records the node's reply, an
// Int32, or a failed attempt when the node could not be reached or its answer was not a reply
// (which waits longer each time). Up to Tuning::concurrency sends run at once on a pool of
// threads; a sender takes up to kBatch handed-out entries at once, sends them all and then reads
// their answers in order, so that one wake-up serves several entries. One thread reads the store
// and hands the due entries out, records the attempts that ended, all of them in one transaction
// (Store::RecordAttempts), and sleeps until the next entry is due, a send ends, or Wake. A sender
// does not wait for its attempt to be recorded: attempts ending within Tuning::recordDelayMs of
// each other share a commit, or ride in a commit of the intake that comes first (TakeEnded), and
// an entry stays in flight (never handed out again) until its attempt is recorded. Call Wake
// after enqueuing a response. The store and metrics must outlive the object.
class OutboxDelivery {
 public:
  // kBatch is the most entries one sender takes at once.
  static constexpr size_t kBatch = 8;

  struct Tuning {
    int concurrency = 32;        // sends in flight at once
    long timeoutMs = 30000;      // one send's time limit
    int64_t maxSleepMs = 30000;  // the longest sleep without a wake-up (another process may add)
    int64_t recordDelayMs = 10;  // the longest an ended attempt waits for others to share a commit
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
  // Stop finishes the sends in progress, records their attempts and joins the threads; entries
  // not yet sent stay due in the store.
  void Stop();
  void Wake();
  // RecordEnded records the attempts that ended now instead of after the commit delay, and
  // returns when they are committed: for a node's report that must be stored after its reply.
  void RecordEnded();
  // Ended is attempts that ended, taken to be recorded at nowMs.
  struct Ended {
    std::vector<DeliveryAttempt> attempts;
    int64_t nowMs = 0;
  };
  // TakeEnded hands the attempts that ended and wait to be recorded to a caller that records
  // them in a commit of its own (Store::Commit); it must then call Recorded, also when the
  // commit failed. A busy intake's commit so carries the nodes' replies, saving one of theirs.
  Ended TakeEnded();
  // Recorded lets the entries of ended out of flight once their attempts are committed with
  // states (one per attempt), or, with no states, once their commit failed: they stay due in
  // the store and are sent again.
  void Recorded(const Ended& ended, const std::vector<OutboxState_e>& states);
  // OnAnswered sets what is called after node replies are recorded (they add "answered" events,
  // which the event delivery should send at once). Set it before Start.
  void OnAnswered(std::function<void()> answered) { m_answered = std::move(answered); }

 private:
  int64_t Pass();
  void Work();
  // Record records the attempts in m_ended and lets their entries out of flight.
  void Record();
  size_t Capacity() const { return static_cast<size_t>(std::max(m_tuning.concurrency, 1)); }

  Store& m_store;
  QxZebMsg::Messenger m_sender;
  Metrics& m_metrics;
  const Tuning m_tuning;
  const Clock m_clock;
  std::mutex m_mutex;
  std::condition_variable m_work;
  std::deque<OutboxEntry> m_queue;       // handed out, not yet taken by a sender
  size_t m_sending = 0;                  // entries queued or being sent
  std::set<int64_t> m_inFlight;          // ids queued, being sent, or ended and not yet recorded
  std::vector<DeliveryAttempt> m_ended;  // attempts ended, not yet taken to be recorded
  size_t m_taken = 0;                    // batches of them taken and not yet recorded
  std::condition_variable m_recorded;    // m_taken went down
  std::chrono::steady_clock::time_point m_firstEnded;  // when the oldest of m_ended ended
  bool m_enqueued = true;           // Wake was called since the store was last read
  bool m_backlog = false;           // more entries were due than senders were free
  int64_t m_nextDueMs = INT64_MAX;  // when to read the store at the latest
  bool m_stopping = false;
  std::function<void()> m_answered;
  std::vector<std::thread> m_pool;
  DeliveryThread m_thread;  // after the members its pass uses
};

}  // namespace QxCmServer
