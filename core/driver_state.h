// The driver's one process-wide state record.
#pragma once

#include <atomic>
#include <stdint.h>

#include "link/board_display.h"
#include "link/commands.h"
#include "platform/platform.h"

const uint32_t kTextBufferCapacity = 256;
const uint32_t kGfxBufferCapacity = 4096;
const char kDriverIdentification[] = "Wrenlo's Korvex Display Driver V1.09b";

const int32_t kControllerT6963 = 6963;
const int32_t kControllerKS108 = 108;

// How the board takes the bytes written to the port.
enum LinkMode : uint8_t {
  kLinkUp,       // it reads
  kLinkStalled,  // it stopped reading: writes are dropped, a probe a second
  kLinkGone,     // the port is gone: its handle is closed, a reopen a second
};

struct LinkRecord {
  uint8_t mode = kLinkUp;
  // Bytes were lost, so the board is out of step: nothing more is written
  // until a call brings it back in step.
  uint8_t lost = 0;
  // The display is being sent again to a stalled board under the probe's
  // short time-outs: it reads again once all of it went out. 1 until its
  // first piece went out, then 2.
  uint8_t probing = 0;
  // Writes that failed in a row on a port that still answers queries.
  uint8_t failed_writes = 0;
  // When the next probe, reopen or sending again may run, on the platform's
  // clock.
  uint64_t next_try_ms = 0;
  // The port as LCD_Init opened it: a reopen and the close use these, not
  // whatever the host or config.ini have said since.
  char port_name[32] = {};
  int32_t baud_rate = 0;
  int32_t controller = kControllerT6963;
  // The most bytes one write takes: its time-out stays within the longest
  // wait a call may have, under the driver's time-outs and the probe's.
  uint32_t piece = 1;
  uint32_t probe_piece = 1;
  // The width of the last KS108 picture put, to count SetBitmap payloads.
  uint8_t ks108_width = 0;
  // Where the board stands in the command stream, from the bytes written.
  CommandReader wire;
  // The board missed bytes that were not made up for before its port
  // closed: the next port finishes the cut command and sends the display.
  uint8_t missed = 0;
};

// Default member values are the values at library load, so the record is
// constant-initialized: nothing runs when the library is loaded.
struct DriverState {
  char port_name[32] = "COM1";
  // Set when the host gave a name that does not fit port_name: the next
  // LCD_Init then reports the open as failed instead of opening whatever a
  // cut name would name.
  uint8_t port_name_too_long = 0;
  int32_t baud_rate = 9600;
  uint32_t text_buffer_size = 1;
  uint32_t gfx_buffer_size = 64;
  int32_t gfx_force_flush = 0;
  // 1: a T6963 update sends only the bytes the board does not show yet, a
  // KS108 one nothing when the picture is the one shown. Written back only
  // into a config.ini that has the key (gfx_changes_only_kept).
  int32_t gfx_changes_only = 0;
  uint8_t gfx_changes_only_kept = 0;
  int32_t font_pitch = 6;
  int32_t use_out_ports = 0;
  int32_t controller = kControllerT6963;
  // Read by LCD_IsReadyToReceive on whatever thread polls.
  std::atomic<int32_t> log_enabled{0};
  int32_t gfx_width = 240;
  int32_t gfx_height = 64;
  uint8_t light_enable = 1;
  // Read by LCD_IsReadyToReceive, which a host may call from another thread.
  std::atomic<uint8_t> ready{1};
  int32_t flush_pending = 0;
  PortHandle port = kNoPort;
  LinkRecord link;
  // What the board shows once every byte put so far has reached it.
  BoardDisplay shown;
  uint8_t contrast = 0;
  uint8_t light = 0;
  uint32_t out_ports = 0;
  char cwd[256] = {};
  char ini_path[260] = {};
  char log_path[260] = {};
  TraceFile log_file = nullptr;
  uint8_t text_buf[kTextBufferCapacity] = {};
  uint32_t text_count = 0;
  uint8_t gfx_buf[kGfxBufferCapacity] = {};
  uint32_t gfx_count = 0;
  char log_line[1024] = {};
  char num_text[256] = {};
  char msg_text[256] = {};
  // Set while a message box of the driver's is up. Its modal loop runs the
  // host's timers, and a host that retries LCD_Init from one would otherwise
  // nest a box in a box without end, each one deeper on the host's stack.
  uint8_t box_up = 0;
};

extern DriverState g_state;

// The ready flag is only a signal to a polling host, not a lock: a release
// store is enough, and avoids a full barrier on every call.
inline void SetReady(uint8_t value) { g_state.ready.store(value, std::memory_order_release); }

// Shows a message box of the driver's, marking it up while it is (box_up).
// A box shown from another's loop (the settings box, say) leaves the mark as
// it found it: the outer box is still up.
inline int ShowDriverBox(const char* text, const char* caption) {
  const uint8_t outer = g_state.box_up;
  g_state.box_up = 1;
  int result = PlatformShowMessageBox(text, caption);
  g_state.box_up = outer;
  return result;
}

// Puts every field back to its value at library load. The library itself
// never needs this (the record starts that way), and Korvex.dll does not
// contain it: it is built only into the native builds, for the tests and
// tools that run many sessions in one process (core/driver_state_reset.cpp).
void ResetDriverState();
