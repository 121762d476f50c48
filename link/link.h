// The link to the board through the open port: every write, and what the
// driver does when the board stops reading, the port goes away or bytes are
// lost. With a board that reads, all of this writes exactly what it is given.
#pragma once

#include <stdint.h>

#include "link/link_state.h"
#include "link/board_display.h"
#include "platform/platform.h"

// True while the driver owns a port: open, or gone and being opened again.
// Puts, flushes and LCD_CleanUp treat both alike. (Every put asks: inline.)
inline bool LinkIsOpen() { return PortIsOpen(g_link.port) || g_link.link.mode == kLinkGone; }
// How the board counts SetBitmap payloads: the controller the port was
// opened for, and the width of the last KS108 picture.
inline StreamShape LinkShape() {
  const LinkRecord& l = g_link.link;
  return {l.controller == kControllerKS108, l.ks108_width};
}
// The board as the bytes sent to it are read.
inline BoardShape LinkBoardShape() {
  const LinkState& s = g_link;
  return {LinkShape(), s.font_pitch, s.gfx_width, s.gfx_height};
}
// LCD_Init, started at `call_started_ms` on the platform's clock, opened
// `port` under `name` at `baud_rate`: the board starts in step.
void LinkStarted(PortHandle port, const char* name, int32_t baud_rate, uint64_t call_started_ms);
// The port was shut: nothing is owed to any board.
void LinkClosed();

// At the start of every export that writes, before its first put: the
// call's writes are timed afresh, and a port that is gone is opened again,
// at most once a second.
void BringBackInStep();
inline void BeginCall() {
  g_link.link.call_late_ms = 0;
  g_link.link.call_line_ms = 0;
  g_link.link.fell_this_call = 0;
}
inline void BeginWritingCall() {
  BeginCall();
  if (g_link.link.mode == kLinkGone) BringBackInStep();
}
// At the end of every export that writes, once the buffers were emptied into
// the host's display: while the board is behind, what it lacks goes out
// within the call's time budget. A closing call (LCD_CleanUp) measures
// nothing. With a board that keeps up this is one test.
void LinkEndCall(bool closing);
// A call that sent nothing because the board shows it already (GfxChangesOnly)
// asks the port instead: a write would have found an unplugged board gone,
// and the one plugged in again gets the display.
void LinkCheckPort();

// Writes all of `size` bytes to the port while the board keeps up, in pieces
// whose write time-out stays within about 1.3 s, the rest of a short write
// while writes make progress at the line's pace. A piece the board took
// slower than the line, a write that times out or fails, leave the board
// behind: the rest is dropped, and from then on the calls' ends send what
// the board lacks (LinkEndCall). A port that answers no query is gone. `after`, when given,
// is where the board stands in the command stream once all of the bytes
// arrived (a reader that read them already, or between commands); without
// it the link reads them.
void LinkWrite(const uint8_t* data, uint32_t size, const CommandReader* after = nullptr);
