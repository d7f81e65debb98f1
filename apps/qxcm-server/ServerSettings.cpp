// ServerSettings: reading and checking the server's configuration.
#include "ServerSettings.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "SqliteStore.h"
#include "qxmox/Config.h"

namespace QxCmServer {
namespace {

std::string Text(const char* ns, const char* key) {
  const QxMoxStr::String_t value = QxMoxConfig::ConfigNamespace_t(ns).Open().GetValue(key);
  return value.IsNull() ? std::string() : value.ToUtf8();
}

std::string Trimmed(std::string text) {
  const auto space = [](unsigned char c) { return std::isspace(c) != 0; };
  text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), space));
  text.erase(std::find_if_not(text.rbegin(), text.rend(), space).base(), text.end());
  return text;
}

}  // namespace

AutoGrant_e ServerSettings::ParseAutoGrant(const std::string& text) {
  std::string word = Trimmed(text);
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (word.empty() || word == "NONE") return AutoGrant_e::NONE;
  if (word == "INSTALL_KEY") return AutoGrant_e::INSTALL_KEY;
  if (word == "ALL") return AutoGrant_e::ALL;
  throw std::invalid_argument("[sec.cm.server] AUTO_GRANT is '" + text +
                              "'; it must be NONE, INSTALL_KEY or ALL.");
}

std::vector<std::string> ServerSettings::ParseIds(const std::string& text) {
  std::vector<std::string> ids;
  std::string current;
  for (const char c : text + ",") {
    if (c == ',' || std::isspace(static_cast<unsigned char>(c)) != 0) {
      if (!current.empty()) ids.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  return ids;
}

ServerSettings ServerSettings::Read() {
  ServerSettings settings;
  settings.coreId = Trimmed(Text("sec.core", "CORE_ID"));
  if (settings.coreId.empty()) settings.coreId = kDefaultCoreId;
  settings.autoGrant = ParseAutoGrant(Text("sec.cm.server", "AUTO_GRANT"));
  settings.adminIds = ParseIds(Text("sec.cm.server", "ADMIN_IDS"));
  settings.databasePath = Trimmed(Text("sec.cm.server", "DATABASE"));
  if (settings.databasePath.empty()) settings.databasePath = SqliteStore::DefaultPath();
  return settings;
}

}  // namespace QxCmServer
