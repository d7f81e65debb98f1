// AccessRule: the server's one rule for who may call what.
#include "AccessRule.h"

#include <algorithm>

namespace QxCmServer {

AccessRule::AccessRule(std::vector<std::string> adminIds) : m_adminIds(std::move(adminIds)) {}

std::optional<std::string> AccessRule::Refusal(const QxZebMsg::IncomingMsg& msg,
                                               Level_e level) const {
  if (msg.IsLoopback()) return std::nullopt;
  if (!msg.HasTrustedClientCertificate()) {
    return "not allowed: the caller " + msg.GetPeerAddress().ToUtf8() +
           " is not on the loopback address and presented no trusted client certificate";
  }
  if (level == Level_e::NODE) return std::nullopt;
  const std::string cn = msg.GetPeerCommonName().ToUtf8();
  if (std::find(m_adminIds.begin(), m_adminIds.end(), cn) != m_adminIds.end()) return std::nullopt;
  return "not an administrator: CN " + cn + " is not in [sec.cm.server] ADMIN_IDS";
}

std::string AccessRule::Actor(const QxZebMsg::IncomingMsg& msg) {
  if (msg.HasTrustedClientCertificate()) return msg.GetPeerCommonName().ToUtf8();
  return "loopback";
}

}  // namespace QxCmServer
