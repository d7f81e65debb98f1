// ServerSettings: the certificate server's settings, read once at start.
#pragma once

#include <string>
#include <vector>

namespace QxCmServer {

// AutoGrant_e says which requests the server grants without an administrator.
enum class AutoGrant_e {
  NONE,         // none: every request waits for a decision
  INSTALL_KEY,  // requests that came enciphered with a registered installation key
  ALL,          // every request
};

// ServerSettings holds what the server reads from its configuration:
//   [sec.core] CORE_ID              the server's TLS identity (default kDefaultCoreId)
//   [sec.cm.server] AUTO_GRANT      NONE | INSTALL_KEY | ALL (case-insensitive)
//   [sec.cm.server] ADMIN_IDS       client certificate common names allowed to administer,
//                                   separated by commas and/or spaces
//   [sec.cm.server] DATABASE        the store's file (default SqliteStore::DefaultPath())
struct ServerSettings {
  static constexpr const char* kDefaultCoreId = "certificateserver";

  std::string coreId;
  AutoGrant_e autoGrant = AutoGrant_e::NONE;
  std::vector<std::string> adminIds;
  std::string databasePath;

  // Read reads the settings of this process (process values included). Throws
  // std::invalid_argument with a sentence naming the setting for an AUTO_GRANT it does not know.
  static ServerSettings Read();
  // ParseAutoGrant maps the AUTO_GRANT text (empty: NONE); throws std::invalid_argument.
  static AutoGrant_e ParseAutoGrant(const std::string& text);
  // ParseIds splits a list separated by commas and white space, dropping empty items.
  static std::vector<std::string> ParseIds(const std::string& text);
};

}  // namespace QxCmServer
