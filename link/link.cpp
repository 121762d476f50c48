#include "link/link.h"

#include <string.h>

#include "core/driver_state.h"
#include "core/trace.h"
#include "display/record.h"
#include "link/commands.h"
#include "link/port.h"

namespace {

// At most one probe or reopen a second.
const uint64_t kRetryMs = 1000;
// A probe's write time-out: once a second, so a board that does not read
// costs the host about 2 % of its time.
const uint32_t kProbeTimeoutMs = 20;
// A short write that took this long ran out of its time-out (the driver's
// constant is 1000 ms; timers run a little early or late).
const uint64_t kWaitedOutMs = 500;

// Where the board stands, read from the record where the wire follows it.
// Called before the bytes of a text transfer are queued, so the record then
// stands before them.
CommandReader& Wire() {
  LinkRecord& l = g_state.link;
  if (l.wire_follows_text) {
    RecordCatchUp();
    l.wire = g_state.shown.reader;
    l.wire_follows_text = 0;
  }
  return l.wire;
}

// The port's write time-outs: the driver's own, or the probe's.
bool SetWriteTimeouts(bool probe) {
  PortTimeouts t = DriverTimeouts(g_state.link.baud_rate);
  if (probe) {
    t.write_total_multiplier = 0;
    t.write_total_constant = kProbeTimeoutMs;
  }
  return PlatformPortSetTimeouts(g_state.port, &t);
}

// The port answers nothing any more (unplugged, resumed from sleep, its
// driver restarted): its handle is dead and would keep the name taken, so it
// is closed now, and the port is opened again by name at most once a second.
void PortGone(uint32_t error) {
  Wire();  // where the board stands: the bytes after this never arrive
  DriverState& s = g_state;
  LinkRecord& l = s.link;
  PlatformPortClose(s.port);
  s.port = kNoPort;
  l.mode = kLinkGone;
  l.lost = 1;
  l.probing = 0;
  l.next_try_ms = PlatformTickMs() + kRetryMs;
  LogWrite("\nPort %s lost, error %ld; opened again once a second\n", l.port_name, (long)error);
}

// A write ran out of time: the board is not reading. The rest is dropped,
// and later calls probe it once a second under the short time-out.
void BoardStalled() {
  Wire();
  LinkRecord& l = g_state.link;
  l.lost = 1;
  if (l.probing) {
    l.probing = 0;  // still not reading
    return;
  }
  l.mode = kLinkStalled;
  l.next_try_ms = PlatformTickMs() + kRetryMs;
  if (!SetWriteTimeouts(true)) {
    PortGone(PlatformLastError());
    return;
  }
  LogWrite("\nPort %s: the board takes no bytes; writes are dropped, tried again once a second\n",
           l.port_name);
}

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

// Any other failure: the transfer is lost, the board out of step.
void TransferLost(uint32_t error) {
  Wire();
  LinkRecord& l = g_state.link;
  l.lost = 1;
  if (l.probing) {
    l.probing = 0;  // a probe that fails says nothing new
    return;
  }
  LogWrite("\nPort %s: a write failed, error %ld; the display is sent again\n", l.port_name,
           (long)error);
}

// The bytes that finish the command the board is inside. Header bytes still
// to come are zero, so that a cut header announces no payload (a cursor
// position is the top left cell, a custom character's position one that the
// record defines again next); payload bytes are zero. None of them is a
// command byte: a board that was reset instead takes them as characters,
// which the ResetDisplay that follows wipes.
void EmitCompletion(ByteSink* sink) {
  const CommandReader& w = Wire();
  if (!w.in_command) return;
  const int length = HeaderLength(w.command);
  if (w.have < length) {
    uint8_t header[4];
    memcpy(header, w.header, sizeof header);
    for (int i = w.have; i < length; ++i) {
      header[i] = w.command == kCmdSetCGRAMChar    ? RecordSafeGlyphPosition()
                  : w.command == kCmdSetTextCursor ? 1
                                                   : 0;
      SinkPut(sink, header[i]);
    }
    for (uint32_t n = PayloadLength(w.command, header, LinkShape()); n > 0; --n) SinkPut(sink, 0);
    return;
  }
  for (uint32_t n = w.payload_left; n > 0; --n) SinkPut(sink, 0);
}

// Brings the board back in step: what waits in the buffers is dropped (the
// record holds the text, the host's picture the graphics), the command that
// was cut is completed and, unless the call is closing the port anyway, the
// display is reset and drawn again from the record.
void Resend(bool closing) {
  DriverState& s = g_state;
  // Text put but not written yet is part of what the host drew; the board
  // stands where the bytes written left it.
  Wire();
  RecordTextBytes(s.text_buf, s.text_count);
  s.text_count = 0;
  s.gfx_count = 0;
  s.flush_pending = 0;
  s.link.lost = 0;
  // The graphics buffer is free: it was just emptied, and nothing is put
  // into it before this returns.
  ByteSink sink = {s.gfx_buf, kGfxBufferCapacity, 0};
  EmitCompletion(&sink);
  if (closing) {
    s.link.missed = 1;  // the display is not sent: a later port sends it
  } else {
    EmitDisplay(&sink);
    s.link.redraw_picture = 1;
  }
  SinkFlush(&sink);
}

}  // namespace

void BringBackInStep(bool closing) {
  DriverState& s = g_state;
  LinkRecord& l = s.link;
  if (!l.lost || !LinkIsOpen()) return;
  const uint64_t now = PlatformTickMs();
  if (l.mode == kLinkGone) {
    if (closing || now < l.next_try_ms) return;
    l.next_try_ms = now + kRetryMs;
    PortHandle port = ReopenPort(l.port_name, l.baud_rate);
    if (!PortIsOpen(port)) return;
    s.port = port;
    l.mode = kLinkUp;
    LogWrite("\nPort %s back; the display is sent again\n", l.port_name);
  } else if (l.mode == kLinkStalled) {
    if (!closing && now < l.next_try_ms) return;
    l.next_try_ms = now + kRetryMs;
    l.probing = 1;
  }
  Resend(closing);
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
  // What the old port was sent last (the clean-up's reset among it) is part
  // of what the display shows; the buffers start empty, so the text stream
  // starts between commands.
  RecordCatchUp();
  s.shown.reader = CommandReader();
  if (!missed) return;
  // The same board on a port that was gone or stalled may still be inside
  // the command the loss cut: it gets the rest before LCD_Init's reset, which
  // it would otherwise take for an operand (a fresh board takes them as
  // characters). What a reset keeps, the custom characters and the out
  // ports, it may have missed: the display goes out again.
  l.wire = cut;
  l.ks108_width = ks108_width;
  ByteSink sink = {s.gfx_buf, kGfxBufferCapacity, 0};
  EmitCompletion(&sink);
  EmitDisplay(&sink);
  SinkFlush(&sink);
}

void LinkClosed() {
  LinkRecord& l = g_state.link;
  // Where the board stands stays known, for the next port.
  Wire();
  l.missed |= l.lost;
  l.mode = kLinkUp;
  l.lost = 0;
  l.probing = 0;
  l.redraw_picture = 0;
}

void LinkWrite(const uint8_t* data, uint32_t size, WireAfter after) {
  DriverState& s = g_state;
  LinkRecord& l = s.link;
  if (!PortIsOpen(s.port) || l.lost || (l.mode == kLinkStalled && !l.probing)) return;
  // Where the board stands before these bytes, unless the record can tell.
  if (after != kWireText) Wire();
  const uint32_t total = size;
  bool retried = false;
  while (size > 0) {
    uint32_t written = 0;
    const uint64_t started = PlatformTickMs();
    const bool ok = PlatformPortWrite(s.port, data, size, &written);
    if (written > size) written = size;
    if (written > 0) {
      if (written == total && after == kWireText) {
        l.wire_follows_text = 1;
      } else if (written == total && after == kWireBetween) {
        l.wire = CommandReader();
      } else {
        ReadCommands(&Wire(), data, written, LinkShape());
        // The rest of the bytes is read here too.
        after = kWireRead;
      }
      data += written;
      size -= written;
      if (l.probing) {
        BoardReadsAgain();
        if (l.mode != kLinkUp) return;
        continue;
      }
      // A write that came back short at once is written on; one that waited
      // out its time-out for a part (a board that all but stopped reading)
      // would wait once more for the rest: a call waits one time-out at most.
      if (ok && size > 0 && PlatformTickMs() - started >= kWaitedOutMs) {
        BoardStalled();
        return;
      }
      if (ok) continue;
    }
    if (ok) {
      if (size == 0) return;
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
}

void SinkPut(ByteSink* sink, uint8_t byte) {
  sink->bytes[sink->count++] = byte;
  if (sink->count == sink->capacity) SinkFlush(sink);
}

void SinkFlush(ByteSink* sink) {
  LinkWrite(sink->bytes, sink->count);
  sink->count = 0;
}
