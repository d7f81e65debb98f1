// Files, byte streams, data streams (big-endian Int32, counted UTF-16) and byte-array streams.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/String.h"

namespace QxMoxIo {

// Fd_t owns a POSIX file descriptor (-1: none): it is closed when the owner goes, moves with the
// owner and is never copied.
class Fd_t {
 public:
  Fd_t() = default;
  explicit Fd_t(int fd) : m_fd(fd) {}
  ~Fd_t() { Reset(); }
  Fd_t(Fd_t&& other) noexcept : m_fd(other.Release()) {}
  Fd_t& operator=(Fd_t&& other) noexcept {
    if (this != &other) {
      Reset();
      m_fd = other.Release();
    }
    return *this;
  }
  Fd_t(const Fd_t&) = delete;
  Fd_t& operator=(const Fd_t&) = delete;

  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  // Release gives up ownership and returns the descriptor.
  int Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // Reset closes the descriptor now, ignoring close's result.
  void Reset();
  // Close closes the descriptor now and returns whether close succeeded (errno tells why not): a
  // delayed write error of a file can surface only here. EINTR counts as success: on Linux the
  // descriptor is gone either way and retrying could close another thread's new descriptor.
  bool Close();

 private:
  int m_fd = -1;
};

// File_t names a path in the file system.
class File_t {
 public:
  explicit File_t(std::string path) : m_path(std::move(path)) {}
  explicit File_t(const char* path) : m_path(path != nullptr ? path : "") {}
  explicit File_t(const QxMoxStr::String_t& path) : m_path(path.ToUtf8()) {}
  const std::string& GetPath() const { return m_path; }
  bool Exists() const;
  bool IsDirectory() const;
  // Delete removes a file or an empty directory; true on success.
  bool Delete() const;
  // Mkdirs creates the directory and its missing parents (mode 0755 less the umask); true
  // when the directory exists afterwards. On false, errno tells why.
  bool Mkdirs() const;
  // GetParent returns the path up to the last '/' (trailing slashes ignored), "/" for a
  // name in the root, or "." when there is no '/'.
  std::string GetParent() const;

 private:
  std::string m_path;
};

// TryRestrictToOwner narrows the mode of the file or directory at path to its owner's bits when
// its group or others have any (a file of mode 0644 becomes 0600, a directory of 0755 becomes
// 0700); a mode that is narrow already is left alone. A symbolic link is followed (a data
// directory may be one), so a caller that must not follow one checks path first. Returns false
// with errno set on failure; RestrictToOwner throws IOException_t naming path instead.
[[nodiscard]] bool TryRestrictToOwner(const std::string& path);
void RestrictToOwner(const std::string& path);

// TryMakePrivateDirectory creates the directory dir with mode 0700 when absent (missing parents
// with mode 0755 less the umask) and restricts it to its owner (TryRestrictToOwner). Returns
// false with errno set on failure; MakePrivateDirectory throws IOException_t naming dir instead.
[[nodiscard]] bool TryMakePrivateDirectory(const std::string& dir);
void MakePrivateDirectory(const std::string& dir);

// ---- System calls and durable files ------------------------------------------------------------
// On failure nothing here leaves an open descriptor or a temporary file behind.

// RetryOnEintr calls call() again while it returns -1 with errno EINTR and returns its last
// result, so a signal arriving during a blocking system call is not taken for a failure.
template <typename Call>
auto RetryOnEintr(Call&& call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// OpenFd opens path with flags | O_CLOEXEC (and mode when flags create a file) and returns the
// descriptor; on failure an invalid Fd_t with errno set. Interrupted opens are retried.
Fd_t OpenFd(const std::string& path, int flags, mode_t mode = 0);

// OpenOrCreate opens the existing file at path with flags | O_CLOEXEC, or creates it (O_EXCL,
// with mode less the umask) when it is absent; created tells which happened. The caller makes a
// new file's directory entry durable (SyncDirectory) once the file holds what it should. Returns
// an invalid Fd_t with errno set on failure.
Fd_t OpenOrCreate(const std::string& path, int flags, mode_t mode, bool& created);

// TryWriteAll writes the length bytes at data to fd, going on after short writes and EINTR.
// Returns false with errno set when a write fails (how much was written is then unknown).
[[nodiscard]] bool TryWriteAll(int fd, const void* data, size_t length);

// WriteAll is TryWriteAll that throws IOException_t "Cannot write <path>: <reason>" on failure;
// path only names the file in the message ("descriptor <fd>" when empty).
void WriteAll(int fd, const void* data, size_t length, const std::string& path = {});
inline void WriteAll(int fd, std::string_view data, const std::string& path = {}) {
  WriteAll(fd, data.data(), data.size(), path);
}

// TrySyncDirectory makes the entries of directory dir durable (a created, renamed or removed
// name survives a crash); returns false with errno set when dir cannot be opened or synced. A
// file system that cannot sync directories at all (fsync gives EINVAL) counts as success.
[[nodiscard]] bool TrySyncDirectory(const std::string& dir);

// SyncDirectory is TrySyncDirectory that throws IOException_t naming dir on failure.
void SyncDirectory(const std::string& dir);

// FileTypeName names the file type in mode for messages: "a regular file", "a directory", "a
// symbolic link", "a FIFO", "a socket", "a character device", "a block device" or "an unknown
// kind of file".
const char* FileTypeName(mode_t mode);

// CheckReplaceable throws IOException_t "Cannot replace <path>: it is <type>, not a regular file"
// when path exists as anything but a regular file. The name itself is looked at, not what a
// symbolic link points to: renaming over it would turn a device, FIFO, socket or symbolic link
// into a plain file. A path that is absent or cannot be looked at passes (writing beside it then
// fails with the system's reason).
void CheckReplaceable(const std::string& path);

// FileStamp identifies one version of a file: its device, inode, size and modification and
// status-change times. A file replaced (renamed over) or rewritten gets another stamp, except
// that two writes within one tick of the file system's clock can leave the same times; so an
// unchanged stamp proves an unchanged file only once IsSettled. Caches of file contents keep the
// stamp they read under and read again when it differs or is not settled.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;

  // Of returns the stamp of the file at path (following a symbolic link); nothing when it
  // cannot be looked at.
  static std::optional<FileStamp> Of(const std::string& path);
  // IsSettled tells whether the file's last change is two seconds old or older.
  bool IsSettled() const;
  bool operator==(const FileStamp&) const = default;
};

// IfMissing_e says what OpenRegularFile does when the path does not exist.
enum class IfMissing_e { THROW, RETURN_INVALID };

// OpenRegularFile opens the regular file at path for reading and returns its descriptor, with
// its status in info. The open never waits (O_NONBLOCK: a FIFO without a writer or some devices
// would block it forever), never makes a terminal the controlling one (O_NOCTTY) and is closed
// on exec; the type is checked on the open descriptor, which is then switched back to blocking
// reads. Throws IOException_t "Cannot open <path>: <reason>", or "Cannot read <path>: it is
// <type>, not a regular file"; an absent path returns an invalid Fd_t when missing says so.
Fd_t OpenRegularFile(const std::string& path, struct stat& info,
                     IfMissing_e missing = IfMissing_e::THROW);

// CreateMode_e says how PendingReplace_t applies the mode of the file it creates: cut by the
// process's umask as open(2) does, or exactly as given (to keep the mode of the file replaced).
enum class CreateMode_e { LESS_UMASK, EXACT };

// PendingReplace_t replaces the file at path atomically, in two phases: readers and a crash at
// any moment find either the complete old file (or none) or the complete new one.
//
// The constructor refuses a path that exists as anything but a regular file (CheckReplaceable),
// removes the temporaries that dead writers left for path (RemoveStaleTemporaries) and creates a
// temporary file ".<name>.tmp.<pid>.<random>" in path's directory with O_CREAT | O_EXCL |
// O_CLOEXEC and the final mode from the start, so the content is never more readable than the
// finished file. Write appends to it; Prepare fsyncs and closes it: after Prepare everything that
// can fail, short of the rename, has been done. Commit prepares when not yet done, checks path
// again, renames the temporary file over path and fsyncs the directory. Several objects prepared
// first and committed last keep every existing file as it was when one of them fails before the
// commits.
//
// Every failure throws IOException_t naming the file and the reason; the destructor
// removes the temporary file unless Commit renamed it. When only the directory fsync of Commit
// fails, path already holds the new content, but it is not yet durable. Moving transfers the
// pending file; a moved-from object holds nothing.
class PendingReplace_t {
 public:
  PendingReplace_t(std::string path, mode_t mode, CreateMode_e use = CreateMode_e::LESS_UMASK);
  ~PendingReplace_t();
  PendingReplace_t(PendingReplace_t&& other) noexcept;
  PendingReplace_t& operator=(PendingReplace_t&&) = delete;
  PendingReplace_t(const PendingReplace_t&) = delete;
  PendingReplace_t& operator=(const PendingReplace_t&) = delete;

  // Write appends length bytes at data; throws IOException_t after Prepare.
  void Write(const void* data, size_t length);
  void Write(std::string_view data) { Write(data.data(), data.size()); }
  void Prepare();
  void Commit();
  const std::string& GetPath() const { return m_path; }
  // IsPlaced tells whether Commit has renamed the file into place, even if its directory sync
  // failed afterwards.
  bool IsPlaced() const { return m_placed; }

 private:
  std::string m_path;
  std::string m_temp;  // empty once renamed or moved away
  Fd_t m_fd;           // open until Prepare
  bool m_placed = false;
};

// ReplaceFile puts content in place of path atomically: a PendingReplace_t(path, mode, use)
// written and committed at once. Throws IOException_t; path is then as it was, except when only
// the final directory sync failed (see PendingReplace_t).
void ReplaceFile(const std::string& path, std::string_view content, mode_t mode,
                 CreateMode_e use = CreateMode_e::LESS_UMASK);

// RemoveStaleTemporaries deletes the temporary files PendingReplace_t left in path's directory
// for path when their writer died before the rename: those whose process id no longer exists.
// Best effort: a file that cannot be listed or removed stays. Every PendingReplace_t calls it.
void RemoveStaleTemporaries(const std::string& path);

// InputStream_t reads bytes.
class InputStream_t {
 public:
  virtual ~InputStream_t() = default;
  // Read reads up to length bytes and returns the count read; 0 at the end of the data.
  // Throws IOException_t on a read error.
  virtual size_t Read(void* buffer, size_t length) = 0;
  // Remaining returns how many bytes are left when the stream knows it, else -1.
  virtual long long Remaining() const { return -1; }
  virtual void Close() {}
};

// OutputStream_t writes bytes.
class OutputStream_t {
 public:
  virtual ~OutputStream_t() = default;
  virtual void Write(const void* data, size_t length) = 0;
  void Write(const QxMoxArray::CharArray_t& bytes) { Write(bytes.GetData(), bytes.GetSize()); }
  // Write(text) writes the text in UTF-8.
  void Write(const QxMoxStr::String_t& text);
  void Write(char c) { Write(&c, 1); }
  virtual void Flush() {}
  // Close flushes and closes the layers below.
  virtual void Close() { Flush(); }
};

// FileInputStream_t reads a file. The constructor throws IOException_t when it cannot open it;
// Read after Close throws IOException_t. Remaining is the file size less the read position for
// a regular file, -1 for anything else (pipes, devices) and after Close.
class FileInputStream_t : public InputStream_t {
 public:
  explicit FileInputStream_t(const std::string& path);
  ~FileInputStream_t() override;
  size_t Read(void* buffer, size_t length) override;
  long long Remaining() const override;
  void Close() override;

 private:
  Fd_t m_fd;
};

// FileOutputStream_t writes a file, created with the given mode (never widened later; an
// existing file keeps its mode) and truncated, or appended to. Writes go straight to the file
// (no buffer), whole even when the system writes in parts. The constructor throws
// IOException_t when it cannot open the file; Write, Sync and Close throw IOException_t on
// failure, Write and Sync also after Close. Close reports an error of close() itself (a late
// write error on some file systems); the destructor closes quietly.
class FileOutputStream_t : public OutputStream_t {
 public:
  using OutputStream_t::Write;
  explicit FileOutputStream_t(const std::string& path, bool append = false, mode_t mode = 0644);
  ~FileOutputStream_t() override;
  void Write(const void* data, size_t length) override;
  // Sync makes the written data durable (fdatasync).
  void Sync();
  void Close() override;

 private:
  Fd_t m_fd;
};

// CharArrayInputStream_t reads a copy of a byte array.
class CharArrayInputStream_t : public InputStream_t {
 public:
  explicit CharArrayInputStream_t(QxMoxArray::CharArray_t bytes) : m_bytes(std::move(bytes)) {}
  size_t Read(void* buffer, size_t length) override;
  long long Remaining() const override { return static_cast<long long>(m_bytes.GetSize() - m_pos); }

 private:
  QxMoxArray::CharArray_t m_bytes;
  size_t m_pos = 0;
};

// CharArrayOutputStream_t collects bytes in memory.
class CharArrayOutputStream_t : public OutputStream_t {
 public:
  using OutputStream_t::Write;
  void Write(const void* data, size_t length) override { m_bytes.Append(data, length); }
  QxMoxArray::CharArray_t ToCharArray() const { return m_bytes; }
  // ToString decodes the bytes as UTF-8.
  QxMoxStr::String_t ToString() const { return QxMoxStr::String_t(m_bytes.View()); }
  size_t Size() const { return m_bytes.GetSize(); }

 private:
  QxMoxArray::CharArray_t m_bytes;
};

// DataOutputStream_t writes Int32 as four big-endian bytes and strings as an Int32 count of
// UTF-16 code units (-1 for the null string) followed by the units, each big-endian.
// WriteUTF16String throws QxMoxMsg::IllegalArgumentError_t for text of more than INT32_MAX
// units. Unpaired surrogates are written as they are and read back unchanged.
class DataOutputStream_t : public OutputStream_t {
 public:
  using OutputStream_t::Write;
  explicit DataOutputStream_t(OutputStream_t& out) : m_out(out) {}
  void Write(const void* data, size_t length) override { m_out.Write(data, length); }
  void WriteInt32(int32_t value);
  void WriteUTF16String(const QxMoxStr::String_t& text);
  void Flush() override { m_out.Flush(); }
  void Close() override { m_out.Close(); }

 private:
  OutputStream_t& m_out;
};

// DataInputStream_t reads what DataOutputStream_t wrote. Every read throws IOException_t at the
// end of the data; a string count below -1, or larger than what the data can still hold, is an
// IOException_t. When the stream below knows its Remaining bytes, a count beyond them throws
// before anything is allocated; otherwise the units are read in 64 KiB pieces, so memory
// grows only with the bytes actually read.
class DataInputStream_t : public InputStream_t {
 public:
  explicit DataInputStream_t(InputStream_t& in) : m_in(in) {}
  size_t Read(void* buffer, size_t length) override { return m_in.Read(buffer, length); }
  long long Remaining() const override { return m_in.Remaining(); }
  // ReadFully fills exactly length bytes or throws IOException_t.
  void ReadFully(void* buffer, size_t length);
  int32_t ReadInt32();
  QxMoxStr::String_t ReadUTF16String();
  void Close() override { m_in.Close(); }

 private:
  InputStream_t& m_in;
};

}  // namespace QxMoxIo
