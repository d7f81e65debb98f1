#include "EventDelivery.h"

#include <algorithm>

#include "SoapArgNames.h"
#include "Swallow.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxmox/Log.h"
#include "qxseccm/SoapArgs.h"

namespace QxCmServer {

namespace {

constexpr int64_t kRetryMs = 1000;

// Info is the event's text: its type's name, then the payload, introduced as its type needs.
std::string Info(const Event& event) {
  const std::string what = EventName(event.type);
  if (event.payload.empty()) return what;
  switch (event.type) {
    case EVENT_GRANTED:
      return what + ", serial " + event.payload;
    case EVENT_ANSWERED:
      return what + ", reply " + event.payload;
    case EVENT_SUPERSEDED:
      return what + " by " + event.payload;
    default:
      return what + " " + event.payload;
  }
}

// RecordOf reads a stored request record into a record of type R; a record that cannot be read
// gives a record holding only the id.
template <class R>
R RecordOf(const std::optional<Request>& stored, const std::string& id) {
  R record;
  if (stored) {
    try {
      QxMoxIo::CharArrayInputStream_t in{QxMoxArray::CharArray_t(std::string_view(stored->record))};
      record->ReadFromWithPeerAddress(&in);
      if (record->GetPeerAddress().IsEmpty()) record->SetPeerAddress(stored->peerAddress);
      return record;
    } catch (const QxMoxMsg::Exception_t&) {
      record = R();
    }
  }
  record->SetId(QxMoxStr::String_t(id));
  return record;
}

// EventArg writes one event so that both observer twins read it with its request: type, info,
// the request as "certrequest" (the plain twin's name, also the extended twin's once the
// process switched to it) and again as "certrequest_ex" (the extended twin's otherwise). Each
// twin's parser skips, with its content, the element it does not know.
class EventArg : public QxZebSoap::SOAPArg {
 public:
  EventArg(const QxSecCm::CertEvent& event, const QxSecCm::CertRequest_ex& request)
      : SOAPArg("ce"), m_event(event), m_request(request) {}
  void WriteContentTo(QxMoxXml::XmlWriter_t& writer) const override {
    QxSecCm::SOAPArgCertEvent(GetName(), m_event).WriteContentTo(writer);
    const QxMoxStr::String_t name(QxSecCm::SoapNames::kEventRequestName_ex);
    writer.OpenTag(name);
    QxSecCm::SOAPArgCertRequest_ex(name, m_request).WriteContentTo(writer);
    writer.CloseTag();
  }

 private:
  QxSecCm::CertEvent m_event;
  QxSecCm::CertRequest_ex m_request;
};

QxSecCm::CertEvent MakeEvent(const Event& event, const std::optional<Request>& stored) {
  QxSecCm::CertEvent out;
  out->SetType(static_cast<QxSecCm::CertEvent::Type>(event.type));
  out->SetInfo(QxMoxStr::String_t(Info(event)));
  out->SetCertRequest(RecordOf<QxSecCm::CertRequest>(stored, event.requestId));
  return out;
}

void Warn(const std::string& text) {
  QxSecCm::Swallow([&] { QxMoxLog::Log(QxMoxMsg::CreateWarn_t(QxMoxStr::String_t(text))); });
}

}  // namespace

EventDelivery::EventDelivery(Store& store, QxZebMsg::Messenger sender)
    : EventDelivery(store, std::move(sender), Tuning()) {}

EventDelivery::EventDelivery(Store& store, QxZebMsg::Messenger sender, const Tuning& tuning,
                             Clock clock)
    : m_store(store),
      m_sender(std::move(sender)),
      m_client(QxMoxConfig::Configuration_t(), m_sender),
      m_tuning(tuning),
      m_clock(std::move(clock)),
      m_thread("event delivery", kRetryMs) {}

EventDelivery::~EventDelivery() { Stop(); }

QxSecCm::CertEvent EventDelivery::ToCertEvent(Store& store, const Event& event) {
  return MakeEvent(event, store.GetRequest(event.requestId));
}

// Send is the one place where a failed call becomes a result.
bool EventDelivery::Send(const std::string& callback, const Event& event) {
  try {
    const std::optional<Request> stored = m_store.GetRequest(event.requestId);
    EventArg eventArg(MakeEvent(event, stored),
                      RecordOf<QxSecCm::CertRequest_ex>(stored, event.requestId));
    int result = 0;
    QxZebSoap::SOAPArgInt resultArg("result", &result);
    QxZebSoap::SOAPArg* args[] = {&eventArg};
    QxZebSoap::SOAPArg* results[] = {&resultArg};
    QxZebRpc::RpcCall call =
        m_client.CreateCall(QxMoxNet::URI_t(QxMoxStr::String_t(callback)),
                            QxZebRpc::RpcCall::Options().SetTimeout(m_tuning.timeoutMs));
    call.GetEnvelope().SetMethod("SendUpdate");
    call.GetEnvelope().SetArgs(1, args);
    call.Invoke(1, results, "UTF-8");
    return true;
  } catch (const QxMoxMsg::Exception_t&) {
    return false;
  }
}

int64_t EventDelivery::CatchUp(const Observer& observer, int64_t now) {
  const std::string& callback = observer.callback;
  const std::vector<Event> events = m_store.EventsSince(observer.lastEvent, m_tuning.batch);
  for (const Event& event : events) {
    if (m_thread.Stopping()) return 0;
    if (Send(callback, event)) {
      m_store.ObserverDelivered(callback, event.number);
      continue;
    }
    const int failures = m_store.ObserverFailed(callback);
    if (failures >= m_tuning.maxFailures) {
      m_store.RemoveObserver(callback);
      m_retryAt.erase(callback);
      Warn("Removed the observer " + callback + " after " + std::to_string(failures) +
           " failed deliveries in a row.");
      return m_tuning.maxSleepMs;
    }
    int64_t wait = m_tuning.firstWaitMs;
    for (int i = 1; i < failures && wait < m_tuning.maxWaitMs; ++i) wait *= 2;
    wait = std::min(wait, m_tuning.maxWaitMs);
    m_retryAt[callback] = now + wait;
    return wait;
  }
  return events.size() == static_cast<size_t>(m_tuning.batch) ? 0 : m_tuning.maxSleepMs;
}

int64_t EventDelivery::Pass() {
  const int64_t now = m_clock();
  // Events come with every request, observers rarely: without one, new events cost no read. The
  // flag is taken before the list is read, so a registration committed meanwhile is seen by this
  // read or sets it again for the next pass.
  if (!m_observersChanged.exchange(false) && m_noneSince &&
      now - *m_noneSince < m_tuning.maxSleepMs)
    return m_tuning.maxSleepMs - (now - *m_noneSince);
  const std::vector<Observer> observers = m_store.ListObservers();
  m_noObservers = observers.empty();
  if (observers.empty()) {
    m_noneSince = now;
    m_retryAt.clear();
    return m_tuning.maxSleepMs;
  }
  m_noneSince.reset();
  int64_t sleep = m_tuning.maxSleepMs;
  std::map<std::string, int64_t> waiting;
  for (const Observer& observer : observers) {
    if (m_thread.Stopping()) break;
    if (auto it = m_retryAt.find(observer.callback); it != m_retryAt.end() && it->second > now) {
      waiting.insert(*it);
      sleep = std::min(sleep, it->second - now);
      continue;
    }
    sleep = std::min(sleep, CatchUp(observer, now));
    if (auto it = m_retryAt.find(observer.callback); it != m_retryAt.end() && it->second > now)
      waiting.insert(*it);
  }
  m_retryAt = std::move(waiting);  // forgets the observers removed meanwhile
  return sleep;
}

void EventDelivery::Start() {
  m_thread.Start([this] { return Pass(); });
}

}  // namespace QxCmServer
