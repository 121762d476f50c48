// The recording platform: a test double for every platform service. It keeps
// each port transfer with its boundaries, every message box, the settings and
// trace files in memory, and can make any call fail on demand.
#pragma once

#include <stdint.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

enum RecCall {
  kRecPortOpen,
  kRecPortSetupQueues,
  kRecPortGetLineSettings,
  kRecPortSetLineSettings,
  kRecPortGetTimeouts,
  kRecPortSetTimeouts,
  kRecPortPurge,
  kRecPortLine,
  kRecPortWrite,
  kRecPortClearError,
  kRecPortClose,
  kRecProfileRead,
  kRecProfileWrite,
  kRecMessageBox,
  kRecGetCurrentDir,
  kRecTraceOpen,
  kRecTraceWrite,
  kRecTraceClose,
  kRecPortQueuedOutput,
  kRecCallCount
};

// A call fails after `skip` successful calls, `times` times (-1: from then on),
// with `error` as the last-error code.
struct RecFault {
  bool armed = false;
  uint32_t skip = 0;
  int32_t times = 0;
  uint32_t error = 0;
};

const int64_t kPlanLineError = -1;
const int64_t kPlanTimeoutError = -2;

struct RecMessageBox {
  std::string text;
  bool has_caption;
  std::string caption;
};

struct Recording {
  // Port calls in order, e.g. "PlatformPortOpen COM1", "PlatformPortWrite 16", "PlatformPortClose".
  std::vector<std::string> calls;
  // The bytes that went out, one entry per PlatformPortWrite.
  std::vector<std::vector<uint8_t>> transfers;
  std::vector<RecMessageBox> message_boxes;
  int message_box_result = 1;
  // Runs while a message box is up, as a host's timer would from the box's
  // message loop (it may call back into the driver). A box that the callback
  // itself brings up runs it again, down to `box_depth` boxes deep.
  std::function<void()> on_message_box;
  int box_depth = 1;
  // Plan for the next writes: each entry is the most bytes that write takes
  // (0: it times out having written nothing); kPlanLineError fails it with a
  // line error that PlatformPortClearError then clears, kPlanTimeoutError
  // fails it with a time-out error code (121). Without entries every write
  // takes all it is given.
  std::deque<int64_t> write_plan;
  // The port is gone (unplugged): writes fail with `gone_error`, the port
  // answers no query, and opens fail with error 2 until it is back.
  bool gone = false;
  uint32_t gone_error = 1617;  // ERROR_DEVICE_REMOVED
  // A line error the next PlatformPortClearError finds.
  bool line_error = false;
  // A board that stopped reading: until the clock reaches this, every write
  // times out having written nothing.
  uint64_t stalled_until_ms = 0;
  // Short writes wait out their time-out too, as on Windows (else they come
  // back at once, as some drivers' do).
  bool short_writes_wait = false;
  // For benchmarks: writes only count their bytes; nothing is recorded.
  bool count_only = false;
  uint64_t bytes_written = 0;
  uint64_t writes = 0;
  // Runs inside every PlatformPortWrite, before the write is recorded.
  std::function<void()> on_write;
  // Settings: values by key of section "Korvex" (any path), and the writes.
  std::map<std::string, std::string> profile;
  std::vector<std::string> profile_writes;  // "path|section|key=value"
  // Trace files by path, and how often each was opened.
  std::map<std::string, std::string> files;
  std::map<std::string, int> file_opens;
  int open_traces = 0;
  std::string cwd = "C:\\Host";
  // The code page of paths: 0 single-byte, 932 the Japanese double-byte one.
  int code_page = 0;
  // The port's output queue: bytes written and not yet sent, unknown to the
  // driver when `queue_known` is false. Each write adds its bytes; each
  // millisecond of sleep sends `drain_per_ms` of them (0: a stalled board).
  bool queue_known = true;
  bool queue_fills = false;
  uint64_t queued = 0;
  uint64_t drain_per_ms = 0;
  // A clock that moves only when the driver sleeps or a write that takes
  // nothing waits out its time-out (the applied write time-outs for its size).
  uint64_t now_ms = 0;
  uint64_t slept_ms = 0;
  uint64_t write_waited_ms = 0;
  PortLineSettings line_settings_read{};
  PortLineSettings line_settings_applied{};
  PortTimeouts timeouts_read{};
  PortTimeouts timeouts_applied{};
  int open_ports = 0;
  PortHandle next_handle = 100;
  uint32_t last_error = 0;
  RecFault faults[kRecCallCount];
};

Recording& Rec();
// Clears the recording (and every fault) to a fresh machine: no config.ini,
// current directory C:\Host, a port that opens.
void RecReset();
void RecFail(RecCall call, uint32_t error, int32_t times = -1, uint32_t skip = 0);
// All bytes of every transfer, in order.
std::vector<uint8_t> RecWire();
// Transfer sizes, in order.
std::vector<size_t> RecTransferSizes();
