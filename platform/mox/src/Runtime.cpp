// The platform's directories under QX_HOME and the running program's identity.
#include "qxmox/Runtime.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "qxmox/Exception.h"
#include "qxmox/Io.h"

namespace QxMoxRuntime {
namespace {

const char* SubDir(int key) {
  switch (key) {
    case Dir_t::DIR_HOME:
      return "";
    case Dir_t::DIR_ETC:
      return "/etc";
    case Dir_t::DIR_LOG:
      return "/log";
    case Dir_t::DIR_RUN:
      return "/run";
    case Dir_t::DIR_DATA:
      return "/data";
    default:
      return nullptr;
  }
}

// A relative path must stay below its directory: no leading '/', no ".." component.
bool IsSafeRelative(std::string_view rel) {
  if (!rel.empty() && rel.front() == '/') return false;
  size_t start = 0;
  while (start <= rel.size()) {
    size_t end = rel.find('/', start);
    if (end == std::string_view::npos) end = rel.size();
    if (rel.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

std::mutex g_nameMutex;
std::string g_appName;

}  // namespace

std::string Dir_t::Home() {
  if (const char* home = std::getenv("QX_HOME"); home != nullptr && *home != '\0') {
    std::string h(home);
    while (h.size() > 1 && h.back() == '/') h.pop_back();
    return h;
  }
  const char* user = std::getenv("HOME");
  std::string base;
  if (user != nullptr && *user != '\0') {
    base = user;
  } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    base = pw->pw_dir;
  } else {
    base = "/tmp";
  }
  return base + "/.qx";
}

QxMoxStr::String_t Dir_t::Path(int key, const QxMoxStr::String_t& relative) {
  const char* sub = SubDir(key);
  if (sub == nullptr) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("Unknown directory key ") +
                                   QxMoxStr::NumToStr(key));
  }
  const std::string rel = relative.ToUtf8();
  if (!IsSafeRelative(rel)) {
    QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("Path leaves its directory: ") + relative);
  }
  std::string path = Home() + sub;
  if (!rel.empty()) path += "/" + rel;
  return QxMoxStr::String_t(path);
}

std::string Dir_t::EnsureDir(int key) {
  const std::string dir = Path(key, QxMoxStr::String_t()).ToUtf8();
  if (key == DIR_DATA) {
    QxMoxIo::MakePrivateDirectory(dir);
    return dir;
  }
  QxMoxIo::File_t file(dir);
  if (!file.Mkdirs()) QxMoxMsg::ThrowErrno(QxMoxStr::String_t("Cannot create directory ") + dir, errno);
  return dir;
}

QxMoxStr::String_t App_t::GetName() {
  {
    std::lock_guard<std::mutex> lock(g_nameMutex);
    if (!g_appName.empty()) return QxMoxStr::String_t(g_appName);
  }
  return QxMoxStr::String_t(program_invocation_short_name);
}

void App_t::SetName(const QxMoxStr::String_t& name) {
  std::lock_guard<std::mutex> lock(g_nameMutex);
  g_appName = name.ToUtf8();
}

long App_t::GetProcessId() { return static_cast<long>(getpid()); }

}  // namespace QxMoxRuntime
