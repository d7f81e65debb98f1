// MessageKey: the one-time key of a certificate request or response message, and how the
// message carries it enciphered.
#pragma once

#include <cstddef>

#include "qxmox/CharArray.h"
#include "qxmox/String.h"
#include "qxseccore/Cipher.h"
#include "qxseccore/Key.h"

namespace QxSecCm {

// MessageKey holds the symmetric key that enciphers the body of one message (Cipher algorithm
// ALG_AES_GCM). A message carries the key itself enciphered: under the platform key (Crypt) for
// responses and for requests without installation key, under the installation key (a symmetric
// Key of its bytes, one DoFinal) for requests with one. Copies share the key.
class MessageKey {
 public:
  // SIZE is the length of a new key in bytes.
  static constexpr size_t SIZE = 16;
  // NO_INSTALL_ID is the installation id that a request without installation key carries.
  static constexpr const char* NO_INSTALL_ID = "0";

  // Generate returns a new key of SIZE bytes from OpenSSL's random generator. Throws
  // QxMoxMsg::RuntimeException_t when the generator fails.
  static MessageKey Generate();
  // MessageKey(bytes) takes given key bytes. Throws QxMoxMsg::IllegalArgumentError_t when
  // bytes is empty.
  explicit MessageKey(const QxMoxArray::CharArray_t& bytes);

  // GetKey returns the key as a Key of type TYPE_SYMMETRIC.
  const QxSecCore::Key& GetKey() const { return m_key; }
  // Encipherer and Decipherer return the body's cipher (mode 0 or 1, ALG_AES_GCM).
  QxSecCore::Cipher Encipherer() const;
  QxSecCore::Cipher Decipherer() const;

  // Wrap returns the key enciphered as the message carries it: with Crypt::Encrypt when
  // installKey is empty, else under installKey. Throws QxMoxIo::IOException_t when the
  // platform key cannot be read.
  QxMoxArray::CharArray_t Wrap(const QxMoxArray::CharArray_t& installKey = {}) const;
  // Unwrap deciphers a key that Wrap made with the same installKey (empty: the platform key).
  // Throws QxMoxIo::IOException_t when enciphered was made under another key, altered, or
  // deciphers to no bytes.
  static MessageKey Unwrap(const QxMoxArray::CharArray_t& enciphered,
                           const QxMoxArray::CharArray_t& installKey = {});

  // InstallIdFor returns installId when installKey is given, else NO_INSTALL_ID.
  static QxMoxStr::String_t InstallIdFor(const QxMoxArray::CharArray_t& installKey,
                                         const QxMoxStr::String_t& installId);

 private:
  QxSecCore::Key m_key;
};

}  // namespace QxSecCm
