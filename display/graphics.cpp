// LCD_SendToGfxMemory: a changed rectangle of the host's picture to the board.
#include "core/driver_state.h"
#include "core/exports.h"
#include "core/trace.h"
#include "display/pack.h"
#include "link/buffers.h"
#include "link/commands.h"

namespace {

// A port write inside a command (the buffer emptied before the command's last
// header byte) leaves the rest of it buffered: the call must end with a flush.
void HeaderCheck(uint32_t header_length) {
  if (g_state.gfx_count < header_length) g_state.flush_pending = 1;
}

// A write right before this payload byte leaves it alone in the buffer.
inline void PutPayloadByte(uint8_t byte) {
  PutGfxByte(byte);
  if (g_state.gfx_count == 1) g_state.flush_pending = 1;
}

void SendKs108(const Picture& picture) {
  Ks108Frame frame = Ks108FrameFor(g_state.gfx_width, g_state.gfx_height);
  PutGfxByte(kCmdSetBitmap);
  PutGfxByte(0);
  PutGfxByte(0);
  PutGfxByte(frame.width_byte);
  PutGfxByte(frame.height);
  HeaderCheck(5);
  LogWrite("SetBitmap() x=%03d y=%03d width=%03d bytes height=%03d pixels\n", 0, 0,
           frame.width_byte, frame.height);
  for (uint32_t band = 0; band < frame.bands; ++band) {
    for (uint32_t column = 0; column < frame.columns; ++column) {
      PutPayloadByte(ColumnByte(picture, column, (int64_t)band * 8));
    }
  }
}

void SendRow(const Picture& picture, const ByteRect& rect, uint32_t y, int pitch) {
  for (uint32_t i = 0; i < rect.bytes; ++i) {
    PutPayloadByte(RowByte(picture, rect.left + (int64_t)i * pitch, y, pitch));
  }
}

void SendT6963(const Picture& picture, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2) {
  int pitch = g_state.font_pitch;
  ByteRect rect = WidenRect(x1, y1, x2, y2, pitch);
  if (rect.rows > 1) {
    PutGfxByte(kCmdSetBitmap);
    PutGfxByte(rect.left);
    PutGfxByte(rect.top);
    PutGfxByte(rect.bytes);
    PutGfxByte(rect.rows);
    HeaderCheck(5);
    LogWrite("SetBitmap() x=%03d y=%03d width=%03d bytes height=%03d pixels\n", rect.left,
             rect.top, rect.bytes, rect.rows);
    for (uint32_t row = 0; row < rect.rows; ++row) SendRow(picture, rect, rect.top + row, pitch);
  } else if (rect.bytes == 1) {
    uint8_t byte = RowByte(picture, rect.left, rect.top, pitch);
    PutGfxByte(kCmdSetGfxSingle);
    PutGfxByte(rect.left);
    PutGfxByte(rect.top);
    PutGfxByte(byte);
    HeaderCheck(4);
    LogWrite("SetGfxSingle() x=%03d y=%03d by=0x%02X\n", rect.left, rect.top, byte);
  } else {
    PutGfxByte(kCmdSetGfxMulti);
    PutGfxByte(rect.left);
    PutGfxByte(rect.top);
    PutGfxByte(rect.bytes);
    HeaderCheck(4);
    LogWrite("SetGfxMulti() x=%03d y=%03d bytes=%03d\n", rect.left, rect.top, rect.bytes);
    SendRow(picture, rect, rect.top, pitch);
  }
}

}  // namespace

KORVEX_API void KORVEX_CALL LCD_SendToGfxMemory(const uint8_t* bitmap, uint32_t x1, uint32_t y1,
                                                uint32_t x2, uint32_t y2, uint32_t) {
  DriverState& s = g_state;
  s.ready = 0;
  FlushTextBuffer();
  LogWrite("\nLCD_SendToGfxMemory() x1=%03d x2=%03d y1=%03d y2=%03d\n", (int)(x1 & 0xFFFF),
           (int)(x2 & 0xFFFF), (int)(y1 & 0xFFFF), (int)(y2 & 0xFFFF));
  // A null picture reads as all clear: the command still goes out, so the
  // board's state stays what the host expects.
  Picture picture = MakePicture(bitmap, s.gfx_width, s.gfx_height);
  if (s.controller == kControllerKS108) {
    SendKs108(picture);
  } else if (s.controller == kControllerT6963) {
    SendT6963(picture, x1, y1, x2, y2);
  }
  if (s.flush_pending == 1 || s.gfx_force_flush != 0) {
    FlushGfxBuffer();
    s.flush_pending = 0;
  }
  s.ready = 1;
}
