// The certificate client's state file: round trip, restore rules, corrupt files, crashes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "ClientStateFile.h"
#include "Files.h"
#include "TestHome.h"
#include "qxseccm/X509CertRequest.h"

namespace {

using QxMoxArray::CharArray_t;
using QxMoxStr::String_t;
using QxSecCm::ClientState;
using QxSecCm::ClientStateFile;

const QxSecCore::Key& PrivateKey() {
  static const QxSecCore::Key key =
      QxSecCm::X509CertRequest(String_t("core-a"), String_t("host")).GetPrivateKey();
  return key;
}

ClientState State(int32_t state, const char* coreId, const char* requestId = "req-1") {
  ClientState s;
  s.state = state;
  s.privateKey = PrivateKey();
  s.requestId = String_t(requestId);
  s.coreId = String_t(coreId);
  return s;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::vector<int> Numbers(const std::vector<QxMoxMsg::Message_t>& messages) {
  std::vector<int> numbers;
  for (const auto& m : messages) numbers.push_back(m.GetNumber());
  return numbers;
}

class ClientStateFileTest : public QxTest::HomeTest {
 protected:
  ClientStateFile file;  // under this test's QX_HOME
  std::string Path() const { return file.GetPath().ToUtf8(); }
};

}  // namespace

TEST_F(ClientStateFileTest, SavedStateReadsBackFromAPrivateFile) {
  ASSERT_FALSE(QxMoxIo::File_t(file.GetDirectory()).Exists());
  ASSERT_FALSE(file.Save(State(3, "core-a")).has_value());
  EXPECT_EQ(ModeOf(file.GetDirectory().ToUtf8()), 0700u);
  EXPECT_EQ(ModeOf(Path()), 0600u);
  EXPECT_EQ(file.GetPath(), String_t(home / "data/sec/cc/ccstate.dat"));

  const ClientStateFile::Loaded loaded = file.Load();
  ASSERT_FALSE(loaded.failure.has_value());
  EXPECT_EQ(loaded.state.state, 3);
  EXPECT_EQ(loaded.state.privateKey.GetEncoded(), PrivateKey().GetEncoded());
  EXPECT_EQ(loaded.state.requestId, String_t("req-1"));
  EXPECT_EQ(loaded.state.coreId, String_t("core-a"));

  // A state without key travels as a key length of 0.
  ClientState keyless = State(4, "core-a");
  keyless.privateKey = QxSecCore::Key();
  file.Write(keyless);
  EXPECT_EQ(file.Read().privateKey.GetType(), QxSecCore::Key::TYPE_NONE);

  // A directory that cannot be made: message 30 with 20 as its cause; nothing written.
  QxTest::WriteFile(home / "blocker", "");
  const ClientStateFile blocked(String_t(home / "blocker/cc"), String_t(home / "blocker/cc/s"));
  const auto failure = blocked.Save(State(3, "core-a"));
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->GetNumber(), 30);
  EXPECT_EQ(failure->GetDetails().at(0).GetNumber(), 20);
}

TEST_F(ClientStateFileTest, RestoreKeepsOnlyAWaitingOrDeniedStateOfTheSameCore) {
  // stored state and core id -> restored state; only a fitting file stays, the rest is removed
  // with message 28; only a waiting state takes over the request id and key.
  const struct {
    int32_t stored;
    const char* coreId;
    int32_t restored;
  } rows[] = {
      {3, "core-a", 3}, {4, "core-a", 4}, {3, "core-b", 2}, {3, "CORE-A", 2}, {5, "core-a", 2}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.stored) + " " + row.coreId);
    file.Write(State(row.stored, row.coreId));
    const ClientStateFile::Restored restored = file.Restore(String_t("core-a"));
    const bool fits = row.restored != 2;
    EXPECT_EQ(restored.state.state, row.restored);
    EXPECT_EQ(restored.state.coreId, String_t("core-a"));
    EXPECT_EQ(restored.state.requestId, String_t(row.restored == 3 ? "req-1" : ""));
    EXPECT_EQ(restored.state.privateKey.GetType(), row.restored == 3 ? 1 : 0);
    EXPECT_EQ(Numbers(restored.messages), fits ? std::vector<int>{} : std::vector<int>{28});
    EXPECT_EQ(file.Exists(), fits);
  }
  file.Remove();
  const auto none = file.Restore(String_t("core-a"));
  EXPECT_EQ(none.state.state, 2);
  EXPECT_TRUE(none.messages.empty());
}

TEST_F(ClientStateFileTest, CorruptFilesLoadAsInitialAndStayInPlace) {
  const CharArray_t whole = ClientStateFile::Encode(State(3, "core-a"));
  const auto expectCorrupt = [&](const CharArray_t& content, int cause) {
    QxTest::WriteFile(Path(), content.ToStdString());
    const ClientStateFile::Loaded loaded = file.Load();
    ASSERT_TRUE(loaded.failure.has_value());
    EXPECT_EQ(loaded.failure->GetNumber(), 32);
    if (cause != 0) {
      EXPECT_EQ(loaded.failure->GetDetails().at(0).GetNumber(), cause);
    }
    EXPECT_EQ(loaded.state.state, 2);
    EXPECT_TRUE(loaded.state.requestId.IsEmpty());
    const auto restored = file.Restore(String_t("core-a"));
    EXPECT_EQ(Numbers(restored.messages), (std::vector<int>{32, 29}));
    EXPECT_EQ(restored.state.state, 2);
    EXPECT_TRUE(file.Exists());
  };
  file.Write(State(3, "core-a"));
  for (size_t size = 0; size < whole.GetSize(); ++size) {
    SCOPED_TRACE("cut to " + std::to_string(size));
    expectCorrupt(CharArray_t(whole.GetData(), size), 0);
  }
  // Key lengths that are negative or beyond the data, inside a well enciphered file.
  for (const uint32_t length : {0xffffffffu, 0x7fffffffu, 1000u}) {
    SCOPED_TRACE(length);
    const unsigned char plain[] = {3,
                                   0,
                                   0,
                                   0,
                                   static_cast<unsigned char>(length),
                                   static_cast<unsigned char>(length >> 8),
                                   static_cast<unsigned char>(length >> 16),
                                   static_cast<unsigned char>(length >> 24),
                                   'k'};
    expectCorrupt(ClientStateFile::Encipher(CharArray_t(plain, sizeof plain)), 31);
  }
  // Key bytes that are no private key.
  const unsigned char notAKey[] = {3, 0, 0, 0, 1, 0, 0, 0, 'k', 0, 0, 0, 0, 0, 0, 0, 0};
  expectCorrupt(ClientStateFile::Encipher(CharArray_t(notAKey, sizeof notAKey)), 0);
}

TEST_F(ClientStateFileTest, WriterKilledAtAnyMomentLeavesOldOrNewState) {
  file.Write(State(3, "core-a", "old"));
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      try {
        for (unsigned i = 0;; ++i) file.Write(State(3, "core-a", i % 2 == 0 ? "new" : "old"));
      } catch (...) {
      }
      _exit(1);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 30000));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own: " << status;
    const ClientState read = file.Read();  // throws on a torn file
    EXPECT_TRUE(read.requestId == String_t("old") || read.requestId == String_t("new"));
    EXPECT_EQ(read.privateKey.GetEncoded(), PrivateKey().GetEncoded());
    EXPECT_EQ(ModeOf(Path()), 0600u);
  }
}
