#include "link/port.h"

#include <stdio.h>

#include "core/driver_state.h"

namespace {

const uint32_t kQueueSize = 4096;
const uint32_t kTimeoutMs = 1000;
// The Win32 code for a name beyond the allowed length (ERROR_FILENAME_EXCED_RANGE).
const uint32_t kErrorNameTooLong = 206;

// Formats a port error into msg_text and shows it in a box with the
// platform's default caption.
void ShowPortError(const char* format, const char* name, uint32_t error) {
  snprintf(g_state.msg_text, sizeof g_state.msg_text, format, name, (long)error);
  PlatformShowMessageBox(g_state.msg_text, nullptr);
}

}  // namespace

uint32_t WriteMultiplierForBaud(int32_t baud_rate) {
  if (baud_rate <= 0) return 1;
  // 10 bits a byte (start, 8 data, stop), in whole milliseconds rounded up.
  uint64_t ms = (10000ull + (uint64_t)baud_rate - 1) / (uint64_t)baud_rate;
  return ms < 1 ? 1 : (uint32_t)ms;
}

PortHandle OpenPort(const char* name, int32_t baud_rate) {
  DriverState& s = g_state;
  s.text_count = 0;
  s.gfx_count = 0;
  s.write_stalled = 0;

  PortHandle port = s.port_name_too_long ? kInvalidPort : PlatformPortOpen(name);
  if (!PortIsOpen(port)) {
    uint32_t error = s.port_name_too_long ? kErrorNameTooLong : PlatformLastError();
    snprintf(s.msg_text, sizeof s.msg_text,
             "##################### CreateFile() for %s , Baudrate %d failed ! Error %ld "
             "#####################",
             name, (int)baud_rate, (long)error);
    PlatformShowMessageBox(s.msg_text, nullptr);
    return kNoPort;
  }
  if (!PlatformPortSetupQueues(port, kQueueSize, kQueueSize)) {
    ShowPortError("##################### SetupComm() for %s failed ! Error %ld #####################",
                  name, PlatformLastError());
    PlatformPortClose(port);
    return kNoPort;
  }
  PortLineSettings line;
  if (!PlatformPortGetLineSettings(port, &line)) {
    ShowPortError(
        "##################### GetCommState() for %s failed ! Error %ld #####################",
        name, PlatformLastError());
    PlatformPortClose(port);
    return kNoPort;
  }
  line.baud_rate = (uint32_t)baud_rate;
  line.data_bits = 8;
  line.parity = kParityNone;
  line.stop_bits = kOneStopBit;
  line.out_cts_flow = false;
  line.out_dsr_flow = false;
  line.dtr_control = kLineControlDisable;
  line.rts_control = kLineControlDisable;
  line.out_xon = false;
  line.in_xon = false;
  line.abort_on_error = true;
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
  return port;
}

void ClosePort() {
  DriverState& s = g_state;
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
  if (g_state.write_stalled) return;
  while (size > 0) {
    uint32_t written = 0;
    bool ok = PlatformPortWrite(port, data, size, &written);
    if (!ok) PlatformPortClearError(port);
    if (written > size) written = size;
    if (written == 0) {
      // A write that ran out of time without a byte: the board is not
      // reading. Waiting again for every transfer of this call would block
      // the host for a second per transfer.
      if (ok) g_state.write_stalled = 1;
      return;
    }
    data += written;
    size -= written;
  }
}
