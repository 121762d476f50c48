#include "link/buffers.h"

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
