#include "OutboxDelivery.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

#include "qxmox/Exception.h"
#include "qxmox/Io.h"

namespace QxCmServer {

namespace {

constexpr int64_t kRetryMs = 1000;

// ResponseUri is the node's response handler below its callback address.
QxMoxNet::URI_t ResponseUri(std::string destination) {
  while (!destination.empty() && destination.back() == '/') destination.pop_back();
  return QxMoxNet::URI_t(QxMoxStr::String_t(destination + "/msg/"));
}

// Guarded returns f(), or nothing when it throws: the one place a transport failure is mapped
// (to a node that could not be reached or did not answer with a reply).
template <class F>
auto Guarded(F f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Deliver sends each entry's body to its destination, all before any answer is read, then reads
// the answers in order and returns the node's reply per entry: nothing for an entry whose node
// could not be reached or did not answer with a reply. A node that does not answer, or whose
// connection is not made, delays the others of the batch by at most the timeout (each such
// node): an acceptable price for one wake-up per batch, since their answers wait meanwhile on
// their connections and are read at once after.
std::vector<std::optional<int32_t>> Deliver(QxZebMsg::Messenger& sender,
                                            const std::vector<OutboxEntry>& entries,
                                            long timeoutMs) {
  std::vector<std::optional<QxZebMsg::OutgoingMsg>> sent;
  sent.reserve(entries.size());
  for (const OutboxEntry& entry : entries) {
    sent.push_back(Guarded([&]() -> std::optional<QxZebMsg::OutgoingMsg> {
      QxZebMsg::OutgoingMsg msg = sender.CreateMsg(
          ResponseUri(entry.destination), QxZebMsg::OutputMsg::Options().SetTimeout(timeoutMs));
      msg.Write(entry.body.data(), entry.body.size());
      msg.Send();
      return msg;
    }));
  }
  std::vector<std::optional<int32_t>> replies;
  replies.reserve(entries.size());
  for (std::optional<QxZebMsg::OutgoingMsg>& msg : sent) {
    replies.push_back(Guarded([&]() -> std::optional<int32_t> {
      if (!msg) return std::nullopt;
      const QxZebMsg::IncomingReply reply = msg->ReceiveReply();
      if (reply.GetStatus() != 200) return std::nullopt;
      QxMoxIo::CharArrayInputStream_t body = reply.GetInputStream();
      QxMoxIo::DataInputStream_t in(body);
      return in.ReadInt32();
    }));
  }
  return replies;
}

}  // namespace

OutboxDelivery::OutboxDelivery(Store& store, QxZebMsg::Messenger sender, Metrics& metrics)
    : OutboxDelivery(store, std::move(sender), metrics, Tuning()) {}

OutboxDelivery::OutboxDelivery(Store& store, QxZebMsg::Messenger sender, Metrics& metrics,
                               const Tuning& tuning, Clock clock)
    : m_store(store),
      m_sender(std::move(sender)),
      m_metrics(metrics),
      m_tuning(tuning),
      m_clock(std::move(clock)),
      m_thread("response delivery", kRetryMs) {}

OutboxDelivery::~OutboxDelivery() { Stop(); }

void OutboxDelivery::Wake() {
  {
    std::lock_guard lock(m_mutex);
    m_enqueued = true;
  }
  m_thread.Wake();
}

void OutboxDelivery::Work() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_work.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
    if (m_stopping) return;
    // One wake-up of this thread serves up to kBatch entries.
    const auto end =
        m_queue.begin() + static_cast<std::ptrdiff_t>(std::min(m_queue.size(), kBatch));
    std::vector<OutboxEntry> batch(std::make_move_iterator(m_queue.begin()),
                                   std::make_move_iterator(end));
    m_queue.erase(m_queue.begin(), end);
    lock.unlock();
    const std::vector<std::optional<int32_t>> replies =
        Deliver(m_sender, batch, m_tuning.timeoutMs);
    lock.lock();
    const bool first = m_ended.empty();
    if (first) m_firstEnded = std::chrono::steady_clock::now();
    for (size_t i = 0; i < batch.size(); ++i) {
      m_ended.push_back(DeliveryAttempt{batch[i].id, replies[i]});
    }
    m_sending -= batch.size();
    // The pass thread needs to know when the first attempt of a commit ended (to time the
    // commit), and when this sender is free for entries that wait for one.
    if (first || m_enqueued || m_backlog || m_ended.size() >= Capacity()) m_thread.Wake();
  }
}

OutboxDelivery::Ended OutboxDelivery::TakeEnded() {
  Ended ended;
  {
    std::lock_guard lock(m_mutex);
    if (m_ended.empty()) return ended;
    ended.attempts.swap(m_ended);
    ++m_taken;
  }
  ended.nowMs = m_clock();
  return ended;
}

void OutboxDelivery::Recorded(const Ended& ended, const std::vector<OutboxState_e>& states) {
  if (ended.attempts.empty()) return;  // nothing was taken
  bool retry = states.empty();
  for (const OutboxState_e state : states) retry = retry || state == OutboxState_e::RETRY;
  {
    std::lock_guard lock(m_mutex);
    for (const DeliveryAttempt& attempt : ended.attempts) m_inFlight.erase(attempt.id);
    if (retry) m_enqueued = true;  // new due times, or the entries are due again
    --m_taken;
  }
  m_recorded.notify_all();
  // Recorded on another thread: the pass thread hands out what is due again.
  if (retry) m_thread.Wake();
  bool replied = false;
  for (size_t i = 0; i < states.size(); ++i) {
    const std::optional<int>& reply = ended.attempts[i].reply;
    if (!reply) continue;
    replied = true;
    if (states[i] == OutboxState_e::DONE && (*reply == 0 || *reply == 3))
      m_metrics.CountDelivered();
  }
  if (replied && m_answered) m_answered();
}

void OutboxDelivery::Record() {
  const Ended ended = TakeEnded();
  if (ended.attempts.empty()) return;
  std::vector<OutboxState_e> states;
  try {
    states = m_store.RecordAttempts(ended.attempts, ended.nowMs);
  } catch (const std::exception& e) {
    // The entries stay due in the store and are sent again.
    LogError(std::string("response delivery: ") + e.what());
  }
  Recorded(ended, states);
}

void OutboxDelivery::RecordEnded() {
  Record();
  // Attempts another commit took are committed too before this returns.
  std::unique_lock lock(m_mutex);
  m_recorded.wait(lock, [this] { return m_taken == 0; });
}

// Pass records the attempts that waited long enough, hands the due entries that are not in
// flight to the free senders, and returns how long to sleep: until the next entry is due or the
// ended attempts are to be recorded, whichever comes first.
int64_t OutboxDelivery::Pass() {
  using std::chrono::steady_clock;
  const auto delay = std::chrono::milliseconds(m_tuning.recordDelayMs);
  bool record = false;
  {
    std::lock_guard lock(m_mutex);
    record = !m_ended.empty() &&
             (m_ended.size() >= Capacity() || steady_clock::now() - m_firstEnded >= delay);
  }
  if (record) Record();

  const int64_t now = m_clock();
  std::set<int64_t> skip;
  size_t free = 0;
  {
    std::lock_guard lock(m_mutex);
    free = Capacity() - std::min(m_sending, Capacity());
    if (free > 0 && (m_enqueued || m_backlog || now >= m_nextDueMs)) {
      m_enqueued = false;
      skip = m_inFlight;
    } else {
      free = 0;
    }
  }
  if (free > 0) {
    DueEntries due;
    try {
      due = m_store.Due(now, static_cast<int>(free), skip);
    } catch (...) {
      std::lock_guard lock(m_mutex);
      m_enqueued = true;
      throw;
    }
    std::lock_guard lock(m_mutex);
    for (OutboxEntry& entry : due.entries) {
      m_inFlight.insert(entry.id);
      m_queue.push_back(std::move(entry));
      ++m_sending;
    }
    for (size_t i = 0; i < due.entries.size(); i += kBatch) m_work.notify_one();
    m_backlog = due.nextDueMs && *due.nextDueMs <= now;
    // Another process may add entries without waking this one: look again after maxSleepMs.
    m_nextDueMs = std::min(due.nextDueMs.value_or(INT64_MAX), now + m_tuning.maxSleepMs);
  }

  std::lock_guard lock(m_mutex);
  int64_t sleepMs = m_tuning.maxSleepMs;
  // With a backlog every sender is busy, and the next one to end wakes this thread.
  if (!m_backlog && m_nextDueMs > now) sleepMs = std::min(sleepMs, m_nextDueMs - now);
  if (!m_ended.empty()) {
    const auto left = delay - (steady_clock::now() - m_firstEnded);
    sleepMs = std::min<int64_t>(
        sleepMs, std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
  }
  return sleepMs;
}

void OutboxDelivery::Start() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_pool.empty()) return;
    m_stopping = false;
    m_enqueued = true;
    for (size_t i = 0; i < Capacity(); ++i) m_pool.emplace_back([this] { Work(); });
  }
  m_thread.Start([this] { return Pass(); });
}

void OutboxDelivery::Stop() {
  m_thread.Stop();
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_queue.clear();
  }
  m_work.notify_all();
  for (std::thread& t : m_pool) t.join();
  m_pool.clear();
  // The sends that were in progress have ended: their attempts are recorded now.
  RecordEnded();
  std::lock_guard lock(m_mutex);
  m_inFlight.clear();
  m_sending = 0;
  m_backlog = false;
  m_nextDueMs = INT64_MAX;
}

}  // namespace QxCmServer
