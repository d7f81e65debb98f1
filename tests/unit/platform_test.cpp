// Machine description from uname fields.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <string>

#include "qxmox/Runtime.h"

using QxMoxRuntime::Platform_t;

TEST(Platform, MapsUnameFieldsToStableNumbers) {
  struct Row {
    const char* sysname;
    const char* release;
    const char* machine;
    int type, v1, v2, v3, cpu;
  };
  const Row rows[] = {
      {"Linux", "6.1.0-18-amd64", "x86_64", Platform_t::OS_LINUX, 6, 1, 0, Platform_t::CPU_X86_64},
      {"Linux", "5.15", "aarch64", Platform_t::OS_LINUX, 5, 15, 0, Platform_t::CPU_ARM64},
      {"Linux", "4.19.0.1.2", "armv7l", Platform_t::OS_LINUX, 4, 19, 0, Platform_t::CPU_ARM},
      {"Linux", "3.10.0-1160.el7.ppc64le", "ppc64le", 1, 3, 10, 0, Platform_t::CPU_PPC64},
      {"Linux", "6.8.0", "i686", 1, 6, 8, 0, Platform_t::CPU_X86},
      {"Linux", "6.8.0", "i386", 1, 6, 8, 0, Platform_t::CPU_X86},
      {"Linux", "6.8.0", "s390x", 1, 6, 8, 0, Platform_t::CPU_S390X},
      {"Linux", "6.8.0", "riscv64", 1, 6, 8, 0, Platform_t::CPU_RISCV64},
      {"SunOS", "5.11", "sun4v", Platform_t::OS_SOLARIS, 5, 11, 0, Platform_t::CPU_SPARC},
      {"SunOS", "5.11", "i86pc", Platform_t::OS_SOLARIS, 5, 11, 0, Platform_t::CPU_X86},
      {"AIX", "3", "powerpc", Platform_t::OS_AIX, 3, 0, 0, Platform_t::CPU_PPC},
      {"HP-UX", "B.11.31", "ia64", Platform_t::OS_HPUX, 0, 0, 0, Platform_t::CPU_IA64},
      {"Darwin", "23.4.0", "arm64", Platform_t::OS_MACOS, 23, 4, 0, Platform_t::CPU_ARM64},
      {"FreeBSD", "14.0-RELEASE", "amd64", Platform_t::OS_FREEBSD, 14, 0, 0,
       Platform_t::CPU_X86_64},
      {"CYGWIN_NT-10.0", "3.4.9", "x86_64", Platform_t::OS_WINDOWS, 3, 4, 9,
       Platform_t::CPU_X86_64},
      {"Plan9", "", "mips", Platform_t::OS_UNKNOWN, 0, 0, 0, Platform_t::CPU_UNKNOWN},
      {"Linux", "99999999999999.7", "", 1, 999999999, 7, 0, Platform_t::CPU_UNKNOWN},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.sysname) + " " + row.release + " " + row.machine);
    const Platform_t p(row.sysname, row.release, row.machine);
    EXPECT_EQ(p.GetType(), row.type);
    EXPECT_EQ(p.GetVers1(), row.v1);
    EXPECT_EQ(p.GetVers2(), row.v2);
    EXPECT_EQ(p.GetVers3(), row.v3);
    EXPECT_EQ(p.GetCPUType(), row.cpu);
  }
  EXPECT_STREQ(Platform_t::OSTypeName(Platform_t::OS_LINUX), "Linux");
  EXPECT_STREQ(Platform_t::OSTypeName(99), "Unknown");
  EXPECT_STREQ(Platform_t::CPUName(Platform_t::CPU_X86_64), "x86_64");
  EXPECT_STREQ(Platform_t::CPUName(Platform_t::CPU_ARM64), "arm64");
  EXPECT_STREQ(Platform_t::CPUName(-1), "Unknown");
  for (int cpu = 0; cpu <= Platform_t::CPU_IA64; ++cpu) {
    EXPECT_EQ(std::string(Platform_t::CPUName(cpu)).find(' '), std::string::npos);
  }
}

TEST(Platform, DescribesThisMachine) {
  utsname u{};
  ASSERT_EQ(uname(&u), 0);
  const Platform_t here;
  const Platform_t expected(u.sysname, u.release, u.machine);
  EXPECT_EQ(here.GetType(), Platform_t::OS_LINUX);
  EXPECT_GT(here.GetVers1(), 2);
  EXPECT_EQ(here.GetVers1(), expected.GetVers1());
  EXPECT_EQ(here.GetVers2(), expected.GetVers2());
  EXPECT_NE(here.GetCPUType(), Platform_t::CPU_UNKNOWN) << u.machine;
}
