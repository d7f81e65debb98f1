// Serial numbers across processes: builders in four processes issuing at the same time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Files.h"
#include "TestHome.h"
#include "qxmox/CharArray.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"

extern char** environ;

namespace {

using QxTest::ReadFile;
using QxTest::WriteFile;

// Spawn starts a program with its standard output in a file; returns its pid.
pid_t Spawn(const std::vector<std::string>& args, const std::string& outFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

class SerialProcessTest : public QxTest::HomeTest {};

TEST_F(SerialProcessTest, FourProcessesIssuingTogetherNeverShareASerialNumber) {
  QxSecCore::X509Certificate caCert;
  QxSecCore::Key caKey;
  QxSecCm::CertificateBuilder::CreateSelfSignedCertificate("CA", "Olten", true, caCert, caKey);
  QxSecCm::X509CertRequest request("node", "Olten");
  QxMoxArray::CharArray_t csr;
  request.GetEncoded(csr);
  WriteFile(home / "ca.pem", caCert.GetEncoded().ToStdString());
  WriteFile(home / "ca.key", caKey.GetEncoded().ToStdString());
  WriteFile(home / "node.csr", csr.ToStdString());

  constexpr int kProcesses = 4;
  constexpr int kEach = 15;
  const std::string helper = std::string(QX_BIN_DIR) + "/qx_issue_helper";
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    pids.push_back(Spawn({helper, home / "ca.pem", home / "ca.key", home / "node.csr",
                          std::to_string(kEach), home / "go", p % 2 == 0 ? "plain" : "ex"},
                         home / ("serials." + std::to_string(p))));
    ASSERT_GT(pids.back(), 0);
  }
  WriteFile(home / "go", "");
  for (pid_t pid : pids) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  std::multiset<long> serials;
  for (int p = 0; p < kProcesses; ++p) {
    std::istringstream lines(ReadFile(home / ("serials." + std::to_string(p))));
    long last = 0;
    int count = 0;
    for (long serial; lines >> serial; ++count) {
      EXPECT_GT(serial, last) << "a process's own numbers rise";
      last = serial;
      serials.insert(serial);
    }
    EXPECT_EQ(count, kEach);
  }
  ASSERT_EQ(serials.size(), static_cast<size_t>(kProcesses * kEach));
  long expected = 1;
  for (long serial : serials) EXPECT_EQ(serial, expected++);  // 1..60, each once

  const std::string file = ReadFile(home / "data/sec/cs/serial.dat");
  ASSERT_EQ(file.size(), 4u);
  const unsigned last =
      static_cast<unsigned char>(file[0]) | static_cast<unsigned char>(file[1]) << 8 |
      static_cast<unsigned char>(file[2]) << 16 | static_cast<unsigned char>(file[3]) << 24;
  EXPECT_EQ(last, static_cast<unsigned>(kProcesses * kEach));
}

}  // namespace
