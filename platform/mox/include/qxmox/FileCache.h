// FileCache: what a process made of one file, kept while the file stays as it was.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "qxmox/Io.h"

namespace QxMoxIo {

// kFileRecheckInterval is how long a FileCache serves its value without looking at the file
// again: a change that another process or program makes on disk is seen within it.
inline constexpr std::chrono::milliseconds kFileRecheckInterval{1000};

// ForgetCachedFiles makes every FileCache of the process look at its file on its next call,
// whatever the interval. The library's own writes call it (PendingReplace_t::Commit,
// FileOutputStream_t::Close, File_t::Delete), so a change made through the library is seen by
// this process at once; code that changes a cached file by other means (a plain std::ofstream)
// calls it when the change must be seen before kFileRecheckInterval has passed.
void ForgetCachedFiles();

// CachedFilesGeneration counts the ForgetCachedFiles calls of the process so far.
uint64_t CachedFilesGeneration();

// FileCache keeps the value read made of the file at a path. The file's stamp (FileStamp) is
// looked at again once kFileRecheckInterval has passed since the last look, or ForgetCachedFiles
// was called since; read is called again only when the stamp differs from the one the value was
// read under. A file whose stamp is not settled is read on every call and its value not kept.
// For files read far more often than they change: the configuration, key files. Callers share
// the value kept, so a call copies nothing. Thread-safe; read runs without the lock, and what it
// throws reaches the caller with nothing kept.
template <class T>
class FileCache {
 public:
  template <class Read>
  std::shared_ptr<const T> Get(const std::string& path, Read&& read) {
    // Both taken before the file is looked at: a change after that gives the next call a look.
    const uint64_t generation = CachedFilesGeneration();
    const auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(m_mutex);
      if (m_value && m_path == path && m_generation == generation &&
          now - m_checked < kFileRecheckInterval) {
        return m_value;
      }
    }
    const std::optional<FileStamp> stamp = FileStamp::Of(path);
    const bool cacheable = stamp && stamp->IsSettled();
    if (cacheable) {
      std::lock_guard lock(m_mutex);
      if (m_value && m_path == path && m_stamp == *stamp) {
        Checked(generation, now);
        return m_value;
      }
    }
    auto value = std::make_shared<const T>(read(path));
    std::lock_guard lock(m_mutex);
    m_value.reset();
    if (cacheable) {
      m_path = path;
      m_stamp = *stamp;
      m_value = value;
      Checked(generation, now);
    }
    return value;
  }

 private:
  void Checked(uint64_t generation, std::chrono::steady_clock::time_point now) {
    m_generation = generation;
    m_checked = now;
  }

  std::mutex m_mutex;
  std::string m_path;
  FileStamp m_stamp;
  uint64_t m_generation = 0;
  std::chrono::steady_clock::time_point m_checked;
  std::shared_ptr<const T> m_value;
};

}  // namespace QxMoxIo
