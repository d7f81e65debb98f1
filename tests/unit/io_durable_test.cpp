// Whole writes through signals, and atomic replacement of files under kills and failures.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Files.h"
#include "TestHome.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"

using QxMoxIo::CreateMode_e;
using QxMoxIo::IOException_t;
using QxMoxIo::PendingReplace_t;
using QxMoxIo::ReplaceFile;
using QxTest::ReadFile;

namespace {

// Temporaries lists the names of the pending-replace files for name in dir.
std::vector<std::string> Temporaries(const std::string& dir, const std::string& name) {
  std::vector<std::string> names;
  const std::string prefix = "." + name + ".tmp.";
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (std::string(e->d_name).starts_with(prefix)) names.emplace_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// InChild runs body in a forked process and returns its exit status (-1 when it did not exit).
template <typename Body>
int InChild(Body&& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    int status = 99;
    try {
      status = body();
    } catch (...) {
    }
    _exit(status);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class DurableFileTest : public QxTest::HomeTest {
 protected:
  std::string Dir() const { return home.Path(); }
  std::string Target() const { return home / "state.dat"; }
};

}  // namespace

TEST_F(DurableFileTest, WriterKilledAtRandomMomentsLeavesOneWholeVersion) {
  const std::string a(256 * 1024, 'a');
  const std::string b(256 * 1024, 'b');
  ReplaceFile(Target(), a, 0644);
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      try {
        for (unsigned i = 0;; ++i) ReplaceFile(Target(), i % 2 == 0 ? b : a, 0644);
      } catch (...) {
      }
      _exit(1);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + random() % 20000));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own: " << status;
    const std::string content = ReadFile(Target());
    EXPECT_TRUE(content == a || content == b) << "torn file of " << content.size() << " bytes";
    // Each dead writer leaves at most its one pending file.
    EXPECT_LE(Temporaries(Dir(), "state.dat").size(), static_cast<size_t>(round) + 1);
  }

  // The next writer clears what the dead ones left, but not a live writer's pending file.
  PendingReplace_t live(Target(), 0644);
  EXPECT_EQ(Temporaries(Dir(), "state.dat").size(), 1u);
  PendingReplace_t other(Target(), 0644);
  EXPECT_EQ(Temporaries(Dir(), "state.dat").size(), 2u);
  other.Commit();
  EXPECT_EQ(Temporaries(Dir(), "state.dat").size(), 1u);
  live.Write("c");
  live.Commit();
  EXPECT_TRUE(Temporaries(Dir(), "state.dat").empty());
  EXPECT_EQ(ReadFile(Target()), "c");
}

TEST_F(DurableFileTest, FailedReplaceLeavesTheOldFileAndNoTemporary) {
  ReplaceFile(Target(), "old", 0644);

  {
    SCOPED_TRACE("never committed");
    PendingReplace_t pending(Target(), 0644);
    pending.Write("new");
    pending.Prepare();
  }
  EXPECT_EQ(ReadFile(Target()), "old");
  EXPECT_TRUE(Temporaries(Dir(), "state.dat").empty());

  {
    SCOPED_TRACE("write refused past the file size limit");
    const int status = InChild([&] {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{1024, 1024};
      setrlimit(RLIMIT_FSIZE, &limit);
      try {
        ReplaceFile(Target(), std::string(64 * 1024, 'x'), 0644);
      } catch (const IOException_t& e) {
        return std::string(e.what()).find("File too large") != std::string::npos ? 0 : 2;
      }
      return 3;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(Target()), "old");
    EXPECT_TRUE(Temporaries(Dir(), "state.dat").empty());
  }

  {
    SCOPED_TRACE("directory is a regular file");
    const std::string plain = home / "plain";
    QxTest::WriteFile(plain, "x");
    try {
      ReplaceFile(plain + "/state.dat", "new", 0644);
      ADD_FAILURE() << "no exception";
    } catch (const IOException_t& e) {
      EXPECT_NE(std::string(e.what()).find(plain + "/.state.dat.tmp."), std::string::npos)
          << e.what();
      EXPECT_NE(std::string(e.what()).find("Not a directory"), std::string::npos) << e.what();
    }
    EXPECT_THROW(QxMoxIo::SyncDirectory(plain), IOException_t);
    EXPECT_EQ(ReadFile(plain), "x");
  }

  {
    SCOPED_TRACE("directory not writable");
    chmod(Dir().c_str(), 0555);
    // root writes anyway; the case then proves nothing.
    if (access(Dir().c_str(), W_OK) != 0) {
      EXPECT_THROW(ReplaceFile(Target(), "new", 0644), IOException_t);
      EXPECT_EQ(ReadFile(Target()), "old");
      EXPECT_TRUE(Temporaries(Dir(), "state.dat").empty());
    }
    chmod(Dir().c_str(), 0700);
  }
}

TEST_F(DurableFileTest, NewFileHasItsFinalModeFromCreation) {
  const mode_t oldMask = umask(022);
  ReplaceFile(Target(), "old", 0644);
  {
    PendingReplace_t secret(Target(), 0600);
    secret.Write("key");
    secret.Prepare();
    const std::vector<std::string> temps = Temporaries(Dir(), "state.dat");
    ASSERT_EQ(temps.size(), 1u);
    EXPECT_EQ(ModeOf(home / temps[0]), 0600u);
    EXPECT_EQ(ReadFile(Target()), "old");  // two phases: nothing replaced before Commit
    secret.Commit();
  }
  EXPECT_EQ(ModeOf(Target()), 0600u);
  EXPECT_EQ(ReadFile(Target()), "key");

  ReplaceFile(Target(), "shared", 0664);
  EXPECT_EQ(ModeOf(Target()), 0644u);
  ReplaceFile(Target(), "shared", 0664, CreateMode_e::EXACT);
  EXPECT_EQ(ModeOf(Target()), 0664u);
  umask(oldMask);
}

TEST(WriteAll, DeliversEveryByteThroughSignalsAndShortWrites) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  QxMoxIo::Fd_t readEnd(fds[0]), writeEnd(fds[1]);
  std::string sent(4 * 1024 * 1024, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i % 251);

  std::string received;
  std::thread reader([&] {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    char buffer[4096];
    for (int chunk = 0;; ++chunk) {
      const ssize_t n = read(readEnd.Get(), buffer, sizeof buffer);
      if (n <= 0) break;
      received.append(buffer, static_cast<size_t>(n));
      if (chunk % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });

  // Without SA_RESTART each alarm interrupts the blocked write: EINTR or a short count.
  struct sigaction onAlarm {
  }, old{};
  onAlarm.sa_handler = [](int) {};
  sigaction(SIGALRM, &onAlarm, &old);
  const itimerval every{{0, 200}, {0, 200}};
  setitimer(ITIMER_REAL, &every, nullptr);
  QxMoxIo::WriteAll(writeEnd.Get(), sent.data(), sent.size(), "the pipe");
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  writeEnd.Reset();
  reader.join();
  EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size();

  try {
    QxMoxIo::WriteAll(readEnd.Get(), "x", "the pipe's read end");
    ADD_FAILURE() << "no exception";
  } catch (const IOException_t& e) {
    EXPECT_NE(std::string(e.what()).find("the pipe's read end"), std::string::npos) << e.what();
  }
}
