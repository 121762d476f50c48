#include "link/board_display.h"

#include <string.h>

namespace {

// The text grid of the board the host draws for: the picture's width / pitch
// columns by height / 8 rows, the picture at most 255 pixels each way.
struct Grid {
  int columns;
  int rows;
};

int Clamp255(int32_t value) { return value < 0 ? 0 : value > 255 ? 255 : value; }

Grid TextGrid(const BoardShape& shape) {
  Grid g;
  g.columns = Clamp255(shape.width) / (shape.pitch == 8 ? 8 : 6);
  g.rows = Clamp255(shape.height) / 8;
  if (g.columns > kShownColumns) g.columns = kShownColumns;
  if (g.rows > kShownRows) g.rows = kShownRows;
  return g;
}

// True when none of the eight bytes at `bytes` lies in 0xB0-0xBE, where the
// command bytes are: XOR with 0xB0 maps that range, and only it, to bytes
// below 0x0F, which the subtraction finds (bytes 0xB2, 0xB6 ... found too
// take the byte-by-byte way, as characters all the same).
inline bool NoCommandAmongEight(const uint8_t* bytes) {
  uint64_t word;
  memcpy(&word, bytes, 8);
  const uint64_t folded = word ^ 0xB0B0B0B0B0B0B0B0ull;
  return ((folded - 0x0F0F0F0F0F0F0F0Full) & ~folded & 0x8080808080808080ull) == 0;
}

// The bits of the cells from column `first` up to, not including, `end`.
inline uint64_t CellsFrom(int first, int end) {
  return ((uint64_t{1} << (end - first)) - 1) << first;
}

// ResetDisplay: the board clears its text and graphics and homes the cursor;
// custom characters, light, contrast and ports stay.
void ClearScreen(BoardDisplay& d) {
  for (uint64_t& used : d.text_used) used = 0;
  d.cursor_column = 0;
  d.cursor_row = 0;
  if (d.graphics_drawn) memset(d.graphics, 0, sizeof d.graphics);
  d.graphics_drawn = 0;
}

bool GlyphDefined(const BoardDisplay& d, int position) {
  return (d.glyph_defined[position / 64] >> (position % 64)) & 1;
}

// A text command whose last byte has just come, as the board applies it.
void Apply(BoardDisplay& d, const Grid& g, const CommandReader& c) {
  switch (c.command) {
    case kCmdSetTextCursor: {
      // 1-based on the wire; outside the grid the board ignores it.
      const int column = c.header[0] - 1, row = c.header[1] - 1;
      if (column >= 0 && row >= 0 && column < g.columns && row < g.rows) {
        d.cursor_column = (uint8_t)column;
        d.cursor_row = (uint8_t)row;
      }
      break;
    }
    case kCmdSetContrast:
      d.contrast = c.header[0];
      break;
    case kCmdSetLight:
      d.light = c.header[0];
      break;
    case kCmdSetCGRAMChar: {
      const uint8_t position = c.header[0];
      memcpy(d.glyphs[position], d.glyph_rows, 8);
      d.glyph_defined[position / 64] |= uint64_t{1} << (position % 64);
      break;
    }
    case kCmdSetOutPort:
      if (c.header[0] < 4) {
        d.ports[c.header[0]] = c.header[1];
        d.ports_sent = 1;
      }
      break;
    default:
      break;  // graphics: never in the text stream
  }
}

void StartCommand(CommandReader& c, uint8_t command) {
  c.in_command = 1;
  c.command = command;
  c.have = 0;
  c.payload_left = 0;
}

// A byte that starts or continues a text command.
void ReadCommandByte(BoardDisplay& d, const Grid& g, const BoardShape& shape, uint8_t byte) {
  CommandReader& c = d.reader;
  if (!c.in_command) {
    if (HeaderLength(byte) == 0) {
      ClearScreen(d);
    } else {
      StartCommand(c, byte);
    }
    return;
  }
  const int length = HeaderLength(c.command);
  if (c.have < length) {
    c.header[c.have++] = byte;
    if (c.have < length) return;
    c.payload_left = PayloadLength(c.command, c.header, shape.stream);
  } else {
    if (c.command == kCmdSetCGRAMChar) d.glyph_rows[8 - c.payload_left] = byte;
    --c.payload_left;
  }
  if (c.payload_left == 0) {
    c.in_command = 0;
    Apply(d, g, c);
  }
}

}  // namespace

void SinkPut(ByteSink* sink, uint8_t byte) {
  sink->bytes[sink->count++] = byte;
  if (sink->count == sink->capacity) SinkFlush(sink);
}

void SinkFlush(ByteSink* sink) {
  if (sink->count > 0) sink->flush(sink->bytes, sink->count);
  sink->count = 0;
}

void ReadTextStream(BoardDisplay* d, const BoardShape& shape, const uint8_t* bytes,
                    uint32_t count) {
  const Grid g = TextGrid(shape);
  CommandReader& c = d->reader;
  uint32_t i = 0;
  while (i < count) {
    if (c.in_command || IsCommandByte(bytes[i])) {
      // A command with its header and payload all at hand (as it is, but where
      // a transfer cut it) is applied in one go.
      const uint8_t command = bytes[i];
      const int length = c.in_command ? -1 : HeaderLength(command);
      const uint32_t whole = command == kCmdSetCGRAMChar ? 10 : (uint32_t)length + 1;
      if (length >= 0 && command != kCmdSetGfxMulti && command != kCmdSetBitmap &&
          count - i >= whole) {
        if (length == 0) {
          ClearScreen(*d);
        } else {
          c.command = command;
          memcpy(c.header, bytes + i + 1, (size_t)length);
          if (command == kCmdSetCGRAMChar) memcpy(d->glyph_rows, bytes + i + 2, 8);
          Apply(*d, g, c);
        }
        i += whole;
        continue;
      }
      ReadCommandByte(*d, g, shape, bytes[i++]);
      continue;
    }
    // A run of characters, the cursor kept at hand.
    if (g.columns == 0 || g.rows == 0) {
      while (i < count && !IsCommandByte(bytes[i])) ++i;
      continue;
    }
    int column = d->cursor_column, row = d->cursor_row;
    // A grid that shrank since (the host's picture size changed) starts over.
    if (column >= g.columns || row >= g.rows) column = row = 0;
    // The cells of a row that a run fills are marked once, at its end.
    int first = column;
    uint8_t* cells = d->text[row];
    for (;;) {
      // Eight characters at a time while they fit in the row.
      if (count - i >= 8 && g.columns - column >= 8 && NoCommandAmongEight(bytes + i)) {
        memcpy(cells + column, bytes + i, 8);
        column += 8;
        i += 8;
      } else if (i < count && !IsCommandByte(bytes[i])) {
        cells[column++] = bytes[i++];
      } else {
        break;
      }
      // After the last column the cursor moves to the next row at once.
      if (column == g.columns) {
        d->text_used[row] |= CellsFrom(first, column);
        column = first = 0;
        if (++row == g.rows) row = 0;
        cells = d->text[row];
      }
    }
    d->text_used[row] |= CellsFrom(first, column);
    d->cursor_column = (uint8_t)column;
    d->cursor_row = (uint8_t)row;
  }
}

void DrawColumnBytes(BoardDisplay* d, const uint8_t* header, uint32_t band, const uint8_t* bytes,
                     uint32_t count) {
  memcpy(d->ks108_header, header, 4);
  if (band >= (uint32_t)kShadowBands) return;
  if (count > (uint32_t)kShadowColumns) count = kShadowColumns;
  memcpy(d->graphics + band * kShadowColumns, bytes, count);
  d->graphics_drawn = 1;
}

void ReadGfxStream(BoardDisplay* d, const BoardShape& shape, const uint8_t* bytes,
                   uint32_t count) {
  const int pitch = shape.pitch == 8 ? 8 : 6;
  uint32_t i = 0;
  while (i < count) {
    const uint8_t command = bytes[i];
    const int length = HeaderLength(command);
    if (length <= 0 || count - i < 1 + (uint32_t)length) return;  // whole commands only
    uint8_t h[4] = {};
    memcpy(h, bytes + i + 1, (size_t)length);
    i += 1 + (uint32_t)length;
    if (command == kCmdSetGfxSingle) {
      DrawRowBytes(d, pitch, h[0], h[1], &h[2], 1);
      continue;
    }
    uint32_t payload = PayloadLength(command, h, shape.stream);
    if (payload > count - i) payload = count - i;
    const uint8_t* p = bytes + i;
    i += payload;
    if (command == kCmdSetGfxMulti) {
      DrawRowBytes(d, pitch, h[0], h[1], p, payload);
    } else if (command == kCmdSetBitmap && shape.stream.ks108) {
      const uint32_t bands = ((uint32_t)h[3] + 7) / 8;
      const uint32_t columns = bands > 0 ? PayloadLength(command, h, shape.stream) / bands : 0;
      for (uint32_t band = 0; columns > 0 && (band + 1) * columns <= payload; ++band) {
        DrawColumnBytes(d, h, h[1] / 8 + band, p + band * columns, columns);
      }
    } else if (command == kCmdSetBitmap && h[2] > 0) {
      for (uint32_t row = 0; (row + 1) * h[2] <= payload; ++row) {
        DrawRowBytes(d, pitch, h[0], h[1] + row, p + row * h[2], h[2]);
      }
    }
  }
}

uint8_t SafeGlyphPosition(const BoardDisplay& d) {
  for (int position = 0; position < 256; ++position) {
    if (GlyphDefined(d, position) && HeaderLength((uint8_t)position) == kNotACommand) {
      return (uint8_t)position;
    }
  }
  return 0;
}

void SendKs108Picture(const BoardDisplay& d, const BoardShape& shape, ByteSink* sink) {
  const uint8_t* h = d.ks108_header;
  const uint32_t payload = PayloadLength(kCmdSetBitmap, h, shape.stream);
  const uint32_t bands = ((uint32_t)h[3] + 7) / 8;
  if (bands == 0 || payload == 0) return;
  const uint32_t columns = payload / bands;
  SinkPut(sink, kCmdSetBitmap);
  for (int k = 0; k < 4; ++k) SinkPut(sink, h[k]);
  for (uint32_t band = 0; band < bands; ++band) {
    const uint32_t line = h[1] / 8 + band;
    for (uint32_t c = 0; c < columns; ++c) {
      const uint32_t column = h[0] + c;
      const bool held = line < (uint32_t)kShadowBands && column < (uint32_t)kShadowColumns;
      SinkPut(sink, held ? d.graphics[line * kShadowColumns + column] : 0);
    }
  }
}
