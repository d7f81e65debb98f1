// SoapArgTrace: the trace steps the list and collection arguments share.
#pragma once

#include <cstdint>

#include "qxmox/String.h"
#include "qxmox/Trace.h"
#include "qxseccm/TraceText.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm::SoapArgTrace {

inline constexpr uint32_t kLevel = 9;

// Adding writes "Adding <text> to <container>" at the operation tracer. A failure to build or
// write the line is ignored: the item is appended all the same.
inline void Adding(const QxMoxStr::String_t& text, const char* container, const char* file,
                   int line) noexcept {
  try {
    QxMoxTrc::TraceObj_t& tracer = QxSecCmTrc::Tracer::GetServerTracerOperation();
    if (!tracer.IsEnabled(kLevel)) return;
    QxSecCmTrc::TraceText message;
    message << "Adding " << text << " to " << container;
    tracer.DoTrace(kLevel, message.GetMsg(), file, line);
  } catch (...) {
  }
}

}  // namespace QxSecCm::SoapArgTrace

// QX_SOAPARG_BLOCK(name) traces entering and leaving the enclosing scope as the block name, at
// the process tracer.
#define QX_SOAPARG_BLOCK(name)                                                            \
  const QxMoxTrc::BlockTrace_t qxBlock(QxSecCmTrc::Tracer::GetServerTracerProc(), (name), \
                                       QxSecCm::SoapArgTrace::kLevel, __FILE__, __LINE__)
