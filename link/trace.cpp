#include "link/trace.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "link/link_state.h"

// Only the thread running an operation opens and closes the file, so it may
// look at the slot without the platform's lock; a write looks again under it.
bool TraceActive() { return g_link.log_enabled == 1 && g_link.log_file != nullptr; }

void LogWrite(const char* format, ...) {
  if (!TraceActive()) return;
  va_list args;
  va_start(args, format);
  int length = vsnprintf(g_link.log_line, sizeof g_link.log_line, format, args);
  va_end(args);
  if (length < 0) return;
  // A message longer than log_line is cut at its end rather than overrun it.
  PlatformTraceWrite(&g_link.log_file, g_link.log_line, strlen(g_link.log_line));
}

void LogRaw(const void* data, size_t size) {
  // May run on a thread polling the ready flag while another opens or closes
  // the file: whether it is open is asked under the platform's lock only.
  if (g_link.log_enabled != 1) return;
  PlatformTraceWrite(&g_link.log_file, data, size);
}
