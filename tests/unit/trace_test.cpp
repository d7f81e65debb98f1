// Runtime trace objects: level words from QX_TRACE and [mox.trace], the line format and sinks.
#include "qxmox/Trace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Files.h"
#include "TestHome.h"

namespace {

using QxMoxTrc::TraceObj_t;

// ScopedEnv sets (or, with nullopt, removes) an environment variable for its lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name) {
    if (const char* old = getenv(name)) m_old = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (m_old) {
      setenv(m_name, m_old->c_str(), 1);
    } else {
      unsetenv(m_name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

using QxTest::ReadFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Each test starts without QX_TRACE, with a fresh home and the trace sink in it.
class TraceTest : public QxTest::HomeTest {
 protected:
  void SetUp() override {
    QxMoxTrc::ReopenSink();
    QxMoxTrc::ReloadLevels();
  }
  void TearDown() override {
    QxMoxTrc::ReopenSink();
    QxMoxTrc::ReloadLevels();
  }
  std::string TraceFile() const { return home / "trace-out.log"; }

  ScopedEnv m_trace{"QX_TRACE", std::nullopt};
  ScopedEnv m_file{"QX_TRACE_FILE", home / "trace-out.log"};
};

uint32_t LevelUnder(const std::string& rules, const char* area, int category) {
  ScopedEnv env("QX_TRACE", rules);
  QxMoxTrc::ReloadLevels();
  TraceObj_t obj(area, category);
  return obj.GetLevel();
}

TEST_F(TraceTest, QxTraceEntriesSetLevels) {
  struct Row {
    const char* name;
    const char* rules;
    const char* area;
    int category;
    uint32_t level;
  };
  const char* const kLadder = "*:*=1,*:3=2,a.b:*=4,a.b:3=8";
  const char* const kLadderReversed = "a.b:3=8,a.b:*=4,*:3=2,*:*=1";
  const std::vector<Row> rows = {
      {"exact", "a.b:3=9", "a.b", 3, 9},
      {"other category", "a.b:3=9", "a.b", 4, 0},
      {"other area", "a.b:3=9", "a.c", 3, 0},
      {"area prefix is not a match", "a:3=9", "a.b", 3, 0},
      {"any category", "a.b:*=0x10", "a.b", 4, 16},
      {"any area", "*:3=0xFF", "z", 3, 255},
      {"anything", "*:*=1", "z.y", 12, 1},
      {"exact beats area wildcard", kLadder, "a.b", 3, 8},
      {"area beats category wildcard", kLadder, "a.b", 5, 4},
      {"category beats both wildcards", kLadder, "z", 3, 2},
      {"both wildcards last", kLadder, "z", 5, 1},
      {"specificity, not order: exact", kLadderReversed, "a.b", 3, 8},
      {"specificity, not order: area", kLadderReversed, "a.b", 5, 4},
      {"specificity, not order: category", kLadderReversed, "z", 3, 2},
      {"equal entries: the last wins", "a.b:3=1,a.b:3=2", "a.b", 3, 2},
      {"upper-case hex prefix", "a.b:3=0XfF", "a.b", 3, 255},
      {"all 32 bits", "a.b:3=0xffffffff", "a.b", 3, 0xffffffffU},
      {"largest decimal", "a.b:3=4294967295", "a.b", 3, 0xffffffffU},
      {"spaces around parts", " a.b : 3 = 7 ", "a.b", 3, 7},
      {"documented example", "sec.cm.client:*=0xffffffff,sec.cm.exception:2=2", "sec.cm.exception",
       2, 2},
      {"empty rules", "", "a.b", 3, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(LevelUnder(row.rules, row.area, row.category), row.level);
  }
}

TEST_F(TraceTest, MalformedQxTraceEntriesAreIgnored) {
  const std::vector<std::string> bad = {
      "a.b:3",
      "=5",
      "a.b=5",
      ":3=5",
      "a.b:x=5",
      "a.b:3=zz",
      "a.b:3=0x",
      "a.b:3=",
      "a.b:3=4294967296",
      "a.b:3=0x100000000",
      "a.b:-1=5",
      "a.b:+3=5",
      "a.b:3=-1",
      "a.b:3=5x",
      "a.b:3=1 2",
      "a.b:3:=5",
      ",,,",
      "a.b:3==5",
      "a.b:3=\t",
  };
  for (const std::string& entry : bad) {
    SCOPED_TRACE(entry);
    EXPECT_EQ(LevelUnder(entry, "a.b", 3), 0U);
    // A good entry beside a bad one still counts.
    EXPECT_EQ(LevelUnder(entry + ",a.b:3=6," + entry, "a.b", 3), 6U);
  }
}

TEST_F(TraceTest, ReloadLevelsUpdatesLiveObjects) {
  TraceObj_t obj("live.area", 4);
  EXPECT_EQ(obj.GetLevel(), 0U);
  {
    ScopedEnv env("QX_TRACE", "live.area:4=0x30");
    QxMoxTrc::ReloadLevels();
    EXPECT_EQ(obj.GetLevel(), 0x30U);
    EXPECT_TRUE(obj.IsEnabled(0x10));
    EXPECT_TRUE(obj.IsEnabled(0x30));
    EXPECT_FALSE(obj.IsEnabled(0x31));
    obj.SetLevel(1);
    QxMoxTrc::ReloadLevels();
    EXPECT_EQ(obj.GetLevel(), 0x30U);
  }
  QxMoxTrc::ReloadLevels();
  EXPECT_EQ(obj.GetLevel(), 0U);
}

TEST_F(TraceTest, ConfigSectionGivesLevelsWithoutQxTrace) {
  WriteFile(home / "etc/qx.conf",
            "[sec.cm.client]\nMAX_RETRIES = 3\n\n"
            "[mox.trace]\n"
            "cfg.one:3 = 9\n"
            "cfg.two:* = 0x10\n"
            "*:6=4\n"
            "cfg.three:* = 1\n"
            "cfg.three:5 = 0x20\n");
  QxMoxTrc::ReloadLevels();
  EXPECT_EQ(TraceObj_t("cfg.one", 3).GetLevel(), 9U);
  EXPECT_EQ(TraceObj_t("cfg.one", 4).GetLevel(), 0U);
  // Two entries of one area both hold, the more specific one winning.
  EXPECT_EQ(TraceObj_t("cfg.three", 5).GetLevel(), 0x20U);
  EXPECT_EQ(TraceObj_t("cfg.three", 1).GetLevel(), 1U);
  EXPECT_EQ(TraceObj_t("cfg.two", 8).GetLevel(), 16U);
  EXPECT_EQ(TraceObj_t("elsewhere", 6).GetLevel(), 4U);
  EXPECT_EQ(TraceObj_t("sec.cm.client", 7).GetLevel(), 0U);

  // QX_TRACE, even empty, replaces the section.
  EXPECT_EQ(LevelUnder("cfg.two:8=2", "cfg.two", 8), 2U);
  EXPECT_EQ(LevelUnder("", "cfg.one", 3), 0U);
}

TEST_F(TraceTest, BrokenConfigMeansNoLevels) {
  const std::vector<std::pair<const char*, std::string>> configs = {
      {"missing file", ""},
      {"garbage", "this is not\x01 an ini file [[[\n=\n"},
      {"section without end", "[mox.trace\ncfg.one:3 = 9\n"},
      {"bad entries", "[mox.trace]\ncfg.one:3 = nine\ncfg.one:x = 9\n"},
  };
  for (const auto& [name, text] : configs) {
    SCOPED_TRACE(name);
    if (text.empty()) {
      std::filesystem::remove(home / "etc/qx.conf");
    } else {
      WriteFile(home / "etc/qx.conf", text);
    }
    QxMoxTrc::ReloadLevels();
    EXPECT_EQ(TraceObj_t("cfg.one", 3).GetLevel(), 0U);
  }
}

bool IsNumber(const std::string& s) {
  const size_t start = (!s.empty() && s[0] == '-') ? 1 : 0;
  return s.size() > start && s.find_first_not_of("0123456789", start) == std::string::npos;
}

// MatchesShape compares text with shape, where '9' stands for any digit.
bool MatchesShape(const std::string& text, std::string_view shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                        : text[i] != shape[i]) {
      return false;
    }
  }
  return true;
}

// TraceLine is one line of the trace file taken apart:
// "<time> <tid> <area>:<category> <level> <file>:<line> <text>".
struct TraceLine {
  bool ok = false;
  std::string time, tid, area, category, level, file, line, text;
};

TraceLine Parse(const std::string& line) {
  TraceLine out;
  std::vector<std::string> fields;
  size_t pos = 0;
  for (int i = 0; i < 5; ++i) {
    const size_t space = line.find(' ', pos);
    if (space == std::string::npos) return out;
    fields.push_back(line.substr(pos, space - pos));
    pos = space + 1;
  }
  out.text = line.substr(pos);
  const size_t areaColon = fields[2].rfind(':');
  const size_t fileColon = fields[4].rfind(':');
  if (areaColon == std::string::npos || fileColon == std::string::npos) return out;
  out.time = fields[0];
  out.tid = fields[1];
  out.area = fields[2].substr(0, areaColon);
  out.category = fields[2].substr(areaColon + 1);
  out.level = fields[3];
  out.file = fields[4].substr(0, fileColon);
  out.line = fields[4].substr(fileColon + 1);
  out.ok = MatchesShape(out.time, "9999-99-99T99:99:99.999Z") && IsNumber(out.tid) &&
           !out.area.empty() && IsNumber(out.category) && IsNumber(out.level) && IsNumber(out.line);
  return out;
}

TEST_F(TraceTest, LineCarriesTimeThreadAreaLevelSourceAndText) {
  TraceObj_t obj("line.area", 3);
  obj.SetLevel(0xff);
  obj.DoTrace(9, "hello\nworld\r", "/src/dir/File.cpp", 42);
  obj.DoTrace(1, nullptr, nullptr, 0);
  const std::vector<std::string> lines = Lines(ReadFile(TraceFile()));
  ASSERT_EQ(lines.size(), 2U);
  const TraceLine first = Parse(lines[0]);
  ASSERT_TRUE(first.ok) << lines[0];
  EXPECT_EQ(first.area, "line.area");
  EXPECT_EQ(first.category, "3");
  EXPECT_EQ(first.level, "9");
  EXPECT_EQ(first.file, "File.cpp");
  EXPECT_EQ(first.line, "42");
  EXPECT_EQ(first.text, "hello world\r");
  EXPECT_EQ(first.tid, std::to_string(gettid()));
  const time_t now = time(nullptr);
  tm utc{};
  gmtime_r(&now, &utc);
  EXPECT_EQ(std::stoi(first.time.substr(0, 4)), utc.tm_year + 1900);
  const TraceLine second = Parse(lines[1]);
  ASSERT_TRUE(second.ok) << lines[1];
  EXPECT_EQ(second.file, "");
  EXPECT_EQ(second.line, "0");
  EXPECT_EQ(second.text, "");
}

TEST_F(TraceTest, TraceWritesOnlyWhenAllLevelBitsAreSet) {
  TraceObj_t obj("bits.area", 1);
  const std::vector<std::pair<uint32_t, bool>> words = {
      {0, false}, {1, false}, {8, false}, {9, true}, {0xb, true}, {0xffffffff, true}};
  int expected = 0;
  for (const auto& [word, written] : words) {
    obj.SetLevel(word);
    obj.Trace(9, "line", __FILE__, __LINE__);
    expected += written ? 1 : 0;
  }
  EXPECT_EQ(Lines(ReadFile(TraceFile())).size(), static_cast<size_t>(expected));
}

TEST_F(TraceTest, BlockTraceWritesEnteringAndLeaving) {
  TraceObj_t obj("block.area", 3);
  { QxMoxTrc::BlockTrace_t block(obj, "Quiet::Op()", 9, __FILE__, __LINE__); }
  obj.SetLevel(9);
  { QxMoxTrc::BlockTrace_t block(obj, "Class::Op()", 9, "x.cpp", 7); }
  const std::vector<std::string> lines = Lines(ReadFile(TraceFile()));
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_NE(lines[0].find(" block.area:3 9 x.cpp:7 Entering Class::Op()"), std::string::npos);
  EXPECT_NE(lines[1].find(" block.area:3 9 x.cpp:7 Leaving Class::Op()"), std::string::npos);
}

TEST_F(TraceTest, SinkDefaultsToLogDirectoryAndDashIsStandardError) {
  TraceObj_t obj("sink.area", 1);
  obj.SetLevel(1);
  {
    ScopedEnv noFile("QX_TRACE_FILE", std::nullopt);
    QxMoxTrc::ReopenSink();
    obj.DoTrace(1, "to the default file", "f.cpp", 1);
    EXPECT_NE(ReadFile(home / "log/trace.log").find("to the default file"), std::string::npos);
  }
  {
    ScopedEnv dash("QX_TRACE_FILE", "-");
    QxMoxTrc::ReopenSink();
    testing::internal::CaptureStderr();
    obj.DoTrace(1, "to standard error", "f.cpp", 2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("to standard error"), std::string::npos);
  }
  {
    // A sink that cannot be opened drops lines quietly.
    ScopedEnv bad("QX_TRACE_FILE", home / "no/such/dir/t.log");
    QxMoxTrc::ReopenSink();
    obj.DoTrace(1, "lost", "f.cpp", 3);
  }
  // The sink is kept open: a renamed file still receives lines until ReopenSink.
  QxMoxTrc::ReopenSink();
  obj.DoTrace(1, "first", "f.cpp", 4);
  std::filesystem::rename(TraceFile(), home / "rotated.log");
  obj.DoTrace(1, "second", "f.cpp", 5);
  EXPECT_EQ(Lines(ReadFile(home / "rotated.log")).size(), 2U);
  QxMoxTrc::ReopenSink();
  obj.DoTrace(1, "third", "f.cpp", 6);
  EXPECT_EQ(Lines(ReadFile(TraceFile())).size(), 1U);
}

TEST_F(TraceTest, ConcurrentLinesStayWhole) {
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  constexpr size_t kTextLength = 3000;
  TraceObj_t obj("mt.area", 1);
  obj.SetLevel(1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&obj, t] {
      const std::string text(kTextLength, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) obj.DoTrace(1, text.c_str(), "mt.cpp", i);
    });
  }
  for (std::thread& t : threads) t.join();

  std::map<char, int> counts;
  for (const std::string& line : Lines(ReadFile(TraceFile()))) {
    const TraceLine parsed = Parse(line);
    ASSERT_TRUE(parsed.ok) << line.substr(0, 200);
    const std::string& text = parsed.text;
    ASSERT_EQ(text.size(), kTextLength);
    ASSERT_EQ(text.find_first_not_of(text[0]), std::string::npos);
    ++counts[text[0]];
  }
  ASSERT_EQ(counts.size(), static_cast<size_t>(kThreads));
  for (const auto& [c, n] : counts) EXPECT_EQ(n, kLines) << c;
}

TEST_F(TraceTest, ObjectsComeAndGoWhileLevelsReload) {
  ScopedEnv env("QX_TRACE", "churn.area:*=1");
  QxMoxTrc::ReloadLevels();
  std::atomic<bool> stop{false};
  std::atomic<int> wrongLevels{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        TraceObj_t obj("churn.area", t);
        if (obj.GetLevel() != 1) ++wrongLevels;
        obj.Trace(1, "churn", "c.cpp", i);
      }
    });
  }
  std::thread reloader([&] {
    while (!stop) QxMoxTrc::ReloadLevels();
  });
  for (std::thread& t : threads) t.join();
  stop = true;
  reloader.join();
  EXPECT_EQ(wrongLevels.load(), 0);
}

}  // namespace
