// CallArgs: reading the arguments of the server's RPC methods.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "qxseccm/CertRequest.h"
#include "qxzeb/Soap.h"

namespace QxCmServer {

// ArgReader fills arguments by name from one call: RpcServerCall::ReadRequest when serving,
// QxZebSoap::ReadEnvelope over raw bytes elsewhere (the fuzz target). An argument the call does
// not carry keeps its preset value; what the reader throws propagates.
using ArgReader = std::function<void(int count, QxZebSoap::SOAPArg* const* args)>;

// CallArgs reads each method's arguments; the same functions serve the network and the fuzzer.
// Texts are read as they travel (a URI as its text, unparsed).
struct CallArgs {
  // Decision is "reqid" and "uri" of GrantRequest and DenyRequest.
  struct Decision {
    std::string reqid, uri;
  };
  // Registration is "uri", "pid" and "name" of RegisterObserver ("uri" alone for
  // DeregisterObserver).
  struct Registration {
    std::string uri;
    uint64_t pid = 0;
    std::string name;
  };

  // RequestId reads "reqid" (GetPendingRequest, RemoveRequest); empty when absent.
  static std::string RequestId(const ArgReader& read);
  static Decision ReadDecision(const ArgReader& read);
  // InstalledReport reads "cr" of CertInstalled: the node's name, address and platform.
  static QxSecCm::CertRequest_ex InstalledReport(const ArgReader& read);
  static Registration ReadRegistration(const ArgReader& read);
};

}  // namespace QxCmServer
