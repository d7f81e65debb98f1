// File_t: existence, deletion and directory creation for a path.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "qxmox/Exception.h"
#include "qxmox/FileCache.h"
#include "qxmox/Io.h"

namespace QxMoxIo {
namespace {

std::atomic<uint64_t> g_cachedFilesGeneration{0};

bool IsDir(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool File_t::Exists() const {
  struct stat st {};
  return !m_path.empty() && stat(m_path.c_str(), &st) == 0;
}

bool File_t::IsDirectory() const { return !m_path.empty() && IsDir(m_path); }

bool File_t::Delete() const {
  if (m_path.empty() || remove(m_path.c_str()) != 0) return false;
  ForgetCachedFiles();
  return true;
}

bool File_t::Mkdirs() const {
  if (m_path.empty()) return false;
  // Create each prefix that ends before a '/', then the path itself. EEXIST covers both a
  // directory made earlier and one made by a concurrent process; the final check decides.
  for (size_t pos = m_path.find('/', 1); pos != std::string::npos;
       pos = m_path.find('/', pos + 1)) {
    if (m_path[pos - 1] == '/') continue;
    const std::string prefix = m_path.substr(0, pos);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  if (mkdir(m_path.c_str(), 0755) != 0 && errno != EEXIST) return false;
  if (IsDir(m_path)) return true;
  errno = ENOTDIR;  // something other than a directory holds the name
  return false;
}

std::string File_t::GetParent() const {
  std::string path = m_path;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  path.resize(slash);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool TryRestrictToOwner(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  return (st.st_mode & 077) == 0 || chmod(path.c_str(), st.st_mode & 0700) == 0;
}

void RestrictToOwner(const std::string& path) {
  if (!TryRestrictToOwner(path)) {
    QxMoxMsg::ThrowErrno(QxMoxStr::String_t("Cannot restrict to its owner the mode of ") + path,
                         errno);
  }
}

bool TryMakePrivateDirectory(const std::string& dir) {
  // The directory itself is made 0700 at once, so it is never open to others in between.
  if (!IsDir(dir) && (!File_t(File_t(dir).GetParent()).Mkdirs() ||
                      (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST))) {
    return false;
  }
  return TryRestrictToOwner(dir);
}

void MakePrivateDirectory(const std::string& dir) {
  if (!TryMakePrivateDirectory(dir)) {
    QxMoxMsg::ThrowErrno(
        QxMoxStr::String_t("Cannot create or restrict to its owner directory ") + dir, errno);
  }
}

void Fd_t::Reset() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

bool Fd_t::Close() {
  const int fd = Release();
  return fd < 0 || ::close(fd) == 0 || errno == EINTR;
}

std::optional<FileStamp> FileStamp::Of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  const auto ns = [](const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
  return FileStamp{st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
}

void ForgetCachedFiles() { g_cachedFilesGeneration.fetch_add(1, std::memory_order_release); }

uint64_t CachedFilesGeneration() { return g_cachedFilesGeneration.load(std::memory_order_acquire); }

bool FileStamp::IsSettled() const {
  // The wall clock, as the file system stamps with it; a clock set back only rereads sooner.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t nowNs = int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
  constexpr int64_t kSettledNs = 2000000000;
  return nowNs - modifiedNs >= kSettledNs && nowNs - changedNs >= kSettledNs;
}

}  // namespace QxMoxIo
