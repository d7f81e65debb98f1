// FileCache: what a process made of one file, kept while the file stays as it was.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "qxmox/Io.h"

namespace QxMoxIo {

// FileCache keeps the value read made of the file at a path, and calls read again only when the
// file's stamp differs from the one the value was read under, or is not settled (FileStamp).
// For files read far more often than they change: the configuration, key files. Callers share
// the value kept, so a call copies nothing. Thread-safe; read runs without the lock, and what it
// throws reaches the caller with nothing kept.
template <class T>
class FileCache {
 public:
  template <class Read>
  std::shared_ptr<const T> Get(const std::string& path, Read&& read) {
    // Taken before the read: a change during the read gives the next call another stamp.
    const std::optional<FileStamp> stamp = FileStamp::Of(path);
    const bool cacheable = stamp && stamp->IsSettled();
    if (cacheable) {
      std::lock_guard lock(m_mutex);
      if (m_value && m_path == path && m_stamp == *stamp) return m_value;
    }
    auto value = std::make_shared<const T>(read(path));
    std::lock_guard lock(m_mutex);
    m_value.reset();
    if (cacheable) {
      m_path = path;
      m_stamp = *stamp;
      m_value = value;
    }
    return value;
  }

 private:
  std::mutex m_mutex;
  std::string m_path;
  FileStamp m_stamp;
  std::shared_ptr<const T> m_value;
};

}  // namespace QxMoxIo
