// Helpers of the crypto and key store commands: bounded reading of input files, all-or-nothing
// writing of output files, wiped secrets and command groups.
#pragma once

#include <sys/types.h>

#include <CLI/CLI.hpp>
#include <cstddef>
#include <ostream>
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

// STANDARD_STREAM is the file name that stands for standard input or standard output.
inline constexpr const char* STANDARD_STREAM = "-";

// ReadInput returns the content of the regular file at path, opened without waiting
// (QxMoxIo::OpenRegularFile), so a FIFO or device given as input is refused rather than waited
// on. Throws QxMoxIo::IOException_t with catalog message 21 "Could not open file '%1'." (the
// reason as details) when it cannot be read, is not a regular file or is larger than
// MAX_INPUT_SIZE.
QxMoxArray::CharArray_t ReadInput(const std::string& path);

// ReadStandardInputLine reads standard input up to and including its first line feed (or to
// its end), at most MAX_INPUT_SIZE bytes. Throws like ReadInput, naming "standard input".
QxMoxArray::CharArray_t ReadStandardInputLine();

// KeyStorePath returns where this QX_HOME's key store lies ($QX_HOME/data/keystore.db).
std::string KeyStorePath();

// Shown returns path as a message names it: "standard output" for STANDARD_STREAM.
std::string Shown(const std::string& path);

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
// complete, or none does, and no existing file is lost on a failure.
//
// The constructor checks the command's file names before anything is read, drawn or written:
// each output must be STANDARD_STREAM (text written to standard output) or a name that is absent
// or a regular file (QxMoxIo::CheckReplaceable), and no output may name the same file as an
// input or another output (same device and inode, or the same resolved path). Empty names
// (options not given) and an input STANDARD_STREAM are skipped.
//
// Add writes and syncs each file's bytes into a pending replacement (QxMoxIo::PendingReplace_t:
// a temporary file beside its destination, created with its final mode, PUBLIC 0644 or SECRET
// 0600 less the umask, so a private key is never readable by others, not even for a moment);
// output STANDARD_STREAM is kept in memory. Commit writes standard output first, then renames
// every file into place, syncing each directory. Existing files are replaced only by Commit;
// when it is not reached, the destructor removes the temporary files and leaves every existing
// file as it was.
//
// Failures throw QxMoxIo::IOException_t with catalog message 21 "Could not open file '%1'." or
// 22 "Could not write to file '%1'." naming the destination, or IllegalArgumentError_t when an
// output is given twice or is also an input.
class OutputFiles {
 public:
  enum Mode_e : mode_t { PUBLIC = 0644, SECRET = 0600 };

  OutputFiles(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  // Add writes bytes (length bytes at data) to a temporary file for path, flushed to disk.
  void Add(const std::string& path, const void* data, size_t length, Mode_e mode);
  void Add(const std::string& path, const QxMoxArray::CharArray_t& bytes, Mode_e mode) {
    Add(path, bytes.GetData(), bytes.GetSize(), mode);
  }
  // Commit writes standard output, then moves every file into place in the order added.
  void Commit();
  // Report is where the command says what it wrote: standard error when standard output
  // carries an output, else standard output.
  std::ostream& Report() const;

 private:
  std::vector<QxMoxIo::PendingReplace_t> m_files;
  Secret m_standardOutput;
  bool m_usesStandardOutput = false;
};

}  // namespace QxCm
