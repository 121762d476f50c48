// The optional trace, debug.log.
#pragma once

#include <stddef.h>

// True when LogFile is 1 and the trace file is open.
bool TraceActive();
// Formats a message (printf rules) into log_line and appends it to the trace
// in one buffered write. Does nothing when the trace is not active.
void LogWrite(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Appends raw bytes to the trace, unformatted (text characters, so that a '%'
// stays a '%'). Does nothing when the trace is not active. Safe on another
// thread than the running operation's.
void LogRaw(const void* data, size_t size);
