// The system log: whole lines appended to QX_HOME/log/qx.log, and syslog on request.
#include "qxmox/Log.h"

#include <fcntl.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qxmox/Io.h"
#include "qxmox/Runtime.h"

namespace QxMoxLog {
namespace {

const char* SeverityWord(QxMoxMsg::Severity_e severity) {
  switch (severity) {
    case QxMoxMsg::SEV_INFO:
      return "INFO";
    case QxMoxMsg::SEV_WARNING:
      return "WARNING";
    case QxMoxMsg::SEV_ERROR:
      return "ERROR";
    default:
      return "NONE";
  }
}

int SyslogPriority(QxMoxMsg::Severity_e severity) {
  switch (severity) {
    case QxMoxMsg::SEV_ERROR:
      return LOG_ERR;
    case QxMoxMsg::SEV_WARNING:
      return LOG_WARNING;
    case QxMoxMsg::SEV_INFO:
      return LOG_INFO;
    default:
      return LOG_NOTICE;
  }
}

[[noreturn]] void Fail(const std::string& what, int err) {
  QxMoxStr::String_t text(what);
  if (err != 0) text.Append(": ").Append(std::strerror(err));
  throw LogException_t(QxMoxMsg::CreateError_t(text));
}

std::string UtcNow() {
  const time_t now = time(nullptr);
  tm utc{};
  gmtime_r(&now, &utc);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return buf;
}

// The message part of a line: "<catalog>:<number> <text with details>", '-' for no catalog.
// Line breaks inside a message would split its entry, so they become spaces.
std::string Body(const QxMoxMsg::Message_t& message) {
  std::string body = message.GetCatalogName().IsEmpty() ? "-" : message.GetCatalogName().ToUtf8();
  body += ':';
  body += std::to_string(message.GetNumber());
  body += ' ';
  const size_t textStart = body.size();
  body += message.Format(QxMoxMsg::FMT_DETAILS).ToUtf8();
  for (size_t i = textStart; i < body.size(); ++i) {
    if (body[i] == '\n' || body[i] == '\r') body[i] = ' ';
  }
  return body;
}

void AppendToFile(const std::string& lines) {
  std::string path;
  try {
    path = QxMoxRuntime::Dir_t::EnsureDir(QxMoxRuntime::Dir_t::DIR_LOG) + "/qx.log";
  } catch (const QxMoxMsg::Exception_t& e) {
    Fail(std::string("Cannot create the log directory: ") + e.what(), 0);
  }
  QxMoxIo::Fd_t fd = QxMoxIo::OpenFd(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (!fd.Valid()) Fail("Cannot open " + path, errno);
  if (!QxMoxIo::TryWriteAll(fd.Get(), lines.data(), lines.size())) {
    Fail("Cannot write " + path, errno);
  }
  if (!fd.Close()) Fail("Cannot close " + path, errno);
}

bool SyslogWanted() {
  const char* env = std::getenv("QX_SYSLOG");
  return env != nullptr && std::strcmp(env, "1") == 0;
}

}  // namespace

void Log(const QxMoxMsg::MessageList_t& messages) {
  if (messages.IsEmpty()) return;
  const std::string program = QxMoxRuntime::App_t::GetName().ToUtf8();
  const std::string prefix =
      " " + program + "[" + std::to_string(QxMoxRuntime::App_t::GetProcessId()) + "] ";
  const std::string time = UtcNow();
  std::string lines;
  for (const QxMoxMsg::Message_t& message : messages) {
    lines += time;
    lines += ' ';
    lines += SeverityWord(message.GetSeverity());
    lines += prefix;
    lines += Body(message);
    lines += '\n';
  }
  // All lines of the list go out in one write, so they stay together in the file.
  AppendToFile(lines);

  if (SyslogWanted()) {
    // syslog keeps the ident pointer, not a copy, so the name lives in a static.
    static const std::string ident = program;
    openlog(ident.c_str(), LOG_PID, LOG_USER);
    for (const QxMoxMsg::Message_t& message : messages) {
      syslog(SyslogPriority(message.GetSeverity()), "%s %s", SeverityWord(message.GetSeverity()),
             Body(message).c_str());
    }
  }
}

void Log(const QxMoxMsg::Message_t& message) { Log(QxMoxMsg::MessageList_t(message)); }

}  // namespace QxMoxLog
