// The record of what the display shows (DisplayRecord in the state record):
// kept from the bytes the board is sent, drawn again from after a loss.
#pragma once

#include <stdint.h>

#include "link/link.h"

// One byte of the text stream, or a direct byte, as the board will read it:
// the board's own text model (tools/board/README.md). Graphics commands and
// their payloads pass without a trace: the host's picture holds the graphics.
void RecordTextByte(uint8_t byte);
// A custom-character position the record defines, and no command byte, for
// a SetCGRAMChar that was cut before its position (0 when there is none).
uint8_t RecordSafeGlyphPosition();
// ResetDisplay, then everything the record holds: the custom characters, the
// text layer and its cursor, backlight, contrast and, once any was sent, the
// four output ports.
void EmitDisplay(ByteSink* sink);
