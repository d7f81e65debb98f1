// The serving half of a peer process (see PeerProcess.h): print the messenger's base callback
// address on one line, serve until standard input closes, then close.
#pragma once

#include <iostream>
#include <string>

#include "qxzeb/QxZeb.h"

namespace QxTest {

inline void ServeUntilInputCloses(QxZebMsg::Messenger& messenger, QxZebRpc::RpcServer& server) {
  std::cout << messenger.GetBaseCbAddress().ToUtf8() << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  messenger.Close();
  server.Close();
}

}  // namespace QxTest
