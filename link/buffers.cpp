#include "link/buffers.h"

#include <string.h>

#include "link/board_display.h"

namespace {

const CommandReader kBetweenCommands;

}  // namespace

// Out of line: a put that does not fill its buffer then needs no stack frame.
// Text is read into the board's display as it is written, whether or not it
// reaches the board, and the display's reader then stands where the board
// does; the graphics calls draw their graphics into it, and a graphics flush
// ends between commands (every graphics call puts whole ones).
__attribute__((noinline)) void Transfer(bool text, uint32_t size, bool flush) {
  LinkState& s = g_link;
  if (!text) {
    LinkWrite(s.gfx_buf, size, flush ? &kBetweenCommands : nullptr);
    return;
  }
  const uint8_t drawn = s.shown.graphics_drawn;
  ReadTextStream(&s.shown, LinkBoardShape(), s.text_buf, size);
  LinkWrite(s.text_buf, size, &s.shown.reader);
  // A ResetDisplay among the text cleared graphics still in the graphics
  // buffer, which reach the board after it: they are read again (the buffer
  // starts between commands, as every graphics call ends there).
  if (drawn && !s.shown.graphics_drawn && s.gfx_count > 0) {
    ReadGfxStream(&s.shown, LinkBoardShape(), s.gfx_buf, s.gfx_count);
  }
}

__attribute__((noinline)) void TransferFull(bool text) {
  LinkState& s = g_link;
  Transfer(text, text ? s.text_buffer_size : s.gfx_buffer_size, false);
  (text ? s.text_count : s.gfx_count) = 0;
}

namespace {

int Flush(TxBuffer b) {
  if (!LinkIsOpen()) return 1;
  if (*b.count > 0 && *b.count <= b.capacity) {
    Transfer(b.recorded, *b.count, true);
    *b.count = 0;
  }
  return 0;
}

// Here count < size <= capacity always holds: LoadSettings keeps the size
// within 1 to the capacity, every put leaves the count below the size, and
// after a size changes (LCD_Init) the count is 0 before the next put
// (LCD_CleanUp flushes, OpenPort empties the buffers). So every byte is
// stored, and the buffer is written each time the count reaches the size.
// Only a byte put into an empty buffer can leave the count at 1, unless the
// size is 1 and it goes out at once.
int PutRun(TxBuffer b, const uint8_t* bytes, uint32_t count) {
  // While the port is closed both counts are 0 (OpenPort empties the
  // buffers before it opens, LCD_CleanUp flushes before it closes), and a
  // put changes nothing.
  if (!LinkIsOpen()) return 0;
  int left_alone = 0;
  uint32_t filled = *b.count;
  while (count > 0) {
    uint32_t room = b.size - filled;
    uint32_t take = count < room ? count : room;
    if (filled == 0 && b.size > 1) left_alone = 1;
    memcpy(b.bytes + filled, bytes, take);
    filled += take;
    bytes += take;
    count -= take;
    if (filled == b.size) {
      *b.count = b.size;  // as Put leaves it during the write
      Transfer(b.recorded, b.size, false);
      filled = 0;
    }
  }
  *b.count = filled;
  return left_alone;
}

}  // namespace

int PutGfxBytes(const uint8_t* bytes, uint32_t count) { return PutRun(GfxBuffer(), bytes, count); }
int FlushTextBuffer() { return Flush(TextBuffer()); }
int FlushGfxBuffer() { return Flush(GfxBuffer()); }

void WriteDirect(uint8_t byte) {
  if (!LinkIsOpen()) return;
  ReadTextStream(&g_link.shown, LinkBoardShape(), &byte, 1);
  LinkWrite(&byte, 1, &g_link.shown.reader);
}

void CatchUpBehind(bool closing) {
  LinkState& s = g_link;
  FlushTextBuffer();  // dropped on the way, read into the display
  s.gfx_count = 0;
  s.flush_pending = 0;
  LinkEndCall(closing);
}
