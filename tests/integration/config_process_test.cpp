// The configuration file shared by processes: qxcm config, change notification across
// processes, a writer dying before its rename, and concurrent writers.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConfigRecorder.h"
#include "Files.h"
#include "TestHome.h"
#include "qxmox/Config.h"
#include "qxmox/Exception.h"

extern char** environ;

using QxMoxConfig::ChangedConfiguration_t;
using QxMoxConfig::ConfigNamespace_t;
using QxMoxConfig::ConfigUpdate_t;

namespace {

using namespace std::chrono_literals;

constexpr const char* kQxcm = QX_BIN_DIR "/qxcm";
constexpr const char* kHelper = QX_BIN_DIR "/qx_config_helper";

using QxTest::ReadFile;
using QxTest::WriteFile;

std::vector<std::string> TempFiles(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (std::string(e->d_name).starts_with(".qx.conf.tmp.")) names.emplace_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

// Child is a program started with its output in files under dir.
class Child {
 public:
  Child(const std::string& dir, std::vector<std::string> args,
        const std::vector<std::string>& extraEnv = {}) {
    static int serial = 0;
    const std::string base = dir + "/child" + std::to_string(serial++);
    m_out = base + ".out";
    m_err = base + ".err";
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << args[0] << ": " << strerror(rc);
    if (rc != 0) m_pid = -1;
  }
  ~Child() {
    if (m_pid > 0) Wait();
  }
  int Wait() {
    int status = 0;
    if (m_pid <= 0 || waitpid(m_pid, &status, 0) != m_pid) return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string Out() const { return ReadFile(m_out); }
  std::string Err() const { return ReadFile(m_err); }

 private:
  pid_t m_pid = -1;
  std::string m_out, m_err;
};

struct Result {
  int status;
  std::string out, err;
};

Result RunProgram(const std::string& dir, std::vector<std::string> args,
                  const std::vector<std::string>& extraEnv = {}) {
  Child child(dir, std::move(args), extraEnv);
  const int status = child.Wait();
  return {status, child.Out(), child.Err()};
}

using Recorder = QxTest::ConfigRecorder;

class ConfigProcessTest : public QxTest::HomeTest {
 protected:
  std::string Conf() const { return home / "etc/qx.conf"; }
  Result Qxcm(std::vector<std::string> args) {
    args.insert(args.begin(), kQxcm);
    return RunProgram(home.Path(), std::move(args));
  }
};

}  // namespace

TEST_F(ConfigProcessTest, QxcmSetInOneProcessGetInAnother) {
  Result r = Qxcm({"config", "set", "sec.cm.client", "CERTIFICATE_SERVER", "ca.example.net:15080"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Set [sec.cm.client] CERTIFICATE_SERVER in " + Conf() + "\n");
  r = Qxcm({"config", "set", "sec.cm.client", "OFFSET", "--", "-5"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Qxcm({"config", "get", "sec.cm.client", "CERTIFICATE_SERVER"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ca.example.net:15080\n");
  EXPECT_EQ(ConfigNamespace_t("sec.cm.client").Open().GetAll().at("OFFSET"), "-5");

  ConfigUpdate_t update;
  update.SetAttr("zeb.http", "PORT", "15080");
  update.Apply(true);
  r = Qxcm({"config", "list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "[sec.cm.client]\nCERTIFICATE_SERVER = ca.example.net:15080\nOFFSET = -5\n\n"
            "[zeb.http]\nPORT = 15080\n");
  r = Qxcm({"config", "list", "zeb.http"});
  EXPECT_EQ(r.out, "[zeb.http]\nPORT = 15080\n");
  r = Qxcm({"config", "path"});
  EXPECT_EQ(r.out, Conf() + "\n");

  r = Qxcm({"config", "unset", "sec.cm.client", "CERTIFICATE_SERVER"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Removed [sec.cm.client] CERTIFICATE_SERVER from " + Conf() + "\n");
  r = Qxcm({"config", "get", "sec.cm.client", "CERTIFICATE_SERVER"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "qxcm: sec.cm.client CERTIFICATE_SERVER is not set\n");
}

TEST_F(ConfigProcessTest, QxcmRefusesBadInputAndNeverOverwritesMalformedFile) {
  struct Row {
    std::vector<std::string> args;
    const char* message;  // part of standard error
  } rows[] = {
      {{}, "A command is required"},
      {{"bogus"}, "not expected: bogus"},
      {{"config"}, "A subcommand of config"},
      {{"config", "bogus"}, "not expected: bogus"},
      {{"config", "get", "ns"}, "KEY"},
      {{"config", "set", "ns", "KEY"}, "VALUE"},
      {{"config", "set", "ns", "K=1", "v"}, "qxcm: Configuration key must not contain"},
      {{"config", "set", "ns", "K", " padded"}, "qxcm: Configuration value must not start"},
  };
  for (const Row& row : rows) {
    std::string name;
    for (const std::string& a : row.args) name += a + " ";
    SCOPED_TRACE(name);
    const Result r = Qxcm(row.args);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
  }
  EXPECT_NE(access(Conf().c_str(), F_OK), 0);

  mkdir((home / "etc").c_str(), 0755);
  const std::string broken = "; keep me\n[a]\nK = v\nnot a key line\n";
  WriteFile(Conf(), broken);
  for (const auto& args : std::vector<std::vector<std::string>>{{"config", "set", "a", "K", "w"},
                                                                {"config", "unset", "a", "K"},
                                                                {"config", "get", "a", "K"},
                                                                {"config", "list"}}) {
    SCOPED_TRACE(args[1]);
    const Result r = Qxcm(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("qxcm: " + Conf() + ": line 4"), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadFile(Conf()), broken);

  const Result help = Qxcm({"config", "set", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("NAMESPACE"), std::string::npos) << help.out;
}

TEST_F(ConfigProcessTest, HandlersSeeChangesOfOtherProcesses) {
  // A handler here hears of a change made by qxcm.
  Recorder recorder;
  ConfigNamespace_t ns("sec.cm.client");
  ns.Register(&recorder);
  const Result r = Qxcm({"config", "set", "sec.cm.client", "MAX_RETRIES", "200"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(recorder.WaitFor(1));
  EXPECT_TRUE(recorder.At(0).HasChanged("MAX_RETRIES"));
  EXPECT_EQ(recorder.At(0).GetConfiguration().GetAll().at("MAX_RETRIES"), "200");
  ns.Unregister(&recorder);

  // A handler in another process hears of changes made here, and that process exits cleanly
  // with its notification thread running.
  Child watcher(home.Path(), {kHelper, "watch", "sec.cm.client", "2"});
  for (int i = 0; i < 1000 && watcher.Out().find("ready") == std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_NE(watcher.Out().find("ready"), std::string::npos) << watcher.Err();
  ConfigUpdate_t update;
  update.SetAttr("sec.cm.client", "MAX_RETRIES", "300");
  update.SetAttr("sec.cm.client", "NEW", "1");
  update.SetAttr("other", "X", "1");
  update.Apply(true);
  for (int i = 0; i < 1000 && watcher.Out().find("NEW\n") == std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ConfigUpdate_t removal;
  removal.RemoveAttr("sec.cm.client", "NEW");
  removal.Apply(true);
  EXPECT_EQ(watcher.Wait(), 0) << watcher.Err();
  EXPECT_EQ(watcher.Out(), "ready\nsec.cm.client MAX_RETRIES NEW\nsec.cm.client NEW\n");
}

TEST_F(ConfigProcessTest, WriterDyingBeforeRenameLeavesOldFile) {
  ConfigUpdate_t update;
  update.SetAttr("a", "K", "old");
  update.Apply(false);
  const std::string before = ReadFile(Conf());

  const Result r = RunProgram(home.Path(), {kHelper, "set", "a", "K", "new"},
                              {"QX_CONFIG_TEST_CRASH_BEFORE_RENAME=1"});
  ASSERT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(ReadFile(Conf()), before);
  ASSERT_EQ(TempFiles(home / "etc").size(), 1u);  // the dead writer's complete temporary file
  EXPECT_EQ(ConfigNamespace_t("a").Open().GetAll().at("K"), "old");
  const Result get = RunProgram(home.Path(), {kQxcm, "config", "get", "a", "K"});
  EXPECT_EQ(get.out, "old\n");

  // The next writer clears the leftover under the lock.
  ConfigUpdate_t next;
  next.SetAttr("a", "K", "newer");
  next.Apply(false);
  EXPECT_TRUE(TempFiles(home / "etc").empty());
  EXPECT_EQ(ConfigNamespace_t("a").Open().GetAll().at("K"), "newer");
}

TEST_F(ConfigProcessTest, ConcurrentProcessesLoseNoUpdate) {
  mkdir((home / "etc").c_str(), 0755);
  WriteFile(Conf(), "# shared\n[race]\nBASE = 1\n");
  constexpr int kProcesses = 4, kRounds = 20;
  std::vector<std::unique_ptr<Child>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<Child>(
        home.Path(),
        std::vector<std::string>{kHelper, "apply-many", "race", "P" + std::to_string(p) + "_",
                                 std::to_string(kRounds)}));
  }
  for (auto& child : children) EXPECT_EQ(child->Wait(), 0) << child->Err();
  const auto values = ConfigNamespace_t("race").Open().GetAll();
  EXPECT_EQ(values.size(), static_cast<size_t>(kProcesses * kRounds + 1));
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kRounds; ++i) {
      const std::string key = "P" + std::to_string(p) + "_" + std::to_string(i);
      EXPECT_EQ(values.count(key), 1u) << key;
    }
  }
  EXPECT_TRUE(ReadFile(Conf()).starts_with("# shared\n[race]\nBASE = 1\n"));
  EXPECT_TRUE(TempFiles(home / "etc").empty());
}
