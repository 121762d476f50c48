#include "link/port.h"

#include <stdarg.h>
#include <stdio.h>

#include "core/driver_state.h"
#include "link/link.h"

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

PortTimeouts DriverTimeouts(int32_t baud_rate) {
  PortTimeouts t;
  t.read_interval = kTimeoutMs;
  t.read_total_multiplier = kTimeoutMs;
  t.read_total_constant = kTimeoutMs;
  // Per byte, only the byte's own line time: a board that stops reading then
  // delays a transfer by about a second, not by a second per byte. Never more
  // than a second a byte, whatever speed config.ini names.
  const uint64_t per_byte = LineTimeMs(1, baud_rate);
  t.write_total_multiplier = per_byte < kTimeoutMs ? (uint32_t)per_byte : kTimeoutMs;
  t.write_total_constant = kTimeoutMs;
  return t;
}

namespace {

// The set-up both opens share. A quiet one shows no box: the host did not ask
// for it, and a box a second while a board is unplugged would bury the user.
PortHandle SetUpPort(const char* name, int32_t baud_rate, bool quiet) {
  DriverState& s = g_state;
  PortHandle port = s.port_name_too_long && !quiet ? kInvalidPort : PlatformPortOpen(name);
  if (!PortIsOpen(port)) {
    if (quiet) return kNoPort;
    uint32_t error = s.port_name_too_long ? kErrorNameTooLong : PlatformLastError();
    ShowPortError(
        "##################### CreateFile() for %s , Baudrate %d failed ! Error %ld "
        "#####################",
        name, (int)baud_rate, (long)error);
    return kNoPort;
  }
  if (!PlatformPortSetupQueues(port, kQueueSize, kQueueSize)) {
    uint32_t error = CloseFailed(port);
    if (!quiet) {
      ShowPortError(
          "##################### SetupComm() for %s failed ! Error %ld #####################", name,
          (long)error);
    }
    return kNoPort;
  }
  PortLineSettings line;
  if (!PlatformPortGetLineSettings(port, &line)) {
    uint32_t error = CloseFailed(port);
    if (!quiet) {
      ShowPortError(
          "##################### GetCommState() for %s failed ! Error %ld #####################",
          name, (long)error);
    }
    return kNoPort;
  }
  ConfigureLine(&line, (uint32_t)baud_rate);
  if (!PlatformPortSetLineSettings(port, &line)) {
    PlatformPortClose(port);
    return kNoPort;
  }
  // The time-outs read are only checked: the driver sets all five.
  PortTimeouts timeouts;
  if (!PlatformPortGetTimeouts(port, &timeouts)) {
    PlatformPortClose(port);
    return kNoPort;
  }
  timeouts = DriverTimeouts(baud_rate);
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
  return port;
}

// The most bytes a port may hold that the board has not taken yet (a
// pseudo-terminal holds about 20 KB, more than the 4096-byte queue asked
// for): a count above it is not believed.
const uint32_t kMostHeld = 32768;
// The longest the close waits for the port to send what it holds.
const uint64_t kMostCloseWaitMs = 2000;

// Before the transmit purge, which discards what the port has not sent yet:
// wait while the port still holds bytes, for at most their line time plus the
// write time-out constant, and never more than two seconds. A board that does
// not take bytes gets no wait at all, and neither does a port that cannot
// tell what it holds (its platform layer keeps the bytes through the purge
// where it can: under Wine on a pseudo-terminal).
void WaitForOutputSent() {
  DriverState& s = g_state;
  if (s.link.mode != kLinkUp) return;
  const uint32_t kPollMs = 10;
  uint32_t queued = 0;
  if (!PlatformPortQueuedOutput(s.port, &queued) || queued == 0) return;
  if (queued > kMostHeld) queued = kMostHeld;
  uint64_t wait = LineTimeMs(queued, s.link.baud_rate) + kTimeoutMs;
  if (wait > kMostCloseWaitMs) wait = kMostCloseWaitMs;
  uint64_t now = PlatformTickMs();
  const uint64_t deadline = now + wait;
  while (queued > 0 && now < deadline) {
    uint64_t left = deadline - now;
    PlatformSleepMs(left < kPollMs ? (uint32_t)left : kPollMs);
    now = PlatformTickMs();
    if (!PlatformPortQueuedOutput(s.port, &queued)) return;
  }
}

}  // namespace

PortHandle OpenPort(const char* name, int32_t baud_rate) {
  g_state.text_count = 0;
  g_state.gfx_count = 0;
  return SetUpPort(name, baud_rate, false);
}

PortHandle ReopenPort(const char* name, int32_t baud_rate) { return SetUpPort(name, baud_rate, true); }

void ClosePort() {
  DriverState& s = g_state;
  if (PortIsOpen(s.port)) {
    WaitForOutputSent();
    PlatformPortPurge(s.port, kPurgeReceive);
    PlatformPortPurge(s.port, kPurgeTransmit);
    PlatformPortLine(s.port, kClearDtr);
    PlatformPortLine(s.port, kClearRts);
    PlatformPortClose(s.port);
  }
  s.port = kNoPort;
  LinkClosed();
}
