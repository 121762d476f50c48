// Pictures of the board: an RGB image of the glass with its dots, the bezel
// and a strip of 32 lamps for the output ports, written as PNG; and a text
// frame for a terminal, in braille or half blocks.
//
// Backlight 0-255 sets the glass from unlit grey-green to lit yellow-green;
// contrast 0-255 sets how dark a set dot is, from faint (still readable, as
// an unlit reflective LCD is) to near black, well below the grey bezel. A
// margin of glass two dots wide surrounds the display's pixels, so that
// column 0 and row 0 stand out from the bezel. At scale 3 and above each dot
// is drawn smaller than its cell, so the glass shows between the dots.
#pragma once

#include <stdint.h>

#include <array>
#include <string>
#include <vector>

#include "tools/board/model.h"

namespace board {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
};

bool operator==(const Rgb& a, const Rgb& b);
bool operator!=(const Rgb& a, const Rgb& b);

struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3, row-major
};

Rgb ImagePixel(const Image& image, int x, int y);

// Where things are in the picture of a board at a given scale.
struct RenderLayout {
  int scale = 1;
  int gap = 0;        // glass pixels right of and below each dot
  int width = 0;      // whole picture
  int height = 0;
  int glass_x = 0;    // the glass, margin included
  int glass_y = 0;
  int glass_width = 0;
  int glass_height = 0;
  int display_x = 0;  // top left of display pixel (0, 0)
  int display_y = 0;
  int lamp_size = 0;  // lamps are squares (discs from scale 2 on) of this size
  int lamps_y = 0;    // top row of the lamps
  // Left edge of the lamp of port p bit b at lamp_x[8 * p + (7 - b)]: port 0
  // leftmost, within a port bit 7 first, as the value reads in binary. The
  // row is no wider than the glass where the gaps between ports can shrink
  // enough (a 128-pixel KS108 and wider); only smaller displays widen the
  // picture for it.
  std::array<int, 32> lamp_x{};
};

RenderLayout ComputeLayout(const DisplayConfig& config, int scale);

// Colours as the renderer uses them for the model's light and contrast.
Rgb GlassColour(uint8_t light);
Rgb DotOffColour(uint8_t light);
Rgb DotOnColour(uint8_t light, uint8_t contrast);
Rgb BezelColour();
Rgb LampOnColour();
Rgb LampOffColour();

Image RenderImage(const BoardModel& model, int scale);

// The picture as a PNG file (png_writer.h). False, with a reason, on failure.
bool WritePng(const Image& image, const std::string& path, std::string* error);

enum class TerminalStyle { Braille, HalfBlocks };

// The display as lines of UTF-8 text (braille: 2x4 dots a character; half
// blocks: 1x2), then one line of the 32 lamps and one of light and contrast.
// When the display does not fit `columns` characters, each dot stands for a
// square of factor x factor pixels (set when any of them is), with the
// smallest whole factor that fits; no line is longer than `columns`.
std::vector<std::string> TerminalFrame(const BoardModel& model, TerminalStyle style,
                                       int columns = 1 << 16);
// The factor TerminalFrame uses.
int TerminalFactor(const DisplayConfig& config, TerminalStyle style, int columns);

// The first `columns` characters of UTF-8 text.
std::string FitUtf8(const std::string& text, int columns);

}  // namespace board
