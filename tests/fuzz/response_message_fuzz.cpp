// Feeds arbitrary bytes to the node's reader of response messages. Besides crashes, leaks and
// undefined behaviour it checks that a response that was read writes and reads back unchanged.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "ResponseMessage.h"
#include "qxmox/Exception.h"

namespace {

using QxMoxArray::CharArray_t;
using QxSecCm::ResponseMessage;

// Head is the plaintext inputs' head: the fixed key under the platform key.
const CharArray_t& Head() {
  static const CharArray_t head = [] {
    QxMoxIo::CharArrayOutputStream_t out;
    QxMoxIo::DataOutputStream_t data(out);
    const CharArray_t wrapped = QxFuzz::Key().Wrap();
    data.WriteInt32(static_cast<int32_t>(wrapped.GetSize()));
    data.Write(wrapped);
    return out.ToCharArray();
  }();
  return head;
}

ResponseMessage Read(const CharArray_t& bytes) {
  QxMoxIo::CharArrayInputStream_t in(bytes);
  return ResponseMessage::Read(in);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QxFuzz::UsePrivateHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ResponseMessage response;
  try {
    response = Read(QxFuzz::Input(data, size, Head()));
  } catch (const QxMoxMsg::Exception_t&) {
    return 0;  // refused input: fine, as long as nothing else happened
  }
  QxFuzz::Require(response.returnCode == ResponseMessage::GRANTED ||
                      (response.certificate.IsEmpty() && response.trustedCerts.empty()),
                  "certificates read for a response that is not granted");
  QxMoxIo::CharArrayOutputStream_t out;
  response.Write(out, QxFuzz::Key());
  const ResponseMessage again = Read(out.ToCharArray());
  QxFuzz::Require(again.returnCode == response.returnCode && again.requestId == response.requestId &&
                      again.certificate == response.certificate &&
                      again.trustedCerts == response.trustedCerts,
                  "response changed");
  return 0;
}
