// Opening and closing the serial port.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// Opens and configures the port; shows a message box for the failures that
// have one. Returns the handle, or kNoPort on failure.
PortHandle OpenPort(const char* name, int32_t baud_rate);
// The same set-up without any message box, for a port that went away and is
// opened again behind the host's back.
PortHandle ReopenPort(const char* name, int32_t baud_rate);
// Shuts the open port down (a port that is gone has no handle left to shut)
// and sets port to none.
void ClosePort();
// The port's time-outs as the driver sets them: 1000 ms, but for writes the
// line time of one byte at `baud_rate` (rounded up to whole milliseconds, at
// least 1, at most 250) per byte.
PortTimeouts DriverTimeouts(int32_t baud_rate);
// The time `bytes` take on the line at `baud_rate` (10 bits a byte), in whole
// milliseconds rounded up; a rate of 0 or below counts 1 ms a byte.
uint64_t LineTimeMs(uint64_t bytes, int32_t baud_rate);
