// The link to the board through the open port: every write, and what the
// driver does when the board stops reading, the port goes away or bytes are
// lost. With a board that reads, all of this writes exactly what it is given.
#pragma once

#include <stdint.h>

#include "core/driver_state.h"
#include "link/board_display.h"
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
// The board as the bytes sent to it are read.
inline BoardShape LinkBoardShape() {
  const DriverState& s = g_state;
  return {LinkShape(), s.font_pitch, s.gfx_width, s.gfx_height};
}
// LCD_Init opened `port` under `name` at `baud_rate`: the board starts in step.
void LinkStarted(PortHandle port, const char* name, int32_t baud_rate);
// The port was shut: nothing is owed to any board.
void LinkClosed();

// At the start of every export that writes, before its first put: a board
// that is out of step is brought back, at most once a second: a board that
// stopped reading is probed, a port that is gone opened again, and the
// display sent again. A closing call (LCD_CleanUp) only completes the
// command that was cut, opens nothing, and may probe at once. A board that
// took the whole display in the last call gets the driver's time-outs again.
void BringBackInStep(bool closing);
// Every writing call asks; only a board out of step costs more than a test.
inline void BeginWritingCall() {
  if (g_state.link.lost | g_state.link.probing) BringBackInStep(false);
}
inline void BeginClosingCall() {
  if (g_state.link.lost | g_state.link.probing) BringBackInStep(true);
}

// Writes all of `size` bytes to the port, in pieces whose write time-out
// stays within about 1.25 s: the rest of a short write while writes make
// progress, a failed write once more when the port had a line error that it
// cleared. A write that times out (a board that stopped reading), a port
// that is gone and any other failure lose the bytes, and nothing more is
// written until a call brings the board back in step. `after`, when given,
// is where the board stands in the command stream once all of the bytes
// arrived (a reader that read them already, or between commands); without
// it the link reads them.
void LinkWrite(const uint8_t* data, uint32_t size, const CommandReader* after = nullptr);
