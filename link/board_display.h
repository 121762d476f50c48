// What the board shows, kept from the bytes it is sent, read or drawn the way
// the board does: the text layer and its cursor, the custom characters,
// the graphics, backlight, contrast and output ports. After bytes were lost
// the link has it send itself again, so the display comes back whole without
// the host drawing again. It knows the command set and nothing of ports.
#pragma once

#include <stdint.h>
#include <string.h>

#include "link/commands.h"

// The text layer as the board keeps it, at most 43 x 32 cells (pitch 6 on a
// display of up to 255 x 255 pixels).
const int kShownColumns = 43;
const int kShownRows = 32;
// The graphics as the board holds them: T6963 row bytes, 43 a row (pitch 6
// over the 256 columns an 8-bit x reaches) in 256 rows; or KS108 column
// bytes, 256 columns a band in 32 bands.
const int kShadowRowBytes = 43;
const int kShadowRows = 256;
const int kShadowColumns = 256;
const int kShadowBands = 32;
const uint32_t kShadowSize = kShadowRowBytes * kShadowRows;

// The board the host draws for, as far as reading the bytes needs it.
struct BoardShape {
  StreamShape stream;  // how SetBitmap payloads are counted
  int pitch;           // the width of a T6963 row byte and of a text cell
  int32_t width;       // the picture, for the text grid
  int32_t height;
};

struct BoardDisplay {
  // Text stream and direct bytes.
  CommandReader reader;
  uint8_t glyph_rows[8] = {};  // a custom character's rows while they arrive
  uint8_t text[kShownRows][kShownColumns] = {};
  uint64_t text_used[kShownRows] = {};  // a bit a cell: a character stands there
  uint8_t cursor_column = 0;
  uint8_t cursor_row = 0;
  uint8_t glyphs[256][8] = {};
  uint64_t glyph_defined[4] = {};
  uint8_t light = 0;
  uint8_t contrast = 0;
  uint8_t ports[4] = {};
  uint8_t ports_sent = 0;
  // T6963: graphics[y * kShadowRowBytes + x / pitch]; KS108:
  // graphics[band * kShadowColumns + column].
  uint8_t graphics[kShadowSize] = {};
  uint8_t graphics_drawn = 0;  // some byte may not be clear
  // The last KS108 picture's SetBitmap header, to send it again as it was.
  uint8_t ks108_header[4] = {};
};

// Bytes collected into a buffer and handed to `flush` whenever it fills.
struct ByteSink {
  uint8_t* bytes;
  uint32_t capacity;
  uint32_t count;
  void (*flush)(const uint8_t* bytes, uint32_t count);
};
void SinkPut(ByteSink* sink, uint8_t byte);
void SinkFlush(ByteSink* sink);

// Bytes of the text stream, or a direct byte, in order. Graphics commands met
// here (never sent this way) pass without a trace.
void ReadTextStream(BoardDisplay* d, const BoardShape& shape, const uint8_t* bytes, uint32_t count);
// Graphics as the graphics calls put them, drawn where the board draws them:
// T6963 row bytes of row y from pixel column x (a multiple of the pitch) on;
// a KS108 band of column bytes from column 0, of the picture whose SetBitmap
// header (x, y, width byte, height) is `header`. Bytes beyond what the
// protocol addresses are dropped.
// Where the row bytes of row y from pixel column x on go, and in *count how
// many of them fit; null when none does. (Inline: a graphics call draws a
// row at a time.)
inline uint8_t* ShadowRow(BoardDisplay* d, int pitch, uint32_t x, uint32_t y, uint32_t* count) {
  const uint32_t column = pitch == 8 ? x / 8 : x / 6;
  if (y >= (uint32_t)kShadowRows || column >= (uint32_t)kShadowRowBytes) return nullptr;
  if (*count > kShadowRowBytes - column) *count = kShadowRowBytes - column;
  d->graphics_drawn = 1;
  return d->graphics + y * kShadowRowBytes + column;
}
inline void DrawRowBytes(BoardDisplay* d, int pitch, uint32_t x, uint32_t y, const uint8_t* bytes,
                         uint32_t count) {
  uint8_t* row = ShadowRow(d, pitch, x, y, &count);
  if (row != nullptr) memcpy(row, bytes, count);
}
void DrawColumnBytes(BoardDisplay* d, const uint8_t* header, uint32_t band, const uint8_t* bytes,
                     uint32_t count);
// Whole graphics commands, as the graphics buffer holds them between calls,
// drawn as the board draws them (after a ResetDisplay in the text stream
// that reaches the board before them).
void ReadGfxStream(BoardDisplay* d, const BoardShape& shape, const uint8_t* bytes, uint32_t count);
// A custom-character position that is defined, and no command byte, for a
// SetCGRAMChar that was cut before its position (0 when there is none).
uint8_t SafeGlyphPosition(const BoardDisplay& d);
// The KS108 graphics: the last picture again, as it was sent (nothing when
// none was).
void SendKs108Picture(const BoardDisplay& d, const BoardShape& shape, ByteSink* sink);
