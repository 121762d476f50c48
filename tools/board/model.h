// The board as the firmware keeps it: a text layer, a graphics layer, the
// custom characters, backlight, contrast and the four output ports. Commands
// from the decoder change it; the renderer reads it.
//
// What the board does where the protocol leaves it open:
// - The text layer is width / pitch columns by height / 8 rows of cells pitch
//   pixels wide and 8 high, on both controllers (a KS108 has no character
//   generator; its firmware draws text into cells the way a T6963 shows them).
//   Text and graphics are combined with OR, as the T6963 does.
// - Each character is stored at the cursor, which then moves one cell right,
//   to the start of the next row after the last column and back to the top
//   left after the last row. A SetTextCursor outside the grid is ignored.
// - Glyphs: a custom character defined for a code is shown for it, before the
//   font; printable ASCII 0x20-0x7E without one shows the built-in 5x7 font
//   (at cell column 0 with pitch 6, column 1 with pitch 8); any other code a
//   hollow 5x7 box.
// - Graphics outside the display are dropped (clipped), never wrapped.
// - SetGfxSingle and SetGfxMulti are T6963 commands; a KS108 board ignores them.
// - ResetDisplay clears text and graphics and puts the cursor at the top left.
//   Custom characters, backlight, contrast and ports survive it.
// - A SetOutPort for a port above 3 is ignored.
#pragma once

#include <stdint.h>

#include <array>
#include <vector>

#include "tools/board/decoder.h"

namespace board {

const int kNoCharacter = -1;  // an empty text cell

struct CustomCharacter {
  bool defined = false;
  std::array<uint8_t, 8> rows{};  // pitch-wide row bytes, top row first
};

struct BoardModel {
  DisplayConfig config;
  std::vector<uint8_t> graphics;  // width * height, row-major, 1 = set
  std::vector<int> text;          // columns * rows codes, kNoCharacter = empty
  int cursor_column = 0;
  int cursor_row = 0;
  std::array<CustomCharacter, 256> custom{};
  uint8_t light = 0;
  uint8_t contrast = 0;
  std::array<uint8_t, 4> ports{};
};

void ModelInit(BoardModel& model, const DisplayConfig& config);
void ModelApply(BoardModel& model, const Command& command);

// The board as it shows while the decoder is inside a command: a SetBitmap
// or SetGfxMulti still arriving is drawn as far as its bytes go, as the
// firmware draws them.
BoardModel ModelAsShown(const BoardModel& model, const Decoder& decoder);

// Row r (0 to 7) of the cell shown for code: pitch bits, leftmost in bit
// pitch - 1. An empty cell is kNoCharacter and shows nothing.
uint8_t GlyphRow(const BoardModel& model, int code, int r);

bool GraphicsPixel(const BoardModel& model, int x, int y);
bool TextPixel(const BoardModel& model, int x, int y);
// What the glass shows: text OR graphics.
bool DisplayPixel(const BoardModel& model, int x, int y);

}  // namespace board
