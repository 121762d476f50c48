// LCD_SendToGfxMemory: a changed rectangle of the host's picture to the board.
#include "core/driver_state.h"
#include "core/exports.h"
#include "core/trace.h"
#include "display/pack.h"
#include "link/board_display.h"
#include "link/buffers.h"
#include "link/commands.h"
#include "link/link.h"

namespace {

// A port write inside a command (the buffer emptied before the command's last
// header byte) leaves the rest of it buffered: the call must end with a flush.
void PutHeader(const uint8_t* header, uint32_t length) {
  PutGfxBytes(header, length);
  if (g_state.gfx_count < length) g_state.flush_pending = 1;
}

// Payload bytes are packed into a run on the stack and put a run at a time.
// A row or a band is at most 255 bytes (8-bit counts on the wire).
const uint32_t kRunSize = 256;

// Puts payload bytes, each followed by the byte check: a write right before
// a byte leaves it alone in the buffer.
void PutPayload(const uint8_t* bytes, uint32_t count) {
  if (PutGfxBytes(bytes, count)) g_state.flush_pending = 1;
}

void SendKs108(const Picture& picture) {
  Ks108Frame frame = Ks108FrameFor(g_state.gfx_width, g_state.gfx_height);
  // The link counts the payload by the board's rule for this width.
  g_state.link.ks108_width = (uint8_t)frame.columns;
  const uint8_t header[5] = {kCmdSetBitmap, 0, 0, frame.width_byte, frame.height};
  PutHeader(header, 5);
  LogWrite("SetBitmap() x=%03d y=%03d width=%03d bytes height=%03d pixels\n", 0, 0,
           frame.width_byte, frame.height);
  uint8_t run[kRunSize];
  const bool drawn = LinkIsOpen();
  for (uint32_t band = 0; band < frame.bands; ++band) {
    ColumnBytes(picture, 0, (int64_t)band * 8, frame.columns, run);
    if (drawn) DrawColumnBytes(&g_state.shown, header + 1, band, run, frame.columns);
    PutPayload(run, frame.columns);
  }
}

// Rows from rect.top on: as many whole rows as fit go into one run, so that
// a small block is put in one go.
void SendRows(const Picture& picture, const ByteRect& rect, int pitch) {
  uint8_t run[kRunSize];
  uint32_t used = 0;
  const bool drawn = LinkIsOpen();
  for (uint32_t row = 0; row < rect.rows; ++row) {
    if (used + rect.bytes > kRunSize) {
      PutPayload(run, used);
      used = 0;
    }
    RowBytes(picture, rect.left, rect.top + row, pitch, rect.bytes, run + used);
    if (drawn) DrawRowBytes(&g_state.shown, pitch, rect.left, rect.top + row, run + used, rect.bytes);
    used += rect.bytes;
  }
  PutPayload(run, used);
}

void SendT6963(const Picture& picture, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2) {
  int pitch = g_state.font_pitch;
  ByteRect rect = WidenRect(x1, y1, x2, y2, pitch);
  if (rect.rows > 1) {
    const uint8_t header[5] = {kCmdSetBitmap, rect.left, rect.top, rect.bytes, rect.rows};
    PutHeader(header, 5);
    LogWrite("SetBitmap() x=%03d y=%03d width=%03d bytes height=%03d pixels\n", rect.left,
             rect.top, rect.bytes, rect.rows);
    SendRows(picture, rect, pitch);
  } else if (rect.bytes == 1) {
    uint8_t byte = RowByte(picture, rect.left, rect.top, pitch);
    if (LinkIsOpen()) DrawRowBytes(&g_state.shown, pitch, rect.left, rect.top, &byte, 1);
    const uint8_t command[4] = {kCmdSetGfxSingle, rect.left, rect.top, byte};
    PutHeader(command, 4);
    LogWrite("SetGfxSingle() x=%03d y=%03d by=0x%02X\n", rect.left, rect.top, byte);
  } else {
    const uint8_t header[4] = {kCmdSetGfxMulti, rect.left, rect.top, rect.bytes};
    PutHeader(header, 4);
    LogWrite("SetGfxMulti() x=%03d y=%03d bytes=%03d\n", rect.left, rect.top, rect.bytes);
    SendRows(picture, rect, pitch);
  }
}

}  // namespace

KORVEX_API void KORVEX_CALL LCD_SendToGfxMemory(const uint8_t* bitmap, uint32_t x1, uint32_t y1,
                                                uint32_t x2, uint32_t y2, uint32_t) {
  DriverState& s = g_state;
  SetReady(0);
  BeginWritingCall();
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
  SetReady(1);
}
