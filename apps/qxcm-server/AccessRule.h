// AccessRule: who may call which of the server's methods.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "qxzeb/Message.h"

namespace QxCmServer {

// AccessRule decides for one incoming call:
//   NODE   (a node's own reports and reads): a loopback caller, or any caller presenting a
//          client certificate that chains to a trusted root;
//   ADMIN  (listing, deciding, removing, observer registration): a loopback caller, or one
//          presenting such a certificate whose subject common name is in the administrator list.
class AccessRule {
 public:
  enum class Level_e { NODE, ADMIN };

  explicit AccessRule(std::vector<std::string> adminIds);

  // Refusal returns why msg's caller may not make a call of level, nothing when it may.
  std::optional<std::string> Refusal(const QxZebMsg::IncomingMsg& msg, Level_e level) const;

  // Actor names the caller in the decisions it makes: "loopback" for a loopback caller without
  // a trusted certificate, else the certificate's common name.
  static std::string Actor(const QxZebMsg::IncomingMsg& msg);

 private:
  std::vector<std::string> m_adminIds;
};

}  // namespace QxCmServer
