#include "link/port.h"

#include <stdarg.h>
#include <stdio.h>

#include "core/driver_state.h"

namespace {

const uint32_t kQueueSize = 4096;
const uint32_t kTimeoutMs = 1000;
// The Win32 code for a name beyond the allowed length (ERROR_FILENAME_EXCED_RANGE).
const uint32_t kErrorNameTooLong = 206;

// Formats a port error into msg_text and shows it in a box with the
// platform's default caption. The box is modal and the host may call back in
// from its message loop, so callers hold no handle by the time it shows.
// While a box of the driver's is up, a failure of such a nested call shows
// none: at most one box at a time, however often the host retries.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void ShowPortError(const char* format, ...) {
  if (g_state.box_up) return;
  va_list args;
  va_start(args, format);
  vsnprintf(g_state.msg_text, sizeof g_state.msg_text, format, args);
  va_end(args);
  ShowDriverBox(g_state.msg_text, nullptr);
}

// Closes a handle that failed a step of the set-up and returns that step's
// error code, for the message.
uint32_t CloseFailed(PortHandle port) {
  uint32_t error = PlatformLastError();
  PlatformPortClose(port);
  return error;
}

}  // namespace

uint64_t LineTimeMs(uint64_t bytes, int32_t baud_rate) {
  if (baud_rate <= 0) return bytes;
  // 10 bits a byte (start, 8 data, stop), in whole milliseconds rounded up.
  return (bytes * 10000u + (uint64_t)baud_rate - 1) / (uint64_t)baud_rate;
}

// One byte's line time is at least 1 ms: the rounding goes up.
uint32_t WriteMultiplierForBaud(int32_t baud_rate) { return (uint32_t)LineTimeMs(1, baud_rate); }

PortHandle OpenPort(const char* name, int32_t baud_rate) {
  DriverState& s = g_state;
  s.text_count = 0;
  s.gfx_count = 0;
  s.write_stalled = 0;

  PortHandle port = s.port_name_too_long ? kInvalidPort : PlatformPortOpen(name);
  if (!PortIsOpen(port)) {
    uint32_t error = s.port_name_too_long ? kErrorNameTooLong : PlatformLastError();
    ShowPortError(
        "##################### CreateFile() for %s , Baudrate %d failed ! Error %ld "
        "#####################",
        name, (int)baud_rate, (long)error);
    return kNoPort;
  }
  if (!PlatformPortSetupQueues(port, kQueueSize, kQueueSize)) {
    uint32_t error = CloseFailed(port);
    ShowPortError("##################### SetupComm() for %s failed ! Error %ld #####################",
                  name, (long)error);
    return kNoPort;
  }
  PortLineSettings line;
  if (!PlatformPortGetLineSettings(port, &line)) {
    uint32_t error = CloseFailed(port);
    ShowPortError(
        "##################### GetCommState() for %s failed ! Error %ld #####################",
        name, (long)error);
    return kNoPort;
  }
  ConfigureLine(&line, (uint32_t)baud_rate);
  if (!PlatformPortSetLineSettings(port, &line)) {
    PlatformPortClose(port);
    return kNoPort;
  }
  PortTimeouts timeouts;
  if (!PlatformPortGetTimeouts(port, &timeouts)) {
    PlatformPortClose(port);
    return kNoPort;
  }
  timeouts.read_interval = kTimeoutMs;
  timeouts.read_total_multiplier = kTimeoutMs;
  timeouts.read_total_constant = kTimeoutMs;
  // Per byte, only the byte's own line time: a board that stops reading then
  // delays a transfer by about a second, not by a second per byte.
  timeouts.write_total_multiplier = WriteMultiplierForBaud(baud_rate);
  timeouts.write_total_constant = kTimeoutMs;
  if (!PlatformPortSetTimeouts(port, &timeouts)) {
    PlatformPortClose(port);
    return kNoPort;
  }
  PlatformPortPurge(port, kPurgeReceive);
  PlatformPortPurge(port, kPurgeTransmit);
  PlatformPortLine(port, kSetDtr);
  PlatformPortLine(port, kSetRts);
  // With abort-on-error, a line error from before the open (a board that
  // talked, a break, noise) would fail the first write, ResetDisplay.
  PlatformPortClearError(port);
  s.line_idle_ms = PlatformTickMs();
  return port;
}

namespace {

// The most bytes a port may hold that the board has not taken yet: a write
// waits for room beyond that. A pseudo-terminal holds about 20 KB, more than
// the 4096-byte queue asked for.
const uint32_t kMostHeld = 32768;

// Keeps line_idle_ms: the bytes written go out one after the other at the
// configured speed, and the port holds at most kMostHeld of them, so the line
// is never more than their line time behind.
void CountOnLine(uint32_t written) {
  DriverState& s = g_state;
  const uint64_t now = PlatformTickMs();
  const uint64_t start = s.line_idle_ms > now ? s.line_idle_ms : now;
  const uint64_t idle = start + LineTimeMs(written, s.baud_rate);
  const uint64_t limit = now + LineTimeMs(kMostHeld, s.baud_rate);
  s.line_idle_ms = idle < limit ? idle : limit;
}

// Before the transmit purge, which discards what the port has not sent yet:
// wait while the port still holds bytes, for at most their line time plus the
// write time-out constant, so a board that stopped reading costs no more than
// that. Where the port cannot tell (under Wine a pseudo-terminal always reads
// empty), wait for the line time of what was written instead, by the same
// rule: until the line would have sent it at the configured speed.
void WaitForOutputSent() {
  DriverState& s = g_state;
  const uint32_t kPollMs = 10;
  uint32_t queued = 0;
  uint64_t now = PlatformTickMs();
  if (PlatformPortQueuedOutput(s.port, &queued)) {
    if (queued == 0) return;
    const uint64_t deadline = now + LineTimeMs(queued, s.baud_rate) + kTimeoutMs;
    while (queued > 0 && now < deadline) {
      uint64_t left = deadline - now;
      PlatformSleepMs(left < kPollMs ? (uint32_t)left : kPollMs);
      now = PlatformTickMs();
      if (!PlatformPortQueuedOutput(s.port, &queued)) return;
    }
    return;
  }
  // At most the line time of kMostHeld bytes (CountOnLine).
  if (s.line_idle_ms > now) PlatformSleepMs((uint32_t)(s.line_idle_ms - now));
}

}  // namespace

void ClosePort() {
  DriverState& s = g_state;
  WaitForOutputSent();
  PlatformPortPurge(s.port, kPurgeReceive);
  PlatformPortPurge(s.port, kPurgeTransmit);
  PlatformPortLine(s.port, kClearDtr);
  PlatformPortLine(s.port, kClearRts);
  PlatformPortClose(s.port);
  s.port = kNoPort;
}

void WriteAll(PortHandle port, const uint8_t* data, uint32_t size) {
  // The protocol has no framing: a lost tail would make the board misread
  // everything after it, so the rest of a short write goes out again for as
  // long as writes make progress.
  DriverState& s = g_state;
  if (s.write_stalled) return;
  bool retried = false;
  while (size > 0) {
    uint32_t written = 0;
    bool ok = PlatformPortWrite(port, data, size, &written);
    if (written > size) written = size;
    if (written > 0) CountOnLine(written);
    data += written;
    size -= written;
    if (!ok) {
      // A line error (a board that talks back, a break) fails the write with
      // abort-on-error set. Once it is cleared the rest goes out once more;
      // a second failure loses it.
      if (PlatformPortClearError(port) && !retried) {
        retried = true;
        continue;
      }
      // A board that is gone takes nothing: there is no line time to wait
      // for at the close.
      s.line_idle_ms = 0;
      return;
    }
    if (written == 0) {
      // A write that ran out of time without a byte: the board is not
      // reading. Waiting again for every transfer of this call would block
      // the host for a second per transfer, and waiting at the close for
      // bytes it does not take would gain nothing.
      s.write_stalled = 1;
      s.line_idle_ms = 0;
      return;
    }
  }
}
