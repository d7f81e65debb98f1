// The library's trace-line and block-trace shorthands over its trace objects.
#pragma once

#include "qxmox/Trace.h"
#include "qxseccm/TraceText.h"

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
