// The configuration file's text: validation, parsing (inih), line-by-line editing and the
// atomic replacement of the file.
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ConfigInternal.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"

namespace QxMoxConfig::Internal {
namespace {

using QxMoxStr::NumToStr;
using QxMoxStr::String_t;

constexpr std::string_view kSpace = " \t\n\v\f\r";
constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsSpace(char c) { return kSpace.find(c) != std::string_view::npos; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// The parser is switched once, before its first use, to what the editor below assumes: a line
// is one entry whatever its indentation (no continuation lines), ';' and '#' start a comment
// only at the start of a line (so a value is carried whole), and a line is read whole up to
// kMaxLineLength bytes instead of being split at 200.
void ConfigureParser() {
  static std::once_flag once;
  std::call_once(once, [] {
    ini_allow_multiline = false;
    ini_allow_inline_comments = false;
    ini_use_stack = false;
    ini_allow_realloc = true;
    ini_max_line = static_cast<int>(kMaxLineLength + 3);  // the line, '\n' and NUL fit
  });
}

// The trace section's keys are "area:category", but the parser splits a line at its first ':'
// as well as at '='. Such a line arrives as "area" -> "category = word" and is put back
// together here, line by line, so that two entries of one area do not overwrite each other.
constexpr std::string_view kTraceSection = "mox.trace";

// Called from C: nothing may be thrown through the parser.
int StoreValue(void* user, const char* section, const char* name, const char* value) {
  try {
    auto& values = (*static_cast<ConfigValues*>(user))[section];
    const std::string_view text(value);
    const size_t equals = text.find('=');
    if (section == kTraceSection && equals != std::string_view::npos) {
      values[std::string(name) + ":" + std::string(Trim(text.substr(0, equals)))] =
          Trim(text.substr(equals + 1));
    } else {
      values[name] = value;
    }
    return 1;
  } catch (...) {
    return 0;
  }
}

[[noreturn]] void ThrowBadLine(const std::string& path, size_t line, std::string_view why) {
  QxMoxMsg::ThrowIO(String_t(path) + ": line " + NumToStr(static_cast<uint64_t>(line)) + ": " +
                    String_t(why));
}

// One line of the file as the parser sees it.
struct Line {
  enum Kind { kOther, kSection, kKey };
  std::string text;  // without its '\n'
  bool hasEol = true;
  Kind kind = kOther;
  std::string section;    // the section the line is in; for kSection the one it opens
  std::string key;        // kKey
  size_t valueStart = 0;  // kKey: where the value starts in text
};

// ScanLines splits text into lines and classifies them the way the configured parser does,
// so that an edit touches exactly the line the parser read the value from.
std::vector<Line> ScanLines(std::string_view text, const std::string& path) {
  std::vector<Line> lines;
  std::string section;
  size_t pos = 0;
  while (pos < text.size()) {
    Line line;
    const size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      line.text = text.substr(pos);
      line.hasEol = false;
      pos = text.size();
    } else {
      line.text = text.substr(pos, nl - pos);
      pos = nl + 1;
    }
    const size_t number = lines.size() + 1;
    if (line.text.size() > kMaxLineLength) {
      ThrowBadLine(path, number, "longer than " + std::to_string(kMaxLineLength) + " bytes");
    }
    if (line.text.find('\0') != std::string::npos)
      ThrowBadLine(path, number, "contains a NUL byte");

    std::string_view view = line.text;
    size_t begin = (number == 1 && view.starts_with(kBom)) ? kBom.size() : 0;
    while (begin < view.size() && IsSpace(view[begin])) ++begin;
    size_t end = view.size();
    while (end > begin && IsSpace(view[end - 1])) --end;
    const std::string_view content = view.substr(begin, end - begin);

    if (content.empty() || content.front() == ';' || content.front() == '#') {
      line.kind = Line::kOther;
    } else if (content.front() == '[') {
      const size_t close = content.find(']');
      if (close == std::string_view::npos) ThrowBadLine(path, number, "section without ']'");
      section = content.substr(1, close - 1);
      if (section.size() > kMaxNamespaceLength) {
        ThrowBadLine(path, number,
                     "section name longer than " + std::to_string(kMaxNamespaceLength) + " bytes");
      }
      line.kind = Line::kSection;
    } else {
      const size_t sep = content.find_first_of("=:");
      if (sep == std::string_view::npos) ThrowBadLine(path, number, "expected KEY = value");
      line.kind = Line::kKey;
      line.key = Trim(content.substr(0, sep));
      size_t value = begin + sep + 1;
      while (value < end && IsSpace(view[value])) ++value;
      line.valueStart = value;
    }
    line.section = section;
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string Render(const std::vector<Line>& lines) {
  std::string out;
  for (const Line& line : lines) {
    out += line.text;
    if (line.hasEol) out += '\n';
  }
  return out;
}

bool UsesCrLf(const std::vector<Line>& lines) {
  for (const Line& line : lines) {
    if (line.hasEol) return line.text.ends_with('\r');
  }
  return false;
}

Line KeyLine(const Edit& edit, bool crlf) {
  Line line;
  line.text = edit.key + " = " + edit.value + (crlf ? "\r" : "");
  line.kind = Line::kKey;
  line.section = edit.ns;
  line.key = edit.key;
  line.valueStart = edit.key.size() + 3;
  return line;
}

Line PlainLine(std::string text, bool crlf) {
  Line line;
  line.text = std::move(text) + (crlf ? "\r" : "");
  return line;
}

void Insert(std::vector<Line>& lines, size_t at, Line line) {
  if (at > 0) lines[at - 1].hasEol = true;
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

bool Matches(const Line& line, const Edit& edit) {
  return line.kind == Line::kKey && line.section == edit.ns && line.key == edit.key;
}

void SetInLines(std::vector<Line>& lines, const Edit& edit, bool crlf) {
  // The first line of the key takes the value, keeping its spelling and spacing up to the
  // value; later duplicates (which the parser would let win) go.
  size_t first = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (Matches(lines[i], edit)) {
      first = i;
      break;
    }
  }
  if (first < lines.size()) {
    Line& line = lines[first];
    const std::string prefix = line.text.substr(0, line.valueStart);
    const bool cr = line.text.ends_with('\r');
    line.text = prefix + edit.value + (cr ? "\r" : "");
    line.valueStart = prefix.size();
    for (size_t i = lines.size(); i-- > first + 1;) {
      if (Matches(lines[i], edit)) lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return;
  }

  // A new key goes after the last key of the section's last block, before any comments and
  // blank lines that lead into the next section.
  size_t header = lines.size();
  for (size_t i = lines.size(); i-- > 0;) {
    if (lines[i].kind == Line::kSection && lines[i].section == edit.ns) {
      header = i;
      break;
    }
  }
  if (header < lines.size()) {
    size_t at = header + 1;
    for (size_t i = header + 1; i < lines.size() && lines[i].kind != Line::kSection; ++i) {
      if (lines[i].kind == Line::kKey) at = i + 1;
    }
    Insert(lines, at, KeyLine(edit, crlf));
    return;
  }

  if (!lines.empty() && !Trim(lines.back().text).empty()) {
    Insert(lines, lines.size(), PlainLine("", crlf));
  }
  Line open = PlainLine("[" + edit.ns + "]", crlf);
  open.kind = Line::kSection;
  open.section = edit.ns;
  Insert(lines, lines.size(), std::move(open));
  Insert(lines, lines.size(), KeyLine(edit, crlf));
}

void RemoveFromLines(std::vector<Line>& lines, const Edit& edit) {
  std::erase_if(lines, [&](const Line& line) { return Matches(line, edit); });
}

void CheckText(std::string_view text, std::string_view what) {
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\0') {
      QxMoxMsg::ThrowIllegalArgument(
          String_t("Configuration ") + String_t(what) +
          " must not contain a line break or NUL: " + String_t(std::string(text)));
    }
  }
  if (!text.empty() && (IsSpace(text.front()) || IsSpace(text.back()))) {
    QxMoxMsg::ThrowIllegalArgument(String_t("Configuration ") + String_t(what) +
                                   " must not start or end with white space: '" +
                                   String_t(std::string(text)) + "'");
  }
}

// A test seam: a process with this set dies after writing its temporary file and before the
// rename, like a writer killed at the worst moment.
void CrashBeforeRenameForTest() {
  const char* crash = std::getenv("QX_CONFIG_TEST_CRASH_BEFORE_RENAME");
  if (crash != nullptr && std::strcmp(crash, "1") == 0) _exit(3);
}

}  // namespace

void CheckNamespace(std::string_view ns) {
  if (ns.empty()) QxMoxMsg::ThrowIllegalArgument("Configuration namespace must not be empty");
  CheckText(ns, "namespace");
  if (ns.find(']') != std::string_view::npos) {
    QxMoxMsg::ThrowIllegalArgument(String_t("Configuration namespace must not contain ']': ") +
                                   String_t(std::string(ns)));
  }
  if (ns.size() > kMaxNamespaceLength) {
    QxMoxMsg::ThrowIllegalArgument(String_t("Configuration namespace longer than ") +
                                   NumToStr(static_cast<uint64_t>(kMaxNamespaceLength)) +
                                   " bytes: " + String_t(std::string(ns)));
  }
}

void CheckKey(std::string_view key) {
  if (key.empty()) QxMoxMsg::ThrowIllegalArgument("Configuration key must not be empty");
  CheckText(key, "key");
  if (key.find_first_of("=:;#[]") != std::string_view::npos) {
    QxMoxMsg::ThrowIllegalArgument(
        String_t("Configuration key must not contain any of = : ; # [ ]: ") +
        String_t(std::string(key)));
  }
  if (key.size() > kMaxKeyLength) {
    QxMoxMsg::ThrowIllegalArgument(String_t("Configuration key longer than ") +
                                   NumToStr(static_cast<uint64_t>(kMaxKeyLength)) + " bytes");
  }
}

void CheckValue(std::string_view value) {
  CheckText(value, "value");
  if (value.size() > kMaxValueLength) {
    QxMoxMsg::ThrowIllegalArgument(String_t("Configuration value longer than ") +
                                   NumToStr(static_cast<uint64_t>(kMaxValueLength)) + " bytes");
  }
}

ConfigValues ParseConfigText(std::string_view text, const std::string& path) {
  if (text.size() > kMaxFileSize) {
    QxMoxMsg::ThrowIO(String_t(path) + ": larger than " +
                      NumToStr(static_cast<uint64_t>(kMaxFileSize)) + " bytes");
  }
  // The scan refuses what the parser would read differently from the editor (over-long lines,
  // NUL bytes, long section names) and finds most malformed lines first.
  ScanLines(text, path);
  ConfigureParser();
  ConfigValues values;
  const std::string copy(text);
  const int rc = ini_parse_string(copy.c_str(), &StoreValue, &values);
  if (rc > 0) ThrowBadLine(path, static_cast<size_t>(rc), "malformed line");
  if (rc < 0) QxMoxMsg::ThrowIO(String_t(path) + ": cannot be parsed");
  return values;
}

ConfigValues ApplyEdits(ConfigValues values, const std::vector<Edit>& edits) {
  for (const Edit& edit : edits) {
    if (edit.remove) {
      auto it = values.find(edit.ns);
      if (it == values.end()) continue;
      it->second.erase(edit.key);
      if (it->second.empty()) values.erase(it);
    } else {
      values[edit.ns][edit.key] = edit.value;
    }
  }
  return values;
}

std::string EditConfigText(std::string_view text, const std::vector<Edit>& edits,
                           const std::string& path) {
  const ConfigValues before = ParseConfigText(text, path);
  std::vector<Line> lines = ScanLines(text, path);
  const bool crlf = UsesCrLf(lines);
  for (const Edit& edit : edits) {
    if (edit.remove) {
      RemoveFromLines(lines, edit);
    } else {
      SetInLines(lines, edit, crlf);
    }
  }
  std::string result = Render(lines);

  // The new text must read back as exactly the intended values, else it is not written.
  bool same = false;
  try {
    same = ParseConfigText(result, path) == ApplyEdits(before, edits);
  } catch (const QxMoxIo::IOException_t&) {
    same = false;
  }
  if (!same) {
    QxMoxMsg::ThrowIllegalArgument(String_t("The update cannot be stored in ") + String_t(path) +
                                   " so that it reads back unchanged");
  }
  return result;
}

std::optional<FileText> ReadConfigFile(const std::string& path) {
  struct stat st {};
  const QxMoxIo::Fd_t fd = QxMoxIo::OpenRegularFile(path, st, QxMoxIo::IfMissing_e::RETURN_INVALID);
  if (!fd.Valid()) return std::nullopt;
  if (static_cast<unsigned long long>(st.st_size) > kMaxFileSize) {
    QxMoxMsg::ThrowIO(String_t(path) + ": larger than " +
                      NumToStr(static_cast<uint64_t>(kMaxFileSize)) + " bytes");
  }
  FileText file;
  file.mode = st.st_mode & 07777;
  // The file may grow while it is read (a hand edit in place); stop one byte past the limit.
  char buffer[8192];
  for (;;) {
    const ssize_t n = QxMoxIo::RetryOnEintr([&] { return read(fd.Get(), buffer, sizeof buffer); });
    if (n < 0) {
      QxMoxMsg::ThrowErrno(String_t("Cannot read configuration file ") + String_t(path), errno);
    }
    if (n == 0) break;
    file.text.append(buffer, static_cast<size_t>(n));
    if (file.text.size() > kMaxFileSize) {
      QxMoxMsg::ThrowIO(String_t(path) + ": larger than " +
                        NumToStr(static_cast<uint64_t>(kMaxFileSize)) + " bytes");
    }
  }
  return file;
}

ConfigValues LoadConfig(const std::string& path) {
  const std::optional<FileText> file = ReadConfigFile(path);
  if (!file) return {};
  return ParseConfigText(file->text, path);
}

std::vector<std::string> ChangedNamespaces(const ConfigValues& before, const ConfigValues& after) {
  static const SectionValues kNone;
  std::vector<std::string> changed;
  auto valuesOf = [](const ConfigValues& all, const std::string& ns) -> const SectionValues& {
    auto it = all.find(ns);
    return it == all.end() ? kNone : it->second;
  };
  for (const auto& [ns, values] : before) {
    if (valuesOf(after, ns) != values) changed.push_back(ns);
  }
  for (const auto& [ns, values] : after) {
    if (!before.contains(ns) && !values.empty()) changed.push_back(ns);
  }
  return changed;
}

void ReplaceFile(const std::string& path, std::string_view text, std::optional<unsigned> mode) {
  QxMoxIo::PendingReplace_t file(
      path, mode.value_or(0644),
      mode ? QxMoxIo::CreateMode_e::EXACT : QxMoxIo::CreateMode_e::LESS_UMASK);
  file.Write(text);
  file.Prepare();
  CrashBeforeRenameForTest();
  file.Commit();
}

}  // namespace QxMoxConfig::Internal
