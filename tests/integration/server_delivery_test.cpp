// The certificate server's delivery threads on loopback against real peers: responses from the
// durable outbox to a node double (its replies, a node that comes back, concurrent sends), the
// events of a grant to both observer twins in order, an observer that disappears, and the
// metrics page served over GET.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EventDelivery.h"
#include "FakeAdminServer.h"
#include "FakeCertServer.h"
#include "Metrics.h"
#include "OutboxDelivery.h"
#include "RawHttp.h"
#include "RecordSamples.h"
#include "SqliteStore.h"
#include "TestHome.h"
#include "qxmox/Io.h"
#include "qxseccm/Observer.h"
#include "qxseccm/UseCertReq.h"

using namespace QxCmServer;
using namespace std::chrono_literals;
using QxMoxStr::String_t;

namespace {

// WaitFor polls done for up to limit.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

QxZebMsg::Messenger Sender() {
  return QxZebMsg::Messenger(QxMoxConfig::Configuration_t(),
                             QxZebMsg::Messenger::Options().SendOnly(true));
}

// Node is a node's response handler ("/msg/" under its callback address) that answers each
// message with an Int32 chosen from the body and the message's attempt, as the node's client
// does, after an optional delay; it counts the messages per body and the most at once.
class Node : public QxZebMsg::MsgHandler {
  // Locked runs f under the node's mutex (defined first: the members below deduce its type).
  template <class F>
  auto Locked(F f) {
    std::lock_guard lock(m_mutex);
    return f();
  }

 public:
  using Answer = std::function<int32_t(const std::string& body, int attempt)>;
  // Node listens on port (0: an ephemeral one).
  explicit Node(Answer answer, int port = 0, std::chrono::milliseconds delay = 0ms)
      : m_answer(std::move(answer)), m_delay(delay) {
    QxMoxConfig::Configuration_t config;
    if (port != 0) config.SetAttrValue("SERVER_PORT", QxMoxStr::String_t(std::to_string(port)));
    m_messenger = QxZebMsg::Messenger(config, QxZebMsg::Messenger::Options()
                                                  .SetBasePath("com.mt.qx.sec.cm.certificateclient")
                                                  .RegisterWithCb(port == 0));
    m_messenger.Register(this, true, 0);
  }
  ~Node() override {
    WaitForCalls();
    m_messenger.Close();
  }
  String_t GetBasePath() const override { return "/msg/"; }
  void Process(QxZebMsg::IncomingMsg& msg) override {
    const std::string body = msg.GetBody().ToStdString();
    const int attempt = Locked([&] {
      m_maxAtOnce = std::max(m_maxAtOnce, ++m_atOnce);
      return ++m_received[body];
    });
    std::this_thread::sleep_for(m_delay);
    Locked([&] { --m_atOnce; });
    QxMoxIo::DataOutputStream_t out(msg.CreateReply().GetOutputStream());
    out.WriteInt32(m_answer(body, attempt));
  }
  std::string Address() const { return m_messenger.GetBaseCbAddress().ToUtf8(); }
  int Received(const std::string& body) {
    return Locked([&] { return m_received[body]; });
  }
  int Total() {
    return Locked([&] {
      int total = 0;
      for (const auto& [body, n] : m_received) total += n;
      return total;
    });
  }
  int MaxAtOnce() {
    return Locked([&] { return m_maxAtOnce; });
  }

 private:
  Answer m_answer;
  std::chrono::milliseconds m_delay;
  std::mutex m_mutex;
  std::map<std::string, int> m_received;
  int m_atOnce = 0, m_maxAtOnce = 0;
  QxZebMsg::Messenger m_messenger;
};

// Stored is request n as the server stores it; its record lacks the peer address, which the
// server keeps beside it.
Request Stored(int n, const std::string& callback) {
  QxMoxIo::CharArrayOutputStream_t record;
  QxTest::SampleRequest<QxSecCm::CertRequest>(n)->WriteTo(&record);
  Request r;
  r.id = "id-" + std::to_string(n);
  r.installationId = "0";
  r.record = std::string(record.ToCharArray().View());
  r.csr = "csr";
  r.peerAddress = "192.168.1." + std::to_string(n);
  r.callback = callback;
  r.coreId = "core-" + std::to_string(n);
  r.commonName = "node" + std::to_string(n) + ".example";
  return r;
}

// Answers returns the node's replies recorded for request id, in order.
std::vector<std::string> Answers(Store& store, const std::string& id) {
  std::vector<std::string> replies;
  for (const Event& e : store.EventsSince(0, 1000))
    if (e.type == EVENT_ANSWERED && e.requestId == id) replies.push_back(e.payload);
  return replies;
}

class DeliveryTest : public QxTest::HomeTest {
 protected:
  // Short waits between attempts, so retries happen within the test.
  SqliteStore store{home / "server.db",
                    SqliteStore::Options{.maxAttempts = 20, .firstWaitMs = 20, .maxWaitMs = 100}};
  Metrics metrics;
};

using Strings = std::vector<std::string>;

TEST_F(DeliveryTest, ResponsesDeliveredAndRepliesRecorded) {
  // Each body names the node's replies in turn: 0 and 3 finish, 5 and 6 give up, any other
  // value asks again; a node that answers no reply (HTTP 500) has its attempts counted.
  Node node(
      [](const std::string& body, int attempt) {
        const char c = body[std::min<size_t>(static_cast<size_t>(attempt), body.size()) - 1];
        return c == 'x' ? -99 : c - '0';
      },
      0, 30ms);
  Node mute([](const std::string&, int) -> int32_t { throw std::runtime_error("no reply"); });
  const std::map<std::string, Strings> expected = {
      {"0", {"0"}}, {"3", {"3"}}, {"10", {"1", "0"}},   {"443", {"4", "4", "3"}},
      {"5", {"5"}}, {"6", {"6"}}, {"x0", {"-99", "0"}},
  };
  for (const auto& [body, replies] : expected) store.Enqueue("req-" + body, node.Address(), body);
  store.Enqueue("req-mute", mute.Address() + "/", "m");
  // A node nobody listens for fails its sends, in the batches of the others.
  store.Enqueue("req-gone", "http://127.0.0.1:" + std::to_string(QxTest::FreePort()) + "/n", "g");
  ASSERT_EQ(store.Waiting(), 9);

  OutboxDelivery delivery(store, Sender(), metrics, {.concurrency = 4, .timeoutMs = 5000});
  delivery.Start();
  auto attempts = [&](const std::string& id) {
    for (const OutboxEntry& e : store.Due(INT64_MAX, 10))
      if (e.requestId == id) return e.attempts;
    return -1;
  };
  ASSERT_TRUE(WaitFor(
      [&] { return store.Waiting() == 2 && mute.Total() >= 3 && attempts("req-gone") >= 3; }));
  delivery.Stop();

  for (const auto& [body, replies] : expected) {
    SCOPED_TRACE(body);
    EXPECT_EQ(Answers(store, "req-" + body), replies);
    EXPECT_EQ(node.Received(body), static_cast<int>(replies.size())) << "nothing sent after";
  }
  // The mute node's failures (HTTP 500) are attempts without an answer: retried, not recorded.
  EXPECT_TRUE(Answers(store, "req-mute").empty());
  EXPECT_TRUE(Answers(store, "req-gone").empty());
  EXPECT_EQ(attempts("req-mute"), mute.Total());
  EXPECT_GE(node.MaxAtOnce(), 2) << "sends overlap";
  EXPECT_LE(node.MaxAtOnce(), 4);
  const std::string page = metrics.Render(store);
  EXPECT_NE(page.find("\nqxcm_responses_delivered_total 5\n"), std::string::npos) << page;
}

TEST_F(DeliveryTest, NodeDownWhenQueuedGetsItsResponseWhenBack) {
  const int port = QxTest::FreePort();
  const std::string address =
      "http://127.0.0.1:" + std::to_string(port) + "/com.mt.qx.sec.cm.certificateclient";
  store.Enqueue("req-1", address, std::string("\x00\x01response\xff", 11));
  // The store's short waits (20 ms, doubled up to 100 ms) keep the retries quick.
  OutboxDelivery delivery(store, Sender(), metrics, {.concurrency = 2, .maxSleepMs = 50});
  delivery.Start();
  ASSERT_TRUE(WaitFor([&] { return store.Due(INT64_MAX, 1).at(0).attempts >= 3; }));
  EXPECT_EQ(store.Waiting(), 1);

  Node node([](const std::string& body, int) { return body.size() == 11 ? 0 : 1; }, port);
  delivery.Wake();
  ASSERT_TRUE(WaitFor([&] { return store.Waiting() == 0; }));
  EXPECT_EQ(Answers(store, "req-1"), Strings{"0"});
  EXPECT_EQ(node.Total(), 1);

  // Stop waits for a send in progress; what is queued later waits in the store for a restart.
  Node slow([](const std::string&, int) { return 0; }, 0, 300ms);
  store.Enqueue("req-2", slow.Address(), "r2");
  delivery.Wake();
  ASSERT_TRUE(WaitFor([&] { return slow.Total() == 1; }));
  delivery.Stop();
  EXPECT_EQ(Answers(store, "req-2"), Strings{"0"});
  store.Enqueue("req-3", slow.Address(), "r3");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(slow.Total(), 1);
  delivery.Start();
  ASSERT_TRUE(WaitFor([&] { return store.Waiting() == 0; }));
  EXPECT_EQ(slow.Received("r3"), 1);
}

// Events is an update handler of either twin that keeps what it received, one line per event.
template <class Handler, class Event>
struct Events : Handler {
  void Update(const Event& event) override {
    std::lock_guard lock(mutex);
    lines.push_back(std::to_string(static_cast<int>(event.GetType())) + " " +
                    event.GetInfo().ToUtf8() + " | " + QxTest::Describe(event.GetCertRequest()));
  }
  Strings Lines() {
    std::lock_guard lock(mutex);
    return lines;
  }
  std::mutex mutex;
  Strings lines;
};

// Registered registers an observer of either twin with the administrative double and returns
// its callback address.
template <class Observer>
std::string Registered(Observer& observer, QxTest::FakeAdminServer& admin, size_t count) {
  EXPECT_TRUE(observer.Register());
  EXPECT_EQ(admin.Observers().size(), count);
  return admin.Observers().back();
}

TEST_F(DeliveryTest, GrantEventsReachBothObserverTwinsInOrder) {
  QxTest::FakeAdminServer::InstallTlsIdentity();
  QxTest::FakeAdminServer admin;
  const auto options = [&](auto o) { return o.SetHostname(String_t(admin.Authority())); };
  QxSecCm::Observer plain(options(QxSecCm::Observer::Options()));
  QxSecCm::Observer_ex extended(options(QxSecCm::Observer_ex::Options()));
  Events<QxSecCm::CertEventUpdateHandler, QxSecCm::CertEvent> plainEvents;
  Events<QxSecCm::CertEventUpdateHandler_ex, QxSecCm::CertEvent_ex> extendedEvents;
  plain.RegisterUpdateHandler(&plainEvents);
  extended.RegisterUpdateHandler(&extendedEvents);
  // The observers register after the delivery's first pass found none: a wake-up for events
  // alone would not read the list again, ObserversChanged does.
  EventDelivery delivery(store, Sender());
  delivery.Start();
  std::this_thread::sleep_for(100ms);
  store.AddObserver(Registered(plain, admin, 1), 1);
  store.AddObserver(Registered(extended, admin, 2), 2);
  delivery.ObserversChanged();
  ASSERT_EQ(store.PutRequest(Stored(1, "http://node1")).result, PutResult_e::NEW);
  delivery.Wake();
  ASSERT_TRUE(store.Grant(
      "id-1", "loopback",
      Certificate{.serial = "1A", .requestId = "id-1", .pem = "pem", .notAfterMs = 1}, "response"));
  delivery.Wake();
  const std::string request1 = QxTest::Describe(QxTest::SampleRequest<QxSecCm::CertRequest>(1));
  const Strings expected = {"1 received | " + request1, "2 granted, serial 1A | " + request1};
  ASSERT_TRUE(WaitFor([&] { return extendedEvents.Lines().size() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return plainEvents.Lines().size() == 2; }));
  EXPECT_EQ(plainEvents.Lines(), expected);
  EXPECT_EQ(extendedEvents.Lines(), expected);
  // Each observer's progress is recorded once its call is answered.
  EXPECT_TRUE(WaitFor([&] {
    const std::vector<Observer> observers = store.ListObservers();
    return std::ranges::all_of(observers, [&](const Observer& o) {
      return o.lastEvent == store.LastEventNumber() && o.failures == 0;
    });
  }));

  // Once the process switches the extended twin to the plain element name, it reads the same
  // event through that one.
  QxSecCm::g_UseCertReq::SetUseCertReq();
  store.PutRequest(Stored(2, "http://node2"));
  delivery.Wake();
  ASSERT_TRUE(WaitFor([&] { return extendedEvents.Lines().size() == 3; }));
  EXPECT_EQ(extendedEvents.Lines()[2],
            "1 received | " + QxTest::Describe(QxTest::SampleRequest<QxSecCm::CertRequest>(2)));
  ASSERT_TRUE(WaitFor([&] { return plainEvents.Lines().size() == 3; }));
}

TEST_F(DeliveryTest, VanishedObserverDroppedWithoutDelayingOthers) {
  QxTest::FakeAdminServer::InstallTlsIdentity();
  QxTest::FakeAdminServer admin;
  QxSecCm::Observer live(QxSecCm::Observer::Options().SetHostname(String_t(admin.Authority())));
  Events<QxSecCm::CertEventUpdateHandler, QxSecCm::CertEvent> events;
  live.RegisterUpdateHandler(&events);
  const std::string gone = "http://127.0.0.1:" + std::to_string(QxTest::FreePort()) + "/obs/";
  store.AddObserver(gone, 1);
  store.AddObserver(Registered(live, admin, 1), 2);

  EventDelivery delivery(store, Sender(), {.maxFailures = 3, .firstWaitMs = 100});
  delivery.Start();
  const auto t0 = std::chrono::steady_clock::now();
  for (int n = 1; n <= 3; ++n) store.PutRequest(Stored(n, "http://node"));
  delivery.Wake();
  ASSERT_TRUE(WaitFor([&] { return events.Lines().size() == 3; }));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s) << "the others do not wait";
  // Three failures in a row, 100 and 200 ms apart, then it is gone; its waits did not hold up
  // the live observer's later events either.
  ASSERT_TRUE(WaitFor([&] { return store.ListObservers().size() == 1; }));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
  EXPECT_EQ(store.ListObservers().at(0).callback, admin.Observers().at(0));
  store.PutRequest(Stored(4, "http://node"));
  delivery.Wake();
  ASSERT_TRUE(WaitFor([&] { return events.Lines().size() == 4; }, 1000ms));
  EXPECT_EQ(events.Lines()[3].substr(0, 11), "1 received ");
}

TEST_F(DeliveryTest, MetricsServedOverGet) {
  metrics.CountReceived();
  metrics.CountReceived();
  metrics.CountDenied();
  metrics.CountIssued(0.015625);
  metrics.CountIssued(3);
  store.PutRequest(Stored(1, "http://node"));
  store.Enqueue("id-0", "http://node", "r");
  QxZebMsg::Messenger server(
      QxMoxConfig::Configuration_t(),
      QxZebMsg::Messenger::Options().SetBasePath("base").RegisterWithCb(true));
  MetricsHandler handler(metrics, store);
  server.Register(&handler, false, 0);
  const int port = QxMoxNet::URI_t(server.GetBaseCbAddress()).GetPort();

  const auto request = [port](const char* method) {
    return QxTest::RawExchange(port, std::string(method) +
                                         " /metrics HTTP/1.1\r\nHost: x\r\n"
                                         "Content-Length: 0\r\nConnection: close\r\n\r\n");
  };
  EXPECT_EQ(request("POST").substr(0, 13), "HTTP/1.1 405 ");
  const std::string page = request("GET");
  ASSERT_EQ(page.substr(0, 13), "HTTP/1.1 200 ") << page;
  EXPECT_NE(page.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
            std::string::npos);
  // Every sample's family is announced by its TYPE line first; counters end in _total.
  std::map<std::string, std::string> samples, types;
  std::istringstream lines(page.substr(page.find("\r\n\r\n") + 4));
  for (std::string line; std::getline(lines, line);) {
    const size_t space = line.rfind(' ');
    if (line.starts_with("# TYPE ")) {
      types[line.substr(7, space - 7)] = line.substr(space + 1);
    } else if (!line.starts_with("#")) {
      samples[line.substr(0, space)] = line.substr(space + 1);
      const std::string family = line.substr(0, line.find_first_of("{ "));
      EXPECT_TRUE(types.contains(family) ||
                  types[family.substr(0, family.rfind('_'))] == "histogram")
          << line;
    }
  }
  for (const auto& [name, type] : types) EXPECT_EQ(type == "counter", name.ends_with("_total"));
  const std::string h = "qxcm_issue_duration_seconds";
  const std::map<std::string, std::string> expected = {
      {"qxcm_requests_received_total", "2"},
      {"qxcm_requests_denied_total", "1"},
      {h + "_bucket{le=\"0.01\"}", "0"},
      {h + "_bucket{le=\"0.025\"}", "1"},
      {h + "_bucket{le=\"2.5\"}", "1"},
      {h + "_bucket{le=\"+Inf\"}", "2"},
      {h + "_count", "2"},
      {h + "_sum", "3.015625"},
      {"qxcm_requests_pending", "1"},
      {"qxcm_responses_waiting", "1"},
      {"qxcm_observers", "0"},
  };
  for (const auto& [name, value] : expected) EXPECT_EQ(samples[name], value) << name;
  EXPECT_EQ(types[h], "histogram");
}

}  // namespace
