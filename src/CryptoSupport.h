// Internal helpers of the crypto classes: the one way they report a failure, and memory buffers.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>

#include "OpenSslPtr.h"
#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/Message.h"
#include "qxseccm/ExceptionTracer.h"

// Internal to the library: none of these is exported from it.
#pragma GCC visibility push(hidden)
namespace QxSecCm::Crypto {

// Where is a caller's source position for the trace of a throw (std::source_location is missing
// from the standard library that clang builds against here; both compilers fill these builtins
// at the caller when they are default arguments).
struct Where {
  const char* file;
  int line;
};
#define QXSECCM_HERE \
  ::QxSecCm::Crypto::Where { __builtin_FILE(), __builtin_LINE() }

// OpenSslMessage builds catalog message number at warning severity for a failed OpenSSL call:
// when its default text has "(%1)", the oldest pending OpenSSL error of this thread fills it
// (the cause; what OpenSSL queued after it repeats it from further up). The error queue is
// empty afterwards in either case.
QxMoxMsg::Message_t OpenSslMessage(int number);

// Fail reports a failure of a crypto class: it clears this thread's OpenSSL error queue, so no
// stale error reaches a later message, traces the throw of E with message on side's tracer and
// throws E(message).
template <class E = QxMoxMsg::RuntimeException_t>
[[noreturn]] void Fail(ExceptionTracer::E side, const QxMoxMsg::Message_t& message,
                       Where where = QXSECCM_HERE) {
  ERR_clear_error();
  ThrowTraced<E>(side, message, where.file, where.line);
}

// Fail with catalog message number as OpenSslMessage builds it.
template <class E = QxMoxMsg::RuntimeException_t>
[[noreturn]] void Fail(ExceptionTracer::E side, int number, Where where = QXSECCM_HERE) {
  Fail<E>(side, OpenSslMessage(number), where);
}

// MemoryOf opens a read-only memory buffer on bytes, which must outlive it; message 3 (traced
// on side) when OpenSSL cannot take them.
QxSecCore::Ssl::BioPtr MemoryOf(const QxMoxArray::CharArray_t& bytes, ExceptionTracer::E side,
                                Where where = QXSECCM_HERE);

// NewMemory opens an empty writable memory buffer of method (BIO_s_mem, or BIO_s_secmem for
// private keys); message 3 (traced on side) when it cannot.
QxSecCore::Ssl::BioPtr NewMemory(ExceptionTracer::E side, const BIO_METHOD* method,
                                 Where where = QXSECCM_HERE);

// CopyOut copies what was written to the memory buffer bio into out, resizing out when its size
// differs, and returns the length.
int CopyOut(BIO* bio, QxMoxArray::CharArray_t& out);

// NoPassword is the password callback for reading PEM text: text that claims to be encrypted
// fails instead of waiting for a password on a terminal. It reports an error (-1) rather than an
// empty password (0), which OpenSSL would try.
int NoPassword(char* buffer, int size, int rwflag, void* data);

}  // namespace QxSecCm::Crypto
#pragma GCC visibility pop
