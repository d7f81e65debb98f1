// Certificate events of both twins, their update handlers and the request element switch.
#include "qxseccm/CertEvent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "qxmox/Exception.h"
#include "qxseccm/CertEventUpdateHandler.h"
#include "qxseccm/UseCertReq.h"

using QxMoxStr::String_t;
using QxSecCm::CertEvent;
using QxSecCm::CertEvent_ex;

namespace {

template <class E>
class CertEventTwin : public ::testing::Test {};
using Twins = ::testing::Types<CertEvent, CertEvent_ex>;
TYPED_TEST_SUITE(CertEventTwin, Twins);

// Handler counts the events it receives and keeps the last one.
template <class Base, class E>
class Handler : public Base {
 public:
  void Update(const E& event) override {
    ++count;
    last = event;
  }
  int count = 0;
  E last;
};

}  // namespace

TYPED_TEST(CertEventTwin, NewEventHasTypeZeroEmptyInfoAndAFreshRequest) {
  const TypeParam event;
  EXPECT_EQ(static_cast<int32_t>(event.GetType()), 0);
  EXPECT_TRUE(event.GetInfo() == String_t(""));
  const auto request = event.GetCertRequest();
  ASSERT_FALSE(request.IsNull());
  EXPECT_TRUE(request.GetId() == String_t(""));
  EXPECT_EQ(request.GetInstallationType(), TypeParam::Request::IT_NONE);
  EXPECT_EQ(request.GetTimeReceived(), 0);
  EXPECT_EQ(event.GetCertRequest(), request);  // the same record each time
  EXPECT_NE(TypeParam().GetCertRequest(), request);
}

TYPED_TEST(CertEventTwin, SettersStoreAnyValueAndShareTheRequest) {
  const TypeParam event;
  for (int32_t type : {INT32_MIN, -1, 7, INT32_MAX}) {
    event->SetType(static_cast<typename TypeParam::Type>(type));
    EXPECT_EQ(static_cast<int32_t>(event.GetType()), type);
  }
  event->SetInfo(String_t::Null());
  EXPECT_TRUE(event.GetInfo().IsNull());
  event->SetInfo("request approved");
  EXPECT_TRUE(event.GetInfo() == String_t("request approved"));

  const typename TypeParam::Request request;
  event->SetCertRequest(request);
  EXPECT_EQ(event.GetCertRequest(), request);
  request->SetCN("changed later");
  EXPECT_TRUE(event.GetCertRequest().GetCN() == String_t("changed later"));

  const TypeParam copy = event;
  copy->SetInfo("through the copy");
  EXPECT_TRUE(event.GetInfo() == String_t("through the copy"));
}

TYPED_TEST(CertEventTwin, HandlersReceiveEventsThroughTheInterface) {
  using Base =
      std::conditional_t<std::is_same_v<TypeParam, CertEvent>, QxSecCm::CertEventUpdateHandler,
                         QxSecCm::CertEventUpdateHandler_ex>;
  auto* handler = new Handler<Base, TypeParam>;
  const std::unique_ptr<Base> owner(handler);  // deleted through the interface
  const TypeParam event;
  owner->Update(event);
  owner->Update(event);
  EXPECT_EQ(handler->count, 2);
  EXPECT_EQ(handler->last, event);
}

TYPED_TEST(CertEventTwin, EmptyHandleThrowsIllegalStateNamingTheClass) {
  const std::string name = std::is_same_v<TypeParam, CertEvent> ? "CertEvent" : "CertEvent_ex";
  TypeParam empty;
  static_cast<QxSecCm::Object&>(empty) = QxSecCm::Object();
  const auto expectThrow = [&](auto&& call, const char* what) {
    SCOPED_TRACE(what);
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const QxMoxMsg::IllegalStateError_t& e) {
      EXPECT_EQ(e.GetMessageList().First().Format().ToUtf8(), name);
    }
  };
  expectThrow([&] { empty.GetType(); }, "GetType");
  expectThrow([&] { empty.GetInfo(); }, "GetInfo");
  expectThrow([&] { empty.GetCertRequest(); }, "GetCertRequest");
  expectThrow([&] { empty->SetInfo("x"); }, "operator->");
}

// One test, since the switch cannot be turned back within the process.
TEST(UseCertReq, IsOffUntilSetAndOnForEverAfterEvenUnderConcurrentUse) {
  using QxSecCm::g_UseCertReq;
  EXPECT_FALSE(g_UseCertReq::GetUseCertReq());

  std::atomic<bool> go{false};
  std::atomic<int> turnedBack{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) {
      }
      bool seen = false;
      for (int n = 0; n < 10000; ++n) {
        if (i % 2 == 0) {
          g_UseCertReq::SetUseCertReq();
        } else {
          const bool now = g_UseCertReq::GetUseCertReq();
          if (seen && !now) ++turnedBack;
          seen = seen || now;
        }
      }
    });
  }
  go = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(turnedBack.load(), 0);
  EXPECT_TRUE(g_UseCertReq::GetUseCertReq());
  g_UseCertReq::SetUseCertReq();
  EXPECT_TRUE(g_UseCertReq::GetUseCertReq());
}
