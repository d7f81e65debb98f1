// CallArgs: the argument lists of the server's methods, as the proxy, observer and node send them.
#include "CallArgs.h"

#include "qxseccm/SoapArgs.h"

namespace QxCmServer {

std::string CallArgs::RequestId(const ArgReader& read) {
  QxMoxStr::String_t reqid("");
  QxZebSoap::SOAPArgUnicodeString reqidArg("reqid", &reqid);
  QxZebSoap::SOAPArg* args[] = {&reqidArg};
  read(1, args);
  return reqid.ToUtf8();
}

CallArgs::Decision CallArgs::ReadDecision(const ArgReader& read) {
  QxMoxStr::String_t reqid(""), uri("");
  QxZebSoap::SOAPArgUnicodeString reqidArg("reqid", &reqid);
  QxZebSoap::SOAPArgUnicodeString uriArg("uri", &uri);
  QxZebSoap::SOAPArg* args[] = {&reqidArg, &uriArg};
  read(2, args);
  return {reqid.ToUtf8(), uri.ToUtf8()};
}

QxSecCm::CertRequest_ex CallArgs::InstalledReport(const ArgReader& read) {
  QxSecCm::CertRequest_ex report;
  QxSecCm::SOAPArgCertRequest_ex reportArg("cr", &report);
  QxZebSoap::SOAPArg* args[] = {&reportArg};
  read(1, args);
  return report;
}

CallArgs::Registration CallArgs::ReadRegistration(const ArgReader& read) {
  QxMoxStr::String_t uri(""), name("");
  uint64_t pid = 0;
  QxZebSoap::SOAPArgUnicodeString uriArg("uri", &uri);
  QxZebSoap::SOAPArgULong pidArg("pid", &pid);
  QxZebSoap::SOAPArgUnicodeString nameArg("name", &name);
  QxZebSoap::SOAPArg* args[] = {&uriArg, &pidArg, &nameArg};
  read(3, args);
  return {uri.ToUtf8(), pid, name.ToUtf8()};
}

}  // namespace QxCmServer
