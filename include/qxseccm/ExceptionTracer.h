// ExceptionTracer (the trace line written before every throw) and the library's throw helpers.
#pragma once

#include "qxmox/Exception.h"

namespace QxSecCm {

// ExceptionTracer writes the trace line that precedes every throw of the library.
class ExceptionTracer {
 public:
  // E is the side of the system that throws; it picks the trace object. Any value other than
  // Client and Server (0, 3, ...) means neither.
  enum E : int { Neither = 0, Client = 1, Server = 2 };

  // TraceThrow writes one line at level 2, with the given source file and line, to the side's
  // trace object (Client: Tracer::GetClientTracerOperation, Server: GetServerTracerOperation,
  // else GetExTracer) when that object is enabled at level 2; otherwise it does nothing. The
  // text is "Throwing exception '<exceptionName>': " followed by message.Format(36) (catalog id
  // and details). Never throws.
  static void TraceThrow(E side, const char* exceptionName, const QxMoxMsg::Message_t& message,
                         const char* file, int line) noexcept;
};

// ExceptionName<T>::value is the plain class name recorded by TraceThrow when T is thrown. It is
// defined for the exception types the library throws, so ThrowTraced accepts only those.
template <class ExceptionT>
struct ExceptionName;
template <>
struct ExceptionName<QxMoxMsg::RuntimeException_t> {
  static constexpr const char* value = "RuntimeException_t";
};
template <>
struct ExceptionName<QxMoxIo::IOException_t> {
  static constexpr const char* value = "IOException_t";
};
template <>
struct ExceptionName<QxMoxMsg::IllegalArgumentError_t> {
  static constexpr const char* value = "IllegalArgumentError_t";
};
template <>
struct ExceptionName<QxMoxMsg::IllegalStateError_t> {
  static constexpr const char* value = "IllegalStateError_t";
};

// ThrowTraced reports a failure the library's way: it traces the throw of ExceptionT with message
// at file and line (ExceptionTracer::TraceThrow), then throws ExceptionT(message). Throw sites
// use it through QXSECCM_THROW, which passes the source position.
template <class ExceptionT>
[[noreturn]] void ThrowTraced(ExceptionTracer::E side, const QxMoxMsg::Message_t& message,
                              const char* file, int line) {
  ExceptionTracer::TraceThrow(side, ExceptionName<ExceptionT>::value, message, file, line);
  throw ExceptionT(message);
}

// ThrowEmptyHandle builds the message CreateWarn_t(className) (the class name as plain text),
// traces the throw of "IllegalStateError_t" on side at file and line and throws
// QxMoxMsg::IllegalStateError_t.
[[noreturn]] void ThrowEmptyHandle(const char* className, ExceptionTracer::E side, const char* file,
                                   int line);

// CheckHandle returns when body is present and otherwise throws as ThrowEmptyHandle. Handle
// members use it through QXSECCM_CHECK_HANDLE.
inline void CheckHandle(const void* body, const char* className, ExceptionTracer::E side,
                        const char* file, int line) {
  if (body == nullptr) ThrowEmptyHandle(className, side, file, line);
}

}  // namespace QxSecCm

// QXSECCM_THROW(ExceptionT, side, message) traces the throw of ExceptionT at this source line and
// throws it; message is the catalog message with its arguments and causes:
//   QXSECCM_THROW(QxMoxMsg::RuntimeException_t, QxSecCm::ExceptionTracer::Server,
//                 QxSecCm::Catalog::Warn(21) << path);
#define QXSECCM_THROW(ExceptionT, side, message) \
  ::QxSecCm::ThrowTraced<ExceptionT>((side), (message), __FILE__, __LINE__)

// QXSECCM_CHECK_HANDLE(body, className, side) guards a member of a value or facade handle:
//   QXSECCM_CHECK_HANDLE(m_ref, "CertRequest", QxSecCm::ExceptionTracer::Server);
#define QXSECCM_CHECK_HANDLE(body, className, side) \
  ::QxSecCm::CheckHandle((body), (className), (side), __FILE__, __LINE__)
