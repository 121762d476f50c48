// A seam of the POSIX layer for the tests with threads: a function called on
// the thread that opens or closes the trace, outside the trace lock, at the
// moments another thread's write must get right. A test sets it before its
// threads start and clears it after they end; null (the default) calls nothing.
#pragma once

enum TraceEdge {
  kTraceOpened,   // PlatformTraceOpen is done: the stream is open (or failed)
  kTraceClosing,  // PlatformTraceClose is about to take the lock and close
  kTraceClosed,   // PlatformTraceClose is done: the slot is null
};

extern void (*g_trace_edge_hook)(TraceEdge edge);
