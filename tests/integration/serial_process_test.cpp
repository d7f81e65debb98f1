// Serial numbers across processes: builders in several processes issuing at the same time,
// some reserving blocks of numbers, and a process killed while it holds a block.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// SerialProcessTest runs qx_issue_helper processes under one CA and request.
class SerialProcessTest : public QxTest::HomeTest {
 protected:
  void SetUp() override {
    QxSecCore::X509Certificate caCert;
    QxSecCore::Key caKey;
    QxSecCm::CertificateBuilder::CreateSelfSignedCertificate("CA", "Olten", true, caCert, caKey);
    QxSecCm::X509CertRequest request("node", "Olten");
    QxMoxArray::CharArray_t csr;
    request.GetEncoded(csr);
    WriteFile(home / "ca.pem", caCert.GetEncoded().ToStdString());
    WriteFile(home / "ca.key", caKey.GetEncoded().ToStdString());
    WriteFile(home / "node.csr", csr.ToStdString());
  }

  // Start starts helper process p issuing count certificates with twin, block numbers at a
  // time, once the file "go" exists; with hold it then waits to be killed.
  pid_t Start(int p, int count, const char* twin, int block, bool hold = false) {
    std::vector<std::string> args{std::string(QX_BIN_DIR) + "/qx_issue_helper",
                                  home / "ca.pem",
                                  home / "ca.key",
                                  home / "node.csr",
                                  std::to_string(count),
                                  home / "go",
                                  twin,
                                  std::to_string(block)};
    if (hold) args.push_back("hold");
    return Spawn(args, Output(p));
  }
  std::string Output(int p) const { return home / ("serials." + std::to_string(p)); }
  // Serials returns the serial numbers process p printed so far.
  std::vector<long> Serials(int p) const {
    std::istringstream lines(ReadFile(Output(p)));
    return {std::istream_iterator<long>(lines), std::istream_iterator<long>()};
  }
  // LastInFile returns the number the serial-number file holds.
  unsigned LastInFile() const {
    const std::string file = ReadFile(home / "data/sec/cs/serial.dat");
    EXPECT_EQ(file.size(), 4u);
    if (file.size() != 4) return 0;
    return static_cast<unsigned char>(file[0]) | static_cast<unsigned char>(file[1]) << 8 |
           static_cast<unsigned char>(file[2]) << 16 | static_cast<unsigned char>(file[3]) << 24;
  }
};

void ExpectExitsCleanly(pid_t pid) {
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Processes reserving blocks of 8 and processes drawing one by one, both twins, at once.
TEST_F(SerialProcessTest, FourProcessesIssuingTogetherNeverShareASerialNumber) {
  constexpr int kProcesses = 4;
  constexpr int kEach = 15;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    pids.push_back(Start(p, kEach, p % 2 == 0 ? "plain" : "ex", p < 2 ? 8 : 1));
    ASSERT_GT(pids.back(), 0);
  }
  WriteFile(home / "go", "");
  for (pid_t pid : pids) ExpectExitsCleanly(pid);

  std::set<long> serials;
  for (int p = 0; p < kProcesses; ++p) {
    const std::vector<long> own = Serials(p);
    EXPECT_EQ(own.size(), static_cast<size_t>(kEach));
    EXPECT_TRUE(std::is_sorted(own.begin(), own.end())) << "a process's own numbers rise";
    serials.insert(own.begin(), own.end());
  }
  ASSERT_EQ(serials.size(), static_cast<size_t>(kProcesses * kEach));
  // Two blocks of 8 per block process (one number left unused) and 15 single draws for the
  // others: 62 numbers reserved, the last of them in the file.
  constexpr long kReserved = 2 * 16 + 2 * kEach;
  EXPECT_GE(*serials.begin(), 1);
  EXPECT_LE(*serials.rbegin(), kReserved);
  EXPECT_EQ(LastInFile(), static_cast<unsigned>(kReserved));
}

// A process killed while it holds reserved numbers leaves the file past every number it
// issued; the next process goes on above them, skipping the rest of the block.
TEST_F(SerialProcessTest, KilledProcessWithABlockLeavesTheFileAboveItsSerials) {
  WriteFile(home / "go", "");
  const pid_t killed = Start(0, 3, "ex", 8, true);
  ASSERT_GT(killed, 0);
  for (int i = 0; i < 2000 && Serials(0).size() < 3; ++i) usleep(10000);
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  int status = -1;
  ASSERT_EQ(waitpid(killed, &status, 0), killed);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(Serials(0), (std::vector<long>{1, 2, 3}));
  EXPECT_EQ(LastInFile(), 8u);

  const pid_t next = Start(1, 2, "plain", 1);
  ASSERT_GT(next, 0);
  ExpectExitsCleanly(next);
  EXPECT_EQ(Serials(1), (std::vector<long>{9, 10}));
  EXPECT_EQ(LastInFile(), 10u);
}

}  // namespace
