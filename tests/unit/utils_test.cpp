// Utils and getpass: text wrapping, labels, random bytes, resource group, permissions, prompts.
#include "qxseccm/Utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Files.h"
#include "TestHome.h"
#include "qxmox/CharArray.h"
#include "qxmox/Config.h"
#include "qxmox/Exception.h"
#include "qxmox/Trace.h"
#include "qxseccm/Tracer.h"

using QxMoxArray::CharArray_t;
using QxMoxStr::String_t;
using QxSecCm::Utils;

namespace {

using QxTest::ReadFile;

TEST(Utils, FormatOutputWrapsAsDescribed) {
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  struct Row {
    const char* name;
    std::string prefix, text;
    int indent, width;
    std::string expected;
  } rows[] = {
      {"empty text: prefix unchanged", "PRE", "", 10, 40, "PRE"},
      {"short prefix padded to the indent", "AB", "hello world", 5, 40, "AB   hello world"},
      {"long prefix on a line of its own", "WARNING:", "hello", 4, 40, "WARNING:\n    hello"},
      {"empty prefix and no indent", "", "aaa bbb ccc", 0, 8, "\naaa bbb \nccc"},
      {"blanks stay at line ends", "-", "one two three four", 2, 10,
       "- one two \n  three \n  four"},
      {"break characters", "", "a/b|c", 0, 3, "\na/\nb|c"},
      {"newline ends the line", "", "ab\ncd", 2, 20, "  ab\n  cd"},
      {"hard break fills lines", "", letters, 2, 12, "  abcdefghij\n  klmnopqrst\n  uvwxyz"},
      {"hard break from the line's middle", "", "ab verylongwordhere", 0, 12,
       "\nab verylongw\nordhere"},
      {"too little room starts a new line", "", std::string(37, 'x') + " " + std::string(50, 'y'),
       0, 40,
       "\n" + std::string(37, 'x') + " \n" + std::string(40, 'y') + "\n" + std::string(10, 'y')},
      // Mended: a hard break on an empty line counts from the indent, so the line is not
      // overrun and no blank line comes first.
      {"hard break after a prefix line", "WARNING:", letters, 4, 14,
       "WARNING:\n    abcdefghij\n    klmnopqrst\n    uvwxyz"},
      // Mended: a line with no room left wraps instead of dropping the rest of the text.
      {"narrow width loses nothing", "", "abcdefgh", 0, 3, "\nabc\ndef\ngh"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Utils::FormatOutput(row.prefix, row.text, row.indent, row.width).ToUtf8(),
              row.expected);
  }
  // Widths count UTF-16 code units, not bytes.
  EXPECT_EQ(Utils::FormatOutput("", u"\u00e4\u00e4\u00e4 \u00f6\u00f6", 0, 4).ToUtf8(),
            "\n\u00e4\u00e4\u00e4 \n\u00f6\u00f6");
}

TEST(Utils, FormatStdOutputPutsTheTypesLabelInFront) {
  struct Row {
    Utils::MsgType type;
    int indent;
    std::string expected;
  } rows[] = {
      {Utils::MSG_INFO, 4, "INFO:\n    x y"},         {Utils::MSG_NOTE, 8, "NOTE:   x y"},
      {Utils::MSG_WARNING, 10, "WARNING:  x y"},      {Utils::MSG_ERROR, 10, "ERROR:    x y"},
      {static_cast<Utils::MsgType>(7), 4, "  * x y"}, {static_cast<Utils::MsgType>(-1), 2, "* x y"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(Utils::FormatStdOutput("x y", row.indent, 40, row.type).ToUtf8(), row.expected);
  }
}

TEST(Utils, GetRandomBytesFillsTheWholeArray) {
  for (size_t size : {0, 1, 64, 100000}) {
    CharArray_t bytes(size);
    EXPECT_EQ(Utils::GetRandomBytes(bytes), static_cast<int>(size));
    EXPECT_EQ(bytes.GetSize(), size);
  }
  CharArray_t a(64), b(64);
  Utils::GetRandomBytes(a);
  Utils::GetRandomBytes(b);
  EXPECT_NE(a, b);
  EXPECT_NE(a, CharArray_t(64));
  // The tail is filled too, not only a first chunk.
  CharArray_t large(100000);
  Utils::GetRandomBytes(large);
  EXPECT_NE(CharArray_t(large.View().substr(99936)), CharArray_t(64));
}

class UtilsHomeTest : public QxTest::HomeTest {};

TEST_F(UtilsHomeTest, ResourceGroupComesFromConfigurationAndNeverThrows) {
  const std::string traceFile = home / "trace.log";
  setenv("QX_TRACE_FILE", traceFile.c_str(), 1);
  QxMoxTrc::ReopenSink();
  QxMoxTrc::TraceObj_t& tracer = QxSecCmTrc::Tracer::GetServerTracerInit();
  const uint32_t level = tracer.GetLevel();
  tracer.SetLevel(0xffffffff);

  EXPECT_EQ(Utils::GetCertificateServerQxrg(), "");
  QxMoxConfig::ConfigUpdate_t update;
  update.SetAttr("sec.cm.server", "QXRG", "rg-blue");
  update.Apply(false);
  EXPECT_EQ(Utils::GetCertificateServerQxrg(), "rg-blue");
  // A file that cannot be parsed counts as no resource group.
  std::ofstream(home / "etc/qx.conf", std::ios::trunc) << "[sec.cm.server\nQXRG = rg-blue\n";
  EXPECT_EQ(Utils::GetCertificateServerQxrg(), "");

  tracer.SetLevel(level);
  unsetenv("QX_TRACE_FILE");
  QxMoxTrc::ReopenSink();
  const std::string trace = ReadFile(traceFile);
  size_t at = 0;
  for (const char* line :
       {"Using no QX Resource Group for Certificate Server.",
        "Using QX Resource Group 'rg-blue' for Certificate Server.",
        "Exception occurred while getting QX Resource Group for Certificate Server (",
        "). Continuing with no QX Resource Group set.",
        "Using no QX Resource Group for Certificate Server."}) {
    SCOPED_TRACE(line);
    const size_t found = trace.find(line, at);
    ASSERT_NE(found, std::string::npos) << trace;
    at = found + 1;
  }
}

TEST_F(UtilsHomeTest, DirectoryPermissionsBecomeOwnerOnly) {
  const std::string dir = home / "private";
  std::filesystem::create_directory(dir);
  chmod(dir.c_str(), 0755);
  EXPECT_EQ(Utils::SetDirectoryPermissions(dir), 0);
  struct stat st {};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  const std::string missing = home / "missing";
  try {
    Utils::SetDirectoryPermissions(missing);
    FAIL() << "nothing thrown";
  } catch (const QxMoxMsg::RuntimeException_t& e) {
    const QxMoxMsg::Message_t& message = e.GetMessageList().First();
    EXPECT_EQ(message.GetNumber(), 149);
    EXPECT_EQ(message.Format().ToUtf8(),
              "Could not change file access permissions for directory '" + missing + "'.");
    ASSERT_EQ(message.GetDetails().size(), 1u);
    EXPECT_NE(message.Format(QxMoxMsg::FMT_DETAILS).ToUtf8().find(std::strerror(ENOENT)),
              std::string::npos);
  }
  EXPECT_EQ(Utils::SetFilePermissions(missing), 0);
  EXPECT_EQ(Utils::SetFilePermissions(dir), 0);
}

// Terminal drives getpass in a child process whose standard streams are a pseudo-terminal.
class Terminal {
 public:
  // Start forks; the child calls getpass(prompt) and reports "ok:<password>:<echo restored>" or
  // "threw" through a pipe.
  explicit Terminal(const char* prompt, bool asTerminal = true) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(m_master);
    unlockpt(m_master);
    const std::string slaveName = ptsname(m_master);
    int report[2];
    EXPECT_EQ(pipe(report), 0);
    m_pid = fork();
    if (m_pid == 0) {
      close(report[0]);
      const int slave = open(asTerminal ? slaveName.c_str() : "/dev/null", O_RDWR);
      dup2(slave, 0);
      dup2(slave, 1);
      dup2(slave, 2);
      std::string result;
      try {
        const char* password = QxSecCm::getpass(prompt);
        termios mode{};
        tcgetattr(0, &mode);
        result = std::string("ok:") + password + ":" + ((mode.c_lflag & ECHO) ? "1" : "0");
      } catch (const QxMoxIo::IOException_t&) {
        result = "threw";
      }
      if (write(report[1], result.data(), result.size()) < 0) _exit(2);
      _exit(0);
    }
    close(report[1]);
    m_report = report[0];
  }
  ~Terminal() {
    close(m_master);
    close(m_report);
    if (m_pid > 0) waitpid(m_pid, nullptr, 0);
  }
  // WaitFor reads the terminal's output until text has appeared count times in all.
  bool WaitFor(const std::string& text, size_t count = 1) {
    for (int round = 0; round < 100; ++round) {
      size_t seen = 0;
      for (size_t at = m_output.find(text); at != std::string::npos;
           at = m_output.find(text, at + 1)) {
        ++seen;
      }
      if (seen >= count) return true;
      pollfd fd{m_master, POLLIN, 0};
      if (poll(&fd, 1, 100) > 0) {
        char buffer[512];
        const ssize_t n = read(m_master, buffer, sizeof buffer);
        if (n > 0) m_output.append(buffer, static_cast<size_t>(n));
      }
    }
    return false;
  }
  void Type(const std::string& keys) {
    EXPECT_EQ(write(m_master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  std::string Result() {
    std::string result;
    char buffer[512];
    ssize_t n;
    while ((n = read(m_report, buffer, sizeof buffer)) > 0) result.append(buffer, n);
    return result;
  }
  const std::string& Output() const { return m_output; }

 private:
  int m_master = -1;
  int m_report = -1;
  pid_t m_pid = -1;
  std::string m_output;
};

TEST(Getpass, ReadsWithoutEchoAndAControlKeyStartsOver) {
  Terminal terminal("Password: ");
  ASSERT_TRUE(terminal.WaitFor("Password: "));
  terminal.Type("ab\x7f");  // Backspace discards everything typed so far
  ASSERT_TRUE(terminal.WaitFor("Password: ", 2));
  terminal.Type("s3cret\r");
  EXPECT_EQ(terminal.Result(), "ok:s3cret:1");  // and the terminal echoes again
  terminal.WaitFor("\n", 2);
  EXPECT_EQ(terminal.Output().find("s3cret"), std::string::npos) << terminal.Output();
  EXPECT_NE(terminal.Output().find("Password: **"), std::string::npos) << terminal.Output();
  EXPECT_NE(terminal.Output().find("Password: ******"), std::string::npos);
}

TEST(Getpass, ReturnsAfter127CharactersWithoutEnter) {
  Terminal terminal("> ");
  ASSERT_TRUE(terminal.WaitFor("> "));
  terminal.Type(std::string(130, 'k'));
  EXPECT_EQ(terminal.Result(), "ok:" + std::string(127, 'k') + ":1");
}

TEST(Getpass, RefusesInputThatIsNotATerminal) {
  Terminal notTerminal("Password: ", false);
  EXPECT_EQ(notTerminal.Result(), "threw");
}

}  // namespace
