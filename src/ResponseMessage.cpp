// ResponseMessage: writing and reading the certificate server's response message.
#include "ResponseMessage.h"

#include "CountedBytes.h"
#include "qxmox/Exception.h"
#include "qxseccm/Catalog.h"
#include "qxseccm/ExceptionTracer.h"
#include "qxseccore/CipherStream.h"

namespace QxSecCm {
namespace {

// A corrupt header (47) is traced as the server side's failure, a corrupt certificate (48) as
// the client side's, as the two messages were always reported.
#define QX_CORRUPT_RESPONSE() \
  QXSECCM_THROW(QxMoxMsg::RuntimeException_t, ExceptionTracer::Server, Catalog::Warn(47))
#define QX_CORRUPT_CERTIFICATE() \
  QXSECCM_THROW(QxMoxMsg::RuntimeException_t, ExceptionTracer::Client, Catalog::Warn(48))

QxMoxArray::CharArray_t ReadCertificate(QxMoxIo::DataInputStream_t& in) {
  QxMoxArray::CharArray_t certificate;
  if (!TryReadBytes(in, in.ReadInt32(), certificate)) QX_CORRUPT_CERTIFICATE();
  return certificate;
}

}  // namespace

void ResponseMessage::Write(QxMoxIo::OutputStream_t& out) const {
  Write(out, MessageKey::Generate());
}

void ResponseMessage::Write(QxMoxIo::OutputStream_t& out, const MessageKey& key) const {
  QxMoxIo::DataOutputStream_t head(out);
  WriteCountedBytes(head, key.Wrap());

  QxSecIo::CipherOutputStream enciphered(out, key.Encipherer());
  QxMoxIo::DataOutputStream_t body(enciphered);
  body.WriteInt32(returnCode);
  body.WriteUTF16String(requestId);
  if (returnCode == GRANTED) {
    WriteCountedBytes(body, certificate);
    body.WriteInt32(static_cast<int32_t>(trustedCerts.size()));
    for (const auto& trusted : trustedCerts) WriteCountedBytes(body, trusted);
  }
  body.Close();
}

ResponseMessage ResponseMessage::Read(QxMoxIo::InputStream_t& in) {
  QxMoxIo::DataInputStream_t head(in);
  const int32_t length = head.ReadInt32();
  QxMoxArray::CharArray_t wrapped;
  if (length < 1 || !TryReadBytes(head, length, wrapped)) QX_CORRUPT_RESPONSE();
  const MessageKey key = MessageKey::Unwrap(wrapped);

  QxSecIo::CipherInputStream deciphered(in, key.Decipherer());
  QxMoxIo::DataInputStream_t body(deciphered);
  ResponseMessage message;
  message.returnCode = body.ReadInt32();
  message.requestId = body.ReadUTF16String();
  if (message.returnCode == GRANTED) {
    message.certificate = ReadCertificate(body);
    const int32_t count = body.ReadInt32();
    // Each entry takes at least its 4-byte length, so a count beyond that is corrupt at once.
    if (count < 0 || count > body.Remaining() / 4) QX_CORRUPT_CERTIFICATE();
    for (int32_t i = 0; i < count; ++i) message.trustedCerts.push_back(ReadCertificate(body));
  }
  body.Close();
  return message;
}

}  // namespace QxSecCm
