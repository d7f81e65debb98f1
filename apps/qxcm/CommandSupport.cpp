// Helpers of the crypto and key store commands.
#include "CommandSupport.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>

#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxseccm/Catalog.h"

namespace QxCm {
namespace {

// FileError builds catalog message number with the path, the reason as details: the system's
// text of an errno, or what the file layer reported.
[[noreturn]] void FileError(int number, const std::string& path,
                            const QxMoxMsg::MessageList_t& reason) {
  QxMoxMsg::Message_t message = QxSecCm::Catalog::Warn(number) << path.c_str();
  message.AddDetails(reason);
  throw QxMoxIo::IOException_t(message);
}

[[noreturn]] void FileError(int number, const std::string& path, int err) {
  FileError(number, path, QxMoxMsg::Win32Message_t(err));
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
  const QxMoxIo::Fd_t fd = QxMoxIo::OpenFd(path, O_RDONLY);
  if (!fd.Valid()) FileError(21, path, errno);
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
    const ssize_t n = QxMoxIo::RetryOnEintr(
        [&] { return ::read(fd.Get(), bytes.GetData() + used, bytes.GetSize() - used); });
    if (n < 0) FileError(21, path, errno);
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > MAX_INPUT_SIZE) FileError(21, path, EFBIG);
  bytes.Resize(used);
  return bytes;
}

OutputFiles::~OutputFiles() {
  if (m_committed) return;
  for (const QxMoxIo::PendingReplace_t& file : m_files) {
    if (file.IsPlaced()) ::unlink(file.GetPath().c_str());
  }
}

void OutputFiles::Add(const std::string& path, const void* data, size_t length, Mode_e mode) {
  const auto normal = [](const std::string& p) {
    return std::filesystem::weakly_canonical(std::filesystem::absolute(p));
  };
  for (const QxMoxIo::PendingReplace_t& file : m_files) {
    if (normal(file.GetPath()) == normal(path)) {
      QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t("The output file '") +
                                     QxMoxStr::String_t(path) + "' is given twice.");
    }
  }
  std::optional<QxMoxIo::PendingReplace_t> file;
  try {
    file.emplace(path, mode);
  } catch (const QxMoxIo::IOException_t& e) {
    FileError(21, path, e.GetMessageList());
  }
  try {
    file->Write(data, length);
    file->Prepare();
  } catch (const QxMoxIo::IOException_t& e) {
    FileError(22, path, e.GetMessageList());
  }
  m_files.push_back(std::move(*file));
}

void OutputFiles::Commit() {
  for (QxMoxIo::PendingReplace_t& file : m_files) {
    try {
      file.Commit();
    } catch (const QxMoxIo::IOException_t& e) {
      FileError(22, file.GetPath(), e.GetMessageList());
    }
  }
  m_committed = true;
}

}  // namespace QxCm
