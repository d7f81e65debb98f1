// Object and ObjectImpl: sharing, counting and releasing bodies, on one thread and several.
#include "qxseccm/Object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_destroyed{0};

class CountedBody : public QxSecCm::ObjectImpl {
 public:
  void DestroyThis() override {
    ++g_destroyed;
    delete this;
  }
};

// A body on RefCounted_t directly, as some value classes have: released through the same slot.
class PlainBody : public QxMoxRef::RefCounted_t {
 public:
  void DestroyThis() override {
    ++g_destroyed;
    delete this;
  }
};

class ThrowingBody : public QxSecCm::ObjectImpl {
 public:
  void DestroyThis() override {
    ++g_destroyed;
    delete this;
    throw std::runtime_error("release failed");
  }
};

class Handle : public QxSecCm::Object {
 public:
  Handle() = default;
  explicit Handle(QxMoxRef::RefCounted_t* body) { SetBody(body); }
  long Count() const { return m_ref == nullptr ? 0 : m_ref->GetRefCount(); }
};

class ObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { g_destroyed = 0; }
};

TEST_F(ObjectTest, EmptyHandlesAreNullAndEqual) {
  const Handle empty;
  const Handle copy(empty);
  Handle assigned(new CountedBody);
  assigned = empty;
  EXPECT_TRUE(empty.IsNull());
  EXPECT_TRUE(copy.IsNull());
  EXPECT_TRUE(assigned.IsNull());
  EXPECT_TRUE(empty == copy);
  EXPECT_FALSE(empty != copy);
  EXPECT_EQ(empty.operator->(), nullptr);
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectTest, CopiesShareTheBodyAndCompareEqual) {
  const Handle a(new CountedBody);
  EXPECT_EQ(a.Count(), 1);
  {
    const Handle b(a);
    EXPECT_EQ(a.Count(), 2);
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.operator->(), b.operator->());
  }
  EXPECT_EQ(a.Count(), 1);
  const Handle other(new CountedBody);
  EXPECT_TRUE(a != other);
  EXPECT_FALSE(a == other);
  EXPECT_FALSE(a == Handle());
}

TEST_F(ObjectTest, SelfAssignmentKeepsTheCount) {
  Handle a(new CountedBody);
  Handle& alias = a;
  a = alias;
  EXPECT_EQ(a.Count(), 1);
  Handle b(a);
  b = a;  // same body through another handle
  EXPECT_EQ(a.Count(), 2);
  EXPECT_EQ(g_destroyed, 0);
}

TEST_F(ObjectTest, BodyIsReleasedExactlyWhenTheLastHandleLetsGo) {
  auto* first = new CountedBody;
  {
    Handle a(first);
    {
      Handle b(a);
      Handle c;
      c = b;
      EXPECT_EQ(a.Count(), 3);
    }
    EXPECT_EQ(g_destroyed, 0);
    Handle d(new CountedBody);
    a = d;  // first body loses its last handle here
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(a.Count(), 2);
  }
  EXPECT_EQ(g_destroyed, 2);

  { Handle plain(new PlainBody); }
  EXPECT_EQ(g_destroyed, 3);
}

TEST_F(ObjectTest, FailingReleaseIsSwallowed) {
  EXPECT_NO_THROW({ Handle h(new ThrowingBody); });
  EXPECT_NO_THROW({
    Handle h(new ThrowingBody);
    h = Handle();
  });
  EXPECT_EQ(g_destroyed, 2);
}

TEST_F(ObjectTest, HandlesSharedAcrossThreads) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  const Handle shared(new CountedBody);
  const Handle other(new CountedBody);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      Handle mine;
      for (int i = 0; i < kRounds; ++i) {
        Handle copy(shared);
        mine = (i % 2 == 0) ? copy : other;
        Handle fresh(new CountedBody);  // released on this thread each round
        fresh = mine;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(shared.Count(), 1);
  EXPECT_EQ(other.Count(), 1);
  EXPECT_EQ(g_destroyed, kThreads * kRounds);
}

}  // namespace
