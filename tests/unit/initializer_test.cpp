// Initializer: set-up once per process, its trace, the legacy provider and OpenSSL error texts.
#include "OpenSslPtr.h"
#include "qxseccm/Initializer.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "Files.h"
#include "qxmox/CharArray.h"
#include "qxmox/Trace.h"

using QxMoxArray::CharArray_t;
using QxSecCm::Initializer;

namespace {

using QxTest::ReadFile;

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// SetUpFromManyThreads runs in a process of its own (a re-executed death-test child), where
// nothing has set up OpenSSL yet: eight threads ask for the set-up at once, then once more.
void SetUpFromManyThreads(const std::string& traceFile) {
  setenv("QX_TRACE", "sec.cm.client:*=0xffffffff", 1);
  setenv("QX_TRACE_FILE", traceFile.c_str(), 1);
  QxMoxTrc::ReloadLevels();
  QxMoxTrc::ReopenSink();
  if (Initializer::IsInitialized()) _exit(3);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([] { Initializer::GlobalInit(); });
  for (std::thread& thread : threads) thread.join();
  Initializer::GlobalInit();
  _exit(Initializer::IsInitialized() ? 0 : 4);
}

TEST(Initializer, SetsUpOnceAcrossThreadsAndTracesEachStepInOrder) {
  // The child re-executes this test up to EXPECT_EXIT, so it finds the file's name inherited.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string traceFile;
  if (const char* inherited = getenv("QX_TEST_INIT_TRACE")) {
    traceFile = inherited;
  } else {
    traceFile = (std::filesystem::temp_directory_path() /
                 ("qx-init-trace-" + std::to_string(getpid()) + ".log"))
                    .string();
    setenv("QX_TEST_INIT_TRACE", traceFile.c_str(), 1);
  }
  EXPECT_EXIT(SetUpFromManyThreads(traceFile), ::testing::ExitedWithCode(0), "");
  const std::string trace = ReadFile(traceFile);
  std::filesystem::remove(traceFile);
  unsetenv("QX_TEST_INIT_TRACE");
  const char* steps[] = {
      "Entering Initializer::DoGlobalInit()",
      "Initializer: Loading all algorithms",
      "Initializer: Loading error strings ",
      "Initializer: Initializing random number generator ",
      "Entering Initializer::SeedRandomGenerator() ",
      "Initializer: Put ",
      "total bytes into Rand_seed.",
      "Leaving Initializer::SeedRandomGenerator() ",
      "Initializer: Enabling  MultiThreading support",
  };
  size_t at = 0;
  for (const char* step : steps) {
    SCOPED_TRACE(step);
    const size_t found = trace.find(step, at);
    ASSERT_NE(found, std::string::npos) << trace;
    at = found;
  }
  for (const char* once :
       {"Loading all algorithms", "Loading error strings", "Initializing random number generator",
        "MultiThreading support", "Entering Initializer::SeedRandomGenerator()"}) {
    EXPECT_EQ(Count(trace, once), 1u) << once;
  }

  // Four portions, then their total.
  const std::string put = "Initializer: Put ";
  int sum = 0;
  int portions = 0;
  int total = -1;
  for (size_t at = trace.find(put); at != std::string::npos; at = trace.find(put, at + 1)) {
    size_t end = 0;
    const int count = std::stoi(trace.substr(at + put.size()), &end);
    const std::string rest = trace.substr(at + put.size() + end, 32);
    if (rest.rfind(" total bytes into Rand_seed.", 0) == 0) {
      total = count;
    } else {
      EXPECT_EQ(rest.rfind(" bytes into Rand_seed.", 0), 0u) << rest;
      EXPECT_EQ(total, -1) << "a portion after the total";
      sum += count;
      ++portions;
    }
  }
  EXPECT_EQ(portions, 4);
  EXPECT_EQ(total, sum);
  EXPECT_NE(trace.find("Put 4096 bytes into Rand_seed."), std::string::npos);  // 1024 ints
  EXPECT_NE(trace.find("Put 36 bytes into Rand_seed."), std::string::npos);    // the UUID
}

TEST(Initializer, LoadsDefaultAndLegacyProviders) {
  Initializer::GlobalInit();
  EXPECT_TRUE(Initializer::IsInitialized());
  const QxSecCore::Ssl::EvpCipherPtr rc2(EVP_CIPHER_fetch(nullptr, "RC2-40-CBC", nullptr));
  EXPECT_NE(rc2, nullptr) << "the legacy provider is not loaded";
  const QxSecCore::Ssl::EvpMdPtr sha1(EVP_MD_fetch(nullptr, "SHA1", nullptr));
  EXPECT_NE(sha1, nullptr);
  ERR_clear_error();
}

TEST(Initializer, GetOpenSslErrorTakesTheOldestErrorOneAtATime) {
  Initializer::GlobalInit();
  ERR_clear_error();
  // Two failures of different kinds.
  const QxSecCore::Ssl::BioPtr bio(BIO_new_mem_buf("garbage", -1));
  EXPECT_EQ(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(EVP_CIPHER_fetch(nullptr, "NO-SUCH-CIPHER", nullptr), nullptr);

  CharArray_t small(10);
  Initializer::GetOpenSslError(small);
  EXPECT_EQ(small.GetSize(), 256u);
  const std::string first(reinterpret_cast<const char*>(small.GetData()));
  EXPECT_NE(first.find("no start line"), std::string::npos) << first;

  CharArray_t large(1000);
  Initializer::GetOpenSslError(large);
  EXPECT_EQ(large.GetSize(), 1000u);
  const std::string second(reinterpret_cast<const char*>(large.GetData()));
  EXPECT_NE(second.find("unsupported"), std::string::npos) << second;
  EXPECT_EQ(second.find("no start line"), std::string::npos);

  // With nothing pending the text stays as it was.
  ERR_clear_error();
  CharArray_t kept(std::string_view("previous text"));
  Initializer::GetOpenSslError(kept);
  EXPECT_EQ(kept.GetSize(), 256u);
  EXPECT_STREQ(reinterpret_cast<const char*>(kept.GetData()), "previous text");
  Initializer::GetOpenSslError(large);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(large.GetData())), second);
}

}  // namespace
