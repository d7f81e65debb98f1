// The certificate server proxy and the event observer against a double of the server's RPC
// side: the calls and arguments the server reads, the answers mapped back, the failures, and the
// observer's registration and event dispatch.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FakeAdminServer.h"
#include "FakeCertServer.h"
#include "TestHome.h"
#include "qxseccm/CertificateServer.h"
#include "qxseccm/Exceptions.h"
#include "qxseccm/Observer.h"

namespace {

using QxMoxStr::String_t;
using QxTest::AdminCall;
using QxTest::FakeAdminServer;

// AdminTest gives the process the TLS identity the double proves: the proxy and the observer
// call it over https.
class AdminTest : public QxTest::HomeTest {
 protected:
  void SetUp() override { FakeAdminServer::InstallTlsIdentity(); }
};

template <class Proxy>
class ProxyTest : public AdminTest {};
using Proxies = ::testing::Types<QxSecCm::CertificateServer, QxSecCm::CertificateServer_ex>;
TYPED_TEST_SUITE(ProxyTest, Proxies);

TYPED_TEST(ProxyTest, OperationsSendTheirArgumentsAndMapTheAnswers) {
  FakeAdminServer server;
  // The server's certificate must name the target id.
  TypeParam proxy(typename TypeParam::Options()
                      .SetHostname(String_t(server.Authority()))
                      .SetTargetId("srv"));

  typename TypeParam::Collection pending;
  proxy.GetPendingRequests(pending);
  ASSERT_EQ(pending.Size(), 2);
  pending.MoveFirst();
  EXPECT_EQ(pending.GetCurrent().GetId().ToUtf8(), "req-a");
  pending.Next();
  EXPECT_EQ(pending.GetCurrent().GetCN().ToUtf8(), "node-b");

  QxSecCore::StringCollection ids;
  proxy.GetPendingRequestIds(ids);
  ASSERT_EQ(ids.GetCount(), 2u);
  EXPECT_EQ(ids.GetAt(1).ToUtf8(), "req-b");

  EXPECT_EQ(proxy.GetPendingRequest("req-b").GetNodename().ToUtf8(), "host");
  proxy.GrantRequest("req-a");
  proxy.DenyRequest("req-b", QxMoxNet::URI_t(String_t("http://node:1/x/")));
  proxy.RemoveRequest("req-a");
  EXPECT_EQ(proxy.RemoveAllRequests(), 2);

  const std::vector<AdminCall> calls = server.Calls();
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[2].method, "GetPendingRequest");
  EXPECT_EQ(calls[2].reqid, "req-b");
  EXPECT_EQ(calls[3].method, "GrantRequest");
  EXPECT_EQ(calls[3].reqid, "req-a");
  EXPECT_EQ(calls[3].uri, "");  // the one-argument form sends an empty URI
  EXPECT_EQ(calls[4].method, "DenyRequest");
  EXPECT_EQ(calls[4].uri, "http://node:1/x/");
  EXPECT_EQ(calls[5].method, "RemoveRequest");
  EXPECT_EQ(calls[6].method, "RemoveAllRequests");

  // "-1" is unknown to the server: every operation on an id says so, with the id in its text.
  for (auto op : {+[](TypeParam& p) { p.GrantRequest("-1"); },
                  +[](TypeParam& p) { p.DenyRequest("-1"); },
                  +[](TypeParam& p) { p.RemoveRequest("-1"); },
                  +[](TypeParam& p) { p.GetPendingRequest("-1"); }}) {
    try {
      op(proxy);
      ADD_FAILURE() << "no exception";
    } catch (const QxSecCm::UnknownRequestIdException& e) {
      EXPECT_EQ(e.GetMessageList().First().GetNumber(), 56);
      EXPECT_NE(e.GetMessageList().First().Format().ToUtf8().find("'-1'"), std::string::npos);
    }
  }

  // A stopped server: message 55 with the platform's failure as detail.
  server.Stop();
  try {
    proxy.RemoveAllRequests();
    ADD_FAILURE() << "no exception";
  } catch (const QxSecCm::ServerNotAvailableException& e) {
    EXPECT_EQ(e.GetMessageList().First().GetNumber(), 55);
    EXPECT_FALSE(e.GetMessageList().First().GetDetails().empty());
  }
}

// Recorder collects the events it is given, in order, with its name.
template <class Handler, class Event>
struct Recorder : Handler {
  Recorder(std::vector<std::string>* log, std::string name) : log(log), name(std::move(name)) {}
  void Update(const Event& event) override {
    log->push_back(name + ":" + event.GetInfo().ToUtf8());
  }
  std::vector<std::string>* log;
  std::string name;
};

template <class ObserverT, class HandlerT, class EventT>
struct Twin {
  using Observer = ObserverT;
  using Event = EventT;
  using Recorder = ::Recorder<HandlerT, EventT>;
};
template <class T>
class ObserverTest : public AdminTest {};
using Observers =
    ::testing::Types<Twin<QxSecCm::Observer, QxSecCm::CertEventUpdateHandler, QxSecCm::CertEvent>,
                     Twin<QxSecCm::Observer_ex, QxSecCm::CertEventUpdateHandler_ex,
                          QxSecCm::CertEvent_ex>>;
TYPED_TEST_SUITE(ObserverTest, Observers);

TYPED_TEST(ObserverTest, RegistersReceivesInOrderAndDeregistersWhenDestroyed) {
  using Observer = typename TypeParam::Observer;
  FakeAdminServer server;
  std::vector<std::string> log;
  typename TypeParam::Recorder recorders[2] = {{&log, "first"}, {&log, "second"}};
  {
    Observer observer(typename Observer::Options().SetHostname(String_t(server.Authority())));
    EXPECT_FALSE(observer.Deregister());  // never registered: no call
    EXPECT_TRUE(server.Calls().empty());
    // Registered in reverse order, twice: each handler once, in pointer order.
    observer.RegisterUpdateHandler(&recorders[1]);
    observer.RegisterUpdateHandler(&recorders[0]);
    observer.RegisterUpdateHandler(&recorders[0]);
    EXPECT_THROW(observer.RegisterUpdateHandler(nullptr), QxMoxMsg::IllegalArgumentError_t);

    ASSERT_TRUE(observer.Register());
    std::vector<std::string> observers = server.Observers();
    ASSERT_EQ(observers.size(), 1u);
    const std::string callback = observers[0];
    EXPECT_EQ(callback.back(), '/');

    for (const char* info : {"one", "two"}) {
      typename TypeParam::Event event;
      event->SetInfo(info);
      EXPECT_EQ(server.SendUpdate(callback, event), 1);
    }
    // The call is answered before the handlers run: wait for the dispatch.
    for (int i = 0; i < 100 && log.size() < 4; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(log, (std::vector<std::string>{"first:one", "second:one", "first:two", "second:two"}));

    // A second registration withdraws the first.
    ASSERT_TRUE(observer.Register());
    const std::vector<AdminCall> calls = server.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].method, "DeregisterObserver");
    EXPECT_EQ(calls[1].uri, callback);
    EXPECT_EQ(calls[2].method, "RegisterObserver");
    EXPECT_EQ(server.Observers(), std::vector<std::string>{callback});
  }
  // Destroying the observer deregisters it.
  EXPECT_TRUE(server.Observers().empty());
  EXPECT_EQ(server.Calls().back().method, "DeregisterObserver");
}

}  // namespace
