// The board's one-byte commands. Operands are single bytes.
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
