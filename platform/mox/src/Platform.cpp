// Platform_t: operating system, kernel release and processor from uname().
#include <sys/utsname.h>

#include <cctype>
#include <string>

#include "qxmox/Runtime.h"

namespace QxMoxRuntime {
namespace {

struct NameValue {
  const char* name;
  int value;
};

// sysname values as uname reports them; prefixes cover the Windows POSIX layers.
constexpr NameValue kOSTypes[] = {
    {"Linux", Platform_t::OS_LINUX},    {"Windows", Platform_t::OS_WINDOWS},
    {"CYGWIN", Platform_t::OS_WINDOWS}, {"MINGW", Platform_t::OS_WINDOWS},
    {"MSYS", Platform_t::OS_WINDOWS},   {"SunOS", Platform_t::OS_SOLARIS},
    {"AIX", Platform_t::OS_AIX},        {"HP-UX", Platform_t::OS_HPUX},
    {"Darwin", Platform_t::OS_MACOS},   {"FreeBSD", Platform_t::OS_FREEBSD},
};

// machine values; the first entry whose text is a prefix of the machine wins, so the longer
// names come before their prefixes ("ppc64" before "ppc", "arm64" before "arm").
constexpr NameValue kCPUs[] = {
    {"x86_64", Platform_t::CPU_X86_64},   {"amd64", Platform_t::CPU_X86_64},
    {"i386", Platform_t::CPU_X86},        {"i486", Platform_t::CPU_X86},
    {"i586", Platform_t::CPU_X86},        {"i686", Platform_t::CPU_X86},
    {"i86pc", Platform_t::CPU_X86},       {"x86", Platform_t::CPU_X86},
    {"aarch64", Platform_t::CPU_ARM64},   {"arm64", Platform_t::CPU_ARM64},
    {"arm", Platform_t::CPU_ARM},         {"ppc64", Platform_t::CPU_PPC64},
    {"powerpc64", Platform_t::CPU_PPC64}, {"ppc", Platform_t::CPU_PPC},
    {"powerpc", Platform_t::CPU_PPC},     {"sparc", Platform_t::CPU_SPARC},
    {"sun4", Platform_t::CPU_SPARC},      {"s390x", Platform_t::CPU_S390X},
    {"riscv64", Platform_t::CPU_RISCV64}, {"ia64", Platform_t::CPU_IA64},
};

template <size_t N>
int Lookup(const NameValue (&table)[N], std::string_view text, bool prefix) {
  for (const NameValue& row : table) {
    const std::string_view name(row.name);
    if (prefix ? text.starts_with(name) : text == name) return row.value;
  }
  return 0;
}

}  // namespace

Platform_t::Platform_t() {
  utsname u{};
  if (uname(&u) == 0) *this = Platform_t(u.sysname, u.release, u.machine);
}

Platform_t::Platform_t(std::string_view sysname, std::string_view release,
                       std::string_view machine) {
  m_type = Lookup(kOSTypes, sysname, false);
  if (m_type == OS_UNKNOWN) m_type = Lookup(kOSTypes, sysname, true);
  m_cpu = Lookup(kCPUs, machine, true);

  // "6.1.0-18-amd64" gives 6, 1, 0: leading numbers separated by dots, up to the first other
  // character. Each number is capped so that a strange release cannot overflow.
  size_t pos = 0;
  for (int i = 0;
       i < 3 && pos < release.size() && isdigit(static_cast<unsigned char>(release[pos])); ++i) {
    int value = 0;
    while (pos < release.size() && isdigit(static_cast<unsigned char>(release[pos]))) {
      if (value < 100000000) value = value * 10 + (release[pos] - '0');
      ++pos;
    }
    m_vers[i] = value;
    if (pos >= release.size() || release[pos] != '.') break;
    ++pos;
  }
}

const char* Platform_t::OSTypeName(int type) {
  switch (type) {
    case OS_LINUX:
      return "Linux";
    case OS_WINDOWS:
      return "Windows";
    case OS_SOLARIS:
      return "Solaris";
    case OS_AIX:
      return "AIX";
    case OS_HPUX:
      return "HP-UX";
    case OS_MACOS:
      return "macOS";
    case OS_FREEBSD:
      return "FreeBSD";
    default:
      return "Unknown";
  }
}

const char* Platform_t::CPUName(int cpu) {
  switch (cpu) {
    case CPU_X86:
      return "x86";
    case CPU_X86_64:
      return "x86_64";
    case CPU_ARM:
      return "arm";
    case CPU_ARM64:
      return "arm64";
    case CPU_PPC:
      return "ppc";
    case CPU_PPC64:
      return "ppc64";
    case CPU_SPARC:
      return "sparc";
    case CPU_S390X:
      return "s390x";
    case CPU_RISCV64:
      return "riscv64";
    case CPU_IA64:
      return "ia64";
    default:
      return "Unknown";
  }
}

}  // namespace QxMoxRuntime
