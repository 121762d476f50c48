#include "tools/board/render.h"

#include <png.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace board {

bool operator==(const Rgb& a, const Rgb& b) {
  return a.r == b.r && a.g == b.g && a.b == b.b;
}

bool operator!=(const Rgb& a, const Rgb& b) { return !(a == b); }

Rgb ImagePixel(const Image& image, int x, int y) {
  const size_t at = (static_cast<size_t>(y) * image.width + x) * 3;
  return Rgb{image.rgb[at], image.rgb[at + 1], image.rgb[at + 2]};
}

namespace {

uint8_t Mix(uint8_t from, uint8_t to, int amount, int whole) {
  return static_cast<uint8_t>(from + (static_cast<int>(to) - from) * amount / whole);
}

Rgb MixRgb(const Rgb& from, const Rgb& to, int amount, int whole) {
  return Rgb{Mix(from.r, to.r, amount, whole), Mix(from.g, to.g, amount, whole),
             Mix(from.b, to.b, amount, whole)};
}

const Rgb kGlassUnlit{104, 116, 92};
const Rgb kGlassLit{184, 226, 86};
const Rgb kInk{20, 32, 26};

// Darkness of a set dot out of 255: from 115 at contrast 0 to 255 at 255.
int Darkness(uint8_t contrast) { return 115 + 140 * contrast / 255; }

void Fill(Image& image, int x, int y, int w, int h, const Rgb& colour) {
  for (int j = y; j < y + h; ++j) {
    for (int i = x; i < x + w; ++i) {
      uint8_t* p = &image.rgb[(static_cast<size_t>(j) * image.width + i) * 3];
      p[0] = colour.r;
      p[1] = colour.g;
      p[2] = colour.b;
    }
  }
}

void Disc(Image& image, int x, int y, int size, const Rgb& colour) {
  // Twice the coordinates, so the centre of an even-sized lamp is exact.
  const int c = size - 1, r2 = size * size;
  for (int j = 0; j < size; ++j) {
    for (int i = 0; i < size; ++i) {
      const int dx = 2 * i - c, dy = 2 * j - c;
      if (dx * dx + dy * dy <= r2) Fill(image, x + i, y + j, 1, 1, colour);
    }
  }
}

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

Rgb GlassColour(uint8_t light) { return MixRgb(kGlassUnlit, kGlassLit, light, 255); }

Rgb DotOffColour(uint8_t light) { return MixRgb(GlassColour(light), Rgb{0, 0, 0}, 1, 16); }

Rgb DotOnColour(uint8_t light, uint8_t contrast) {
  return MixRgb(GlassColour(light), kInk, Darkness(contrast), 255);
}

Rgb BezelColour() { return Rgb{44, 46, 50}; }
Rgb LampOnColour() { return Rgb{235, 52, 36}; }
Rgb LampOffColour() { return Rgb{72, 34, 32}; }

RenderLayout ComputeLayout(const DisplayConfig& config, int scale) {
  RenderLayout layout;
  const int s = std::max(1, scale);
  layout.scale = s;
  layout.gap = s >= 3 ? std::max(1, s / 4) : 0;
  const int margin = 4 * s;
  const int spacing = s, group_spacing = 4 * s;
  layout.lamp_size = 3 * s;
  const int strip = 32 * layout.lamp_size + 4 * 7 * spacing + 3 * group_spacing;
  const int display_width = config.width * s;
  const int content = std::max(display_width, strip);
  layout.width = content + 2 * margin;
  layout.display_x = margin + (content - display_width) / 2;
  layout.display_y = margin;
  layout.lamps_y = margin + config.height * s + 3 * s;
  layout.height = layout.lamps_y + layout.lamp_size + margin;
  int x = margin + (content - strip) / 2;
  for (int port = 0; port < 4; ++port) {
    for (int k = 0; k < 8; ++k) {
      layout.lamp_x[8 * port + k] = x;
      x += layout.lamp_size + (k < 7 ? spacing : group_spacing);
    }
  }
  return layout;
}

Image RenderImage(const BoardModel& model, int scale) {
  const DisplayConfig& config = model.config;
  const RenderLayout layout = ComputeLayout(config, scale);
  const int s = layout.scale, dot = s - layout.gap;
  Image image;
  image.width = layout.width;
  image.height = layout.height;
  image.rgb.assign(static_cast<size_t>(image.width) * image.height * 3, 0);
  Fill(image, 0, 0, image.width, image.height, BezelColour());
  Fill(image, layout.display_x, layout.display_y, config.width * s, config.height * s,
       GlassColour(model.light));
  const Rgb on = DotOnColour(model.light, model.contrast);
  const Rgb off = DotOffColour(model.light);
  for (int y = 0; y < config.height; ++y) {
    for (int x = 0; x < config.width; ++x) {
      Fill(image, layout.display_x + x * s, layout.display_y + y * s, dot, dot,
           DisplayPixel(model, x, y) ? on : off);
    }
  }
  for (int port = 0; port < 4; ++port) {
    for (int bit = 0; bit < 8; ++bit) {
      const bool lit = (model.ports[port] >> bit) & 1;
      Disc(image, layout.lamp_x[8 * port + (7 - bit)], layout.lamps_y, layout.lamp_size,
           lit ? LampOnColour() : LampOffColour());
    }
  }
  return image;
}

bool WritePng(const Image& image, const std::string& path, std::string* error) {
  png_image png;
  memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&png, path.c_str(), 0, image.rgb.data(), 0, nullptr)) {
    if (error) *error = png.message;
    png_image_free(&png);
    return false;
  }
  return true;
}

bool ReadPng(const std::string& path, Image* image, std::string* error) {
  png_image png;
  memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    if (error) *error = png.message;
    png_image_free(&png);
    return false;
  }
  png.format = PNG_FORMAT_RGB;
  image->width = static_cast<int>(png.width);
  image->height = static_cast<int>(png.height);
  image->rgb.assign(PNG_IMAGE_SIZE(png), 0);
  if (!png_image_finish_read(&png, nullptr, image->rgb.data(), 0, nullptr)) {
    if (error) *error = png.message;
    png_image_free(&png);
    return false;
  }
  return true;
}

std::vector<std::string> TerminalFrame(const BoardModel& model, TerminalStyle style) {
  const DisplayConfig& config = model.config;
  std::vector<std::string> lines;
  if (style == TerminalStyle::Braille) {
    // Dot numbering of the braille cell: column 0 rows 0-2 are bits 0-2, column
    // 1 rows 0-2 bits 3-5, row 3 bits 6 (left) and 7 (right).
    static const unsigned kBit[4][2] = {{0x01, 0x08}, {0x02, 0x10}, {0x04, 0x20}, {0x40, 0x80}};
    for (int y = 0; y < config.height; y += 4) {
      std::string line;
      for (int x = 0; x < config.width; x += 2) {
        unsigned bits = 0;
        for (int j = 0; j < 4; ++j) {
          for (int i = 0; i < 2; ++i) {
            if (DisplayPixel(model, x + i, y + j)) bits |= kBit[j][i];
          }
        }
        AppendUtf8(line, 0x2800 + bits);
      }
      lines.push_back(line);
    }
  } else {
    for (int y = 0; y < config.height; y += 2) {
      std::string line;
      for (int x = 0; x < config.width; ++x) {
        const bool top = DisplayPixel(model, x, y), bottom = DisplayPixel(model, x, y + 1);
        AppendUtf8(line, top && bottom ? 0x2588 : top ? 0x2580 : bottom ? 0x2584 : ' ');
      }
      lines.push_back(line);
    }
  }
  std::string lamps;
  for (int port = 0; port < 4; ++port) {
    if (port > 0) lamps += "  ";
    for (int bit = 7; bit >= 0; --bit) {
      AppendUtf8(lamps, (model.ports[port] >> bit) & 1 ? 0x25CF : 0x25CB);
    }
  }
  lines.push_back(lamps);
  char status[96];
  snprintf(status, sizeof status, "light %3d  contrast %3d  ports 0x%02X 0x%02X 0x%02X 0x%02X",
           model.light, model.contrast, model.ports[0], model.ports[1], model.ports[2],
           model.ports[3]);
  lines.push_back(status);
  return lines;
}

}  // namespace board
