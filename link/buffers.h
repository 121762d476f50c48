// The two transmit buffers and the direct write: the only ways bytes reach
// the port. Puts and flushes return 1 when the port is not open, else 0.
#pragma once

#include <stdint.h>

#include "link/link_state.h"
#include "link/link.h"

// One of the two transmit buffers: its bytes and fill count in DriverState,
// its capacity and its transfer size. The text stream's transfers also go
// into the board's display, whether or not they reach the board.
struct TxBuffer {
  uint8_t* bytes;
  uint32_t* count;
  uint32_t capacity;
  uint32_t size;
  bool recorded;
};

inline TxBuffer TextBuffer() {
  LinkState& s = g_link;
  return {s.text_buf, &s.text_count, kTextBufferCapacity, s.text_buffer_size, true};
}

inline TxBuffer GfxBuffer() {
  LinkState& s = g_link;
  return {s.gfx_buf, &s.gfx_count, kGfxBufferCapacity, s.gfx_buffer_size, false};
}

// Writes the first `size` bytes of the text or graphics buffer; a flush
// writes what the buffer holds.
void Transfer(bool text, uint32_t size, bool flush);
// Writes the full text or graphics buffer and empties it.
void TransferFull(bool text);

// A put stores the byte while the buffer has room and counts it regardless:
// the transfer sizes never exceed the capacities (settings correct them), so
// the count reaches the transfer size before it could pass the capacity.
// Inline, and calling out only when the buffer is full: a put is the hot
// path of text, one call a character.
inline int Put(TxBuffer b, uint8_t byte) {
  if (!LinkIsOpen()) return 1;
  if (*b.count < b.capacity) b.bytes[*b.count] = byte;
  if (++*b.count >= b.size) TransferFull(b.recorded);
  return 0;
}

inline int PutTextByte(uint8_t byte) { return Put(TextBuffer(), byte); }
inline int PutGfxByte(uint8_t byte) { return Put(GfxBuffer(), byte); }
// Puts `count` bytes exactly as that many PutGfxByte calls would (the same
// port writes at the same points), copying between the writes instead of
// going byte by byte. Returns 1 when after one of the puts the buffer held
// exactly one byte, else 0 (also when the port is not open).
int PutGfxBytes(const uint8_t* bytes, uint32_t count);
int FlushTextBuffer();
int FlushGfxBuffer();
void WriteDirect(uint8_t byte);
// The end of every export that writes. While the board is behind, the host's
// streams go into its display and nowhere else: the text buffer is read into
// it, the graphics buffer was drawn by its calls; both start empty again, and
// the link sends what the board lacks. With a board that keeps up, one test.
void CatchUpBehind(bool closing);
inline void EndWritingCall() {
  if (g_link.link.mode == kLinkBehind) CatchUpBehind(false);
}
