// ExceptionTracer: the trace line before a throw, and the empty-handle throw.
#include "qxseccm/ExceptionTracer.h"

#include "qxmox/Message.h"
#include "qxseccm/TraceText.h"
#include "qxseccm/Tracer.h"

namespace QxSecCm {
namespace {

constexpr uint32_t kThrowLevel = 2;
constexpr int kFormatIdAndDetails = QxMoxMsg::FMT_ID | QxMoxMsg::FMT_DETAILS;
static_assert(kFormatIdAndDetails == 36);

QxMoxTrc::TraceObj_t& TracerFor(ExceptionTracer::E side) {
  switch (side) {
    case ExceptionTracer::Client:
      return QxSecCmTrc::Tracer::GetClientTracerOperation();
    case ExceptionTracer::Server:
      return QxSecCmTrc::Tracer::GetServerTracerOperation();
    default:
      return QxSecCmTrc::Tracer::GetExTracer();
  }
}

}  // namespace

void ExceptionTracer::TraceThrow(E side, const char* exceptionName,
                                 const QxMoxMsg::Message_t& message, const char* file,
                                 int line) noexcept {
  try {
    QxMoxTrc::TraceObj_t& tracer = TracerFor(side);
    if (!tracer.IsEnabled(kThrowLevel)) return;
    QxSecCmTrc::TraceText text;
    text << "Throwing exception '" << exceptionName << "': " << message;
    if (tracer.IsEnabled(kThrowLevel)) tracer.DoTrace(kThrowLevel, text.GetMsg(), file, line);
  } catch (...) {
    // The exception about to be thrown matters more than its trace line.
  }
}

void ThrowEmptyHandle(const char* className, ExceptionTracer::E side, const char* file, int line) {
  const QxMoxMsg::CreateWarn_t message{QxMoxStr::String_t(className)};
  ExceptionTracer::TraceThrow(side, ExceptionName<QxMoxMsg::IllegalStateError_t>::value, message,
                              file, line);
  throw QxMoxMsg::IllegalStateError_t(message);
}

}  // namespace QxSecCm
