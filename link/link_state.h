// The part of the driver's one state record that the link and the trace use:
// the port, the two transmit buffers, where the board stands and what it
// shows, the ready flag and the trace. The record itself, DriverState, is
// defined in core/ as a LinkState and the rest; the link reaches its part
// through g_link, so that it needs nothing from the layers above it.
#pragma once

#include <atomic>
#include <stdint.h>

#include "link/board_display.h"
#include "link/commands.h"
#include "platform/platform.h"

const uint32_t kTextBufferCapacity = 256;
const uint32_t kGfxBufferCapacity = 4096;

const int32_t kControllerT6963 = 6963;
const int32_t kControllerKS108 = 108;

// How the board takes the bytes written to the port.
enum LinkMode : uint8_t {
  kLinkUp,      // it keeps up: the host's streams go out exactly as put
  kLinkBehind,  // it is slower than the line, or bytes were lost: the host's
                // streams are dropped, and each call sends what the board
                // lacks of the host's display, within a time budget
  kLinkGone,    // the port is gone: its handle is closed, a reopen a second
};

// What the board may hold wrong after bytes were lost, besides the text and
// graphics that the reset clears: these go out again whatever the board's
// display says.
const uint8_t kUnsureLight = 1;
const uint8_t kUnsureContrast = 2;
const uint8_t kUnsurePorts = 4;
const uint8_t kUnsureGlyphs = 8;
const uint8_t kUnsureAll = 15;

// Bytes the link composed itself while the board is behind: whole commands
// of what the board lacks, written over as many calls as the budget needs.
// The largest is a KS108 picture of 32 bands of 255 columns.
const uint32_t kPendingCapacity = 8256;

struct LinkRecord {
  uint8_t mode = kLinkUp;
  // Writes that failed at once, in a row, on a port that still answers
  // queries (a port resumed from sleep can answer queries and fail every
  // write).
  uint8_t failed_writes = 0;
  // When the next reopen (gone) or measuring burst (behind) may run, on the
  // platform's clock.
  uint64_t next_try_ms = 0;
  // The port as LCD_Init opened it: a reopen and the close use these, not
  // whatever the host or config.ini have said since.
  char port_name[32] = {};
  int32_t baud_rate = 0;
  int32_t controller = kControllerT6963;
  // The most bytes one write takes while the board keeps up: its time-out
  // stays within the longest wait a call may have.
  uint32_t piece = 1;
  // The width of the last KS108 picture put, to count SetBitmap payloads.
  uint8_t ks108_width = 0;
  // Where the board stands in the command stream, from the bytes written.
  CommandReader wire;
  // The port closed while the board was behind: the next port starts behind.
  uint8_t missed = 0;

  // While behind. What is owed before anything else, in this order: header
  // bytes that finish a cut command, zeros (its payload, and slack), a
  // ResetDisplay; then the composed commands.
  uint8_t owed_head[4] = {};
  uint8_t owed_head_count = 0;
  uint8_t owe_reset = 0;
  uint32_t owed_zeros = 0;
  // The owed head is a glyph position that leads the completion of a write
  // in doubt: until a write surely took it, the board may still stand where
  // its next byte is read as a position.
  uint8_t owed_lead = 0;
  uint32_t pending_count = 0;
  uint32_t pending_sent = 0;
  uint8_t unsure = 0;  // kUnsure... bits
  // The time budget: milliseconds of writing the host lends the link while
  // the board is behind, refilled with time, and what this call spent.
  // In debt (below 0) after a write that the board took slower than hoped.
  int64_t budget_ms = 0;
  uint64_t budget_at_ms = 0;
  uint64_t call_spent_ms = 0;
  // The last write that waited took nothing, and when such a board is
  // offered bytes again.
  uint8_t took_nothing = 0;
  uint64_t next_attempt_ms = 0;
  // The bytes a second the board took lately; whether the last write long
  // enough to tell went at the line's pace, and how many bytes in a row did.
  uint32_t rate_per_s = 0;
  uint8_t at_pace = 0;
  uint32_t fast_bytes = 0;
  uint64_t fast_ms = 0;
  // How late this call's writes were against their line time, in all, and
  // that line time: a board that keeps up makes them late by little.
  int64_t call_late_ms = 0;
  uint64_t call_line_ms = 0;
  // The board fell behind in this call: it spent the call's one time-out.
  uint8_t fell_this_call = 0;
  // The write time-out set instead of the driver's own (0: those are set):
  // while behind, or for the rest of a call that is late already.
  uint32_t behind_timeout_ms = 0;
};

// Default member values are the values at library load, so the record is
// constant-initialized: nothing runs when the library is loaded.
struct LinkState {
  // Set when the host gave a name that does not fit port_name: the next
  // LCD_Init then reports the open as failed instead of opening whatever a
  // cut name would name.
  uint8_t port_name_too_long = 0;
  uint32_t text_buffer_size = 1;
  uint32_t gfx_buffer_size = 64;
  int32_t font_pitch = 6;
  int32_t controller = kControllerT6963;
  // Read by LCD_IsReadyToReceive on whatever thread polls.
  std::atomic<int32_t> log_enabled{0};
  int32_t gfx_width = 240;
  int32_t gfx_height = 64;
  // Read by LCD_IsReadyToReceive, which a host may call from another thread.
  std::atomic<uint8_t> ready{1};
  int32_t flush_pending = 0;
  PortHandle port = kNoPort;
  LinkRecord link;
  // What the board shows once every byte put so far has reached it: the
  // host's display.
  BoardDisplay shown;
  // While the board is behind: what it shows once the bytes the link owes
  // it have gone out, and those bytes.
  BoardDisplay board;
  uint8_t pending[kPendingCapacity] = {};
  TraceFile log_file = nullptr;
  uint8_t text_buf[kTextBufferCapacity] = {};
  uint32_t text_count = 0;
  uint8_t gfx_buf[kGfxBufferCapacity] = {};
  uint32_t gfx_count = 0;
  char log_line[1024] = {};
  char msg_text[256] = {};
  // Set while a message box of the driver's is up. Its modal loop runs the
  // host's timers, and a host that retries LCD_Init from one would otherwise
  // nest a box in a box without end, each one deeper on the host's stack.
  uint8_t box_up = 0;
};

extern LinkState& g_link;

// The ready flag is only a signal to a polling host, not a lock: a release
// store is enough, and avoids a full barrier on every call.
inline void SetReady(uint8_t value) { g_link.ready.store(value, std::memory_order_release); }

// Shows a message box of the driver's, marking it up while it is (box_up).
// A box shown from another's loop (the settings box, say) leaves the mark as
// it found it: the outer box is still up.
inline int ShowDriverBox(const char* text, const char* caption) {
  const uint8_t outer = g_link.box_up;
  g_link.box_up = 1;
  int result = PlatformShowMessageBox(text, caption);
  g_link.box_up = outer;
  return result;
}
