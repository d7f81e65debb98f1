// getpass: a password read from the terminal without echo.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxseccm/ExceptionTracer.h"
#include "qxseccm/Utils.h"

namespace QxSecCm {
namespace {

constexpr size_t kBufferSize = 128;  // 127 characters and the NUL
constexpr signed char kCarriageReturn = 13;
constexpr signed char kNewline = 10;
constexpr signed char kDelete = 127;

char s_buffer[kBufferSize];

[[noreturn]] void FailIO(const char* reason, const char* file, int line) {
  ThrowTraced<QxMoxIo::IOException_t>(
      ExceptionTracer::Client,
      QxMoxMsg::CreateWarn_t(QxMoxStr::String_t("Could not read password: ") +
                             QxMoxStr::String_t(reason)),
      file, line);
}

// TerminalMode switches standard input to unechoed single keystrokes and restores the saved mode
// when it goes, on every way out.
class TerminalMode {
 public:
  TerminalMode() {
    if (::tcgetattr(STDIN_FILENO, &m_saved) != 0) {
      FailIO("standard input is not a terminal", __FILE__, __LINE__);
    }
    termios raw = m_saved;
    // Keystrokes one by one, unechoed; Ctrl-C and Ctrl-Z arrive as keys (control keys restart
    // the input) instead of stopping the program with the terminal left unechoed.
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) {
      FailIO(std::strerror(errno), __FILE__, __LINE__);
    }
  }
  ~TerminalMode() { ::tcsetattr(STDIN_FILENO, TCSANOW, &m_saved); }
  TerminalMode(const TerminalMode&) = delete;
  TerminalMode& operator=(const TerminalMode&) = delete;

 private:
  termios m_saved{};
};

void Print(const char* text, FILE* stream) {
  std::fputs(text, stream);
  std::fflush(stream);
}

// ReadKey returns the next byte typed; throws at the end of input or on a read error.
signed char ReadKey() {
  for (;;) {
    char c = 0;
    const ssize_t got = QxMoxIo::RetryOnEintr([&] { return ::read(STDIN_FILENO, &c, 1); });
    if (got == 1) return static_cast<signed char>(c);
    FailIO(got == 0 ? "end of input" : std::strerror(errno), __FILE__, __LINE__);
  }
}

}  // namespace

char* getpass(const char* prompt) {
  if (prompt == nullptr) prompt = "";
  if (::isatty(STDIN_FILENO) == 0) FailIO("standard input is not a terminal", __FILE__, __LINE__);
  std::memset(s_buffer, 0, sizeof s_buffer);
  try {
    const TerminalMode mode;
    Print(prompt, stderr);
    size_t n = 0;
    for (;;) {
      const signed char c = ReadKey();
      // Terminals deliver Enter as a carriage return or, translated, as a newline.
      if (c == kCarriageReturn || c == kNewline) {
        s_buffer[n] = '\0';
        Print("\n", stdout);
        return s_buffer;
      }
      if (c < 32 || c == kDelete) {
        std::memset(s_buffer, 0, sizeof s_buffer);
        n = 0;
        Print("\n", stdout);
        Print(prompt, stderr);
        continue;
      }
      s_buffer[n++] = static_cast<char>(c);
      Print("*", stdout);
      if (n == kBufferSize - 1) {
        s_buffer[n] = '\0';
        Print("\n", stdout);
        return s_buffer;
      }
    }
  } catch (...) {
    std::memset(s_buffer, 0, sizeof s_buffer);
    throw;
  }
}

}  // namespace QxSecCm
