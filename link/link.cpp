#include "link/link.h"

#include <string.h>

#include "core/driver_state.h"
#include "core/trace.h"
#include "link/board_display.h"
#include "link/commands.h"
#include "link/port.h"

namespace {

// At most one probe, reopen or sending again a second.
const uint64_t kRetryMs = 1000;
// The longest a write may wait for a board that does not read: a call then
// waits about this long once, whatever the line speed and transfer sizes.
const uint64_t kLongestWriteMs = 1280;
// The probe's write time-outs: the line time of its bytes plus this, and a
// piece of at most one USB packet that waits at most kProbeWriteMs. A board
// that does not read, or reads only a trickle, then costs the host a few
// per cent of its time.
const uint32_t kProbeConstantMs = 20;
const uint64_t kProbeWriteMs = 100;
const uint32_t kProbePieceMost = 64;
// The probe's first piece is smaller still: a board that does not read at all
// then costs the host 20 ms and the line time of 8 bytes a second.
const uint32_t kProbeFirstMost = 8;
// A short write that took this long ran out of its time-out (the driver's
// constant is 1000 ms; timers run a little early or late).
const uint64_t kWaitedOutMs = 500;
// Writes that fail in a row, with the port still answering queries, before
// the handle counts as dead (a port resumed from sleep can answer queries
// and fail every write).
const uint8_t kFailedWritesGone = 3;
// Zeros after the completion of a cut command: they absorb a miscount of up
// to one USB packet (a cancelled transfer) before the ResetDisplay that
// wipes them, where the board takes them as characters.
const uint32_t kCompletionSlack = 64;

// The port's write time-outs: the driver's own, or the probe's.
bool SetWriteTimeouts(bool probe) {
  PortTimeouts t = DriverTimeouts(g_state.link.baud_rate);
  if (probe) t.write_total_constant = kProbeConstantMs;
  return PlatformPortSetTimeouts(g_state.port, &t);
}

// The port answers nothing any more (unplugged, resumed from sleep, its
// driver restarted): its handle is dead and would keep the name taken, so it
// is closed now, and the port is opened again by name at most once a second.
void PortGone(uint32_t error) {
  DriverState& s = g_state;
  LinkRecord& l = s.link;
  PlatformPortClose(s.port);
  s.port = kNoPort;
  l.mode = kLinkGone;
  l.lost = 1;
  l.probing = 0;
  l.failed_writes = 0;
  l.next_try_ms = PlatformTickMs() + kRetryMs;
  LogWrite("\nPort %s lost, error %ld; opened again once a second\n", l.port_name, (long)error);
}

// A write ran out of time: the board is not reading. The rest is dropped,
// and later calls probe it once a second under the short time-outs.
void BoardStalled() {
  LinkRecord& l = g_state.link;
  l.lost = 1;
  l.next_try_ms = PlatformTickMs() + kRetryMs;
  if (l.probing) {
    l.probing = 0;  // still not reading, or not at the line's pace
    return;
  }
  l.mode = kLinkStalled;
  if (!SetWriteTimeouts(true)) {
    PortGone(PlatformLastError());
    return;
  }
  LogWrite("\nPort %s: the board takes no bytes; writes are dropped, tried again once a second\n",
           l.port_name);
}

// The display went out whole under the probe's time-outs: the board reads at
// the line's pace again.
void BoardReadsAgain() {
  LinkRecord& l = g_state.link;
  l.probing = 0;
  l.mode = kLinkUp;
  if (!SetWriteTimeouts(false)) {
    PortGone(PlatformLastError());
    return;
  }
  LogWrite("\nPort %s: the board takes bytes again; the display is sent again\n", l.port_name);
}

// Any other failure: the transfer is lost, the board out of step. A port
// whose writes keep failing counts as gone.
void TransferLost(uint32_t error) {
  LinkRecord& l = g_state.link;
  l.lost = 1;
  l.next_try_ms = PlatformTickMs() + kRetryMs;
  if (++l.failed_writes >= kFailedWritesGone) {
    PortGone(error);
    return;
  }
  if (l.probing) {
    l.probing = 0;  // a probe that fails says nothing new
    return;
  }
  LogWrite("\nPort %s: a write failed, error %ld; the display is sent again\n", l.port_name,
           (long)error);
}

void WriteSink(const uint8_t* bytes, uint32_t count) { LinkWrite(bytes, count); }

// The graphics buffer as a sink for what the link composes itself; it is
// free whenever the link composes (emptied, and nothing is put meanwhile).
ByteSink GfxSink() { return {g_state.gfx_buf, kGfxBufferCapacity, 0, WriteSink}; }

// The bytes that finish the command the board is inside, and the slack.
// Header bytes still to come are zero, so that a cut header announces no
// payload (a cursor position is the top left cell, a custom character's
// position one that the display defines again next); payload bytes are
// zero. None of them is a command byte: a board that was reset instead takes
// them as characters, which the ResetDisplay that follows wipes.
void SendCompletion(ByteSink* sink) {
  const CommandReader& w = g_state.link.wire;
  if (w.in_command) {
    const int length = HeaderLength(w.command);
    uint8_t header[4];
    memcpy(header, w.header, sizeof header);
    for (int i = w.have; i < length; ++i) {
      header[i] = w.command == kCmdSetCGRAMChar    ? SafeGlyphPosition(g_state.shown)
                  : w.command == kCmdSetTextCursor ? 1
                                                   : 0;
      SinkPut(sink, header[i]);
    }
    uint32_t payload = w.have < length ? PayloadLength(w.command, header, LinkShape())
                                       : w.payload_left;
    for (; payload > 0; --payload) SinkPut(sink, 0);
  }
  for (uint32_t n = 0; n < kCompletionSlack; ++n) SinkPut(sink, 0);
}

// Brings the board back in step: what waits in the buffers is dropped (the
// board's display holds it all), the command that was cut is completed and,
// unless the call is closing the port anyway, the display is reset and drawn
// again.
void Resend(bool closing) {
  DriverState& s = g_state;
  LinkRecord& l = s.link;
  // Text put but not written yet is part of what the host drew; the graphics
  // calls drew theirs.
  ReadTextStream(&s.shown, LinkBoardShape(), s.text_buf, s.text_count);
  s.text_count = 0;
  s.gfx_count = 0;
  s.flush_pending = 0;
  l.lost = 0;
  ByteSink sink = GfxSink();
  SendCompletion(&sink);
  if (closing) {
    l.missed = 1;  // the display is not sent: a later port sends it
  } else {
    SendDisplay(s.shown, LinkBoardShape(), &sink, true);
  }
  SinkFlush(&sink);
  // A board that took it all reads again; the rest of this call still goes
  // in probe pieces, so that a board that only trickles holds this call no
  // longer than a piece. The next call sets the driver's time-outs again.
}

}  // namespace

void BringBackInStep(bool closing) {
  DriverState& s = g_state;
  LinkRecord& l = s.link;
  if (!l.lost && l.probing) {
    BoardReadsAgain();  // the last call sent the display whole
    return;
  }
  if (!l.lost || !LinkIsOpen()) return;
  const uint64_t now = PlatformTickMs();
  if (!closing && now < l.next_try_ms) return;
  if (l.mode == kLinkGone) {
    if (closing) return;
    l.next_try_ms = now + kRetryMs;
    PortHandle port = ReopenPort(l.port_name, l.baud_rate);
    if (!PortIsOpen(port)) return;
    s.port = port;
    l.mode = kLinkUp;
    LogWrite("\nPort %s back; the display is sent again\n", l.port_name);
  }
  l.next_try_ms = now + kRetryMs;
  l.probing = l.mode == kLinkStalled;
  // A host polling from another thread sees the driver busy while it writes.
  const uint8_t ready = s.ready.load();
  SetReady(0);
  Resend(closing);
  SetReady(ready);
}

void LinkStarted(PortHandle port, const char* name, int32_t baud_rate) {
  DriverState& s = g_state;
  s.port = port;
  LinkRecord& l = s.link;
  const bool missed = l.missed;
  const CommandReader cut = l.wire;
  const uint8_t ks108_width = l.ks108_width;
  l = LinkRecord();
  for (size_t i = 0; i + 1 < sizeof l.port_name && name[i] != '\0'; ++i) l.port_name[i] = name[i];
  l.baud_rate = baud_rate;
  l.controller = s.controller;
  const PortTimeouts t = DriverTimeouts(baud_rate);
  const uint32_t per_byte = t.write_total_multiplier > 0 ? t.write_total_multiplier : 1;
  l.piece = (uint32_t)((kLongestWriteMs - t.write_total_constant) / per_byte);
  l.probe_piece = (uint32_t)((kProbeWriteMs - kProbeConstantMs) / per_byte);
  if (l.piece == 0) l.piece = 1;
  if (l.probe_piece == 0) l.probe_piece = 1;
  if (l.probe_piece > kProbePieceMost) l.probe_piece = kProbePieceMost;
  // The buffers start empty, so the text stream starts between commands.
  s.shown.reader = CommandReader();
  if (!missed) return;
  // The same board on a port that was gone or stalled may still be inside
  // the command the loss cut: it gets the rest before LCD_Init's reset, which
  // it would otherwise take for an operand (a fresh board takes them as
  // characters). What a reset keeps, the custom characters and the out
  // ports, it may have missed: they go out again (the graphics would not
  // outlive the reset).
  l.wire = cut;
  l.ks108_width = ks108_width;
  ByteSink sink = GfxSink();
  SendCompletion(&sink);
  SendDisplay(s.shown, LinkBoardShape(), &sink, false);
  SinkFlush(&sink);
}

void LinkClosed() {
  LinkRecord& l = g_state.link;
  // Where the board stands stays known, for the next port.
  l.missed |= l.lost;
  l.mode = kLinkUp;
  l.lost = 0;
  l.probing = 0;
}

void LinkWrite(const uint8_t* data, uint32_t size, const CommandReader* after) {
  DriverState& s = g_state;
  LinkRecord& l = s.link;
  if (!PortIsOpen(s.port) || l.lost || (l.mode == kLinkStalled && !l.probing)) return;
  // Where the board stands: read from the bytes that went out, unless all of
  // them did and the caller knows where that leaves it.
  const uint8_t* start = data;
  uint32_t sent = 0;
  bool retried = false;
  while (size > 0) {
    const uint32_t piece = !l.probing          ? l.piece
                           : l.probing == 1   ? (l.probe_piece < kProbeFirstMost ? l.probe_piece
                                                                                 : kProbeFirstMost)
                                              : l.probe_piece;
    const uint32_t want = size < piece ? size : piece;
    uint32_t written = 0;
    const uint64_t started = PlatformTickMs();
    const bool ok = PlatformPortWrite(s.port, data, want, &written);
    if (written > want) written = want;
    if (written > 0) {
      data += written;
      size -= written;
      sent += written;
      l.failed_writes = 0;
    }
    if (ok && written == want) {
      if (l.probing) l.probing = 2;  // the first piece went out
      continue;
    }
    // A write that came back short at once is written on; one that waited
    // out its time-out for a part (a board that all but stopped reading)
    // would wait once more for the rest, and a probe must go out whole.
    if (ok && written > 0 && !l.probing && PlatformTickMs() - started < kWaitedOutMs) continue;
    ReadCommands(&l.wire, start, sent, LinkShape());
    start = data;
    sent = 0;
    if (ok) {
      BoardStalled();
      return;
    }
    const uint32_t error = PlatformLastError();
    const PortClearResult cleared = PlatformPortClearError(s.port);
    if (cleared == kPortQueryFailed) {
      PortGone(error);
      return;
    }
    if (PlatformIsTimeoutError(error)) {
      BoardStalled();
      return;
    }
    // A line error (a board that talks back, a break) fails the write with
    // abort-on-error set. Once it is cleared the rest goes out once more; a
    // second failure loses it.
    if (cleared == kPortErrorCleared && !retried) {
      retried = true;
      continue;
    }
    TransferLost(error);
    return;
  }
  if (after != nullptr) {
    l.wire = *after;
  } else {
    ReadCommands(&l.wire, start, sent, LinkShape());
  }
}
