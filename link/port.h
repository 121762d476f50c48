// Opening and closing the serial port.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// Opens and configures the port; shows a message box for the failures that
// have one. Returns the handle, or kNoPort on failure.
PortHandle OpenPort(const char* name, int32_t baud_rate);
// Shuts the open port down and sets port to none.
void ClosePort();
// The write time-out per byte: the time one byte takes at `baud_rate`
// (10 bits a byte), rounded up to whole milliseconds, at least 1.
uint32_t WriteMultiplierForBaud(int32_t baud_rate);
// The time `bytes` take on the line at `baud_rate` (10 bits a byte), in whole
// milliseconds rounded up; a rate of 0 or below counts 1 ms a byte.
uint64_t LineTimeMs(uint64_t bytes, int32_t baud_rate);
// Writes all of `size` bytes: the rest of a short write is written again while
// writes make progress. A failed write clears the port's error state and
// the rest is written once more. Nothing is reported to the caller.
void WriteAll(PortHandle port, const uint8_t* data, uint32_t size);
