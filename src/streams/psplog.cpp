// psplog.cpp - the process-wide log sinks and the library's own diagnostics.
//
// Until logging lands a sink holds no target, and diagnostics go straight to
// standard output.
#include "internal.h"
#include "platform/os.h"

#include <cstdarg>
#include <cstdio>

namespace psp {

PSP_LOG_SINK g_stdoutSink;
PSP_LOG_SINK g_stderrSink;
PSP_LOG_SINK g_logSink;

PSP_STATUS sinkSetup(PSP_LOG_SINK *sink, const char *) {
  sink->mutex = PSP_SEM_NONE;
  sink->tag = nullptr;
  sink->top = nullptr;
  return PSP_OKAY;
}

void sinkPop(PSP_LOG_SINK *sink) { sink->top = nullptr; }

void diag(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n > 0)
    os::writeStdout(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n)
                                                               : sizeof text - 1);
}

} // namespace psp
