// The link to the board through the open port: every write, and what the
// driver does when the board stops reading, the port goes away or bytes are
// lost. With a board that reads, all of this writes exactly what it is given.
#pragma once

#include <stdint.h>

#include "core/driver_state.h"
#include "platform/platform.h"

// True while the driver owns a port: open, or gone and being opened again.
// Puts, flushes and LCD_CleanUp treat both alike. (Every put asks: inline.)
inline bool LinkIsOpen() { return PortIsOpen(g_state.port) || g_state.link.mode == kLinkGone; }
// How the board counts SetBitmap payloads: the controller the port was
// opened for, and the width of the last KS108 picture.
inline StreamShape LinkShape() {
  const LinkRecord& l = g_state.link;
  return {l.controller == kControllerKS108, l.ks108_width};
}
// LCD_Init opened `port` under `name` at `baud_rate`: the board starts in step.
void LinkStarted(PortHandle port, const char* name, int32_t baud_rate);
// The port was shut: nothing is owed to any board.
void LinkClosed();

// At the start of every export that writes, before its first put: a board
// that is out of step is brought back, at most once a second for a board
// that stopped reading (a probe under a short time-out) or a port that is
// gone (opened again). A closing call (LCD_CleanUp) only completes the
// command that was cut, opens nothing, and may probe at once.
void BringBackInStep(bool closing);
// Every writing call asks; only a board out of step costs more than a test.
inline void BeginWritingCall() {
  if (g_state.link.lost) BringBackInStep(false);
}
inline void BeginClosingCall() {
  if (g_state.link.lost) BringBackInStep(true);
}

// Writes all of `size` bytes to the port: the rest of a short write while
// writes make progress, a failed write once more when the port had a line
// error that it cleared. A write that times out (a board that stopped
// reading), a port that is gone and any other failure lose the bytes, and
// nothing more is written until the next call brings the board back in step.
// How the link learns where the board stands once the bytes went out whole.
enum WireAfter {
  kWireRead,     // it reads them
  kWireText,     // text-stream bytes: the record queues the same bytes right
                 // after, and reads them when it must, not twice
  kWireBetween,  // whole commands (a graphics flush): between commands
};
void LinkWrite(const uint8_t* data, uint32_t size, WireAfter after = kWireRead);

// Bytes collected into a buffer and written through LinkWrite whenever it
// fills, for what the link composes itself.
struct ByteSink {
  uint8_t* bytes;
  uint32_t capacity;
  uint32_t count;
};
void SinkPut(ByteSink* sink, uint8_t byte);
void SinkFlush(ByteSink* sink);
