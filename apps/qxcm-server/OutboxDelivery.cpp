#include "OutboxDelivery.h"

#include <algorithm>

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

// Send sends body to destination and returns the node's reply; nothing when the node could
// not be reached or did not answer with a reply (the one place a transport failure is mapped).
std::optional<int32_t> Send(QxZebMsg::Messenger& sender, const OutboxEntry& entry, long timeoutMs) {
  try {
    QxZebMsg::OutgoingMsg msg = sender.CreateMsg(
        ResponseUri(entry.destination), QxZebMsg::OutputMsg::Options().SetTimeout(timeoutMs));
    msg.Write(entry.body.data(), entry.body.size());
    const QxZebMsg::IncomingReply reply = msg.ReceiveReply();
    if (reply.GetStatus() != 200) return std::nullopt;
    QxMoxIo::CharArrayInputStream_t body = reply.GetInputStream();
    QxMoxIo::DataInputStream_t in(body);
    return in.ReadInt32();
  } catch (const std::exception&) {
    return std::nullopt;
  }
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
      m_records([this](std::vector<DeliveryAttempt>& attempts) {
        std::vector<OutboxState_e> states = m_store.RecordAttempts(attempts, m_clock());
        const bool replied = std::any_of(attempts.begin(), attempts.end(),
                                         [](const DeliveryAttempt& a) { return a.reply; });
        if (replied && m_answered) m_answered();
        return states;
      }),
      m_thread("response delivery", kRetryMs) {}

OutboxDelivery::~OutboxDelivery() { Stop(); }

void OutboxDelivery::Deliver(const OutboxEntry& entry) {
  const std::optional<int32_t> reply = Send(m_sender, entry, m_tuning.timeoutMs);
  if (m_records.Submit(DeliveryAttempt{entry.id, reply}) == OutboxState_e::DONE && reply &&
      (*reply == 0 || *reply == 3)) {
    m_metrics.CountDelivered();
  }
}

void OutboxDelivery::Work() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_work.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
    if (m_stopping) return;
    const OutboxEntry entry = std::move(m_queue.front());
    m_queue.pop_front();
    lock.unlock();
    // The top of a sender thread: a store failure is logged; the entry stays due.
    try {
      Deliver(entry);
    } catch (const std::exception& e) {
      LogError(std::string("response delivery: ") + e.what());
    }
    lock.lock();
    // Stays in flight until the next pass begins: a pass that read the due entries before this
    // attempt was recorded must not hand the entry out again.
    m_finished.push_back(entry.id);
    m_thread.Wake();
  }
}

// Pass hands out the due entries that are not in flight, as many as there are free senders,
// and returns how long to sleep: until the next entry is due, or until a send ends when every
// due entry is in flight.
int64_t OutboxDelivery::Pass() {
  const int64_t now = m_clock();
  size_t busy;
  {
    std::lock_guard lock(m_mutex);
    // Attempts finished before this pass reads the store are recorded there.
    for (const int64_t id : m_finished) m_inFlight.erase(id);
    m_finished.clear();
    busy = m_inFlight.size();
  }
  const size_t capacity = static_cast<size_t>(std::max(m_tuning.concurrency, 1));
  if (busy >= capacity) return m_tuning.maxSleepMs;
  // Asking for the busy ones too leaves room for every free sender.
  for (OutboxEntry& entry : m_store.Due(now, static_cast<int>(capacity))) {
    std::lock_guard lock(m_mutex);
    if (m_inFlight.size() >= capacity) break;
    if (!m_inFlight.insert(entry.id).second) continue;
    m_queue.push_back(std::move(entry));
    m_work.notify_one();
  }
  const std::optional<int64_t> next = m_store.NextDueMs();
  if (next && *next > now) return std::min(*next - now, m_tuning.maxSleepMs);
  return m_tuning.maxSleepMs;
}

void OutboxDelivery::Start() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_pool.empty()) return;
    m_stopping = false;
    for (int i = 0; i < std::max(m_tuning.concurrency, 1); ++i)
      m_pool.emplace_back([this] { Work(); });
  }
  m_thread.Start([this] { return Pass(); });
}

void OutboxDelivery::Stop() {
  m_thread.Stop();
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_queue.clear();
    m_inFlight.clear();
    m_finished.clear();
  }
  m_work.notify_all();
  for (std::thread& t : m_pool) t.join();
  m_pool.clear();
}

}  // namespace QxCmServer
