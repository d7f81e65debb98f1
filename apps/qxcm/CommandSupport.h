// Helpers of the crypto and key store commands: bounded reading of input files, all-or-nothing
// writing of output files, wiped secrets and command groups.
#pragma once

#include <sys/types.h>

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "qxmox/CharArray.h"
#include "qxmox/Io.h"

namespace QxCm {

// AddGroup adds the command name, which only holds subcommands, to app. A missing or unknown
// subcommand is reported by name; choices lists them for the message ("create").
CLI::App* AddGroup(CLI::App& app, const std::string& name, const std::string& description,
                   const std::string& choices);

// MAX_INPUT_SIZE bounds every file a command reads (certificates, keys, requests, PKCS#12 blobs,
// passwords); larger files are refused before anything is allocated for them.
inline constexpr size_t MAX_INPUT_SIZE = 16u * 1024 * 1024;

// ReadInput returns the content of the file at path. Throws QxMoxIo::IOException_t with catalog
// message 21 "Could not open file '%1'." (the system's reason as details) when it cannot be read,
// is not a regular file or is larger than MAX_INPUT_SIZE.
QxMoxArray::CharArray_t ReadInput(const std::string& path);

// Secret holds the bytes of a private key or password and wipes them when it goes.
struct Secret {
  QxMoxArray::CharArray_t bytes;
  Secret() = default;
  explicit Secret(QxMoxArray::CharArray_t b) : bytes(std::move(b)) {}
  ~Secret();
  Secret(Secret&& other) noexcept : bytes(std::move(other.bytes)) {}
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
};

// OutputFiles writes the output files of one command so that either all of them appear, each
// complete, or none does. Add writes and syncs each file's bytes into a pending replacement
// (QxMoxIo::PendingReplace_t: a temporary file beside its destination, created with its final
// mode, PUBLIC 0644 or SECRET 0600 less the umask, so a private key is never readable by
// others, not even for a moment); Commit renames them all into place, syncing each directory.
// When Commit is not reached or fails, the destructor removes the temporary files and whatever
// Commit had already moved, so a failed command leaves no output file behind. Existing
// destination files are replaced only by Commit.
//
// Failures throw QxMoxIo::IOException_t with catalog message 21 "Could not open file '%1'." or
// 22 "Could not write to file '%1'." naming the destination, or IllegalArgumentError_t when one
// destination is given twice.
class OutputFiles {
 public:
  enum Mode_e : mode_t { PUBLIC = 0644, SECRET = 0600 };

  OutputFiles() = default;
  ~OutputFiles();
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  // Add writes bytes (length bytes at data) to a temporary file for path, flushed to disk.
  void Add(const std::string& path, const void* data, size_t length, Mode_e mode);
  void Add(const std::string& path, const QxMoxArray::CharArray_t& bytes, Mode_e mode) {
    Add(path, bytes.GetData(), bytes.GetSize(), mode);
  }
  // Commit moves every file into place, in the order added.
  void Commit();

 private:
  std::vector<QxMoxIo::PendingReplace_t> m_files;
  bool m_committed = false;
};

}  // namespace QxCm
