// RequestMessage: the certificate request message that a node sends to its certificate server.
#pragma once

#include "MessageKey.h"
#include "qxmox/CharArray.h"
#include "qxmox/Io.h"
#include "qxmox/String.h"
#include "qxseccm/CertRequest.h"

namespace QxSecCm {

// RequestMessage writes and reads the request message. Its layout, on the runtime's data
// streams (Int32 big-endian, counted UTF-16 strings):
//   1  installation id                       string; MessageKey::NO_INSTALL_ID without key
//   2  length L of field 3                    Int32
//   3  the message key, enciphered            L bytes (MessageKey::Wrap)
//   then, as one message of a cipher stream under the message key (QxSecIo::CipherOutputStream):
//   4  the request record                     CertRequestImpl::WriteTo
//   5  length M of field 6                    Int32
//   6  the PKCS#10 request                    M bytes
//
// The node writes with Write. The certificate server reads in steps, because it answers a
// refused installation key differently from a corrupt message: the constructor reads fields 1
// to 3, UnwrapKey deciphers the message key (with the installation key that the server keeps
// for GetInstallId()), ReadBody deciphers and reads fields 4 to 6. Every length is checked
// against the data present before anything is allocated; a negative or too large one is a
// corrupt message (QxMoxIo::IOException_t).
class RequestMessage {
 public:
  // Reply_e are the values of the certificate server's reply to the message (one Int32); any
  // other value means "not taken, try again".
  enum Reply_e : int32_t {
    REPLY_ACCEPTED = 1,              // the request is on record at the server
    REPLY_UNKNOWN_INSTALL_ID = -2,   // no installation key is known under the installation id
    REPLY_INSTALL_KEY_REFUSED = -3,  // the message key does not open with that installation key
  };

  // Body is what the enciphered part carries.
  template <class R>
  struct BodyT {
    R request;
    QxMoxArray::CharArray_t csr;
  };
  using Body = BodyT<CertRequest>;

  // Write writes the message onto out and closes out (the cipher stream closes what lies below
  // it). encMessageKey is key as Wrap enciphered it for installId. Throws what out throws and
  // QxMoxMsg::IllegalArgumentError_t for a csr or key of more than INT32_MAX bytes.
  static void Write(QxMoxIo::OutputStream_t& out, const CertRequest& request,
                    const QxMoxArray::CharArray_t& csr,
                    const QxMoxArray::CharArray_t& encMessageKey, const MessageKey& key,
                    const QxMoxStr::String_t& installId);
  // Write(out, request, csr, installKey, installId) writes the message with a new message key:
  // enciphered with the platform key and installation id NO_INSTALL_ID when installKey is
  // empty, else enciphered with installKey and installId. Also throws what
  // MessageKey::Generate and Wrap throw.
  static void Write(QxMoxIo::OutputStream_t& out, const CertRequest& request,
                    const QxMoxArray::CharArray_t& csr, const QxMoxArray::CharArray_t& installKey,
                    const QxMoxStr::String_t& installId);

  // RequestMessage(in) reads fields 1 to 3 from in, which must outlive this object. Throws
  // QxMoxIo::IOException_t when they are corrupt or cut short (L below 1 included).
  explicit RequestMessage(QxMoxIo::InputStream_t& in);

  const QxMoxStr::String_t& GetInstallId() const { return m_installId; }
  // HasInstallKey is true when the installation id is not NO_INSTALL_ID: the message key was
  // then enciphered with that installation's key.
  bool HasInstallKey() const;
  const QxMoxArray::CharArray_t& GetEncMessageKey() const { return m_encMessageKey; }

  // UnwrapKey deciphers the message key: with the platform key when !HasInstallKey() (installKey
  // is then ignored), else with installKey. Throws QxMoxIo::IOException_t when the key does not
  // decipher it (a wrong installation key, or an empty one when the message needs one).
  MessageKey UnwrapKey(const QxMoxArray::CharArray_t& installKey = {}) const;

  // ReadBody reads fields 4 to 6, deciphered with key, into a new record of type R (CertRequest
  // or CertRequest_ex; the stream format is the same). Call it once. Throws
  // QxMoxIo::IOException_t for a wrong key, an altered or cut message and a corrupt length.
  template <class R = CertRequest>
  BodyT<R> ReadBody(const MessageKey& key);

 private:
  QxMoxIo::InputStream_t& m_in;
  QxMoxStr::String_t m_installId;
  QxMoxArray::CharArray_t m_encMessageKey;
};

}  // namespace QxSecCm
