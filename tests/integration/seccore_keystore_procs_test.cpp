// Several processes installing into one key store at the same time lose nothing.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "SecCoreFixtures.h"
#include "TestHome.h"
#include "qxseccore/KeyStore.h"

extern char** environ;

namespace {

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0) << args[0];
  return pid;
}

}  // namespace

TEST(KeyStoreProcesses, ConcurrentInstallersLoseNothing) {
  QxTest::TempHome home;
  QxTest::RunCommand("cd '" + home.Path() + "' && openssl req -x509 -newkey rsa:1024 -nodes" +
                     " -keyout key.pem -out cert.pem -days 1 -subj /CN=root 2>/dev/null");
  constexpr int kProcesses = 3;
  constexpr int kEach = 60;
  const std::string helper = std::string(QX_BIN_DIR) + "/qx_keystore_helper";
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    pids.push_back(
        Spawn({helper, "proc" + std::to_string(p), std::to_string(kEach), home / "cert.pem"}));
  }
  // This process reads while the others write.
  QxSecCore::KeyStore reader;
  QxSecCore::StringCollection aliases;
  for (int i = 0; i < 20; ++i) reader.Aliases(aliases);

  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  reader.Aliases(aliases);
  EXPECT_EQ(aliases.GetCount(), static_cast<size_t>(kProcesses * kEach));
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kEach; ++i) {
      const std::string alias = "proc" + std::to_string(p) + "-" + std::to_string(i);
      EXPECT_TRUE(reader.IsTrustedCertEntry(QxMoxStr::String_t(alias))) << alias;
    }
  }
}
