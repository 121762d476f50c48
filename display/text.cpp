// Text layer: characters, cursor, custom characters.
#include "core/driver_state.h"
#include "core/exports.h"
#include "link/trace.h"
#include "display/pack.h"
#include "link/buffers.h"
#include "link/commands.h"
#include "link/link.h"

KORVEX_API void KORVEX_CALL LCD_SendToMemory(uint32_t code) {
  SetReady(0);
  BeginWritingCall();
  uint8_t byte = (uint8_t)code;
  PutTextByte(byte);
  // Printable bytes go to the trace as themselves (not through the formatter,
  // so a '%' stays a '%'): text reads as running text there.
  if (byte >= 0x20) {
    LogRaw(&byte, 1);
  } else {
    LogWrite("0x%02X", byte);
  }
  EndWritingCall();
  SetReady(1);
}

KORVEX_API void KORVEX_CALL LCD_SetOutputAddress(int32_t column, int32_t row) {
  SetReady(0);
  BeginWritingCall();
  PutTextByte(kCmdSetTextCursor);
  // Unsigned arithmetic: a column of INT32_MAX must not overflow.
  PutTextByte((uint8_t)((uint32_t)column + 1));
  PutTextByte((uint8_t)((uint32_t)row + 1));
  LogWrite("\nSetTextCursor() x=%03d y=%03d\n", (int)column, (int)row);
  EndWritingCall();
  SetReady(1);
}

KORVEX_API void KORVEX_CALL LCD_SetCGRAMChar(CgramCharRecord record) {
  DriverState& s = g_state;
  SetReady(0);
  BeginWritingCall();
  PutTextByte(kCmdSetCGRAMChar);
  PutTextByte(record.position);
  LogWrite("\nSetCGRAMChar() pos=%03d ", record.position);
  // The pitch is 6 or 8 after any LCD_Init; clamp so that a stray value never
  // reads past the matrix.
  int pitch = s.font_pitch == 8 ? 8 : 6;
  for (int row = 0; row < 8; ++row) {
    uint8_t byte = CgramRowByte(record, row, pitch);
    PutTextByte(byte);
    LogWrite("0x%02X,", byte);
  }
  LogWrite("\n");
  EndWritingCall();
  SetReady(1);
}

KORVEX_API uint8_t KORVEX_CALL LCD_GetCGRAMChar(uint32_t position) { return (uint8_t)position; }
