// Trace objects: the registry that hands out level words, and the trace sink.
#include "qxmox/Trace.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <vector>

#include "qxmox/Config.h"
#include "qxmox/Io.h"
#include "qxmox/Runtime.h"

namespace QxMoxTrc {
namespace {

constexpr int kAnyCategory = -1;

// One entry of a level rules. Area "*" and category kAnyCategory are the wildcards.
struct LevelRule {
  std::string area;
  int category;
  uint32_t word;
};
using LevelRules = std::vector<LevelRule>;

std::string_view Trim(std::string_view s) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool ParseWord(std::string_view s, uint32_t& word) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  if (s.empty()) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), word, base);
  return ec == std::errc() && end == s.data() + s.size();
}

bool ParseCategory(std::string_view s, int& category) {
  if (s == "*") {
    category = kAnyCategory;
    return true;
  }
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), category);
  return ec == std::errc() && end == s.data() + s.size();
}

// ParseEntry reads "area:category=word"; the area is everything before the last ':' of the key.
std::optional<LevelRule> ParseEntry(std::string_view entry) {
  const size_t eq = entry.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  const std::string_view key = Trim(entry.substr(0, eq));
  const size_t colon = key.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view area = Trim(key.substr(0, colon));
  LevelRule rule{std::string(area), 0, 0};
  if (area.empty() || area.find_first_of(":=,") != std::string_view::npos) return std::nullopt;
  if (!ParseCategory(Trim(key.substr(colon + 1)), rule.category)) return std::nullopt;
  if (!ParseWord(Trim(entry.substr(eq + 1)), rule.word)) return std::nullopt;
  return rule;
}

void ParseList(std::string_view list, LevelRules& rules) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (auto rule = ParseEntry(list.substr(0, comma))) rules.push_back(std::move(*rule));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
}

// The [mox.trace] section: "area:category" -> "word" (the configuration reader puts lines that
// its parser split at the ':' back together; a line without '=' stays "area" -> "category").
LevelRules ReadConfigRules() {
  LevelRules rules;
  try {
    const auto values = QxMoxConfig::ConfigNamespace_t("mox.trace").Open().GetAll();
    for (const auto& [key, value] : values) {
      const std::string entry =
          key.find(':') != std::string::npos ? key + "=" + value : key + ":" + value;
      if (auto rule = ParseEntry(entry)) rules.push_back(std::move(*rule));
    }
  } catch (...) {
    // A missing, unreadable or malformed configuration must not stop a program from starting.
    rules.clear();
  }
  return rules;
}

LevelRules ReadRules() {
  LevelRules rules;
  if (const char* env = std::getenv("QX_TRACE"); env != nullptr) {
    ParseList(env, rules);
    return rules;
  }
  return ReadConfigRules();
}

// Rank orders matching rules by how specific they are; -1 when the rule does not match.
int Rank(const LevelRule& rule, const std::string& area, int category) {
  const bool anyArea = rule.area == "*";
  const bool anyCategory = rule.category == kAnyCategory;
  if (!anyArea && rule.area != area) return -1;
  if (!anyCategory && rule.category != category) return -1;
  if (!anyArea) return anyCategory ? 2 : 3;
  return anyCategory ? 0 : 1;
}

uint32_t LevelFor(const LevelRules& rules, const std::string& area, int category) {
  int best = -1;
  uint32_t word = 0;
  for (const LevelRule& rule : rules) {
    const int rank = Rank(rule, area, category);
    if (rank >= 0 && rank >= best) {
      best = rank;
      word = rule.word;
    }
  }
  return word;
}

struct Registry {
  std::mutex mutex;
  std::vector<TraceObj_t*> objects;
  std::shared_ptr<const LevelRules> rules;  // null until first read
};

// Never destroyed: trace objects of other libraries may be destroyed after this one's statics.
Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

// Set while this thread reads the rules: the configuration reader may create trace objects of
// its own, which then start at 0 and get their level when the read completes.
thread_local bool t_readingRules = false;

std::shared_ptr<const LevelRules> ReadRulesOnce() {
  t_readingRules = true;
  std::shared_ptr<const LevelRules> rules;
  try {
    rules = std::make_shared<const LevelRules>(ReadRules());
  } catch (...) {
    t_readingRules = false;
    throw;
  }
  t_readingRules = false;
  return rules;
}

// Caller holds registry.mutex.
void ApplyLocked(Registry& registry) {
  for (TraceObj_t* obj : registry.objects) {
    obj->SetLevel(LevelFor(*registry.rules, obj->GetArea(), obj->GetCategory()));
  }
}

struct Sink {
  std::shared_mutex mutex;
  bool opened = false;  // an open was attempted
  int fd = -1;
  bool owned = false;  // fd is ours to close
};

Sink& GetSink() {
  static Sink* sink = new Sink;  // never destroyed, like the registry
  return *sink;
}

// Caller holds sink.mutex exclusively.
void OpenSinkLocked(Sink& sink) {
  sink.opened = true;
  std::string path;
  if (const char* env = std::getenv("QX_TRACE_FILE"); env != nullptr && *env != '\0') {
    if (std::strcmp(env, "-") == 0) {
      sink.fd = STDERR_FILENO;
      sink.owned = false;
      return;
    }
    path = env;
  } else {
    try {
      path = QxMoxRuntime::Dir_t::EnsureDir(QxMoxRuntime::Dir_t::DIR_LOG) + "/trace.log";
    } catch (...) {
      return;
    }
  }
  sink.fd = QxMoxIo::OpenFd(path, O_WRONLY | O_APPEND | O_CREAT, 0644).Release();
  sink.owned = sink.fd >= 0;
}

void WriteToSink(const std::string& line) {
  Sink& sink = GetSink();
  std::shared_lock<std::shared_mutex> shared(sink.mutex);
  if (!sink.opened) {
    shared.unlock();
    {
      std::unique_lock<std::shared_mutex> exclusive(sink.mutex);
      if (!sink.opened) OpenSinkLocked(sink);
    }
    shared.lock();
  }
  if (sink.fd < 0) return;
  // One write keeps the line whole among other threads and processes appending to the file;
  // a line the sink cannot take is dropped, as tracing never fails its caller.
  static_cast<void>(QxMoxIo::TryWriteAll(sink.fd, line.data(), line.size()));
}

long ThreadId() {
  thread_local const long tid = static_cast<long>(::syscall(SYS_gettid));
  return tid;
}

const char* BaseName(const char* file) {
  if (file == nullptr) return "";
  const char* slash = std::strrchr(file, '/');
  return slash != nullptr ? slash + 1 : file;
}

std::string FormatLine(const TraceObj_t& obj, uint32_t level, const char* text, const char* file,
                       int line) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char head[96];
  std::snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ %ld ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                now.tv_nsec / 1000000L, ThreadId());
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, ":%d %u ", obj.GetCategory(), level);
  char where[24];
  std::snprintf(where, sizeof where, ":%d ", line);

  std::string out;
  const size_t textLength = text != nullptr ? std::strlen(text) : 0;
  out.reserve(std::strlen(head) + obj.GetArea().size() + std::strlen(numbers) +
              std::strlen(BaseName(file)) + std::strlen(where) + textLength + 1);
  out += head;
  out += obj.GetArea();
  out += numbers;
  out += BaseName(file);
  out += where;
  const size_t textStart = out.size();
  if (text != nullptr) out.append(text, textLength);
  std::replace(out.begin() + static_cast<std::ptrdiff_t>(textStart), out.end(), '\n', ' ');
  out += '\n';
  return out;
}

void TraceBlock(const TraceObj_t& obj, const char* verb, const char* name, uint32_t level,
                const char* file, int line) noexcept {
  if (!obj.IsEnabled(level)) return;
  try {
    std::string text(verb);
    if (name != nullptr) text += name;
    obj.DoTrace(level, text.c_str(), file, line);
  } catch (...) {
    // Tracing never disturbs the traced code.
  }
}

}  // namespace

TraceObj_t::TraceObj_t(const char* area, int category)
    : m_area(area != nullptr ? area : ""), m_category(category) {
  Registry& registry = GetRegistry();
  std::shared_ptr<const LevelRules> rules;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    rules = registry.rules;
  }
  std::shared_ptr<const LevelRules> fresh;
  if (rules == nullptr && !t_readingRules) fresh = ReadRulesOnce();

  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.objects.push_back(this);
  if (fresh != nullptr && registry.rules == nullptr) {
    // First read in this process: objects made while it ran get their levels now too.
    registry.rules = std::move(fresh);
    ApplyLocked(registry);
  } else if (registry.rules != nullptr) {
    SetLevel(LevelFor(*registry.rules, m_area, m_category));
  }
}

TraceObj_t::~TraceObj_t() {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto& objects = registry.objects;
  objects.erase(std::remove(objects.begin(), objects.end(), this), objects.end());
}

void TraceObj_t::DoTrace(uint32_t level, const char* text, const char* file,
                         int line) const noexcept {
  try {
    WriteToSink(FormatLine(*this, level, text, file, line));
  } catch (...) {
    // Out of memory or a lock failure: the line is lost, the caller goes on.
  }
}

BlockTrace_t::BlockTrace_t(TraceObj_t& obj, const char* name, uint32_t level, const char* file,
                           int line) noexcept
    : m_obj(obj), m_name(name), m_level(level), m_file(file), m_line(line) {
  TraceBlock(m_obj, "Entering ", m_name, m_level, m_file, m_line);
}

BlockTrace_t::~BlockTrace_t() { TraceBlock(m_obj, "Leaving ", m_name, m_level, m_file, m_line); }

void ReloadLevels() noexcept {
  try {
    std::shared_ptr<const LevelRules> rules = ReadRulesOnce();
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.rules = std::move(rules);
    ApplyLocked(registry);
  } catch (...) {
    // Levels stay as they were.
  }
}

void ReopenSink() noexcept {
  try {
    Sink& sink = GetSink();
    std::unique_lock<std::shared_mutex> lock(sink.mutex);
    if (sink.owned) ::close(sink.fd);
    sink.fd = -1;
    sink.owned = false;
    sink.opened = false;
  } catch (...) {
    // A failed lock leaves the sink as it is.
  }
}

}  // namespace QxMoxTrc
