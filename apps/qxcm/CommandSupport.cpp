// Helpers of the crypto and key store commands.
#include "CommandSupport.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iostream>
#include <optional>

#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxmox/Runtime.h"
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

// ReadBounded reads fd to its end, or up to its first line feed when firstLine, refusing more
// than MAX_INPUT_SIZE bytes; sizeHint sizes the first buffer. name only appears in messages.
QxMoxArray::CharArray_t ReadBounded(int fd, const std::string& name, size_t sizeHint,
                                    bool firstLine) {
  // Read up to the bound whatever the size said, in case the file grows meanwhile.
  QxMoxArray::CharArray_t bytes(sizeHint);
  size_t used = 0;
  for (;;) {
    if (used == bytes.GetSize()) {
      if (used == MAX_INPUT_SIZE + 1) FileError(21, name, EFBIG);
      bytes.Resize(std::min(MAX_INPUT_SIZE + 1, used + 4096));
    }
    const ssize_t n = QxMoxIo::RetryOnEintr(
        [&] { return ::read(fd, bytes.GetData() + used, bytes.GetSize() - used); });
    if (n < 0) FileError(21, name, errno);
    if (n == 0) break;
    const size_t fresh = used;
    used += static_cast<size_t>(n);
    if (firstLine && bytes.View().substr(fresh, used - fresh).find('\n') != std::string::npos) {
      break;
    }
  }
  if (used > MAX_INPUT_SIZE) FileError(21, name, EFBIG);
  bytes.Resize(used);
  return bytes;
}

// FileNode says which file a name stands for: its resolved path, and its device and inode when
// it exists.
struct FileNode {
  std::filesystem::path resolved;
  std::optional<std::pair<dev_t, ino_t>> node;

  explicit FileNode(const std::string& path) {
    std::error_code ignored;
    resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ignored), ignored);
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) node.emplace(info.st_dev, info.st_ino);
  }
  bool SameAs(const FileNode& other) const {
    return resolved == other.resolved || (node.has_value() && node == other.node);
  }
};

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
  struct stat info {};
  QxMoxIo::Fd_t fd;
  try {
    fd = QxMoxIo::OpenRegularFile(path, info);
  } catch (const QxMoxIo::IOException_t& e) {
    FileError(21, path, e.GetMessageList());
  }
  if (static_cast<unsigned long long>(info.st_size) > MAX_INPUT_SIZE) FileError(21, path, EFBIG);
  return ReadBounded(fd.Get(), path, static_cast<size_t>(info.st_size), false);
}

QxMoxArray::CharArray_t ReadStandardInputLine() {
  return ReadBounded(STDIN_FILENO, "standard input", 0, true);
}

std::string KeyStorePath() {
  return QxMoxRuntime::Dir_t::Path(QxMoxRuntime::Dir_t::DIR_DATA, "keystore.db").ToUtf8();
}

std::string Shown(const std::string& path) {
  return path == STANDARD_STREAM ? "standard output" : path;
}

OutputFiles::OutputFiles(const std::vector<std::string>& inputs,
                         const std::vector<std::string>& outputs) {
  std::vector<std::pair<std::string, FileNode>> seen;
  for (const std::string& input : inputs) {
    if (!input.empty() && input != STANDARD_STREAM) seen.emplace_back(input, FileNode(input));
  }
  const size_t inputCount = seen.size();
  for (const std::string& output : outputs) {
    if (output.empty()) continue;
    if (output != STANDARD_STREAM) {
      try {
        QxMoxIo::CheckReplaceable(output);
      } catch (const QxMoxIo::IOException_t& e) {
        FileError(21, output, e.GetMessageList());
      }
    }
    const FileNode node(output);
    for (size_t i = 0; i < seen.size(); ++i) {
      if (!node.SameAs(seen[i].second)) continue;
      QxMoxMsg::ThrowIllegalArgument(QxMoxStr::String_t(
          "The output file '" + output +
          (i < inputCount ? "' is the input file '" + seen[i].first + "': it would be destroyed."
                          : std::string("' is given twice."))));
    }
    seen.emplace_back(output, node);
  }
}

void OutputFiles::Add(const std::string& path, const void* data, size_t length, Mode_e mode) {
  if (path == STANDARD_STREAM) {
    m_standardOutput.bytes.Append(data, length);
    m_usesStandardOutput = true;
    return;
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
  if (m_usesStandardOutput) {
    std::cout.flush();
    try {
      QxMoxIo::WriteAll(STDOUT_FILENO, m_standardOutput.bytes.View(), "standard output");
    } catch (const QxMoxIo::IOException_t& e) {
      FileError(22, Shown(STANDARD_STREAM), e.GetMessageList());
    }
  }
  for (QxMoxIo::PendingReplace_t& file : m_files) {
    try {
      file.Commit();
    } catch (const QxMoxIo::IOException_t& e) {
      FileError(22, file.GetPath(), e.GetMessageList());
    }
  }
}

std::ostream& OutputFiles::Report() const { return m_usesStandardOutput ? std::cerr : std::cout; }

}  // namespace QxCm
