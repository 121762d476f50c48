#include "tools/board/model.h"

#include <algorithm>

#include "tools/board/font.h"

namespace board {

namespace {

void ClearScreen(BoardModel& model) {
  const DisplayConfig& c = model.config;
  model.graphics.assign(static_cast<size_t>(c.width) * c.height, 0);
  model.text.assign(static_cast<size_t>(TextColumns(c)) * TextRows(c), kNoCharacter);
  model.cursor_column = 0;
  model.cursor_row = 0;
}

void SetPixel(BoardModel& model, int x, int y, bool on) {
  if (x < 0 || y < 0 || x >= model.config.width || y >= model.config.height) return;
  model.graphics[static_cast<size_t>(y) * model.config.width + x] = on ? 1 : 0;
}

// One T6963 row byte: pitch pixels from x, the leftmost in bit pitch - 1.
void DrawRowByte(BoardModel& model, int x, int y, uint8_t byte) {
  const int p = model.config.pitch;
  for (int k = 0; k < p; ++k) SetPixel(model, x + k, y, (byte >> (p - 1 - k)) & 1);
}

void PutCharacter(BoardModel& model, uint8_t code) {
  const int columns = TextColumns(model.config), rows = TextRows(model.config);
  if (columns == 0 || rows == 0) return;
  model.text[static_cast<size_t>(model.cursor_row) * columns + model.cursor_column] = code;
  if (++model.cursor_column == columns) {
    model.cursor_column = 0;
    if (++model.cursor_row == rows) model.cursor_row = 0;
  }
}

void DrawBitmap(BoardModel& model, const Command& command) {
  const int x = command.operands[0], y = command.operands[1];
  const std::vector<uint8_t>& payload = command.payload;
  if (model.config.controller == Controller::KS108) {
    // Column bytes in bands of 8 rows, top band first, top pixel in bit 0.
    const int columns = Ks108Columns(model.config, command.operands[2]);
    if (columns == 0) return;
    for (size_t i = 0; i < payload.size(); ++i) {
      const int band = static_cast<int>(i / columns), c = static_cast<int>(i % columns);
      for (int bit = 0; bit < 8; ++bit) {
        SetPixel(model, x + c, y + 8 * band + bit, (payload[i] >> bit) & 1);
      }
    }
    return;
  }
  const int n = command.operands[2];
  if (n == 0) return;
  for (size_t i = 0; i < payload.size(); ++i) {
    const int row = static_cast<int>(i / n), b = static_cast<int>(i % n);
    DrawRowByte(model, x + b * model.config.pitch, y + row, payload[i]);
  }
}

}  // namespace

void ModelInit(BoardModel& model, const DisplayConfig& config) {
  model = BoardModel();
  model.config = config;
  ClearScreen(model);
}

void ModelApply(BoardModel& model, const Command& command) {
  const std::vector<uint8_t>& op = command.operands;
  const bool ks108 = model.config.controller == Controller::KS108;
  switch (command.kind) {
    case CommandKind::Character:
      PutCharacter(model, op[0]);
      break;
    case CommandKind::ResetDisplay:
      ClearScreen(model);
      break;
    case CommandKind::SetTextCursor: {
      const int column = op[0] - 1, row = op[1] - 1;
      if (column >= 0 && row >= 0 && column < TextColumns(model.config) &&
          row < TextRows(model.config)) {
        model.cursor_column = column;
        model.cursor_row = row;
      }
      break;
    }
    case CommandKind::SetContrast:
      model.contrast = op[0];
      break;
    case CommandKind::SetLight:
      model.light = op[0];
      break;
    case CommandKind::SetCGRAMChar: {
      CustomCharacter& custom = model.custom[op[0]];
      custom.defined = true;
      std::copy(command.payload.begin(), command.payload.end(), custom.rows.begin());
      break;
    }
    case CommandKind::SetGfxSingle:
    case CommandKind::SetGfxMulti:
      if (ks108) break;
      for (size_t i = 0; i < command.payload.size(); ++i) {
        DrawRowByte(model, op[0] + static_cast<int>(i) * model.config.pitch, op[1],
                    command.payload[i]);
      }
      break;
    case CommandKind::SetBitmap:
      DrawBitmap(model, command);
      break;
    case CommandKind::SetOutPort:
      if (op[0] < 4) model.ports[op[0]] = op[1];
      break;
  }
}

BoardModel ModelAsShown(const BoardModel& model, const Decoder& decoder) {
  const Command& pending = decoder.pending;
  const bool drawing = decoder.in_command && decoder.operands_needed == 0 &&
                       !pending.payload.empty() &&
                       (pending.kind == CommandKind::SetBitmap ||
                        pending.kind == CommandKind::SetGfxMulti);
  BoardModel shown = model;
  if (drawing) ModelApply(shown, pending);
  return shown;
}

uint8_t GlyphRow(const BoardModel& model, int code, int r) {
  if (code == kNoCharacter || code < 0 || code > 255 || r < 0 || r > 7) return 0;
  const int p = model.config.pitch;
  const uint8_t mask = static_cast<uint8_t>((1u << p) - 1);
  const CustomCharacter& custom = model.custom[code];
  if (custom.defined) return custom.rows[r] & mask;
  // The 5-bit glyph rows sit at cell column 0 with pitch 6, 1 with pitch 8.
  const int shift = p == 8 ? 2 : p - kGlyphWidth;
  if (FontHasGlyph(code)) return static_cast<uint8_t>((FontRow(code, r) << shift) & mask);
  return static_cast<uint8_t>((HollowBoxRow(r) << shift) & mask);
}

bool GraphicsPixel(const BoardModel& model, int x, int y) {
  if (x < 0 || y < 0 || x >= model.config.width || y >= model.config.height) return false;
  return model.graphics[static_cast<size_t>(y) * model.config.width + x] != 0;
}

bool TextPixel(const BoardModel& model, int x, int y) {
  if (x < 0 || y < 0) return false;
  const int p = model.config.pitch;
  const int column = x / p, row = y / 8;
  const int columns = TextColumns(model.config);
  if (column >= columns || row >= TextRows(model.config)) return false;
  const int code = model.text[static_cast<size_t>(row) * columns + column];
  return (GlyphRow(model, code, y % 8) >> (p - 1 - x % p)) & 1;
}

bool DisplayPixel(const BoardModel& model, int x, int y) {
  return GraphicsPixel(model, x, y) || TextPixel(model, x, y);
}

}  // namespace board
