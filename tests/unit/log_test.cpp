// The system log: line format, failures, and whole lines from several processes.
#include "qxmox/Log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "TestHome.h"
#include "qxmox/Runtime.h"

namespace {

using QxMoxStr::String_t;

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// LogLine is one line of the log taken apart:
// "<time> <severity> <program>[<pid>] <catalog>:<number> <text>".
struct LogLine {
  bool ok = false;
  std::string severity, program, pid, catalog, number, text;
};

LogLine Parse(const std::string& line) {
  LogLine out;
  std::vector<std::string> fields;
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t space = line.find(' ', pos);
    if (space == std::string::npos) return out;
    fields.push_back(line.substr(pos, space - pos));
    pos = space + 1;
  }
  out.text = line.substr(pos);
  const std::string& time = fields[0];
  const bool timeOk = time.size() == 20 && time[4] == '-' && time[7] == '-' && time[10] == 'T' &&
                      time[13] == ':' && time[16] == ':' && time[19] == 'Z';
  const size_t bracket = fields[2].find('[');
  const size_t colon = fields[3].rfind(':');
  if (!timeOk || bracket == std::string::npos || fields[2].back() != ']' ||
      colon == std::string::npos) {
    return out;
  }
  out.severity = fields[1];
  out.program = fields[2].substr(0, bracket);
  out.pid = fields[2].substr(bracket + 1, fields[2].size() - bracket - 2);
  out.catalog = fields[3].substr(0, colon);
  out.number = fields[3].substr(colon + 1);
  out.ok = true;
  return out;
}

class LogTest : public QxTest::HomeTest {
 protected:
  void SetUp() override { QxMoxRuntime::App_t::SetName(String_t("qxlogtest")); }
  std::string LogFile() const { return home / "log/qx.log"; }
};

TEST_F(LogTest, LineHoldsTimeSeverityProgramCatalogAndText) {
  const QxMoxMsg::MessageCatalog_t catalog(String_t("sec.cm.client"));
  QxMoxMsg::Message_t error = QxMoxMsg::CreateError_t(
      catalog, 49, String_t("Error while processing certificate response."));
  error.AddDetails(QxMoxMsg::CreateWarn_t(String_t("bad\nframe")));
  QxMoxLog::Log(error);
  QxMoxMsg::MessageList_t list;
  list.Add(QxMoxMsg::CreateInfo_t(catalog, 43, String_t("Installed '%1'.")) << "core1");
  list.Add(QxMoxMsg::CreateWarn_t(catalog, 41, String_t("Type")));
  list.Add(QxMoxMsg::CreateMessage_t(QxMoxMsg::SEV_NONE, String_t("plain")));
  QxMoxLog::Log(list);

  struct Row {
    const char* severity;
    const char* catalog;
    const char* number;
    const char* text;
  };
  const std::vector<Row> rows = {
      {"ERROR", "sec.cm.client", "49", "Error while processing certificate response. (bad frame)"},
      {"INFO", "sec.cm.client", "43", "Installed 'core1'."},
      {"WARNING", "sec.cm.client", "41", "Type"},
      {"NONE", "-", "0", "plain"},
  };
  const std::vector<std::string> lines = ReadLines(LogFile());
  ASSERT_EQ(lines.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    const LogLine parsed = Parse(lines[i]);
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.severity, rows[i].severity);
    EXPECT_EQ(parsed.program, "qxlogtest");
    EXPECT_EQ(parsed.pid, std::to_string(getpid()));
    EXPECT_EQ(parsed.catalog, rows[i].catalog);
    EXPECT_EQ(parsed.number, rows[i].number);
    EXPECT_EQ(parsed.text, rows[i].text);
  }
}

TEST_F(LogTest, ThrowsWhenTheLogCannotBeWritten) {
  const QxMoxMsg::Message_t message = QxMoxMsg::CreateError_t(String_t("x"));
  // The log file's place is taken by a directory.
  std::filesystem::create_directories(LogFile());
  EXPECT_THROW(QxMoxLog::Log(message), QxMoxLog::LogException_t);
  // The log directory's place is taken by a file.
  std::filesystem::remove_all(home / "log");
  std::ofstream(home / "log") << "not a directory";
  EXPECT_THROW(QxMoxLog::Log(message), QxMoxLog::LogException_t);
}

TEST_F(LogTest, ProcessesAppendingNeverInterleaveWithinALine) {
  constexpr int kProcesses = 4;
  constexpr int kMessages = 150;
  constexpr size_t kTextLength = 5000;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int rc = 0;
      try {
        const String_t text(std::string(kTextLength, static_cast<char>('a' + p)));
        for (int i = 0; i < kMessages; ++i) QxMoxLog::Log(QxMoxMsg::CreateInfo_t(text));
      } catch (...) {
        rc = 1;
      }
      _exit(rc);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::map<char, int> counts;
  for (const std::string& line : ReadLines(LogFile())) {
    const LogLine parsed = Parse(line);
    ASSERT_TRUE(parsed.ok) << line.substr(0, 200);
    const std::string& text = parsed.text;
    ASSERT_EQ(text.size(), kTextLength);
    ASSERT_EQ(text.find_first_not_of(text[0]), std::string::npos);
    ++counts[text[0]];
  }
  ASSERT_EQ(counts.size(), static_cast<size_t>(kProcesses));
  for (const auto& [c, n] : counts) EXPECT_EQ(n, kMessages) << c;
}

}  // namespace
