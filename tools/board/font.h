// The board's built-in character set: printable ASCII, 0x20 to 0x7E, in a
// 5x7 font drawn for this board.
#pragma once

#include <stdint.h>

namespace board {

const int kFontFirst = 0x20;
const int kFontLast = 0x7E;
const int kGlyphWidth = 5;
const int kGlyphHeight = 7;

// True for the codes the font has a glyph for.
bool FontHasGlyph(int code);

// Row r (0 = top, 0 to 6) of the glyph of code: 5 bits, leftmost pixel in bit 4.
uint8_t FontRow(int code, int r);

// The glyph shown for codes outside the font with no custom character: a
// hollow box filling the 5x7 glyph area.
uint8_t HollowBoxRow(int r);

}  // namespace board
