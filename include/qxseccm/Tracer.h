// Tracer: the library's seven trace objects.
#pragma once

#include "qxmox/Trace.h"

namespace QxSecCmTrc {

// Tracer hands out the library's process-wide trace objects, by side and purpose:
//   GetClientTracerOperation  "sec.cm.client"    category 7   progress of client operations
//   GetClientTracerInit       "sec.cm.client"    category 5   client initialisation
//   GetClientTracerProc       "sec.cm.client"    category 3   client procedure blocks (level 9)
//   GetServerTracerOperation  "sec.cm.server"    category 7
//   GetServerTracerInit       "sec.cm.server"    category 5
//   GetServerTracerProc       "sec.cm.server"    category 3
//   GetExTracer               "sec.cm.exception" category 2   thrown exceptions (level 2)
// The objects exist from the first call until the process ends (they are never destroyed, so
// tracing from static destructors and late threads stays safe) and are shared by all threads.
// Test a level with IsEnabled before building a line's text.
class Tracer {
 public:
  static QxMoxTrc::TraceObj_t& GetClientTracerOperation();
  static QxMoxTrc::TraceObj_t& GetClientTracerInit();
  static QxMoxTrc::TraceObj_t& GetClientTracerProc();
  static QxMoxTrc::TraceObj_t& GetServerTracerOperation();
  static QxMoxTrc::TraceObj_t& GetServerTracerInit();
  static QxMoxTrc::TraceObj_t& GetServerTracerProc();
  static QxMoxTrc::TraceObj_t& GetExTracer();
};

}  // namespace QxSecCmTrc
