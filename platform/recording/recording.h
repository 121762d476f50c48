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

// The serial driver the port behaves as, chosen per test. kRecDriverPlain is
// the double as it always was: a write takes what it is given at once (unless
// write_plan or stalled_until_ms say otherwise) and the board has it at once.
// The others follow how Windows' serial drivers behave, on the double's clock:
// a write's total time-out is WriteTotalTimeoutMultiplier x its size plus
// WriteTotalTimeoutConstant (COMMTIMEOUTS), and a write that runs out of it
// succeeds with the count that went (WriteFile returns TRUE, short).
enum RecDriver : uint8_t {
  kRecDriverPlain,
  // A UART (serial.sys): a write completes once its bytes left at the line
  // rate, baud/10 bytes a second.
  kRecDriverWinTimeouts,
  // A USB bridge (FTDI, CP210x, CH340, PL2303): a write completes once its
  // bytes are in the driver's transmit queue or the chip's FIFO; the FIFO
  // drains to the board at the line rate. cbOutQue counts the queue only, a
  // transmit purge discards both, closing the handle discards nothing.
  kRecDriverUsbBridge,
  // USB CDC (usbser.sys): the line speed means nothing, the bytes go at once;
  // a write completes once the board took them.
  kRecDriverUsbCdc,
};
// The bridge's driver queue and chip FIFO.
const size_t kRecQueueBytes = 4096;
const size_t kRecFifoBytes = 384;

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
  // times out having written nothing (a modelled driver: the board takes
  // nothing, and a write waits for what the driver must pass on). RecStall
  // sets it from the present on.
  uint64_t stalled_until_ms = 0;
  // Short writes wait out their time-out too, as on Windows (else they come
  // back at once, as some drivers' do).
  bool short_writes_wait = false;
  // The serial driver modelled (above), and the board behind it. A board that
  // trickles takes `trickle_per_s` bytes a second until the clock reaches
  // `trickle_until_ms`. (The plain driver has no line: there it reads all.)
  RecDriver driver = kRecDriverPlain;
  uint64_t trickle_until_ms = 0;
  uint32_t trickle_per_s = 100;
  // What reached the board, in order (`transfers` is what each write
  // accepted), and the offsets in it where a fresh board was plugged in.
  std::vector<uint8_t> received;
  std::vector<size_t> fresh_at;
  // What the port holds that the board has not taken, oldest first (the
  // bridge's queue and, its first kRecFifoBytes, the chip's FIFO), and how
  // far the clock has been followed: delivery is worked out lazily, from the
  // clock, at every platform call.
  std::vector<uint8_t> held;
  uint64_t delivered_to_ms = 0;
  uint64_t line_credit = 0;  // a part of a byte carried to the next millisecond
  // Handles below `live_from` died (an unplug, a sleep): writes on them fail
  // with `dead_error`; after a sleep (`dead_answers`) queries still answer.
  PortHandle live_from = 0;
  bool dead_answers = false;
  uint32_t dead_error = 0;
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
// Faults of the board and the port, from the clock's present on (what the
// port held before has drained as it would have). The board stops reading
// for `ms`; it takes only `per_s` bytes a second for `ms`.
void RecStall(uint64_t ms);
void RecTrickle(uint64_t ms, uint32_t per_s);
// Surprise removal: open handles die, writes fail with `error` (22, 31 or
// 1617 as drivers report it), queries fail, opens fail with 2 until
// RecPlugIn plugs in a fresh board; what the port held is lost.
void RecUnplug(uint32_t error);
void RecPlugIn();
// The PC resumed from sleep: open handles stay dead (writes fail with 31)
// while ClearCommError still answers with no error, until the port is opened
// again. The USB bus lost its power in the sleep: what the port held is lost
// and the board starts fresh.
void RecResume();
// The clock runs `ms` with no host call: what the port holds drains.
void RecRunClock(uint64_t ms);
// The port's output count as ClearCommError's cbOutQue reports it: the
// driver never asks (it waits for nothing at its close); tests of the model
// do. False when the port answers no query.
bool RecPortQueuedOutput(PortHandle port, uint32_t* queued);
// All bytes of every transfer, in order.
std::vector<uint8_t> RecWire();
// Transfer sizes, in order.
std::vector<size_t> RecTransferSizes();
