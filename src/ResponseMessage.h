// ResponseMessage: the certificate server's answer to a node's certificate request.
#pragma once

#include <cstdint>
#include <vector>

#include "MessageKey.h"
#include "qxmox/CharArray.h"
#include "qxmox/Io.h"
#include "qxmox/String.h"

namespace QxSecCm {

// ResponseMessage is the content of the response message, with its writer (certificate server)
// and reader (node). Layout, on the runtime's data streams (Int32 big-endian, counted UTF-16
// strings):
//   1  length L of field 2                    Int32, 1 or more
//   2  the message key, enciphered            L bytes, under the platform key (MessageKey::Wrap)
//   then, as one message of a cipher stream under the message key:
//   3  return code                            Int32
//   4  request id                             string
//   only for return code GRANTED:
//   5  certificate length K, 6 the certificate (K bytes)
//   7  count T of trusted certificates, 8 T times an Int32 length and that many bytes
// The certificates are encoded X.509 certificates (PEM text); the codec does not parse them.
struct ResponseMessage {
  enum ReturnCode_e : int32_t { GRANTED = 1, DENIED = 2, DUPLICATE = 3 };
  // Reply_e are the values of the node's reply to the message (one Int32).
  enum Reply_e : int32_t {
    REPLY_PROCESSED = 0,          // installed, or the denial or duplicate recorded
    REPLY_CORRUPT = 1,            // the message could not be processed
    REPLY_UNKNOWN_CODE = 2,       // the return code is none of the above
    REPLY_ALREADY_INSTALLED = 3,  // the node already holds the certificate
    REPLY_INSTALL_FAILED = 4,     // the installation failed (or the certificate was not trusted)
    REPLY_NOT_WAITING = 5,        // the node was not waiting for an answer
    REPLY_WRONG_REQUEST_ID = 6,   // the request id is not the one the node waits for
  };

  int32_t returnCode = 0;
  QxMoxStr::String_t requestId;
  // certificate and trustedCerts travel only with GRANTED; Read leaves them empty otherwise.
  QxMoxArray::CharArray_t certificate;
  std::vector<QxMoxArray::CharArray_t> trustedCerts;

  // Write writes the message onto out under a new message key, enciphered with the platform
  // key, and closes out. Throws what out throws, QxMoxIo::IOException_t when the platform key
  // cannot be read, QxMoxMsg::RuntimeException_t when the random generator fails, and
  // QxMoxMsg::IllegalArgumentError_t for a certificate of more than INT32_MAX bytes.
  void Write(QxMoxIo::OutputStream_t& out) const;
  // Write(out, key) is Write with the given message key.
  void Write(QxMoxIo::OutputStream_t& out, const MessageKey& key) const;

  // Read reads a message from in and closes in. A corrupt message throws:
  //  - QxMoxMsg::RuntimeException_t with catalog message 47 when L is below 1 or larger than the
  //    data, or the key bytes are cut short (traced on the server side);
  //  - QxMoxMsg::RuntimeException_t with message 48 when a certificate length or the count T is
  //    negative or larger than the deciphered data, or a certificate is cut short (traced on
  //    the client side);
  //  - QxMoxIo::IOException_t when the key or body does not decipher under the platform key
  //    (altered, cut, forged under another key) or the return code or request id is cut short.
  // Nothing is allocated beyond the bytes that actually arrived.
  static ResponseMessage Read(QxMoxIo::InputStream_t& in);
};

}  // namespace QxSecCm
