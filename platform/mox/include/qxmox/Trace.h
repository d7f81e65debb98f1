// Trace objects (TraceObj_t) with level words, their static wrappers and block traces.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace QxMoxTrc {

// TraceObj_t is one (area, category) trace object. A line of level L is written when every bit
// of L is set in the object's level word.
//
// Level words come from a level rule list: a comma list of entries "area:category=word", where area
// and category may each be '*' (any), category is a decimal number, and word is decimal or 0x
// hex (32 bits). Entries that do not parse are ignored. When the environment holds QX_TRACE
// (even empty) it is the rule list; otherwise the keys of the [mox.trace] configuration section
// form it (key "area:category", value the word). An unreadable or malformed configuration counts as
// no entries. When several entries match, the most specific wins: exact area and category,
// then exact area with '*', then '*' with exact category, then '*:*'; among equally specific
// entries the last one wins. An object that no entry matches has level 0.
//
// A new object takes its level from the rule list as it was last read (read once on first use,
// again by ReloadLevels). Construction is safe during static initialisation of any library.
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

  // DoTrace writes one line without testing the level:
  //   "2026-12-06T07:47:05.123Z <tid> <area>:<category> <level> <file>:<line> <text>\n"
  // (UTC time with milliseconds, kernel thread id, level in decimal, the file's base name;
  // newline characters in the text become spaces). The line goes out in one write() to the trace
  // sink, a file opened with O_APPEND on first use and kept: QX_TRACE_FILE ("-" is standard error),
  // else QX_HOME/log/trace.log (the directory is created). A sink that cannot be opened drops
  // lines until ReopenSink. Trace tests the level first. Neither throws.
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

// BlockTrace_t writes "Entering <name>" on construction and "Leaving <name>" on destruction,
// each at its level when the object is enabled at that level then. Never throws.
class BlockTrace_t {
 public:
  BlockTrace_t(TraceObj_t& obj, const char* name, uint32_t level, const char* file,
               int line) noexcept;
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

// ReloadLevels re-reads QX_TRACE and [mox.trace] and sets every live trace object's level from
// them (overriding levels set with SetLevel). Never throws.
void ReloadLevels() noexcept;

// ReopenSink closes the trace sink; the next line opens it again from QX_TRACE_FILE and QX_HOME
// as they are then (after a log rotation or a change of those variables). Never throws.
void ReopenSink() noexcept;

}  // namespace QxMoxTrc
