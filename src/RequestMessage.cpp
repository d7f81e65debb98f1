// RequestMessage: writing and reading the certificate request message.
#include "RequestMessage.h"

#include "CountedBytes.h"
#include "qxmox/Exception.h"
#include "qxseccore/CipherStream.h"

namespace QxSecCm {
namespace {

[[noreturn]] void Corrupt(const char* what) {
  QxMoxMsg::ThrowIO(QxMoxStr::String_t("Corrupt certificate request message: ") + what);
}

}  // namespace

void RequestMessage::Write(QxMoxIo::OutputStream_t& out, const CertRequest& request,
                           const QxMoxArray::CharArray_t& csr,
                           const QxMoxArray::CharArray_t& encMessageKey, const MessageKey& key,
                           const QxMoxStr::String_t& installId) {
  QxMoxIo::DataOutputStream_t head(out);
  head.WriteUTF16String(installId);
  WriteCountedBytes(head, encMessageKey);

  QxSecIo::CipherOutputStream enciphered(out, key.Encipherer());
  QxMoxIo::DataOutputStream_t body(enciphered);
  request->WriteTo(&body);
  WriteCountedBytes(body, csr);
  body.Close();
}

void RequestMessage::Write(QxMoxIo::OutputStream_t& out, const CertRequest& request,
                           const QxMoxArray::CharArray_t& csr,
                           const QxMoxArray::CharArray_t& installKey,
                           const QxMoxStr::String_t& installId) {
  const MessageKey key = MessageKey::Generate();
  Write(out, request, csr, key.Wrap(installKey), key,
        MessageKey::InstallIdFor(installKey, installId));
}

RequestMessage::RequestMessage(QxMoxIo::InputStream_t& in) : m_in(in) {
  QxMoxIo::DataInputStream_t head(m_in);
  m_installId = head.ReadUTF16String();
  const int32_t length = head.ReadInt32();
  if (length < 1 || !TryReadBytes(head, length, m_encMessageKey)) Corrupt("message key");
}

bool RequestMessage::HasInstallKey() const {
  return !(m_installId == QxMoxStr::String_t(MessageKey::NO_INSTALL_ID));
}

MessageKey RequestMessage::UnwrapKey(const QxMoxArray::CharArray_t& installKey) const {
  if (!HasInstallKey()) return MessageKey::Unwrap(m_encMessageKey);
  if (installKey.IsEmpty()) QxMoxMsg::ThrowIO("No installation key for the certificate request");
  return MessageKey::Unwrap(m_encMessageKey, installKey);
}

template <class R>
RequestMessage::BodyT<R> RequestMessage::ReadBody(const MessageKey& key) {
  QxSecIo::CipherInputStream deciphered(m_in, key.Decipherer());
  QxMoxIo::DataInputStream_t body(deciphered);
  BodyT<R> result;
  result.request->ReadFrom(&body);
  if (!TryReadBytes(body, body.ReadInt32(), result.csr)) Corrupt("certificate request length");
  body.Close();
  return result;
}

template RequestMessage::BodyT<CertRequest> RequestMessage::ReadBody(const MessageKey&);
template RequestMessage::BodyT<CertRequest_ex> RequestMessage::ReadBody(const MessageKey&);

}  // namespace QxSecCm
