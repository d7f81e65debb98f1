// Internal helpers of the crypto classes: catalog messages with OpenSSL's error text.
#pragma once

#include <openssl/bio.h>

#include <cstdint>

#include "OpenSslPtr.h"
#include "qxmox/CharArray.h"
#include "qxmox/Message.h"
#include "qxmox/String.h"

// Internal to the library: none of these is exported from it.
#pragma GCC visibility push(hidden)
namespace QxSecCm::Crypto {

// TakeOpenSslError takes the oldest pending OpenSSL error of this thread off the queue and
// returns its text ("error:0480006C:PEM routines::no start line"), then clears what is left, so
// a later failure never reports a stale error. Returns the empty text when nothing is pending.
QxMoxStr::String_t TakeOpenSslError();

// OpenSslMessage builds catalog message number at warning severity for a failed OpenSSL call:
// when its default text has "(%1)", the oldest pending OpenSSL error fills it. The error queue is
// empty afterwards in either case.
QxMoxMsg::Message_t OpenSslMessage(int number);

// ReadOnlyBio opens a read-only memory buffer on bytes, which must outlive it. Returns null when
// the bytes are too many for OpenSSL or memory runs out (callers report message 3).
QxSecCore::Ssl::BioPtr ReadOnlyBio(const QxMoxArray::CharArray_t& bytes);

// NoPassword is the password callback for reading PEM text: text that claims to be encrypted
// fails instead of waiting for a password on a terminal. It reports an error (-1) rather than an
// empty password (0), which OpenSSL would try.
int NoPassword(char* buffer, int size, int rwflag, void* data);

// CopyOut copies what was written to the memory buffer bio into out, resizing out when its size
// differs, and returns the length.
int CopyOut(BIO* bio, QxMoxArray::CharArray_t& out);

}  // namespace QxSecCm::Crypto
#pragma GCC visibility pop
