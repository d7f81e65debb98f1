// Named process locks: exclusion across processes and threads, release when a holder dies.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestHome.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxmox/Sync.h"
#include "qxmox/Thread.h"

extern char** environ;

using QxMoxSync::ProcessSync_t;
using QxMoxSync::SyncLock_t;

namespace {

constexpr const char* kHelper = QX_BIN_DIR "/qx_lock_helper";

pid_t Spawn(std::vector<std::string> args) {
  args.insert(args.begin(), kHelper);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, kHelper, nullptr, nullptr, argv.data(), environ);
  EXPECT_EQ(rc, 0) << strerror(rc);
  return rc == 0 ? pid : -1;
}

int ExitCode(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

long ReadNumber(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return -1;
  long value = -1;
  if (fscanf(f, "%ld", &value) != 1) value = -1;
  fclose(f);
  return value;
}

// The same read-modify-write as the helper's, done by threads of this process.
void CountInProcess(ProcessSync_t& lock, const std::string& counter, int iterations,
                    std::atomic<bool>& overlap) {
  const std::string inside = counter + ".inside";
  for (int i = 0; i < iterations; ++i) {
    SyncLock_t held(lock);
    const int marker = open(inside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (marker < 0) {
      overlap = true;
      continue;
    }
    close(marker);
    const long value = std::max(ReadNumber(counter), 0L);
    usleep(500);
    FILE* f = fopen(counter.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "%ld", value + 1);
    fclose(f);
    unlink(inside.c_str());
  }
}

}  // namespace

class ProcessSyncTest : public QxTest::HomeTest {};

TEST_F(ProcessSyncTest, ProcessesAndThreadsNeverHoldTheLockTogether) {
  constexpr int kProcesses = 4, kThreads = 2, kIterations = 40;
  const std::string counter = home / "counter";
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    pids.push_back(Spawn({"count", "serial", counter, std::to_string(kIterations)}));
  }
  ProcessSync_t lock("serial");
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] { CountInProcess(lock, counter, kIterations, overlap); });
  }
  for (auto& t : threads) t.join();
  for (pid_t pid : pids) EXPECT_EQ(ExitCode(pid), 0) << "helper found another holder inside";
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(ReadNumber(counter), (kProcesses + kThreads) * kIterations);

  struct stat st {};
  ASSERT_EQ(stat((home / "run/serial.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(lock.GetPath(), home / "run/serial.lock");
}

TEST_F(ProcessSyncTest, KilledHolderReleasesTheLock) {
  const std::string ready = home / "ready";
  const pid_t holder = Spawn({"hold", "serial", ready});
  ASSERT_GT(holder, 0);
  const auto start = std::chrono::steady_clock::now();
  while (ReadNumber(ready) != holder &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(ReadNumber(ready), holder);

  // Heap objects: if the lock were never released the waiting thread is abandoned, not
  // left pointing at a destroyed object.
  auto lock = std::make_shared<ProcessSync_t>("serial");
  auto acquired = std::make_shared<QxMoxThread::Semaphore_t>(0);
  std::thread waiter([lock, acquired] {
    lock->Lock();
    acquired->Post();
    lock->Unlock();
  });
  EXPECT_FALSE(acquired->Wait(300));  // the helper still holds it

  kill(holder, SIGKILL);
  EXPECT_EQ(ExitCode(holder), 128 + SIGKILL);
  const bool released = acquired->Wait(20000);
  EXPECT_TRUE(released);
  if (released) {
    waiter.join();
  } else {
    waiter.detach();
  }
}

TEST_F(ProcessSyncTest, LockNestsOnOneThreadAndRecoversFromFailure) {
  ProcessSync_t lock("nested");
  lock.Lock();
  lock.Lock();  // a second open file description would deadlock against the first
  lock.Unlock();
  std::atomic<bool> gotIt{false};
  std::thread other([&] {
    SyncLock_t held(lock);
    gotIt = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(gotIt.load());
  lock.Unlock();
  other.join();
  EXPECT_TRUE(gotIt.load());
  lock.Unlock();  // unbalanced: ignored

  // A file where the run directory belongs: Lock fails, and the object stays usable.
  ASSERT_EQ(unlink((home / "run/nested.lock").c_str()), 0);
  ASSERT_EQ(rmdir((home / "run").c_str()), 0);
  FILE* f = fopen((home / "run").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_THROW(lock.Lock(), QxMoxIo::IOException_t);
  ASSERT_EQ(unlink((home / "run").c_str()), 0);
  SyncLock_t held(lock);
  EXPECT_TRUE(QxMoxIo::File_t(home / "run/nested.lock").Exists());
}

TEST(ProcessSync, RejectsNamesThatAreNotFileNames) {
  const std::string tooLong(251, 'x');
  const QxMoxStr::String_t bad[] = {"",
                                    ".",
                                    "..",
                                    "a/b",
                                    "/abs",
                                    "../up",
                                    tooLong,
                                    QxMoxStr::String_t::Null(),
                                    QxMoxStr::String_t(std::u16string(u"a\0b", 3))};
  for (const QxMoxStr::String_t& name : bad) {
    SCOPED_TRACE(name.ToUtf8());
    EXPECT_THROW(ProcessSync_t{name}, QxMoxMsg::IllegalArgumentError_t);
  }
  EXPECT_NO_THROW(ProcessSync_t{"a..b-c_d.e"});
  EXPECT_NO_THROW(ProcessSync_t{std::string(250, 'y')});
}
