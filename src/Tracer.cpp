// Tracer: the library's seven trace objects.
#include "qxseccm/Tracer.h"

namespace QxSecCmTrc {
namespace {

constexpr const char* kClientArea = "sec.cm.client";
constexpr const char* kServerArea = "sec.cm.server";
constexpr const char* kExceptionArea = "sec.cm.exception";
constexpr int kOperation = 7;
constexpr int kInit = 5;
constexpr int kProc = 3;
constexpr int kException = 2;

// Built on first use, so no static initialiser of this library can see one unconstructed, and
// never destroyed, so threads and static destructors that trace late stay safe.
QxMoxTrc::TraceObj_t& Make(const char* area, int category) {
  return (new QxMoxTrc::TraceWrapper_t(area, category))->Get();
}

// Builds all seven at load time, so they take their levels then and ReloadLevels reaches them.
[[maybe_unused]] const bool g_built = [] {
  Tracer::GetClientTracerOperation();
  Tracer::GetClientTracerInit();
  Tracer::GetClientTracerProc();
  Tracer::GetServerTracerOperation();
  Tracer::GetServerTracerInit();
  Tracer::GetServerTracerProc();
  Tracer::GetExTracer();
  return true;
}();

}  // namespace

QxMoxTrc::TraceObj_t& Tracer::GetClientTracerOperation() {
  static QxMoxTrc::TraceObj_t& obj = Make(kClientArea, kOperation);
  return obj;
}

QxMoxTrc::TraceObj_t& Tracer::GetClientTracerInit() {
  static QxMoxTrc::TraceObj_t& obj = Make(kClientArea, kInit);
  return obj;
}

QxMoxTrc::TraceObj_t& Tracer::GetClientTracerProc() {
  static QxMoxTrc::TraceObj_t& obj = Make(kClientArea, kProc);
  return obj;
}

QxMoxTrc::TraceObj_t& Tracer::GetServerTracerOperation() {
  static QxMoxTrc::TraceObj_t& obj = Make(kServerArea, kOperation);
  return obj;
}

QxMoxTrc::TraceObj_t& Tracer::GetServerTracerInit() {
  static QxMoxTrc::TraceObj_t& obj = Make(kServerArea, kInit);
  return obj;
}

QxMoxTrc::TraceObj_t& Tracer::GetServerTracerProc() {
  static QxMoxTrc::TraceObj_t& obj = Make(kServerArea, kProc);
  return obj;
}

QxMoxTrc::TraceObj_t& Tracer::GetExTracer() {
  static QxMoxTrc::TraceObj_t& obj = Make(kExceptionArea, kException);
  return obj;
}

}  // namespace QxSecCmTrc
