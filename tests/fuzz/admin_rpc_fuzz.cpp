// Arbitrary bytes as the body of each RPC method the certificate server serves, read by the
// server's own argument readers: they must refuse or accept the bytes without a fault of their
// own (memory, undefined behaviour, an exception other than the platform's).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "CallArgs.h"
#include "qxmox/Exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const QxCmServer::ArgReader read = [body](int count, QxZebSoap::SOAPArg* const* args) {
    QxZebSoap::ReadEnvelope(body, count, args);
  };
  using QxCmServer::CallArgs;
  const auto attempt = [](auto reader) {
    try {
      reader();
    } catch (const QxMoxMsg::Exception_t&) {
    }
  };
  attempt([&] { CallArgs::RequestId(read); });
  attempt([&] { CallArgs::ReadDecision(read); });
  attempt([&] {
    const QxSecCm::CertRequest_ex report = CallArgs::InstalledReport(read);
    (void)report.GetNodename().ToUtf8();
    (void)report.GetIPAddress().ToUtf8();
  });
  attempt([&] { CallArgs::ReadRegistration(read); });
  return 0;
}
