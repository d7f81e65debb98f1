// Platform records: values, the one-line text, the current machine and empty handles.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "qxmox/Exception.h"
#include "qxmox/Runtime.h"
#include "qxseccm/Platform.h"

using QxMoxRuntime::Platform_t;
using QxSecCm::Platform;
using QxSecCm::PlatformImpl;

namespace {

Platform Make(int32_t type, int v1, int v2, int v3, int32_t cpu) {
  Platform platform;
  platform->SetTypeCode(type);
  platform->SetVers1(v1);
  platform->SetVers2(v2);
  platform->SetVers3(v3);
  platform->SetCPUTypeCode(cpu);
  return platform;
}

// Emptied through the Object base: the one way a Platform handle can lose its body.
Platform EmptyPlatform() {
  Platform platform;
  static_cast<QxSecCm::Object&>(platform) = QxSecCm::Object();
  return platform;
}

}  // namespace

TEST(PlatformRecord, NewPlatformIsAllZeroAndPrintsUnknown) {
  const Platform platform;
  EXPECT_EQ(platform.GetType(), Platform_t::OS_UNKNOWN);
  EXPECT_EQ(platform.GetVers1(), 0);
  EXPECT_EQ(platform.GetVers2(), 0);
  EXPECT_EQ(platform.GetVers3(), 0);
  EXPECT_EQ(platform.GetCPUType(), Platform_t::CPU_UNKNOWN);
  EXPECT_EQ(platform.ToString().ToUtf8(), "Unknown, CPU: Unknown");
}

TEST(PlatformRecord, ToStringPrintsNamesAndVersions) {
  struct Row {
    int32_t type;
    int v1, v2, v3;
    int32_t cpu;
    const char* expected;
  };
  const Row rows[] = {
      {6, 5, 2, 0, 2, "macOS 5.2, CPU: x86_64"},
      {1, 2, 6, 18, 2, "Linux 2.6.18, CPU: x86_64"},
      {0, 5, 2, 1, 4, "Unknown, CPU: arm64"},     // type 0: no versions at all
      {9, 1, 2, 0, 1, "Unknown 1.2, CPU: x86"},   // unnamed, but not 0: versions printed
      {-1, 3, 4, 0, 1, "Unknown 3.4, CPU: x86"},  // negative type: unnamed, not 0
      {1, 6, 1, -1, 3, "Linux 6.1, CPU: arm"},    // vers3 below 1 is left out
      {1, 6, 1, 1, 3, "Linux 6.1.1, CPU: arm"},   // vers3 of 1 is printed
      {1, -1, -2, 5, 2, "Linux -1.-2.5, CPU: x86_64"},
      {1, INT_MIN, INT_MAX, INT_MAX, 2, "Linux -2147483648.2147483647.2147483647, CPU: x86_64"},
      {5, 11, 31, 0, 0, "HP-UX 11.31, CPU: Unknown"},
      {2, 10, 0, 0, -3, "Windows 10.0, CPU: Unknown"},
      {7, 14, 0, 0, 11, "FreeBSD 14.0, CPU: Unknown"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(Make(row.type, row.v1, row.v2, row.v3, row.cpu).ToString().ToUtf8(), row.expected);
  }
}

TEST(PlatformRecord, EveryRuntimeValueHasAOneWordName) {
  for (int32_t type = 1; type <= Platform_t::OS_FREEBSD; ++type) {
    const std::string text = Make(type, 1, 2, 0, 0).ToString().ToUtf8();
    const std::string name = text.substr(0, text.find(' '));
    SCOPED_TRACE(text);
    EXPECT_NE(name, "Unknown");
    EXPECT_EQ(text, name + " 1.2, CPU: Unknown");
  }
  for (int32_t cpu = 1; cpu <= Platform_t::CPU_IA64; ++cpu) {
    const std::string text = Make(0, 0, 0, 0, cpu).ToString().ToUtf8();
    const std::string name = text.substr(std::string("Unknown, CPU: ").size());
    SCOPED_TRACE(text);
    EXPECT_NE(name, "Unknown");
    EXPECT_EQ(name.find(' '), std::string::npos);
  }
}

TEST(PlatformRecord, CurrentPlatformIsTheRuntimesAndNeverCached) {
  const Platform_t machine;
  const Platform first = PlatformImpl::GetCurrentPlatform();
  const Platform second = PlatformImpl::GetCurrentPlatform();
  EXPECT_NE(first, second);
  for (const Platform& p : {first, second}) {
    EXPECT_EQ(p.GetTypeCode(), machine.GetType());
    EXPECT_EQ(p.GetVers1(), machine.GetVers1());
    EXPECT_EQ(p.GetVers2(), machine.GetVers2());
    EXPECT_EQ(p.GetVers3(), machine.GetVers3());
    EXPECT_EQ(p.GetCPUTypeCode(), machine.GetCPUType());
  }
  // A change of one body does not reach the other.
  first->SetVers1(first.GetVers1() + 1);
  EXPECT_NE(first.GetVers1(), second.GetVers1());
}

TEST(PlatformRecord, EmptyHandleThrowsIllegalStateNamingPlatform) {
  const Platform empty = EmptyPlatform();
  ASSERT_TRUE(empty.IsNull());
  const auto expectThrow = [](auto&& call, const char* what) {
    SCOPED_TRACE(what);
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const QxMoxMsg::IllegalStateError_t& e) {
      EXPECT_EQ(e.GetMessageList().First().Format().ToUtf8(), "Platform");
    }
  };
  expectThrow([&] { empty.GetType(); }, "GetType");
  expectThrow([&] { empty.GetVers1(); }, "GetVers1");
  expectThrow([&] { empty.GetVers2(); }, "GetVers2");
  expectThrow([&] { empty.GetVers3(); }, "GetVers3");
  expectThrow([&] { empty.GetCPUType(); }, "GetCPUType");
  expectThrow([&] { empty.GetTypeCode(); }, "GetTypeCode");
  expectThrow([&] { empty.GetCPUTypeCode(); }, "GetCPUTypeCode");
  expectThrow([&] { empty.ToString(); }, "ToString");
  expectThrow([&] { empty->SetVers1(1); }, "operator->");
}
