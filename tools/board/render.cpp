#include "tools/board/render.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "tools/board/png_writer.h"

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
const Rgb kInk{6, 12, 8};

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

std::string FitUtf8(const std::string& text, int columns) {
  int count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // A character starts at every byte that is not a continuation byte.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && count++ == columns) {
      return text.substr(0, i);
    }
  }
  return text;
}

Rgb GlassColour(uint8_t light) { return MixRgb(kGlassUnlit, kGlassLit, light, 255); }

Rgb DotOffColour(uint8_t light) { return MixRgb(GlassColour(light), Rgb{0, 0, 0}, 1, 16); }

Rgb DotOnColour(uint8_t light, uint8_t contrast) {
  return MixRgb(GlassColour(light), kInk, Darkness(contrast), 255);
}

// A mid grey, so that the set dots, near black, stand out from it as well as
// from the glass.
Rgb BezelColour() { return Rgb{118, 122, 128}; }
Rgb LampOnColour() { return Rgb{235, 52, 36}; }
Rgb LampOffColour() { return Rgb{72, 34, 32}; }

RenderLayout ComputeLayout(const DisplayConfig& config, int scale) {
  RenderLayout layout;
  const int s = std::max(1, scale);
  layout.scale = s;
  layout.gap = s >= 3 ? std::max(1, s / 4) : 0;
  const int margin = 4 * s, glass_margin = 2 * s;
  layout.glass_width = config.width * s + 2 * glass_margin;
  layout.glass_height = config.height * s + 2 * glass_margin;
  // The lamps keep their size and spacing; the gaps between the four ports
  // shrink from 4 to 1 dots to keep the row within the glass.
  const int spacing = s;
  layout.lamp_size = 3 * s;
  const int lamps_and_spacing = 32 * layout.lamp_size + 4 * 7 * spacing;
  const int group_spacing =
      std::min(4 * s, std::max(s, (layout.glass_width - lamps_and_spacing) / 3));
  const int strip = lamps_and_spacing + 3 * group_spacing;
  const int content = std::max(layout.glass_width, strip);
  layout.width = content + 2 * margin;
  layout.glass_x = margin + (content - layout.glass_width) / 2;
  layout.glass_y = margin;
  layout.display_x = layout.glass_x + glass_margin;
  layout.display_y = layout.glass_y + glass_margin;
  layout.lamps_y = layout.glass_y + layout.glass_height + 3 * s;
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
  Fill(image, layout.glass_x, layout.glass_y, layout.glass_width, layout.glass_height,
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
  const std::vector<uint8_t> file = EncodePng(image.width, image.height, image.rgb);
  if (file.empty()) {
    if (error) *error = "the picture could not be encoded";
    return false;
  }
  FILE* out = fopen(path.c_str(), "wb");
  if (!out) {
    if (error) *error = strerror(errno);
    return false;
  }
  const bool written = fwrite(file.data(), 1, file.size(), out) == file.size();
  const int write_errno = errno;
  if (fclose(out) != 0 || !written) {
    if (error) *error = strerror(written ? errno : write_errno);
    return false;
  }
  return true;
}

int TerminalFactor(const DisplayConfig& config, TerminalStyle style, int columns) {
  const int dots_across = style == TerminalStyle::Braille ? 2 : 1;
  const int room = std::max(1, columns) * dots_across;
  return std::max(1, (config.width + room - 1) / room);
}

std::vector<std::string> TerminalFrame(const BoardModel& model, TerminalStyle style,
                                       int columns) {
  const DisplayConfig& config = model.config;
  const int f = TerminalFactor(config, style, columns);
  // Dot (i, j) of the view: set when any pixel of its f x f square is.
  auto dot = [&](int i, int j) {
    for (int y = j * f; y < (j + 1) * f && y < config.height; ++y) {
      for (int x = i * f; x < (i + 1) * f && x < config.width; ++x) {
        if (DisplayPixel(model, x, y)) return true;
      }
    }
    return false;
  };
  const int dots_wide = (config.width + f - 1) / f, dots_high = (config.height + f - 1) / f;
  std::vector<std::string> lines;
  if (style == TerminalStyle::Braille) {
    // Dot numbering of the braille cell: column 0 rows 0-2 are bits 0-2, column
    // 1 rows 0-2 bits 3-5, row 3 bits 6 (left) and 7 (right).
    static const unsigned kBit[4][2] = {{0x01, 0x08}, {0x02, 0x10}, {0x04, 0x20}, {0x40, 0x80}};
    for (int y = 0; y < dots_high; y += 4) {
      std::string line;
      for (int x = 0; x < dots_wide; x += 2) {
        unsigned bits = 0;
        for (int j = 0; j < 4; ++j) {
          for (int i = 0; i < 2; ++i) {
            if (x + i < dots_wide && y + j < dots_high && dot(x + i, y + j)) bits |= kBit[j][i];
          }
        }
        AppendUtf8(line, 0x2800 + bits);
      }
      lines.push_back(line);
    }
  } else {
    for (int y = 0; y < dots_high; y += 2) {
      std::string line;
      for (int x = 0; x < dots_wide; ++x) {
        const bool top = dot(x, y), bottom = y + 1 < dots_high && dot(x, y + 1);
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
  for (std::string& line : lines) line = FitUtf8(line, columns);
  return lines;
}

}  // namespace board
