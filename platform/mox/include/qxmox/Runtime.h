// The platform's directories (Dir_t), the running program (App_t) and the machine (Platform_t).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qxmox/String.h"

namespace QxMoxRuntime {

// Dir_t maps directory keys to absolute paths under QX_HOME (default $HOME/.qx).
class Dir_t {
 public:
  enum Key_e { DIR_HOME = 1, DIR_ETC = 2, DIR_LOG = 3, DIR_RUN = 4, DIR_DATA = 7 };
  // Path returns the absolute path of relative under the directory of key: 1 QX_HOME, 2 etc,
  // 3 log, 4 run, 7 data. An empty relative path gives the directory itself. Throws
  // QxMoxMsg::IllegalArgumentError_t for an unknown key, an absolute relative path or one
  // with a ".." component.
  static QxMoxStr::String_t Path(int key, const QxMoxStr::String_t& relative);
  // Home returns QX_HOME as set now.
  static std::string Home();
  // EnsureDir creates the directory of key (and parents) when missing and returns its path. The
  // data directory (key 7) holds keys and serial numbers: it is kept to its owner, created with
  // mode 0700 and a wider mode found narrowed (QxMoxIo::MakePrivateDirectory). Throws
  // QxMoxIo::IOException_t naming the directory.
  static std::string EnsureDir(int key);
};

// App_t is the running program.
class App_t {
 public:
  // GetName returns the name set with SetName, else the program's file name.
  static QxMoxStr::String_t GetName();
  static void SetName(const QxMoxStr::String_t& name);
  static long GetProcessId();
};

// Platform_t describes the machine from uname(): the operating system (sysname), the kernel
// release's first three numbers and the processor (machine).
class Platform_t {
 public:
  // Operating systems, from sysname: "Linux" 1; "Windows" and the POSIX layers on it
  // ("CYGWIN_NT-...", "MINGW...", "MSYS...") 2; "SunOS" 3; "AIX" 4; "HP-UX" 5; "Darwin" 6;
  // "FreeBSD" 7; anything else 0. Values are stable: they travel in request records.
  enum OSType_e : int32_t {
    OS_UNKNOWN = 0,
    OS_LINUX = 1,
    OS_WINDOWS = 2,
    OS_SOLARIS = 3,
    OS_AIX = 4,
    OS_HPUX = 5,
    OS_MACOS = 6,
    OS_FREEBSD = 7
  };
  // Processors, from machine: "i386".."i686", "i86pc", "x86" 1; "x86_64", "amd64" 2; "arm..."
  // (32-bit) 3; "aarch64", "arm64" 4; "ppc", "powerpc" 5; "ppc64...", "powerpc64..." 6;
  // "sparc...", "sun4..." 7; "s390x" 8; "riscv64" 9; "ia64" 10; anything else 0. Values are
  // stable: they travel in request records.
  enum CPU_e : int32_t {
    CPU_UNKNOWN = 0,
    CPU_X86 = 1,
    CPU_X86_64 = 2,
    CPU_ARM = 3,
    CPU_ARM64 = 4,
    CPU_PPC = 5,
    CPU_PPC64 = 6,
    CPU_SPARC = 7,
    CPU_S390X = 8,
    CPU_RISCV64 = 9,
    CPU_IA64 = 10
  };

  // Platform_t() reads uname() of this machine (all unknown when uname fails).
  Platform_t();
  // Platform_t(sysname, release, machine) describes a machine from uname's fields.
  Platform_t(std::string_view sysname, std::string_view release, std::string_view machine);
  int GetType() const { return m_type; }
  // GetVers1..3 are the kernel release's leading dot-separated numbers ("6.1.0-18-amd64"
  // gives 6, 1, 0; "5.15" gives 5, 15, 0); 0 when absent.
  int GetVers1() const { return m_vers[0]; }
  int GetVers2() const { return m_vers[1]; }
  int GetVers3() const { return m_vers[2]; }
  int GetCPUType() const { return m_cpu; }
  // OSTypeName and CPUName return one-word display names ("Linux", "HP-UX", "x86_64",
  // "arm64"); "Unknown" for 0 and for values outside the lists.
  static const char* OSTypeName(int type);
  static const char* CPUName(int cpu);

 private:
  int m_type = OS_UNKNOWN;
  int m_vers[3] = {0, 0, 0};
  int m_cpu = CPU_UNKNOWN;
};

}  // namespace QxMoxRuntime
