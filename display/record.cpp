#include "display/record.h"

#include <string.h>

#include "core/driver_state.h"
#include "link/commands.h"

namespace {

// The text grid of the board the host draws for: the picture's width / pitch
// columns by height / 8 rows, the picture at most 255 pixels each way.
struct Grid {
  int columns;
  int rows;
};

int Clamp255(int32_t value) { return value < 0 ? 0 : value > 255 ? 255 : value; }

Grid TextGrid() {
  const DriverState& s = g_state;
  Grid g;
  // Two divisions by constants: no hardware division on every transfer.
  g.columns = s.font_pitch == 8 ? Clamp255(s.gfx_width) / 8 : Clamp255(s.gfx_width) / 6;
  g.rows = Clamp255(s.gfx_height) / 8;
  if (g.columns > kRecordColumns) g.columns = kRecordColumns;
  if (g.rows > kRecordRows) g.rows = kRecordRows;
  return g;
}

// True when none of the eight bytes at `bytes` lies in 0xB0-0xBE, where the
// command bytes are: XOR with 0xB0 maps that range, and only it, to bytes
// below 0x0F, which the subtraction finds (bytes 0xB2, 0xB6 ... found too
// take the slow way, as characters all the same).
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

void ClearText(DisplayRecord& r) {
  for (uint64_t& used : r.text_used) used = 0;
  r.cursor_column = 0;
  r.cursor_row = 0;
}

// A command whose last byte has just come, as the board applies it.
void Apply(DisplayRecord& r, const Grid& g, const CommandReader& c) {
  switch (c.command) {
    case kCmdSetTextCursor: {
      // 1-based on the wire; outside the grid the board ignores it.
      const int column = c.header[0] - 1, row = c.header[1] - 1;
      if (column >= 0 && row >= 0 && column < g.columns && row < g.rows) {
        r.cursor_column = (uint8_t)column;
        r.cursor_row = (uint8_t)row;
      }
      break;
    }
    case kCmdSetContrast:
      r.contrast = c.header[0];
      break;
    case kCmdSetLight:
      r.light = c.header[0];
      break;
    case kCmdSetCGRAMChar: {
      const uint8_t position = c.header[0];
      for (int row = 0; row < 8; ++row) r.glyphs[position][row] = r.glyph_rows[row];
      r.glyph_defined[position / 64] |= uint64_t{1} << (position % 64);
      break;
    }
    case kCmdSetOutPort:
      if (c.header[0] < 4) {
        r.ports[c.header[0]] = c.header[1];
        r.ports_sent = 1;
      }
      break;
    default:
      break;  // graphics
  }
}

bool GlyphDefined(const DisplayRecord& r, int position) {
  return (r.glyph_defined[position / 64] >> (position % 64)) & 1;
}

// A byte that starts or continues a command.
void RecordCommandByte(DisplayRecord& r, const Grid& g, uint8_t byte) {
  CommandReader& c = r.reader;
  if (!c.in_command) {
    if (HeaderLength(byte) == 0) {
      ClearText(r);  // ResetDisplay; custom characters, light, contrast and ports stay
      return;
    }
    c.in_command = 1;
    c.command = byte;
    c.have = 0;
    return;
  }
  const int length = HeaderLength(c.command);
  if (c.have < length) {
    c.header[c.have++] = byte;
    if (c.have < length) return;
    c.payload_left = PayloadLength(c.command, c.header, LinkShape());
  } else {
    if (c.command == kCmdSetCGRAMChar) r.glyph_rows[8 - c.payload_left] = byte;
    --c.payload_left;
  }
  if (c.payload_left == 0) {
    c.in_command = 0;
    Apply(r, g, c);
  }
}

// Reads text-stream bytes into the record.
void ReadText(const uint8_t* bytes, uint32_t count) {
  DisplayRecord& r = g_state.shown;
  const Grid g = TextGrid();
  uint32_t i = 0;
  while (i < count) {
    if (r.reader.in_command || IsCommandByte(bytes[i])) {
      // A text command with its header and payload all at hand (as it is,
      // but where a transfer cut it) is applied in one go.
      const uint8_t command = bytes[i];
      const int length = r.reader.in_command ? -1 : HeaderLength(command);
      const uint32_t whole = command == kCmdSetCGRAMChar ? 10 : (uint32_t)length + 1;
      if (length >= 0 && command != kCmdSetGfxMulti && command != kCmdSetBitmap &&
          count - i >= whole) {
        if (length == 0) {
          ClearText(r);
        } else {
          CommandReader& c = r.reader;
          c.command = command;
          memcpy(c.header, bytes + i + 1, (size_t)length);
          if (command == kCmdSetCGRAMChar) memcpy(r.glyph_rows, bytes + i + 2, 8);
          Apply(r, g, c);
        }
        i += whole;
        continue;
      }
      RecordCommandByte(r, g, bytes[i++]);
      continue;
    }
    // A run of characters, the cursor kept at hand.
    if (g.columns == 0 || g.rows == 0) {
      while (i < count && !IsCommandByte(bytes[i])) ++i;
      continue;
    }
    int column = r.cursor_column, row = r.cursor_row;
    // A grid that shrank since (the host's picture size changed) starts over.
    if (column >= g.columns || row >= g.rows) column = row = 0;
    // The cells of a row that a run fills are marked once, at its end.
    int first = column;
    uint8_t* cells = r.text[row];
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
        r.text_used[row] |= CellsFrom(first, column);
        column = first = 0;
        if (++row == g.rows) row = 0;
        cells = r.text[row];
      }
    }
    r.text_used[row] |= CellsFrom(first, column);
    r.cursor_column = (uint8_t)column;
    r.cursor_row = (uint8_t)row;
  }
}

}  // namespace

void RecordCatchUp() {
  DisplayRecord& r = g_state.shown;
  ReadText(r.queued, r.queued_count);
  r.queued_count = 0;
}

void RecordTextBytes(const uint8_t* bytes, uint32_t count) {
  DisplayRecord& r = g_state.shown;
  if (count > kRecordQueue - r.queued_count) {
    RecordCatchUp();
    if (count > kRecordQueue) {
      ReadText(bytes, count);
      return;
    }
  }
  memcpy(r.queued + r.queued_count, bytes, count);
  r.queued_count += count;
}

uint8_t RecordSafeGlyphPosition() {
  RecordCatchUp();
  const DisplayRecord& r = g_state.shown;
  for (int position = 0; position < 256; ++position) {
    if (GlyphDefined(r, position) && HeaderLength((uint8_t)position) == kNotACommand) {
      return (uint8_t)position;
    }
  }
  return 0;
}

void EmitDisplay(ByteSink* sink) {
  RecordCatchUp();
  const DisplayRecord& r = g_state.shown;
  SinkPut(sink, kCmdResetDisplay);
  for (int position = 0; position < 256; ++position) {
    if (!GlyphDefined(r, position)) continue;
    SinkPut(sink, kCmdSetCGRAMChar);
    SinkPut(sink, (uint8_t)position);
    for (int row = 0; row < 8; ++row) SinkPut(sink, r.glyphs[position][row]);
  }
  // The cells that hold a character, run by run; the cursor moves as the
  // board moves it, so a run needs a SetTextCursor only where it does not
  // start where the last one ended.
  const Grid g = TextGrid();
  int column = 0, row = 0;
  for (int y = 0; y < g.rows; ++y) {
    for (int x = 0; x < g.columns; ++x) {
      if (!((r.text_used[y] >> x) & 1)) continue;
      if (x != column || y != row) {
        SinkPut(sink, kCmdSetTextCursor);
        SinkPut(sink, (uint8_t)(x + 1));
        SinkPut(sink, (uint8_t)(y + 1));
      }
      SinkPut(sink, r.text[y][x]);
      column = x + 1;
      row = y;
      if (column == g.columns) {
        column = 0;
        if (++row == g.rows) row = 0;
      }
    }
  }
  if ((r.cursor_column != column || r.cursor_row != row) && r.cursor_column < g.columns &&
      r.cursor_row < g.rows) {
    SinkPut(sink, kCmdSetTextCursor);
    SinkPut(sink, (uint8_t)(r.cursor_column + 1));
    SinkPut(sink, (uint8_t)(r.cursor_row + 1));
  }
  SinkPut(sink, kCmdSetLight);
  SinkPut(sink, r.light);
  SinkPut(sink, kCmdSetContrast);
  SinkPut(sink, r.contrast);
  if (r.ports_sent) {
    for (int port = 0; port < 4; ++port) {
      SinkPut(sink, kCmdSetOutPort);
      SinkPut(sink, (uint8_t)port);
      SinkPut(sink, r.ports[port]);
    }
  }
}
