// LCD_SendToGfxMemory: a changed rectangle of the host's picture to the board.
#include <string.h>

#include "core/driver_state.h"
#include "core/exports.h"
#include "link/trace.h"
#include "display/changes.h"
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

// With GfxChangesOnly, a picture that would leave the board as it is (the
// same header, the same column bytes as the last one) is not sent. A part of
// a KS108 picture is never sent: how a board takes a SetBitmap that does not
// start at the top left is not known.
bool Ks108Shown(const Picture& picture, const Ks108Frame& frame) {
  const BoardDisplay& shown = g_state.shown;
  const uint8_t header[4] = {0, 0, frame.width_byte, frame.height};
  if (g_state.link.ks108_width != frame.columns || memcmp(shown.ks108_header, header, 4) != 0) {
    return false;
  }
  uint8_t run[kRunSize];
  for (uint32_t band = 0; band < frame.bands; ++band) {
    ColumnBytes(picture, 0, (int64_t)band * 8, frame.columns, run);
    if (memcmp(run, shown.graphics + band * kShadowColumns, frame.columns) != 0) return false;
  }
  return true;
}

// Returns false when nothing was put: the board shows the picture already.
bool SendKs108(const Picture& picture) {
  Ks108Frame frame = Ks108FrameFor(g_state.gfx_width, g_state.gfx_height);
  if (g_state.gfx_changes_only && LinkIsOpen() && Ks108Shown(picture, frame)) return false;
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
  return true;
}

// Rows from rect.top on: as many whole rows as fit go into one run, so that
// a small block is put in one go.
void SendRows(const Picture& picture, const ByteRect& rect, int pitch) {
  uint8_t run[kRunSize];
  uint32_t used = 0;
  // The rows go into the graphics shadow too (rows past its last are
  // outside the protocol's 8-bit rows and never occur).
  uint32_t shown_bytes = rect.bytes;
  uint8_t* shown =
      LinkIsOpen() ? ShadowRow(&g_state.shown, pitch, rect.left, rect.top, &shown_bytes) : nullptr;
  for (uint32_t row = 0; row < rect.rows; ++row) {
    if (used + rect.bytes > kRunSize) {
      PutPayload(run, used);
      used = 0;
    }
    RowBytes(picture, rect.left, rect.top + row, pitch, rect.bytes, run + used);
    if (shown != nullptr) {
      memcpy(shown, run + used, shown_bytes);
      shown += kShadowRowBytes;
    }
    used += rect.bytes;
  }
  PutPayload(run, used);
}

// The header and trace line of the command for `rows` rows of `width` bytes
// from (left, top), by its shape: SetGfxSingle carries its one byte
// (`single`). Returns whether payload rows follow.
bool PutBoxHeader(uint8_t left, uint8_t top, uint8_t width, uint8_t rows, uint8_t single) {
  if (rows > 1) {
    const uint8_t header[5] = {kCmdSetBitmap, left, top, width, rows};
    PutHeader(header, 5);
    LogWrite("SetBitmap() x=%03d y=%03d width=%03d bytes height=%03d pixels\n", left, top, width,
             rows);
    return true;
  }
  if (width == 1) {
    const uint8_t command[4] = {kCmdSetGfxSingle, left, top, single};
    PutHeader(command, 4);
    LogWrite("SetGfxSingle() x=%03d y=%03d by=0x%02X\n", left, top, single);
    return false;
  }
  const uint8_t header[4] = {kCmdSetGfxMulti, left, top, width};
  PutHeader(header, 4);
  LogWrite("SetGfxMulti() x=%03d y=%03d bytes=%03d\n", left, top, width);
  return true;
}

void SendT6963(const Picture& picture, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2) {
  int pitch = g_state.font_pitch;
  ByteRect rect = WidenRect(x1, y1, x2, y2, pitch);
  const bool single = rect.rows == 1 && rect.bytes == 1;
  const uint8_t byte = single ? RowByte(picture, rect.left, rect.top, pitch) : 0;
  if (single && LinkIsOpen()) DrawRowBytes(&g_state.shown, pitch, rect.left, rect.top, &byte, 1);
  if (PutBoxHeader(rect.left, rect.top, rect.bytes, rect.rows, byte)) {
    SendRows(picture, rect, pitch);
  }
}

// The rectangle packed, what differs from the shadow marked; the boxes of
// the plan go out from the packed bytes.
struct ChangedRect {
  ByteRect rect;
  int pitch;
  uint8_t packed[kChangeRows * kChangeColumns];
  ChangeMap map;
};

void SendChangedBox(void* context, const ChangeBox& box) {
  const ChangedRect& c = *(const ChangedRect*)context;
  const uint8_t* bytes = c.packed + box.row * c.rect.bytes + box.column;
  if (!PutBoxHeader((uint8_t)(c.rect.left + box.column * c.pitch),
                    (uint8_t)(c.rect.top + box.row), box.columns, box.rows, bytes[0])) {
    return;
  }
  for (uint32_t row = 0; row < box.rows; ++row) PutPayload(bytes + row * c.rect.bytes, box.columns);
}

// GfxChangesOnly on a T6963: only what the board does not show yet. The
// shadow (g_state.shown) is what the board shows once every byte put so far
// has arrived: the graphics calls draw into it what they put, it is cleared
// with the board by ResetDisplay, and a recovery sends it whole, so after
// LCD_Init and after bytes were lost the board shows exactly the shadow. It does not know
// the board while no port is open (nothing is put, nothing read): then the
// rectangle goes out as ever, to no board. Returns false when nothing differs.
bool SendT6963Changes(const Picture& picture, uint32_t x1, uint32_t y1, uint32_t x2,
                      uint32_t y2) {
  bool changed = false;
  ChangedRect c;
  c.pitch = g_state.font_pitch;
  c.rect = WidenRect(x1, y1, x2, y2, c.pitch);
  const uint32_t n = c.rect.bytes, first = c.rect.left / (uint32_t)c.pitch;
  ClearChanges(&c.map, n, c.rect.rows);
  // Each row compared, then drawn into the shadow: once the boxes arrive the
  // board shows the whole rectangle.
  for (uint32_t row = 0; row < c.rect.rows; ++row) {
    uint8_t* packed = c.packed + row * n;
    RowBytes(picture, c.rect.left, c.rect.top + row, c.pitch, n, packed);
    uint8_t* shown = g_state.shown.graphics + (c.rect.top + row) * kShadowRowBytes + first;
    if (memcmp(packed, shown, n) == 0) continue;
    for (uint32_t column = 0; column < n; ++column) {
      if (packed[column] != shown[column]) MarkChange(&c.map, column, row);
    }
    memcpy(shown, packed, n);
    g_state.shown.graphics_drawn = 1;
    changed = true;
  }
  const BoxSink sink = {SendChangedBox, &c};
  PlanChanges(c.map, &sink);
  return changed;
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
  bool put = true;
  if (s.controller == kControllerKS108) {
    put = SendKs108(picture);
  } else if (s.controller == kControllerT6963) {
    if (s.gfx_changes_only && LinkIsOpen()) {
      put = SendT6963Changes(picture, x1, y1, x2, y2);
    } else {
      SendT6963(picture, x1, y1, x2, y2);
    }
  }
  if (s.flush_pending == 1 || s.gfx_force_flush != 0) {
    FlushGfxBuffer();
    s.flush_pending = 0;
  }
  if (!put) LinkCheckPort();
  EndWritingCall();
  SetReady(1);
}
