#include "link/buffers.h"

#include <string.h>

#include "core/driver_state.h"
#include "display/record.h"
#include "link/link.h"

namespace {

// One of the two transmit buffers: its bytes and fill count in DriverState,
// its capacity and its transfer size.
struct TxBuffer {
  uint8_t* bytes;
  uint32_t* count;
  uint32_t capacity;
  uint32_t size;
};

TxBuffer TextBuffer() {
  DriverState& s = g_state;
  return {s.text_buf, &s.text_count, kTextBufferCapacity, s.text_buffer_size};
}

TxBuffer GfxBuffer() {
  DriverState& s = g_state;
  return {s.gfx_buf, &s.gfx_count, kGfxBufferCapacity, s.gfx_buffer_size};
}

// A put stores the byte while the buffer has room and counts it regardless:
// the transfer sizes never exceed the capacities (settings correct them), so
// the count reaches the transfer size before it could pass the capacity.
int Put(TxBuffer b, uint8_t byte) {
  if (!LinkIsOpen()) return 1;
  if (*b.count < b.capacity) b.bytes[*b.count] = byte;
  ++*b.count;
  if (*b.count >= b.size) {
    LinkWrite(b.bytes, b.size);
    *b.count = 0;
  }
  return 0;
}

int Flush(TxBuffer b) {
  if (!LinkIsOpen()) return 1;
  if (*b.count > 0 && *b.count <= b.capacity) {
    LinkWrite(b.bytes, *b.count);
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
      LinkWrite(b.bytes, b.size);
      filled = 0;
    }
  }
  *b.count = filled;
  return left_alone;
}

}  // namespace

// Text-stream bytes also go into the record of what the display shows, in
// the order the board will read them, whether or not they reach it.
int PutTextByte(uint8_t byte) {
  if (!LinkIsOpen()) return 1;
  RecordTextByte(byte);
  return Put(TextBuffer(), byte);
}
int PutGfxByte(uint8_t byte) { return Put(GfxBuffer(), byte); }
int PutGfxBytes(const uint8_t* bytes, uint32_t count) { return PutRun(GfxBuffer(), bytes, count); }
int FlushTextBuffer() { return Flush(TextBuffer()); }
int FlushGfxBuffer() { return Flush(GfxBuffer()); }

void WriteDirect(uint8_t byte) {
  if (!LinkIsOpen()) return;
  RecordTextByte(byte);
  LinkWrite(&byte, 1);
}
