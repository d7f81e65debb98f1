// Feeds arbitrary bytes to the node's reader of response messages. Besides crashes, leaks and
// undefined behaviour it checks that a response that was read writes and reads back unchanged.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "ResponseMessage.h"

namespace {

using QxMoxArray::CharArray_t;
using QxSecCm::ResponseMessage;

// Head is the plaintext inputs' head: the fixed key under the platform key.
const CharArray_t& Head() {
  static const CharArray_t head = QxFuzz::KeyHead();
  return head;
}

ResponseMessage Read(const CharArray_t& bytes) {
  QxMoxIo::CharArrayInputStream_t in(bytes);
  return ResponseMessage::Read(in);
}

}  // namespace

QX_FUZZ_PRIVATE_HOME()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ResponseMessage response;
  if (QxFuzz::Refused(response, [&] { return Read(QxFuzz::Input(data, size, Head())); })) return 0;
  QxFuzz::Require(response.returnCode == ResponseMessage::GRANTED ||
                      (response.certificate.IsEmpty() && response.trustedCerts.empty()),
                  "certificates read for a response that is not granted");
  QxMoxIo::CharArrayOutputStream_t out;
  response.Write(out, QxFuzz::Key());
  const ResponseMessage again = Read(out.ToCharArray());
  QxFuzz::Require(
      again.returnCode == response.returnCode && again.requestId == response.requestId &&
          again.certificate == response.certificate && again.trustedCerts == response.trustedCerts,
      "response changed");
  return 0;
}
