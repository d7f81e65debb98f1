// Helpers of the crypto and key store commands.
#include "CommandSupport.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>

#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxseccm/Catalog.h"

namespace QxCm {
namespace {

// FileError builds catalog message number with the path, the system's reason as details.
[[noreturn]] void FileError(int number, const std::string& path, int err) {
  QxMoxMsg::Message_t message = QxSecCm::Catalog::Warn(number) << path.c_str();
  if (err != 0) message.AddDetails(QxMoxMsg::Win32Message_t(err));
  throw QxMoxIo::IOException_t(message);
}

std::string TempNameFor(const std::string& path) {
  const std::filesystem::path destination(path);
  static std::random_device random;
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%08x%08x", random(), random());
  return (destination.parent_path() / ("." + destination.filename().string() + ".qxcm-" + suffix))
      .string();
}

void SyncDirectoryOf(const std::string& path) {
  std::filesystem::path dir = std::filesystem::path(path).parent_path();
  if (dir.empty()) dir = ".";
  QxMoxIo::Fd_t fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() >= 0) ::fsync(fd.Get());
}

}  // namespace

CLI::App* AddGroup(CLI::App& app, const std::string& name, const std::string& description,
                   const std::string& choices) {
  CLI::App* group = app.add_subcommand(name, description);
  // Not require_subcommand(1): an unknown word after the group is then reported by name.
  group->require_subcommand(0, 1);
  group->callback([group, name, choices] {
    if (group->get_subcommands().empty()) {
      throw CLI::RequiredError("A subcommand of " + name + " (" + choices + ")");
    }
  });
  return group;
}

Secret::~Secret() {
  if (!bytes.IsEmpty()) explicit_bzero(bytes.GetData(), bytes.GetSize());
}

QxMoxArray::CharArray_t ReadInput(const std::string& path) {
  QxMoxIo::Fd_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) FileError(21, path, errno);
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) FileError(21, path, errno);
  if (!S_ISREG(info.st_mode)) FileError(21, path, EINVAL);
  if (static_cast<unsigned long long>(info.st_size) > MAX_INPUT_SIZE) FileError(21, path, EFBIG);

  // Read up to the bound whatever the size said, in case the file grows meanwhile.
  QxMoxArray::CharArray_t bytes(static_cast<size_t>(info.st_size));
  size_t used = 0;
  for (;;) {
    if (used == bytes.GetSize()) {
      if (used == MAX_INPUT_SIZE + 1) FileError(21, path, EFBIG);
      bytes.Resize(std::min(MAX_INPUT_SIZE + 1, used + 4096));
    }
    const ssize_t n = ::read(fd.Get(), bytes.GetData() + used, bytes.GetSize() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FileError(21, path, errno);
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > MAX_INPUT_SIZE) FileError(21, path, EFBIG);
  bytes.Resize(used);
  return bytes;
}

OutputFiles::~OutputFiles() {
  for (const Entry& entry : m_entries) {
    if (!entry.temp.empty()) ::unlink(entry.temp.c_str());
    if (entry.placed && !m_committed) ::unlink(entry.path.c_str());
  }
}

void OutputFiles::Add(const std::string& path, const void* data, size_t length, Mode_e mode) {
  const auto normal = [](const std::string& p) {
    return std::filesystem::weakly_canonical(std::filesystem::absolute(p));
  };
  for (const Entry& entry : m_entries) {
    if (normal(entry.path) == normal(path)) {
      QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("The output file '") +
                                     QxMoxStr::String_t(path) + "' is given twice.");
    }
  }
  Entry& entry = m_entries.emplace_back(Entry{path, std::string(), false});

  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temp = TempNameFor(path);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) FileError(21, path, errno);
  entry.temp = temp;
  QxMoxIo::Fd_t file(fd);

  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t written = 0;
  while (written < length) {
    const ssize_t n = ::write(file.Get(), bytes + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FileError(22, path, errno);
    written += static_cast<size_t>(n);
  }
  if (::fsync(file.Get()) != 0) FileError(22, path, errno);
  if (!file.Close()) FileError(22, path, errno);
}

void OutputFiles::Commit() {
  for (Entry& entry : m_entries) {
    if (::rename(entry.temp.c_str(), entry.path.c_str()) != 0) FileError(22, entry.path, errno);
    entry.temp.clear();
    entry.placed = true;
  }
  m_committed = true;
  for (const Entry& entry : m_entries) SyncDirectoryOf(entry.path);
}

}  // namespace QxCm
