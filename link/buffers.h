// The two transmit buffers and the direct write: the only ways bytes reach
// the port. Puts and flushes return 1 when the port is not open, else 0.
#pragma once

#include <stdint.h>

int PutTextByte(uint8_t byte);
int PutGfxByte(uint8_t byte);
int FlushTextBuffer();
int FlushGfxBuffer();
void WriteDirect(uint8_t byte);
