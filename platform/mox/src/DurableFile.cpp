// Whole writes, directory syncs and atomic file replacement.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

#include "qxmox/FileCache.h"
#include "qxmox/Io.h"

namespace QxMoxIo {
namespace {

using QxMoxStr::String_t;

// A long name is cut in the temporary name so that the latter stays within NAME_MAX.
constexpr size_t kMaxNameInTemp = 200;

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string TempPrefix(const std::string& path) {
  return "." + BaseName(path).substr(0, kMaxNameInTemp) + ".tmp.";
}

uint64_t RandomSuffix() {
  uint64_t value = 0;
  if (getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) {
    return value;
  }
  // O_EXCL keeps the name unique anyway; the counter only spares retries.
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1) ^ static_cast<uint64_t>(time(nullptr));
}

[[noreturn]] void Throw(const char* verb, const std::string& name, int err) {
  QxMoxMsg::ThrowErrno(String_t(verb) + " " + String_t(name), err);
}

// ProcessGone tells whether the writer named by a temporary file's "<pid>.<random>" tail has
// ended; a tail that is not ours counts as alive, so its file stays.
bool ProcessGone(std::string_view tail) {
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(tail.data(), tail.data() + tail.size(), pid);
  if (ec != std::errc() || pid <= 0 || end == tail.data() + tail.size() || *end != '.') {
    return false;
  }
  return pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH;
}

[[noreturn]] void ThrowNotRegular(const char* verb, const std::string& path, mode_t mode) {
  QxMoxMsg::ThrowIO(String_t(verb) + " " + String_t(path) + ": it is " +
                    String_t(FileTypeName(mode)) + ", not a regular file");
}

}  // namespace

const char* FileTypeName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "a regular file";
    case S_IFDIR:
      return "a directory";
    case S_IFLNK:
      return "a symbolic link";
    case S_IFIFO:
      return "a FIFO";
    case S_IFSOCK:
      return "a socket";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    default:
      return "an unknown kind of file";
  }
}

void CheckReplaceable(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    ThrowNotRegular("Cannot replace", path, info.st_mode);
  }
}

Fd_t OpenRegularFile(const std::string& path, struct stat& info, IfMissing_e missing) {
  Fd_t fd = OpenFd(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!fd.Valid()) {
    const int err = errno;
    if (err == ENOENT && missing == IfMissing_e::RETURN_INVALID) return fd;
    // A socket cannot be opened at all (ENXIO): name what it is rather than that error.
    if (err == ENXIO && stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      ThrowNotRegular("Cannot read", path, info.st_mode);
    }
    Throw("Cannot open", path, err);
  }
  if (fstat(fd.Get(), &info) != 0) Throw("Cannot open", path, errno);
  if (!S_ISREG(info.st_mode)) ThrowNotRegular("Cannot read", path, info.st_mode);
  const int flags = fcntl(fd.Get(), F_GETFL);
  if (flags < 0 || fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    Throw("Cannot open", path, errno);
  }
  return fd;
}

Fd_t OpenFd(const std::string& path, int flags, mode_t mode) {
  return Fd_t(RetryOnEintr([&] { return open(path.c_str(), flags | O_CLOEXEC, mode); }));
}

Fd_t OpenOrCreate(const std::string& path, int flags, mode_t mode, bool& created) {
  created = false;
  flags &= ~(O_CREAT | O_EXCL);
  for (;;) {
    Fd_t fd = OpenFd(path, flags);
    if (fd.Valid() || errno != ENOENT) return fd;
    fd = OpenFd(path, flags | O_CREAT | O_EXCL, mode);
    if (fd.Valid()) created = true;
    // EEXIST: another process created it in between; open that one.
    if (fd.Valid() || errno != EEXIST) return fd;
  }
}

bool TryWriteAll(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = RetryOnEintr([&] { return write(fd, p, length); });
    if (n < 0) return false;
    if (n == 0) {  // no progress and no error: give up rather than spin
      errno = EIO;
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void WriteAll(int fd, const void* data, size_t length, const std::string& path) {
  if (!TryWriteAll(fd, data, length)) {
    Throw("Cannot write", path.empty() ? "descriptor " + std::to_string(fd) : path, errno);
  }
}

bool TrySyncDirectory(const std::string& dir) {
  const Fd_t fd = OpenFd(dir, O_RDONLY | O_DIRECTORY);
  return fd.Valid() && (fsync(fd.Get()) == 0 || errno == EINVAL);
}

void SyncDirectory(const std::string& dir) {
  if (!TrySyncDirectory(dir)) Throw("Cannot sync directory", dir, errno);
}

// ---- PendingReplace_t --------------------------------------------------------------------------

PendingReplace_t::PendingReplace_t(std::string path, mode_t mode, CreateMode_e use)
    : m_path(std::move(path)) {
  CheckReplaceable(m_path);
  RemoveStaleTemporaries(m_path);
  const std::string prefix =
      File_t(m_path).GetParent() + "/" + TempPrefix(m_path) + std::to_string(getpid()) + ".";
  for (int attempt = 0; !m_fd.Valid(); ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx",
                  static_cast<unsigned long long>(RandomSuffix()));
    const std::string temp = prefix + suffix;
    m_fd = OpenFd(temp, O_WRONLY | O_CREAT | O_EXCL, mode);
    if (m_fd.Valid()) {
      m_temp = temp;
    } else if (errno != EEXIST || attempt == 100) {
      Throw("Cannot create", temp, errno);
    }
  }
  // The umask can only narrow the mode, so the file is never wider than asked for.
  if (use == CreateMode_e::EXACT && fchmod(m_fd.Get(), mode) != 0) {
    Throw("Cannot set the mode of", m_temp, errno);
  }
}

PendingReplace_t::~PendingReplace_t() {
  m_fd.Reset();
  if (!m_temp.empty()) unlink(m_temp.c_str());
}

PendingReplace_t::PendingReplace_t(PendingReplace_t&& other) noexcept
    : m_path(std::move(other.m_path)),
      m_temp(std::exchange(other.m_temp, std::string())),
      m_fd(std::move(other.m_fd)),
      m_placed(other.m_placed) {}

void PendingReplace_t::Write(const void* data, size_t length) {
  if (!m_fd.Valid()) QxMoxMsg::ThrowIO(String_t("Cannot write ") + String_t(m_temp) + ": closed");
  WriteAll(m_fd.Get(), data, length, m_temp);
}

void PendingReplace_t::Prepare() {
  if (!m_fd.Valid()) return;
  if (fsync(m_fd.Get()) != 0) Throw("Cannot sync", m_temp, errno);
  if (!m_fd.Close()) Throw("Cannot write", m_temp, errno);
}

void PendingReplace_t::Commit() {
  if (m_temp.empty()) QxMoxMsg::ThrowIO(String_t("Nothing to commit for ") + String_t(m_path));
  Prepare();
  CheckReplaceable(m_path);
  if (rename(m_temp.c_str(), m_path.c_str()) != 0) Throw("Cannot replace", m_path, errno);
  m_temp.clear();
  m_placed = true;
  ForgetCachedFiles();
  SyncDirectory(File_t(m_path).GetParent());
}

void ReplaceFile(const std::string& path, std::string_view content, mode_t mode, CreateMode_e use) {
  PendingReplace_t file(path, mode, use);
  file.Write(content);
  file.Commit();
}

void RemoveStaleTemporaries(const std::string& path) {
  const std::string dir = File_t(path).GetParent();
  const std::string prefix = TempPrefix(path);
  std::vector<std::string> stale;
  {
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), &closedir);
    if (listing == nullptr) return;
    while (const dirent* entry = readdir(listing.get())) {
      const std::string_view name(entry->d_name);
      if (name.starts_with(prefix) && ProcessGone(name.substr(prefix.size()))) {
        stale.emplace_back(name);
      }
    }
  }
  for (const std::string& name : stale) unlink((dir + "/" + name).c_str());
}

}  // namespace QxMoxIo
