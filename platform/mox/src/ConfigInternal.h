// Internals of the configuration store shared by Config.cpp, ConfigFile.cpp and ConfigWatcher.cpp.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qxmox/Config.h"
#include "qxmox/Io.h"

namespace QxMoxConfig::Internal {

// Values of the whole file: namespace -> key -> value (UTF-8 bytes).
using SectionValues = std::map<std::string, std::string>;
using ConfigValues = std::map<std::string, SectionValues>;

// A file larger than this is refused before it is read into memory.
constexpr size_t kMaxFileSize = 1024 * 1024;
// The longest line (bytes before the '\n') the parser is set up to take whole.
constexpr size_t kMaxLineLength = 4096;
// The parser keeps at most this many bytes of a section name.
constexpr size_t kMaxNamespaceLength = 49;
// Limits of what an update writes, so that "KEY = value" stays within kMaxLineLength.
constexpr size_t kMaxKeyLength = 256;
constexpr size_t kMaxValueLength = 3072;

// One change of an update.
struct Edit {
  std::string ns;
  std::string key;
  bool remove = false;
  std::string value;
};

// CheckNamespace, CheckKey and CheckValue throw QxMoxMsg::IllegalArgumentError_t for text that
// the file cannot carry so that it reads back unchanged.
void CheckNamespace(std::string_view ns);
void CheckKey(std::string_view key);
void CheckValue(std::string_view value);

// ParseConfigText parses the file's text; path only names the file in errors. Throws
// QxMoxIo::IOException_t naming the file and the first bad line.
ConfigValues ParseConfigText(std::string_view text, const std::string& path);

// EditConfigText returns text with the edits applied line by line: comments, blank lines,
// other sections and the order of keys stay as they were; a new key goes after the last key of
// its section, a new section at the end. Throws like ParseConfigText when text is malformed,
// and IllegalArgumentError_t when the result would not read back as intended.
std::string EditConfigText(std::string_view text, const std::vector<Edit>& edits,
                           const std::string& path);

// ApplyEdits returns values with the edits applied.
ConfigValues ApplyEdits(ConfigValues values, const std::vector<Edit>& edits);

// A file's text and permission bits.
struct FileText {
  std::string text;
  unsigned mode = 0644;
};

// ReadConfigFile returns the file's text, or nothing when it does not exist. Throws
// QxMoxIo::IOException_t when it cannot be read, is not a regular file or is too large.
std::optional<FileText> ReadConfigFile(const std::string& path);

// ReplaceFile puts text in place of path atomically (QxMoxIo::PendingReplace_t) with the given
// mode exactly; without a mode the new file gets 0644 less the umask. Throws
// QxMoxIo::IOException_t; path is then unchanged.
void ReplaceFile(const std::string& path, std::string_view text, std::optional<unsigned> mode);

// LoadConfig reads and parses the file; a missing file gives no values.
ConfigValues LoadConfig(const std::string& path);

// ChangedNamespaces lists the namespaces whose values differ between before and after.
std::vector<std::string> ChangedNamespaces(const ConfigValues& before, const ConfigValues& after);

// Change notification (ConfigWatcher.cpp).
void WatcherRegister(const std::string& ns, ConfigChangeHandler_i* handler,
                     const std::string& path);
void WatcherUnregister(const std::string& ns, ConfigChangeHandler_i* handler);
// CommitUpdate runs write, which puts the edited file in place of path; the caller holds the
// file lock. With notify the handlers are then told of what changed; without, the watcher's
// snapshot takes the edited keys in the same step as the write, so the file event of this write
// notifies nobody of them.
void CommitUpdate(const std::string& path, const std::vector<Edit>& edits, bool notify,
                  const std::function<void()>& write);

}  // namespace QxMoxConfig::Internal
