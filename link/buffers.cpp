#include "link/buffers.h"

#include <string.h>

#include "core/driver_state.h"
#include "link/port.h"

// A put stores the byte while the buffer has room and counts it regardless:
// the transfer sizes never exceed the capacities (settings correct them), so
// the count reaches the transfer size before it could pass the capacity.
int PutTextByte(uint8_t byte) {
  DriverState& s = g_state;
  if (!PortIsOpen(s.port)) return 1;
  if (s.text_count < kTextBufferCapacity) s.text_buf[s.text_count] = byte;
  ++s.text_count;
  if (s.text_count >= s.text_buffer_size) {
    WriteAll(s.port, s.text_buf, s.text_buffer_size);
    s.text_count = 0;
  }
  return 0;
}

int PutGfxByte(uint8_t byte) {
  DriverState& s = g_state;
  if (!PortIsOpen(s.port)) return 1;
  if (s.gfx_count < kGfxBufferCapacity) s.gfx_buf[s.gfx_count] = byte;
  ++s.gfx_count;
  if (s.gfx_count >= s.gfx_buffer_size) {
    WriteAll(s.port, s.gfx_buf, s.gfx_buffer_size);
    s.gfx_count = 0;
  }
  return 0;
}

int PutGfxBytes(const uint8_t* bytes, uint32_t count, int32_t* left_alone) {
  DriverState& s = g_state;
  if (!PortIsOpen(s.port)) {
    // Every put is a no-op and the count stays what it is.
    if (count > 0 && s.gfx_count == 1) *left_alone = 1;
    return 1;
  }
  const uint32_t size = s.gfx_buffer_size;
  if (size > kGfxBufferCapacity || s.gfx_count >= size) {
    // Not the usual state: the general rule, byte by byte.
    for (uint32_t i = 0; i < count; ++i) {
      PutGfxByte(bytes[i]);
      if (s.gfx_count == 1) *left_alone = 1;
    }
    return 0;
  }
  // Here gfx_count < size <= capacity: every byte is stored, and the buffer
  // is written each time the count reaches the transfer size. Only a byte put
  // into an empty buffer can leave the count at 1, unless the size is 1 and
  // it goes out at once.
  uint32_t filled = s.gfx_count;
  while (count > 0) {
    uint32_t room = size - filled;
    uint32_t take = count < room ? count : room;
    if (filled == 0 && size > 1) *left_alone = 1;
    memcpy(s.gfx_buf + filled, bytes, take);
    filled += take;
    bytes += take;
    count -= take;
    if (filled == size) {
      s.gfx_count = size;  // as PutGfxByte leaves it during the write
      WriteAll(s.port, s.gfx_buf, size);
      filled = 0;
    }
  }
  s.gfx_count = filled;
  return 0;
}

int FlushTextBuffer() {
  DriverState& s = g_state;
  if (!PortIsOpen(s.port)) return 1;
  if (s.text_count > 0 && s.text_count <= kTextBufferCapacity) {
    WriteAll(s.port, s.text_buf, s.text_count);
    s.text_count = 0;
  }
  return 0;
}

int FlushGfxBuffer() {
  DriverState& s = g_state;
  if (!PortIsOpen(s.port)) return 1;
  if (s.gfx_count > 0 && s.gfx_count <= kGfxBufferCapacity) {
    WriteAll(s.port, s.gfx_buf, s.gfx_count);
    s.gfx_count = 0;
  }
  return 0;
}

void WriteDirect(uint8_t byte) {
  if (!PortIsOpen(g_state.port)) return;
  WriteAll(g_state.port, &byte, 1);
}
