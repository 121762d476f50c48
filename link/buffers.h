// The two transmit buffers and the direct write: the only ways bytes reach
// the port. Puts and flushes return 1 when the port is not open, else 0.
#pragma once

#include <stdint.h>

int PutTextByte(uint8_t byte);
int PutGfxByte(uint8_t byte);
// Puts `count` bytes exactly as that many PutGfxByte calls would (the same
// port writes at the same points), copying between the writes instead of
// going byte by byte. Returns 1 when after one of the puts the buffer held
// exactly one byte, else 0 (also when the port is not open).
int PutGfxBytes(const uint8_t* bytes, uint32_t count);
int FlushTextBuffer();
int FlushGfxBuffer();
void WriteDirect(uint8_t byte);
