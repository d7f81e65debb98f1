// Feeds arbitrary bytes to the certificate server's reader of request messages. Besides
// crashes, leaks and undefined behaviour it checks that a message that was read writes and
// reads back with the same record and PKCS#10 request.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "RequestMessage.h"

namespace {

using QxMoxArray::CharArray_t;
using QxSecCm::RequestMessage;

// Head is the plaintext inputs' head: installation id "0" and the fixed key under the platform
// key.
const CharArray_t& Head() {
  static const CharArray_t head = QxFuzz::KeyHead("0");
  return head;
}

CharArray_t RecordBytes(const QxSecCm::CertRequest& request) {
  QxMoxIo::CharArrayOutputStream_t out;
  request->WriteTo(&out);
  return out.ToCharArray();
}

RequestMessage::Body Read(const CharArray_t& bytes) {
  QxMoxIo::CharArrayInputStream_t in(bytes);
  RequestMessage message(in);
  return message.ReadBody(message.UnwrapKey(QxFuzz::InstallKey()));
}

}  // namespace

QX_FUZZ_PRIVATE_HOME()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  RequestMessage::Body body;
  if (QxFuzz::Refused(body, [&] { return Read(QxFuzz::Input(data, size, Head())); })) return 0;
  QxMoxIo::CharArrayOutputStream_t out;
  RequestMessage::Write(out, body.request, body.csr, QxFuzz::Key().Wrap(), QxFuzz::Key(),
                        QxMoxStr::String_t("0"));
  const RequestMessage::Body again = Read(out.ToCharArray());
  QxFuzz::Require(RecordBytes(again.request) == RecordBytes(body.request), "record changed");
  QxFuzz::Require(again.csr == body.csr, "csr changed");
  return 0;
}
