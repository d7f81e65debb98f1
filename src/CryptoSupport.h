// Internal helpers of the crypto classes: catalog messages with OpenSSL's error text, and the
// trace-line and block-trace shorthands.
#pragma once

#include <openssl/bio.h>

#include <cstdint>

#include "OpenSslPtr.h"
#include "qxmox/CharArray.h"
#include "qxmox/Message.h"
#include "qxmox/String.h"
#include "qxmox/Trace.h"
#include "qxseccm/TraceText.h"

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

// QXSECCM_TRACE_LINE(tracer, level, pieces) writes one trace line when tracer is enabled at
// level; pieces is a chain for QxSecCmTrc::TraceText (a << b << c), built only after the level
// test. A failure while tracing is swallowed.
#define QXSECCM_TRACE_LINE(tracer, level, pieces)                           \
  do {                                                                      \
    QxMoxTrc::TraceObj_t& qx_tracer_ = (tracer);                            \
    if (qx_tracer_.IsEnabled(level)) {                                      \
      try {                                                                 \
        QxSecCmTrc::TraceText qx_text_;                                     \
        qx_text_ << pieces;                                                 \
        qx_tracer_.DoTrace((level), qx_text_.GetMsg(), __FILE__, __LINE__); \
      } catch (...) {                                                       \
      }                                                                     \
    }                                                                       \
  } while (0)

// QXSECCM_BLOCK(tracer, name) traces "Entering <name>" here and "Leaving <name>" at the end of
// the enclosing scope, at level 9.
#define QXSECCM_BLOCK(tracer, name) \
  const QxMoxTrc::BlockTrace_t qx_block_((tracer), (name), 9, __FILE__, __LINE__)
