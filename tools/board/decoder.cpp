#include "tools/board/decoder.h"

#include <stdarg.h>
#include <stdio.h>

namespace board {

int TextColumns(const DisplayConfig& config) {
  return config.pitch > 0 ? config.width / config.pitch : 0;
}

int TextRows(const DisplayConfig& config) { return config.height / 8; }

const char* CommandName(CommandKind kind) {
  switch (kind) {
    case CommandKind::Character: return "Character";
    case CommandKind::ResetDisplay: return "ResetDisplay";
    case CommandKind::SetTextCursor: return "SetTextCursor";
    case CommandKind::SetContrast: return "SetContrast";
    case CommandKind::SetLight: return "SetLight";
    case CommandKind::SetCGRAMChar: return "SetCGRAMChar";
    case CommandKind::SetGfxSingle: return "SetGfxSingle";
    case CommandKind::SetGfxMulti: return "SetGfxMulti";
    case CommandKind::SetBitmap: return "SetBitmap";
    case CommandKind::SetOutPort: return "SetOutPort";
  }
  return "?";
}

const char* AnomalyKindName(AnomalyKind kind) {
  switch (kind) {
    case AnomalyKind::Truncated: return "Truncated";
    case AnomalyKind::OutsideDisplay: return "OutsideDisplay";
    case AnomalyKind::PastEdge: return "PastEdge";
    case AnomalyKind::Misaligned: return "Misaligned";
    case AnomalyKind::EmptyTransfer: return "EmptyTransfer";
    case AnomalyKind::CursorOutsideGrid: return "CursorOutsideGrid";
    case AnomalyKind::BadPort: return "BadPort";
    case AnomalyKind::CommandRangeCharacter: return "CommandRangeCharacter";
    case AnomalyKind::UnusedBits: return "UnusedBits";
    case AnomalyKind::WrongController: return "WrongController";
    case AnomalyKind::NotWholePicture: return "NotWholePicture";
  }
  return "?";
}

bool operator==(const Command& a, const Command& b) {
  return a.kind == b.kind && a.offset == b.offset && a.operands == b.operands &&
         a.payload == b.payload;
}

bool operator!=(const Command& a, const Command& b) { return !(a == b); }

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Operand count of each command byte; false for bytes that are characters.
bool CommandOfByte(uint8_t byte, CommandKind* kind, size_t* operands) {
  switch (byte) {
    case kResetDisplay: *kind = CommandKind::ResetDisplay; *operands = 0; return true;
    case kSetTextCursor: *kind = CommandKind::SetTextCursor; *operands = 2; return true;
    case kSetContrast: *kind = CommandKind::SetContrast; *operands = 1; return true;
    case kSetLight: *kind = CommandKind::SetLight; *operands = 1; return true;
    case kSetCGRAMChar: *kind = CommandKind::SetCGRAMChar; *operands = 1; return true;
    case kSetGfxSingle: *kind = CommandKind::SetGfxSingle; *operands = 2; return true;
    case kSetGfxMulti: *kind = CommandKind::SetGfxMulti; *operands = 3; return true;
    case kSetBitmap: *kind = CommandKind::SetBitmap; *operands = 4; return true;
    case kSetOutPort: *kind = CommandKind::SetOutPort; *operands = 2; return true;
    default: return false;
  }
}

size_t PayloadSize(const DisplayConfig& config, const Command& command) {
  const std::vector<uint8_t>& op = command.operands;
  switch (command.kind) {
    case CommandKind::SetCGRAMChar: return 8;
    case CommandKind::SetGfxSingle: return 1;
    case CommandKind::SetGfxMulti: return op[2];
    case CommandKind::SetBitmap: return BitmapPayloadSize(config, op[2], op[3]);
    default: return 0;
  }
}

void Report(std::vector<Anomaly>& anomalies, Severity severity, AnomalyKind kind,
            uint64_t offset, std::string message) {
  Anomaly anomaly;
  anomaly.severity = severity;
  anomaly.kind = kind;
  anomaly.offset = offset;
  anomaly.message = std::move(message);
  anomalies.push_back(std::move(anomaly));
}

void CheckUnusedBits(const DisplayConfig& config, const Command& command,
                     std::vector<Anomaly>& anomalies) {
  if (config.pitch != 6) return;
  for (uint8_t byte : command.payload) {
    if (byte & 0xC0) {
      Report(anomalies, Severity::Warning, AnomalyKind::UnusedBits, command.offset,
             Format("%s: byte 0x%02X has bit 7 or 6 set, unused with pitch 6",
                    CommandName(command.kind), byte));
      return;
    }
  }
}

// Checks of a T6963 row-byte transfer of n bytes per row over h rows at x, y.
void CheckRowTransfer(const DisplayConfig& config, const Command& command, int x,
                      int y, int n, int h, std::vector<Anomaly>& anomalies) {
  const char* name = CommandName(command.kind);
  const int p = config.pitch;
  if (n == 0 || h == 0) {
    Report(anomalies, Severity::Warning, AnomalyKind::EmptyTransfer, command.offset,
           Format("%s at x=%d y=%d carries no pixels (%d bytes by %d rows)", name, x,
                  y, n, h));
    return;
  }
  if (x >= config.width || y >= config.height) {
    Report(anomalies, Severity::Error, AnomalyKind::OutsideDisplay, command.offset,
           Format("%s at x=%d y=%d starts outside the %dx%d display", name, x, y,
                  config.width, config.height));
    return;
  }
  if (x % p != 0) {
    Report(anomalies, Severity::Warning, AnomalyKind::Misaligned, command.offset,
           Format("%s x=%d is not a multiple of the pitch %d", name, x, p));
  }
  const int right = x + n * p;  // one past the last column
  if (right > config.width) {
    // Whole bytes beyond the edge mean a wrong header; a last byte that only
    // partly fits is what a display width that is no multiple of the pitch gives.
    const bool whole_byte_off = x + (n - 1) * p >= config.width;
    Report(anomalies, whole_byte_off ? Severity::Error : Severity::Warning,
           AnomalyKind::PastEdge, command.offset,
           Format("%s at x=%d with %d bytes of %d pixels reaches column %d, past the "
                  "right edge at %d",
                  name, x, n, p, right - 1, config.width - 1));
  }
  if (y + h > config.height) {
    Report(anomalies, Severity::Error, AnomalyKind::PastEdge, command.offset,
           Format("%s at y=%d with %d rows reaches row %d, past the bottom edge at %d",
                  name, y, h, y + h - 1, config.height - 1));
  }
}

void CheckKs108Bitmap(const DisplayConfig& config, const Command& command,
                      std::vector<Anomaly>& anomalies) {
  const int x = command.operands[0], y = command.operands[1];
  const int columns = Ks108Columns(config, command.operands[2]);
  const int h = command.operands[3];
  if (columns == 0 || h == 0) {
    Report(anomalies, Severity::Warning, AnomalyKind::EmptyTransfer, command.offset,
           Format("SetBitmap at x=%d y=%d carries no pixels (%d columns by %d rows)", x,
                  y, columns, h));
    return;
  }
  if (x >= config.width || y >= config.height) {
    Report(anomalies, Severity::Error, AnomalyKind::OutsideDisplay, command.offset,
           Format("SetBitmap at x=%d y=%d starts outside the %dx%d display", x, y,
                  config.width, config.height));
    return;
  }
  bool past = false;
  if (x + columns > config.width) {
    past = true;
    Report(anomalies, Severity::Error, AnomalyKind::PastEdge, command.offset,
           Format("SetBitmap at x=%d with %d columns reaches column %d, past the right "
                  "edge at %d",
                  x, columns, x + columns - 1, config.width - 1));
  }
  if (y + h > config.height) {
    past = true;
    Report(anomalies, Severity::Error, AnomalyKind::PastEdge, command.offset,
           Format("SetBitmap at y=%d with %d rows reaches row %d, past the bottom edge "
                  "at %d",
                  y, h, y + h - 1, config.height - 1));
  }
  if (!past && (x != 0 || y != 0 || columns != config.width || h != config.height)) {
    Report(anomalies, Severity::Warning, AnomalyKind::NotWholePicture, command.offset,
           Format("SetBitmap covers %dx%d at x=%d y=%d, not the whole %dx%d display", columns,
                  h, x, y, config.width, config.height));
  }
}

void CheckCommand(const DisplayConfig& config, const Command& command,
                  std::vector<Anomaly>& anomalies) {
  const std::vector<uint8_t>& op = command.operands;
  const bool ks108 = config.controller == Controller::KS108;
  switch (command.kind) {
    case CommandKind::Character: {
      const uint8_t code = op[0];
      if (code >= 0xB0 && code <= 0xBE) {
        Report(anomalies, Severity::Warning, AnomalyKind::CommandRangeCharacter,
               command.offset,
               Format("character 0x%02X lies in the command range 0xB0-0xBE: with no "
                      "escape byte, the codes there that are commands reach the board "
                      "as commands",
                      code));
      }
      break;
    }
    case CommandKind::SetTextCursor: {
      const int columns = TextColumns(config), rows = TextRows(config);
      if (op[0] < 1 || op[0] > columns || op[1] < 1 || op[1] > rows) {
        Report(anomalies, Severity::Error, AnomalyKind::CursorOutsideGrid, command.offset,
               Format("SetTextCursor column %d row %d (1-based) lies outside the %dx%d "
                      "text grid (a character 0xB1 in the text reads like this)",
                      op[0], op[1], columns, rows));
      }
      break;
    }
    case CommandKind::SetOutPort:
      if (op[0] > 3) {
        Report(anomalies, Severity::Error, AnomalyKind::BadPort, command.offset,
               Format("SetOutPort port %d does not exist (0 to 3)", op[0]));
      }
      break;
    case CommandKind::SetCGRAMChar:
      CheckUnusedBits(config, command, anomalies);
      break;
    case CommandKind::SetGfxSingle:
    case CommandKind::SetGfxMulti:
      if (ks108) {
        Report(anomalies, Severity::Error, AnomalyKind::WrongController, command.offset,
               Format("%s is a T6963 command; the KS108 board ignores it",
                      CommandName(command.kind)));
        break;
      }
      CheckRowTransfer(config, command, op[0], op[1],
                       command.kind == CommandKind::SetGfxSingle ? 1 : op[2], 1,
                       anomalies);
      CheckUnusedBits(config, command, anomalies);
      break;
    case CommandKind::SetBitmap:
      if (ks108) {
        CheckKs108Bitmap(config, command, anomalies);
      } else {
        CheckRowTransfer(config, command, op[0], op[1], op[2], op[3], anomalies);
        CheckUnusedBits(config, command, anomalies);
      }
      break;
    default:
      break;
  }
}

void Complete(Decoder& decoder, std::vector<Command>& commands,
              std::vector<Anomaly>& anomalies) {
  CheckCommand(decoder.config, decoder.pending, anomalies);
  commands.push_back(std::move(decoder.pending));
  decoder.pending = Command();
  decoder.in_command = false;
}

}  // namespace

int Ks108Columns(const DisplayConfig& config, uint8_t width_bytes) {
  if (width_bytes == config.width / 8) return config.width;
  return 8 * width_bytes;
}

size_t BitmapPayloadSize(const DisplayConfig& config, uint8_t width_bytes,
                         uint8_t height) {
  if (config.controller == Controller::KS108) {
    const size_t bands = (static_cast<size_t>(height) + 7) / 8;
    return bands * static_cast<size_t>(Ks108Columns(config, width_bytes));
  }
  return static_cast<size_t>(width_bytes) * height;
}

void DecoderInit(Decoder& decoder, const DisplayConfig& config) {
  decoder = Decoder();
  decoder.config = config;
}

void DecoderFeed(Decoder& decoder, const uint8_t* data, size_t size,
                 std::vector<Command>& commands, std::vector<Anomaly>& anomalies) {
  size_t i = 0;
  while (i < size) {
    if (!decoder.in_command) {
      const uint8_t byte = data[i];
      Command command;
      command.offset = decoder.offset;
      size_t operands = 0;
      if (!CommandOfByte(byte, &command.kind, &operands)) {
        command.kind = CommandKind::Character;
        command.operands.push_back(byte);
        decoder.pending = std::move(command);
        ++decoder.offset;
        ++i;
        Complete(decoder, commands, anomalies);
        continue;
      }
      decoder.pending = std::move(command);
      decoder.pending.operands.reserve(operands);
      decoder.operands_needed = operands;
      decoder.payload_needed = 0;
      decoder.in_command = true;
      ++decoder.offset;
      ++i;
    } else if (decoder.operands_needed > 0) {
      decoder.pending.operands.push_back(data[i]);
      --decoder.operands_needed;
      ++decoder.offset;
      ++i;
      if (decoder.operands_needed == 0) {
        decoder.payload_needed = PayloadSize(decoder.config, decoder.pending);
        decoder.pending.payload.reserve(decoder.payload_needed);
      }
    } else {
      // Payload: take as much of this chunk as the command still needs.
      size_t take = size - i;
      if (take > decoder.payload_needed) take = decoder.payload_needed;
      decoder.pending.payload.insert(decoder.pending.payload.end(), data + i,
                                     data + i + take);
      decoder.payload_needed -= take;
      decoder.offset += take;
      i += take;
    }
    if (decoder.in_command && decoder.operands_needed == 0 &&
        decoder.payload_needed == 0) {
      Complete(decoder, commands, anomalies);
    }
  }
}

void DecoderFinish(Decoder& decoder, std::vector<Anomaly>& anomalies) {
  if (!decoder.in_command) return;
  const Command& command = decoder.pending;
  std::string detail;
  if (decoder.operands_needed > 0) {
    detail = Format("%d of %d operand bytes", static_cast<int>(command.operands.size()),
                    static_cast<int>(command.operands.size() + decoder.operands_needed));
  } else {
    // A payload is at most 255 x 255 bytes.
    detail = Format("%d of %d payload bytes", static_cast<int>(command.payload.size()),
                    static_cast<int>(command.payload.size() + decoder.payload_needed));
  }
  Report(anomalies, Severity::Error, AnomalyKind::Truncated, command.offset,
         Format("the stream ends inside %s after %s", CommandName(command.kind),
                detail.c_str()));
  decoder.pending = Command();
  decoder.in_command = false;
  decoder.operands_needed = 0;
  decoder.payload_needed = 0;
}

std::string FormatCommand(const Command& command) {
  const std::vector<uint8_t>& op = command.operands;
  switch (command.kind) {
    case CommandKind::Character: {
      const uint8_t code = op[0];
      if (code >= 0x20 && code <= 0x7E && code != '"' && code != '\\') {
        return Format("Text \"%c\"", code);
      }
      return Format("Text \"\\x%02X\"", code);
    }
    case CommandKind::ResetDisplay:
      return "ResetDisplay()";
    case CommandKind::SetTextCursor:
      return Format("SetTextCursor() x=%03d y=%03d", op[0] - 1, op[1] - 1);
    case CommandKind::SetContrast:
      return Format("SetContrast() contrast=%d", op[0]);
    case CommandKind::SetLight:
      return Format("SetLight() light=%d", op[0]);
    case CommandKind::SetCGRAMChar: {
      std::string line = Format("SetCGRAMChar() pos=%03d ", op[0]);
      for (uint8_t row : command.payload) line += Format("0x%02X,", row);
      return line;
    }
    case CommandKind::SetGfxSingle:
      return Format("SetGfxSingle() x=%03d y=%03d by=0x%02X", op[0], op[1],
                    command.payload[0]);
    case CommandKind::SetGfxMulti:
      return Format("SetGfxMulti() x=%03d y=%03d bytes=%03d", op[0], op[1], op[2]);
    case CommandKind::SetBitmap:
      return Format("SetBitmap() x=%03d y=%03d width=%03d bytes height=%03d pixels",
                    op[0], op[1], op[2], op[3]);
    case CommandKind::SetOutPort:
      return Format("SetOutPort() port=%d value=0x%02X", op[0], op[1]);
  }
  return "?";
}

}  // namespace board
