// The board's one-byte commands, and how long each is. Operands are single
// bytes.
#pragma once

#include <stdint.h>

const uint8_t kCmdResetDisplay = 0xB0;   // -
const uint8_t kCmdSetTextCursor = 0xB1;  // column + 1, row + 1
const uint8_t kCmdSetContrast = 0xB3;    // value
const uint8_t kCmdSetLight = 0xB4;       // value
const uint8_t kCmdSetCGRAMChar = 0xB5;   // position, 8 row bytes
const uint8_t kCmdSetGfxSingle = 0xB7;   // x, y, byte
const uint8_t kCmdSetGfxMulti = 0xBA;    // x, y, n, n bytes
const uint8_t kCmdSetBitmap = 0xBB;      // x, y, width in bytes, height, payload
const uint8_t kCmdSetOutPort = 0xBE;     // port 0..3, value

// A byte that is no command: the board takes it as a character.
const int kNotACommand = -1;

// The operand bytes that follow `byte` before any payload (SetGfxSingle's
// pixel byte counts as an operand), or kNotACommand.
inline int HeaderLength(uint8_t byte) {
  switch (byte) {
    case kCmdResetDisplay: return 0;
    case kCmdSetContrast:
    case kCmdSetLight:
    case kCmdSetCGRAMChar: return 1;
    case kCmdSetTextCursor:
    case kCmdSetOutPort: return 2;
    case kCmdSetGfxSingle:
    case kCmdSetGfxMulti: return 3;
    case kCmdSetBitmap: return 4;
    default: return kNotACommand;
  }
}

// True for the nine command bytes (HeaderLength is not kNotACommand): a
// test of a bit, for the loops that run over every byte of a stream.
inline bool IsCommandByte(uint8_t byte) {
  // Bits 0, 1, 3, 4, 5, 7, 10, 11 and 14: 0xB0, 0xB1, 0xB3 ... 0xBE. Text
  // falls out at the first test.
  const unsigned offset = byte - 0xB0u;
  return offset <= 0x0E && ((0x4CBBu >> offset) & 1) != 0;
}

// Where a command stream stands, read the way the board reads it: between
// commands, or inside one with so much of its header and payload still to
// come. Plain bytes, so that it lives in the driver's state record.
struct CommandReader {
  uint8_t in_command = 0;
  uint8_t command = 0;
  uint8_t have = 0;  // header bytes read
  uint8_t header[4] = {};
  uint32_t payload_left = 0;
};

// How a reader counts a SetBitmap payload: T6963 rows of `width` bytes, or
// KS108 bands of columns. A KS108 board that is `ks108_width` pixels wide
// takes one column a pixel when the header's width byte is its own width / 8,
// otherwise 8 a width byte.
struct StreamShape {
  bool ks108;
  uint8_t ks108_width;
};

// The payload bytes of `command` after the complete header `header`.
inline uint32_t PayloadLength(uint8_t command, const uint8_t* header, StreamShape shape) {
  switch (command) {
    case kCmdSetCGRAMChar: return 8;
    case kCmdSetGfxMulti: return header[2];
    case kCmdSetBitmap: {
      if (!shape.ks108) return (uint32_t)header[2] * header[3];
      const uint32_t columns =
          header[2] == shape.ks108_width / 8 ? shape.ks108_width : 8u * header[2];
      return ((uint32_t)header[3] + 7) / 8 * columns;
    }
    default: return 0;
  }
}

// Moves `reader` over `count` bytes of the stream. Payloads are skipped as a
// whole, so a transfer of pixel bytes costs next to nothing.
void ReadCommands(CommandReader* reader, const uint8_t* bytes, uint32_t count, StreamShape shape);
