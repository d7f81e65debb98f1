// Threads, mutexes, condition variables, semaphores and barriers.
#include "qxmox/Thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qxmox/Exception.h"

using namespace QxMoxThread;
using Clock = std::chrono::steady_clock;

namespace {

// Records what the thread saw and signals the test once Done has run.
class Probe : public Runnable_i {
 public:
  enum Mode { kReturn, kThrowInRun, kThrowInDone };
  explicit Probe(Mode mode) : m_mode(mode) {}
  void Run() override {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    threadName = name;
    threadId = Thread_t::CurrentID();
    if (m_mode == kThrowInRun) throw std::runtime_error("run failed");
  }
  // Nothing of the probe is touched after Post: the test may destroy it then.
  void Done(bool completed) override {
    doneCompleted = completed;
    const bool throwAfterwards = m_mode == kThrowInDone;
    finished.Post();
    if (throwAfterwards) throw std::runtime_error("done failed");
  }
  Semaphore_t finished;
  std::string threadName;
  uint64_t threadId = 0;
  bool doneCompleted = false;

 private:
  Mode m_mode;
};

long long MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(Thread, RunsRunThenDoneAndReportsWhetherRunCompleted) {
  Probe ok(Probe::kReturn);
  Thread_t("qx-worker-with-a-long-name").Start(&ok);
  ASSERT_TRUE(ok.finished.Wait(10000));
  EXPECT_TRUE(ok.doneCompleted);
  EXPECT_EQ(ok.threadName, "qx-worker-with-");  // the kernel keeps 15 bytes
  EXPECT_NE(ok.threadId, Thread_t::CurrentID());
  EXPECT_EQ(Thread_t::CurrentID(), static_cast<uint64_t>(getpid()));  // gtest's main thread

  Probe failing(Probe::kThrowInRun);
  Thread_t("qx-failing").Start(&failing);
  ASSERT_TRUE(failing.finished.Wait(10000));
  EXPECT_FALSE(failing.doneCompleted);
  EXPECT_EQ(failing.threadName, "qx-failing");
}

TEST(Thread, ExceptionFromDoneDoesNotEndTheProcess) {
  Probe probe(Probe::kThrowInDone);
  Thread_t("qx-done-throws").Start(&probe);
  ASSERT_TRUE(probe.finished.Wait(10000));
  // Give the throw time to unwind; an escaping exception would have ended the process.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(probe.doneCompleted);
}

TEST(Thread, StartRejectsNullRunnable) {
  EXPECT_THROW(Thread_t("x").Start(nullptr), QxMoxMsg::IllegalArgumentError_t);
}

TEST(Mutex, ExcludesThreadsAndRecursiveOneNests) {
  Mutex_t mutex;
  long counter = 0;  // deliberately plain: TSan reports a race if the mutex fails
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        MutexLock_t lock(mutex);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);

  Mutex_t recursive(true);
  recursive.Lock();
  EXPECT_TRUE(recursive.TryLock());
  std::thread([&] { EXPECT_FALSE(recursive.TryLock()); }).join();
  recursive.Unlock();
  std::thread([&] { EXPECT_FALSE(recursive.TryLock()); }).join();
  recursive.Unlock();
  std::thread([&] {
    EXPECT_TRUE(recursive.TryLock());
    recursive.Unlock();
  }).join();
}

TEST(CondVar, TimedWaitReturnsFalseAfterTheTimeAndTrueWhenSignalled) {
  Mutex_t mutex;
  CondVar_t cond;
  {
    MutexLock_t lock(mutex);
    const auto start = Clock::now();
    EXPECT_FALSE(cond.Wait(mutex, 150));
    EXPECT_GE(MillisSince(start), 149);
    EXPECT_FALSE(cond.Wait(mutex, -5));  // negative: no wait at all
    EXPECT_FALSE(cond.Wait(mutex, 0));
  }

  bool ready = false;
  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MutexLock_t lock(mutex);
    ready = true;
    cond.Signal();
  });
  {
    MutexLock_t lock(mutex);
    const auto start = Clock::now();
    while (!ready && MillisSince(start) < 10000) cond.Wait(mutex, 10000);
    EXPECT_TRUE(ready);
    EXPECT_LT(MillisSince(start), 10000);
  }
  signaller.join();

  // A huge timeout must not overflow into the past.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MutexLock_t lock(mutex);
    ready = false;
    cond.Broadcast();
  });
  {
    MutexLock_t lock(mutex);
    while (ready) EXPECT_TRUE(cond.Wait(mutex, std::numeric_limits<long>::max()));
  }
  late.join();
}

TEST(Semaphore, CountsPostsAcrossThreads) {
  Semaphore_t sem(2);
  EXPECT_TRUE(sem.TryWait());
  EXPECT_TRUE(sem.Wait(0));
  EXPECT_FALSE(sem.TryWait());
  const auto start = Clock::now();
  EXPECT_FALSE(sem.Wait(100));
  EXPECT_GE(MillisSince(start), 99);

  constexpr int kProducers = 4, kPosts = 500;
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kProducers; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPosts; ++i) sem.Post();
    });
    threads.emplace_back([&] {
      for (int i = 0; i < kPosts; ++i) {
        sem.Wait();
        ++taken;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(taken.load(), kProducers * kPosts);
  EXPECT_FALSE(sem.TryWait());
}

TEST(Barrier, OpensWhenEveryPartyHasReached) {
  constexpr unsigned kParties = 4;
  Barrier_t barrier(kParties);
  EXPECT_FALSE(barrier.Wait(50));

  std::atomic<unsigned> before{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kParties; ++t) {
    threads.emplace_back([&] {
      ++before;
      barrier.Reached();
      barrier.Wait();
      EXPECT_EQ(before.load(), kParties);  // nobody passes before everyone arrived
    });
  }
  EXPECT_TRUE(barrier.Wait(10000));
  EXPECT_EQ(before.load(), kParties);
  for (auto& t : threads) t.join();
  barrier.Reached();  // stays open
  EXPECT_TRUE(barrier.Wait(0));

  Barrier_t open(0);
  EXPECT_TRUE(open.Wait(0));
}
