// The record of what the display shows (DisplayRecord in the state record):
// kept from the bytes the board is sent, drawn again from after a loss.
#pragma once

#include <stdint.h>

#include "link/link.h"

// Bytes of the text stream, or a direct byte, in order, as the board will
// read them: queued, and read into the record when the queue is full or the
// record is wanted. The reading follows the board's own text model
// (tools/board/README.md). Graphics commands and their payloads pass without
// a trace: the host's picture holds the graphics.
void RecordTextBytes(const uint8_t* bytes, uint32_t count);
// Reads what is queued into the record.
void RecordCatchUp();
// A custom-character position the record defines, and no command byte, for
// a SetCGRAMChar that was cut before its position (0 when there is none).
uint8_t RecordSafeGlyphPosition();
// ResetDisplay, then everything the record holds: the custom characters, the
// text layer and its cursor, backlight, contrast and, once any was sent, the
// four output ports.
void EmitDisplay(ByteSink* sink);
