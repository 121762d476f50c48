#include "display/record.h"

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
  g.columns = Clamp255(s.gfx_width) / (s.font_pitch == 8 ? 8 : 6);
  g.rows = Clamp255(s.gfx_height) / 8;
  if (g.columns > kRecordColumns) g.columns = kRecordColumns;
  if (g.rows > kRecordRows) g.rows = kRecordRows;
  return g;
}

void ClearText(DisplayRecord& r) {
  for (uint64_t& used : r.text_used) used = 0;
  r.cursor_column = 0;
  r.cursor_row = 0;
}

// A character at the cursor, which moves one cell right, to the next row
// after the last column and to the top left after the last row.
void PutCharacter(DisplayRecord& r, uint8_t code) {
  const Grid g = TextGrid();
  if (g.columns == 0 || g.rows == 0) return;
  // A grid that shrank since (the host's picture size changed) starts over.
  if (r.cursor_column >= g.columns || r.cursor_row >= g.rows) {
    r.cursor_column = 0;
    r.cursor_row = 0;
  }
  r.text[r.cursor_row][r.cursor_column] = code;
  r.text_used[r.cursor_row] |= uint64_t{1} << r.cursor_column;
  if (++r.cursor_column == g.columns) {
    r.cursor_column = 0;
    if (++r.cursor_row == g.rows) r.cursor_row = 0;
  }
}

// A command whose last byte has just come, as the board applies it.
void Apply(DisplayRecord& r, const CommandReader& c) {
  switch (c.command) {
    case kCmdSetTextCursor: {
      // 1-based on the wire; outside the grid the board ignores it.
      const Grid g = TextGrid();
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

}  // namespace

void RecordTextByte(uint8_t byte) {
  DriverState& s = g_state;
  DisplayRecord& r = s.shown;
  CommandReader& c = r.reader;
  if (!c.in_command) {
    const int length = HeaderLength(byte);
    if (length == kNotACommand) {
      PutCharacter(r, byte);
    } else if (length == 0) {
      ClearText(r);  // ResetDisplay; custom characters, light, contrast and ports stay
    } else {
      c.in_command = 1;
      c.command = byte;
      c.have = 0;
    }
    return;
  }
  const int length = HeaderLength(c.command);
  if (c.have < length) {
    c.header[c.have++] = byte;
    if (c.have < length) return;
    c.payload_left = PayloadLength(
        c.command, c.header, {s.controller == kControllerKS108, s.link.ks108_width});
  } else {
    if (c.command == kCmdSetCGRAMChar) r.glyph_rows[8 - c.payload_left] = byte;
    --c.payload_left;
  }
  if (c.payload_left == 0) {
    c.in_command = 0;
    Apply(r, c);
  }
}

uint8_t RecordSafeGlyphPosition() {
  const DisplayRecord& r = g_state.shown;
  for (int position = 0; position < 256; ++position) {
    if (GlyphDefined(r, position) && HeaderLength((uint8_t)position) == kNotACommand) {
      return (uint8_t)position;
    }
  }
  return 0;
}

void EmitDisplay(ByteSink* sink) {
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
