// Trace objects (TraceObj_t) with level words, their static wrappers and block traces.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace QxMoxTrc {

// TraceObj_t is one (area, category) trace object. Its level word comes from QX_TRACE, a comma
// list of area:category=word ('*' matches any area or category; the word in decimal or 0x hex),
// or else from the [mox.trace] section of the configuration with the same keys. A line of
// level L is written when every bit of L is set in the word.
class TraceObj_t {
 public:
  TraceObj_t(const char* area, int category);
  TraceObj_t(const TraceObj_t&) = delete;
  TraceObj_t& operator=(const TraceObj_t&) = delete;
  ~TraceObj_t();

  uint32_t GetLevel() const { return m_level.load(std::memory_order_relaxed); }
  void SetLevel(uint32_t level) { m_level.store(level, std::memory_order_relaxed); }
  // IsEnabled costs one load and one AND.
  bool IsEnabled(uint32_t level) const { return (GetLevel() & level) == level; }
  const std::string& GetArea() const { return m_area; }
  int GetCategory() const { return m_category; }

  // DoTrace writes one line (UTC time, thread id, area, category, level, file:line, text)
  // to QX_TRACE_FILE (default QX_HOME/log/trace.log; "-" is standard error), without testing
  // the level. Trace tests the level first. Neither throws.
  void DoTrace(uint32_t level, const char* text, const char* file, int line) const noexcept;
  void Trace(uint32_t level, const char* text, const char* file, int line) const noexcept {
    if (IsEnabled(level)) DoTrace(level, text, file, line);
  }

 private:
  std::string m_area;
  int m_category;
  std::atomic<uint32_t> m_level{0};
};

// TraceWrapper_t is a process-wide trace object, safe to define as a static.
class TraceWrapper_t {
 public:
  TraceWrapper_t(const char* area, int category) : m_obj(area, category) {}
  operator TraceObj_t&() { return m_obj; }  // NOLINT(google-explicit-constructor)
  TraceObj_t& Get() { return m_obj; }

 private:
  TraceObj_t m_obj;
};

// BlockTrace_t traces "Entering <name>" on construction and "Leaving <name>" on destruction.
class BlockTrace_t {
 public:
  BlockTrace_t(TraceObj_t& obj, const char* name, uint32_t level, const char* file, int line);
  ~BlockTrace_t();
  BlockTrace_t(const BlockTrace_t&) = delete;
  BlockTrace_t& operator=(const BlockTrace_t&) = delete;

 private:
  TraceObj_t& m_obj;
  const char* m_name;
  uint32_t m_level;
  const char* m_file;
  int m_line;
};

// ReloadLevels re-reads QX_TRACE and [mox.trace] and sets every live trace object's level.
void ReloadLevels();

}  // namespace QxMoxTrc
