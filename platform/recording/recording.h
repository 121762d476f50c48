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

// The serial driver the port behaves as, chosen per test, and the board behind
// it. kRecDriverPlain is the double as it always was: a write takes what it is
// given at once (unless write_plan or stalled_until_ms say otherwise) and the
// board has it at once; it knows no line and no board rate but a stall.
//
// The others follow how Windows' serial drivers behave, on the double's clock
// (now_ms), a millisecond at a time. A write's total time-out is
// WriteTotalTimeoutMultiplier x its size plus WriteTotalTimeoutConstant
// (COMMTIMEOUTS; both zero: none). Flow control is off (the driver sets
// none), so nothing on the line waits for the board.
enum RecDriver : uint8_t {
  kRecDriverPlain,
  // A UART (serial.sys): the line sends at baud/10 bytes a second whatever the
  // board does. A write completes once its bytes left; one that runs out of
  // time succeeds with the count that left (WriteFile TRUE, short), the rest
  // is never sent.
  kRecDriverWinTimeouts,
  // A USB bridge (FTDI, CP210x, CH340, PL2303): a write completes once its
  // bytes are in the chip's FIFO (kRecFifoBytes; the driver keeps no queue of
  // its own), which drains to the board at the line rate. It waits only for
  // room, and one that runs out of time succeeds with what the FIFO took. A
  // transmit purge empties the FIFO; a close discards nothing.
  kRecDriverUsbBridge,
  // USB CDC (usbser.sys): the line speed means nothing; the board pushes back,
  // so the bytes go at the board's own rate. A write that runs out of time
  // fails with `cdc_timeout_error` and reports 0 written, although the part
  // that went before is on the board (in `received`; `port_writes` has it).
  kRecDriverUsbCdc,
};
// The bridge chip's transmit FIFO.
const size_t kRecFifoBytes = 384;
// The board's receive buffer (UART, bridge): it empties at the board's rate;
// a byte that arrives while it is full is lost, and nobody is told.
const size_t kRecBoardBufferBytes = 64;
// The board's rate when it takes bytes as fast as they come.
const uint32_t kRecBoardKeepsUp = UINT32_MAX;

// One PlatformPortWrite as the driver saw it, and what really left the host.
struct RecWrite {
  uint64_t at_ms;    // the clock when it was called
  uint64_t took_ms;  // how long it held the caller
  uint32_t size;     // the bytes it was offered
  uint32_t written;  // what it reported in *written
  uint32_t went;     // what left for the board (CDC time-out: more than `written`)
  bool ok;           // what it returned
  uint32_t error;    // the last-error code when it failed
};

struct RecMessageBox {
  std::string text;
  bool has_caption;
  std::string caption;
};

struct Recording {
  // Port calls in order, e.g. "PlatformPortOpen COM1", "PlatformPortWrite 16", "PlatformPortClose".
  std::vector<std::string> calls;
  // What each PlatformPortWrite reported written, as the driver was told
  // it: one entry per write that reported any bytes (the byte-exact wire of
  // the plain driver). What the board got is `received`; every write, with
  // what it was offered and what really went, is in `port_writes`.
  std::vector<std::vector<uint8_t>> transfers;
  std::vector<RecWrite> port_writes;
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
  // takes all it is given. On the modelled drivers an entry caps what goes,
  // and a write held short waits out its time-out (CDC: then fails as a
  // time-out does there, with the part on the board).
  std::deque<int64_t> write_plan;
  // The port is gone (unplugged): writes fail with `gone_error`, the port
  // answers no query, and opens fail with error 2 until it is back.
  bool gone = false;
  uint32_t gone_error = 1617;  // ERROR_DEVICE_REMOVED
  // A line error the next PlatformPortClearError finds.
  bool line_error = false;
  // A board that stopped reading, until the clock reaches this (RecStall
  // sets it from the present on). On the plain driver every write then times
  // out having written nothing; on the others the board takes nothing.
  uint64_t stalled_until_ms = 0;
  // Short writes wait out their time-out too, as on Windows (else they come
  // back at once, as some drivers' do).
  bool short_writes_wait = false;
  // The serial driver modelled (above), and the board behind it: it takes
  // `board_per_s` bytes a second (RecBoardRate), except that until
  // `stalled_until_ms` it takes none and until `trickle_until_ms`
  // `trickle_per_s`. The plain driver has no line: its board reads all.
  RecDriver driver = kRecDriverPlain;
  uint32_t board_per_s = kRecBoardKeepsUp;
  uint64_t trickle_until_ms = 0;
  uint32_t trickle_per_s = 100;
  // What a CDC write that runs out of time fails with (121, ERROR_SEM_TIMEOUT;
  // 995 or 31 as other drivers do); 0: it succeeds with the part that went.
  uint32_t cdc_timeout_error = 121;
  // What the board took, in order, and the offsets in it where a fresh board
  // was plugged in; the bytes its full receive buffer lost.
  std::vector<uint8_t> received;
  std::vector<size_t> fresh_at;
  uint64_t dropped = 0;
  // Writes that would wait for ever (no total time-out, nothing ever goes):
  // they come back at once with what went, so that no test hangs.
  uint64_t endless_writes = 0;
  // On the way, oldest first: what the host side holds (the write under way;
  // on a bridge the chip's FIFO) and the board's receive buffer. Delivery is
  // worked out lazily, up to the clock, at every platform call;
  // `delivered_to_ms` is how far it got, the credits the part of a byte that
  // the line and the board carry to the next millisecond.
  std::deque<uint8_t> held;
  std::deque<uint8_t> board_buffer;
  uint64_t delivered_to_ms = 0;
  uint64_t line_credit = 0;
  uint64_t board_credit = 0;
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
  // A clock that moves only when the driver sleeps, a test moves it, or a
  // write waits (plain: one that takes nothing waits out its time-out).
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
// The board, from the clock's present on (what was on the way before has
// moved as it would have). RecBoardRate: it takes `per_s` bytes a second
// from now on (0: none; kRecBoardKeepsUp: all that comes), and a stall or
// trickle under way ends. RecStall and RecTrickle: for `ms` it takes none,
// or `per_s` a second; then the rate RecBoardRate set applies again.
void RecBoardRate(uint32_t per_s);
void RecStall(uint64_t ms);
void RecTrickle(uint64_t ms, uint32_t per_s);
// Surprise removal: open handles die, writes fail with `error` (22, 31 or
// 1617 as drivers report it), queries fail, opens fail with 2 until
// RecPlugIn plugs in a fresh board; what was on the way is lost.
void RecUnplug(uint32_t error);
void RecPlugIn();
// The PC resumed from sleep: open handles stay dead (writes fail with 31)
// while ClearCommError still answers with no error, until the port is opened
// again. The USB bus lost its power in the sleep: what was on the way is lost
// and the board starts fresh.
void RecResume();
// The clock runs `ms` with no host call: what is on the way moves on.
void RecRunClock(uint64_t ms);
// All bytes of every transfer, in order.
std::vector<uint8_t> RecWire();
// Transfer sizes, in order.
std::vector<size_t> RecTransferSizes();
