#include "link/port.h"

#include <stdarg.h>
#include <stdio.h>

#include "link/link_state.h"

namespace {

const uint32_t kQueueSize = 4096;
const uint32_t kTimeoutMs = 1000;
const uint32_t kMostPerByteMs = 250;
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
  if (g_link.box_up) return;
  va_list args;
  va_start(args, format);
  vsnprintf(g_link.msg_text, sizeof g_link.msg_text, format, args);
  va_end(args);
  ShowDriverBox(g_link.msg_text, nullptr);
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
  // than a quarter of a second a byte, whatever speed config.ini names, so
  // that a write of one byte waits at most 1.25 s.
  const uint64_t per_byte = LineTimeMs(1, baud_rate);
  t.write_total_multiplier = per_byte < kMostPerByteMs ? (uint32_t)per_byte : kMostPerByteMs;
  t.write_total_constant = kTimeoutMs;
  return t;
}

namespace {

// The set-up both opens share. A quiet one shows no box: the host did not ask
// for it, and a box a second while a board is unplugged would bury the user.
PortHandle SetUpPort(const char* name, int32_t baud_rate, bool quiet) {
  LinkState& s = g_link;
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
  // Only the receive side: the driver never reads, and whatever a board sent
  // before is of no use. A transmit purge could only discard bytes that an
  // earlier close left on their way to the board (on a USB bridge, in its
  // chip), and cut the board inside a command.
  PlatformPortPurge(port, kPurgeReceive);
  PlatformPortLine(port, kSetDtr);
  PlatformPortLine(port, kSetRts);
  // With abort-on-error, a line error from before the open (a board that
  // talked, a break, noise) would fail the first write, ResetDisplay.
  PlatformPortClearError(port);
  return port;
}

}  // namespace

PortHandle OpenPort(const char* name, int32_t baud_rate) {
  g_link.text_count = 0;
  g_link.gfx_count = 0;
  return SetUpPort(name, baud_rate, false);
}

PortHandle ReopenPort(const char* name, int32_t baud_rate) { return SetUpPort(name, baud_rate, true); }

void ClosePort() {
  LinkState& s = g_link;
  if (PortIsOpen(s.port)) {
    // No transmit purge: the writes were synchronous, so a purge could only
    // discard the closing commands that have not reached the board yet, and
    // nothing is pending that the close would wait for.
    PlatformPortPurge(s.port, kPurgeReceive);
    PlatformPortLine(s.port, kClearDtr);
    PlatformPortLine(s.port, kClearRts);
    PlatformPortClose(s.port);
  }
  s.port = kNoPort;
}
