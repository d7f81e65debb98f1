// MessageKey: new message keys and their encipherment under the platform or installation key.
#include "MessageKey.h"

#include "qxmox/Exception.h"
#include "qxseccm/Utils.h"

namespace QxSecCm {
namespace {

QxSecCore::Cipher InstallKeyCipher(int mode, const QxMoxArray::CharArray_t& installKey) {
  return QxSecCore::Cipher(mode, QxSecCore::Key(QxSecCore::Key::TYPE_SYMMETRIC, installKey),
                           QxSecCore::Cipher::ALG_AES_GCM);
}

}  // namespace

MessageKey MessageKey::Generate() {
  QxMoxArray::CharArray_t bytes(SIZE);
  Utils::GetRandomBytes(bytes);
  return MessageKey(bytes);
}

MessageKey::MessageKey(const QxMoxArray::CharArray_t& bytes)
    : m_key(QxSecCore::Key::TYPE_SYMMETRIC, bytes) {}

QxSecCore::Cipher MessageKey::Encipherer() const {
  return QxSecCore::Cipher(QxSecCore::Cipher::ENCRYPT_MODE, m_key, QxSecCore::Cipher::ALG_AES_GCM);
}

QxSecCore::Cipher MessageKey::Decipherer() const {
  return QxSecCore::Cipher(QxSecCore::Cipher::DECRYPT_MODE, m_key, QxSecCore::Cipher::ALG_AES_GCM);
}

QxMoxArray::CharArray_t MessageKey::Wrap(const QxMoxArray::CharArray_t& installKey) const {
  const QxMoxArray::CharArray_t bytes = m_key.GetEncoded();
  QxMoxArray::CharArray_t wrapped;
  size_t length = 0;
  if (installKey.IsEmpty()) {
    length = QxSecCore::Crypt().Encrypt(bytes.GetData(), bytes.GetSize(), wrapped);
  } else {
    length = InstallKeyCipher(QxSecCore::Cipher::ENCRYPT_MODE, installKey)
                 .DoFinal(bytes, 0, bytes.GetSize(), wrapped, 0);
  }
  wrapped.Resize(length);
  return wrapped;
}

MessageKey MessageKey::Unwrap(const QxMoxArray::CharArray_t& enciphered,
                              const QxMoxArray::CharArray_t& installKey) {
  QxMoxArray::CharArray_t bytes;
  size_t length = 0;
  if (installKey.IsEmpty()) {
    length = QxSecCore::Crypt().Decrypt(enciphered, bytes);
  } else {
    length = InstallKeyCipher(QxSecCore::Cipher::DECRYPT_MODE, installKey)
                 .DoFinal(enciphered, 0, enciphered.GetSize(), bytes, 0);
  }
  if (length == 0) QxMoxMsg::ThrowIO("The message key is empty");
  bytes.Resize(length);
  return MessageKey(bytes);
}

QxMoxStr::String_t MessageKey::InstallIdFor(const QxMoxArray::CharArray_t& installKey,
                                            const QxMoxStr::String_t& installId) {
  return installKey.IsEmpty() ? QxMoxStr::String_t(NO_INSTALL_ID) : installId;
}

}  // namespace QxSecCm
