// Pictures of the board: an RGB image of the glass with its dots, the bezel
// and a strip of 32 lamps for the output ports, written as PNG; and a text
// frame for a terminal, in braille or half blocks.
//
// Backlight 0-255 sets the glass from unlit grey-green to lit yellow-green;
// contrast 0-255 sets how dark a set dot is, from faint (still readable, as
// an unlit reflective LCD is) to full. At scale 3 and above each dot is drawn
// smaller than its cell, so the glass shows between the dots.
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
  int display_x = 0;  // top left of display pixel (0, 0)
  int display_y = 0;
  int lamp_size = 0;  // lamps are squares (discs from scale 2 on) of this size
  int lamps_y = 0;    // top row of the lamps
  // Left edge of the lamp of port p bit b at lamp_x[8 * p + (7 - b)]: port 0
  // leftmost, within a port bit 7 first, as the value reads in binary.
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

// PNG files through libpng: 8-bit RGB. False, with a reason, on failure.
bool WritePng(const Image& image, const std::string& path, std::string* error);
bool ReadPng(const std::string& path, Image* image, std::string* error);

enum class TerminalStyle { Braille, HalfBlocks };

// The display as lines of UTF-8 text (braille: 2x4 pixels a character; half
// blocks: 1x2), then one line of the 32 lamps and one of light and contrast.
std::vector<std::string> TerminalFrame(const BoardModel& model, TerminalStyle style);

}  // namespace board
