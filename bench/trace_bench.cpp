// Cost of a trace line: disabled (the level test alone) and enabled (text built and written).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "qxmox/Trace.h"
#include "qxseccm/TraceText.h"
#include "qxseccm/Tracer.h"

namespace {

using QxSecCmTrc::TraceText;

// The full pattern of a library trace line on an object whose level word leaves level 9 off.
void BM_DisabledTraceLine(benchmark::State& state) {
  QxMoxTrc::TraceObj_t obj("bench.disabled", 3);
  obj.SetLevel(0x1);
  int value = 0;
  for (auto _ : state) {
    if (obj.IsEnabled(9)) {
      TraceText text;
      text << "value " << value;
      obj.DoTrace(9, text.GetMsg(), __FILE__, __LINE__);
    }
    benchmark::DoNotOptimize(++value);
  }
}
BENCHMARK(BM_DisabledTraceLine);

// The same through the library's trace object accessor, as the library's code writes it.
void BM_DisabledLibraryTraceLine(benchmark::State& state) {
  QxSecCmTrc::Tracer::GetClientTracerProc().SetLevel(0);
  int value = 0;
  for (auto _ : state) {
    QxMoxTrc::TraceObj_t& obj = QxSecCmTrc::Tracer::GetClientTracerProc();
    if (obj.IsEnabled(9)) {
      TraceText text;
      text << "value " << value;
      obj.DoTrace(9, text.GetMsg(), __FILE__, __LINE__);
    }
    benchmark::DoNotOptimize(++value);
  }
}
BENCHMARK(BM_DisabledLibraryTraceLine);

// An enabled line: the text is built from several pieces and appended to a file in /tmp.
void BM_EnabledTraceLineToFile(benchmark::State& state) {
  char path[] = "/tmp/qx-trace-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("mkstemp failed");
    return;
  }
  close(fd);
  setenv("QX_TRACE_FILE", path, 1);
  QxMoxTrc::ReopenSink();
  QxMoxTrc::TraceObj_t obj("bench.enabled", 3);
  obj.SetLevel(0xffffffff);
  int value = 0;
  for (auto _ : state) {
    if (obj.IsEnabled(9)) {
      TraceText text;
      text << "request " << value << " state " << TraceText::AsHex(value & 0xff) << " done";
      obj.DoTrace(9, text.GetMsg(), __FILE__, __LINE__);
    }
    ++value;
  }
  state.SetItemsProcessed(state.iterations());
  unsetenv("QX_TRACE_FILE");
  QxMoxTrc::ReopenSink();
  unlink(path);
}
BENCHMARK(BM_EnabledTraceLineToFile);

}  // namespace

BENCHMARK_MAIN();
