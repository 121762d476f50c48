// libFuzzer harness of the driver logic on the recording platform.
//
// An input (layout in input_format.h) becomes config.ini, the serial driver
// and board of the double, platform faults, board events and a sequence of
// export calls with arbitrary arguments. After every call the driver's
// invariants and its time on the double's clock are checked; at the end the
// wire stream is decoded with the board's decoder and compared, command by
// command, with what each call should have sent. The same calls run again
// where a second run is the reference: without faults, for the board a quiet
// ending must leave; with GfxChangesOnly=0, for the display key 1 must show.
// A violation prints the calls made and aborts, so that libFuzzer keeps the
// input.
//
// KORVEX_FUZZ_WRITE_SEEDS=DIR writes the seed corpus to DIR and exits;
// KORVEX_FUZZ_VERBOSE=1 prints the calls of every input run.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/driver_state.h"
#include "core/exports.h"
#include "link/link.h"
#include "fuzz/input_format.h"
#include "platform/recording/recording.h"
#include "tools/board/decoder.h"
#include "tools/board/model.h"
#include "tools/board/shown.h"

namespace fuzz {
bool WriteSeeds(const char* dir);
}

namespace {

using board::CommandKind;
using fuzz::kSettingKeys;

// The three ways bytes reach the port; each keeps its own command order.
enum Stream { kText, kGfx, kDirect, kStreamCount };
const char* const kStreamNames[kStreamCount] = {"text", "graphics", "direct"};

// A command one call should have put on the wire.
struct Expected {
  CommandKind kind = CommandKind::Character;
  // A T6963 rectangle outside the protocol's 8-bit range: the driver's choice
  // of command, so any graphics command will do.
  bool any_gfx_kind = false;
  bool exact = true;            // operands and payload known
  board::DisplayConfig config;  // the board as the command was produced for it
  std::vector<uint8_t> operands;
  std::vector<uint8_t> payload;
};

// What one input's run should have done, built up call by call.
struct Session {
  bool strict = false;
  // Faults that make values or paths differ from the plain rules (set while
  // such a fault is armed).
  bool profile_read_faulted = false;
  bool profile_write_faulted = false;
  bool cwd_faulted = false;
  std::deque<Expected> expected[kStreamCount];
  // The remembered device state as the calls should leave it.
  uint8_t light = 0;
  uint8_t contrast = 0;
  uint32_t out_ports = 0;
  // The port name as the host last gave it.
  std::string port_name = "COM1";
  bool name_too_long = false;
  // Stream of each recorded transfer, and of the port write in progress.
  std::vector<uint8_t> transfer_stream;
  uint8_t write_stream = kDirect;
  size_t writes = 0;
  size_t gfx_writes = 0;
  size_t checked_transfers = 0;
  size_t checked_calls = 0;
  // The link's baud rate at each port write (LCD_Init changes it mid-call).
  std::vector<int32_t> write_baud;
  std::string trail;  // the calls made, for the report
  std::string last;   // the last of them
};

// Which run of an input this is: the input as it is, the same calls with no
// fault, board event or clock (the reference of a quiet ending), or the same
// calls with GfxChangesOnly=0 (the reference of the changes-only display).
enum Run { kRunInput, kRunLossless, kRunNoChanges };

// One call of the input, by where its op byte sits.
struct Call {
  size_t at;
  uint8_t op;
  bool open_after;  // LinkIsOpen() after it
};

// The display a run shows after a call, everything buffered included, and
// the bytes it put out so far.
struct Snapshot {
  uint64_t hash;
  uint64_t bytes;
};

// What the input's run leaves for the reference runs.
struct Oracles {
  std::vector<Call> calls;
  size_t quiet_calls = 0;  // calls of the quiet stretch, repeating drawing calls
  // Settings read or written under a fault: the reference would differ.
  bool settings_faulted = false;
  // Faults, write plans or board events: the board did not keep up for sure.
  bool disturbed = false;
  bool changes_seen = false;  // a call ran with GfxChangesOnly=1
  bool ever_behind = false;   // the link left kLinkUp at some point
  // The display's geometry changed while the port was open, or lies outside
  // the protocol's 1 to 255: the driver's model of the board and the board's
  // own grid may then differ, and a quiet ending proves nothing.
  bool geometry_changed = false;
  bool geometry_known = false;
  // A display size outside 1 to 255, where the protocol has no commands for
  // it and each key sends the driver's own choice.
  bool geometry_outside = false;
  int32_t geometry[4] = {};
  std::vector<Snapshot> snapshots;
  bool snapshots_valid = true;
  // Snapshots start once config.ini has held GfxChangesOnly (in both runs
  // at the same call: the reference holds the key too, as 0).
  bool snapshotting = false;
  board::BoardModel board;  // after the quiet stretch
  bool board_valid = false;
  // The time oracle: the calls of this slow episode above the call bound.
  int long_calls = 0;
  // A board turned fresh while the driver held no port and owed it nothing.
  bool unseen_fresh = false;
};

// The time a call may hold the host beyond the line time of what it sent,
// on the double's clock: the first sign of a slow board may cost one write
// time-out (at most 1280 ms) once in a slow episode; every other call writes
// within its budget (at most 250 ms a call) plus what at-pace writes may
// take beyond their line time.
const uint64_t kLongCallMs = 300;
const uint64_t kLongestCallMs = 1300;
// The quiet stretch: calls 100 ms apart, at least this many, then on until
// the link keeps up again (two calls more) or the most.
const int kQuietLeast = 8;
const int kQuietMost = 240;
const uint64_t kQuietStepMs = 100;
const uint64_t kDrainMs = 3000;
// Below this line rate the difference may take longer than the stretch.
const int32_t kQuietLeastBaud = 9600;

Run g_run = kRunInput;
Oracles g_oracles;

// The changes-only twin's board, read from the transfers as they go out.
struct Snap {
  board::Decoder decoder;
  board::BoardModel model;
  bool started = false;
  bool frozen = false;  // the host declared another display size
  size_t transfers = 0;
  uint64_t bytes = 0;
};
Snap g_snap;

Session g_session;
bool Checkable() {
  return g_session.strict && g_run == kRunInput && !g_oracles.ever_behind &&
         !g_oracles.changes_seen;
}
bool g_verbose = false;

// ------------------------------------------------------------------ reports

void Trail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trail(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_session.last = line;
  g_session.trail += line;
  g_session.trail += '\n';
}

// Setting values and the like, readable in a report.
std::string Printable(const std::string& text) {
  std::string out;
  char escape[8];
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += (char)c;
    } else {
      snprintf(escape, sizeof escape, "\\x%02X", c);
      out += escape;
    }
  }
  return out;
}

[[noreturn]] void Violation(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Violation(const char* format, ...) {
  fprintf(stderr, "\n==== korvex_fuzzer: calls of this input ====\n%s", g_session.trail.c_str());
  fprintf(stderr, "==== korvex_fuzzer: INVARIANT VIOLATED: ");
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fprintf(stderr, "\n");
  abort();
}

std::string HexBytes(const std::vector<uint8_t>& bytes, size_t limit = 24) {
  std::string text;
  char one[4];
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    snprintf(one, sizeof one, "%02X ", bytes[i]);
    text += one;
  }
  if (bytes.size() > limit) text += "...";
  return text;
}

// ------------------------------------------------------------------- input

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;

  bool Done() const { return at >= size; }
  uint8_t U8() { return at < size ? data[at++] : 0; }
  uint32_t U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= (uint32_t)U8() << (8 * i);
    return v;
  }
  std::string Text(size_t n) {
    std::string text;
    while (n-- > 0 && at < size) text.push_back((char)data[at++]);
    return text;
  }
};

// A settings value: L < 0x80 is L bytes of text; L >= 0x80 a number (4
// bytes) written in one of the styles a hand-edited file may hold.
std::string SettingValue(Reader& in, uint8_t length) {
  if (length < 0x80) return in.Text(length);
  const uint32_t v = in.U32();
  char text[64];
  switch (in.U8() % 8) {
    case 0:
      snprintf(text, sizeof text, "%d", (int32_t)v);
      break;
    case 1:
      snprintf(text, sizeof text, "%u", v);
      break;
    case 2:
      snprintf(text, sizeof text, "0x%x", v);
      break;
    case 3:
      snprintf(text, sizeof text, "%dabc", (int32_t)v);
      break;
    case 4:
      snprintf(text, sizeof text, " \t%d", (int32_t)v);
      break;
    case 5:
      snprintf(text, sizeof text, "+%u", v);
      break;
    case 6:  // beyond 32 bits
      snprintf(text, sizeof text, "%u0000000000", v);
      break;
    default:
      snprintf(text, sizeof text, "-0x%X", v);
      break;
  }
  return text;
}

// ------------------------------------------------------- reference rules

// The private-profile integer rule: leading blanks, an optional sign, an
// optional lower-case 0x, 0o or 0b prefix, digits up to the first other
// character, the low 32 bits kept; an empty value gives the fallback.
uint32_t ReferenceProfileInt(const std::string& stored, int32_t fallback) {
  const std::string text = stored.substr(0, stored.find('\0'));  // read as a C string
  size_t p = 0;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
  if (p == text.size()) return (uint32_t)fallback;
  bool negative = false;
  if (text[p] == '+' || text[p] == '-') negative = text[p++] == '-';
  uint32_t base = 10;
  if (p + 1 < text.size() && text[p] == '0' &&
      (text[p + 1] == 'x' || text[p + 1] == 'o' || text[p + 1] == 'b')) {
    base = text[p + 1] == 'x' ? 16 : text[p + 1] == 'o' ? 8 : 2;
    p += 2;
  }
  uint32_t value = 0;
  for (; p < text.size(); ++p) {
    const char c = text[p];
    uint32_t digit = c >= '0' && c <= '9'   ? (uint32_t)(c - '0')
                     : c >= 'a' && c <= 'f' ? (uint32_t)(c - 'a' + 10)
                     : c >= 'A' && c <= 'F' ? (uint32_t)(c - 'A' + 10)
                                            : 99;
    if (digit >= base) break;
    value = value * base + digit;
  }
  return negative ? 0u - value : value;
}

struct Settings {
  int32_t baud_rate;
  uint32_t text_buffer_size;
  uint32_t gfx_buffer_size;
  int32_t gfx_force_flush;
  int32_t font_pitch;
  int32_t use_out_ports;
  int32_t controller;
  int32_t log_enabled;
  int32_t gfx_changes_only;
  bool changes_only_kept;
};

Settings ExpectedSettings(const std::map<std::string, std::string>& profile) {
  auto read = [&](int key, int32_t fallback) {
    auto it = profile.find(kSettingKeys[key]);
    return it == profile.end() ? (uint32_t)fallback : ReferenceProfileInt(it->second, fallback);
  };
  auto one_of = [](int32_t v, int32_t a, int32_t b, int32_t otherwise) {
    return v == a || v == b ? v : otherwise;
  };
  Settings e;
  e.baud_rate = (int32_t)read(0, 19200);
  e.text_buffer_size = read(1, 16);
  if (e.text_buffer_size < 1 || e.text_buffer_size > 256) e.text_buffer_size = 16;
  e.gfx_buffer_size = read(2, 64);
  if (e.gfx_buffer_size < 1 || e.gfx_buffer_size > 4096) e.gfx_buffer_size = 64;
  e.gfx_force_flush = one_of((int32_t)read(3, 0), 0, 1, 0);
  e.font_pitch = one_of((int32_t)read(4, 6), 6, 8, 6);
  e.use_out_ports = one_of((int32_t)read(5, 0), 0, 1, 0);
  e.controller = one_of((int32_t)read(6, 6963), 6963, 108, 6963);
  if (e.controller == 108) e.font_pitch = 8;
  e.log_enabled = one_of((int32_t)read(7, 0), 0, 1, 0);
  auto changes = profile.find(fuzz::kChangesOnlyKey);
  e.gfx_changes_only = 0;
  e.changes_only_kept = false;
  if (changes != profile.end()) {
    const uint32_t v = ReferenceProfileInt(changes->second, 0);
    e.changes_only_kept = v == ReferenceProfileInt(changes->second, 1);
    e.gfx_changes_only = one_of((int32_t)v, 0, 1, 0);
  }
  return e;
}

// Where config.ini lands for a current directory: in it, or named relative
// to it (".\") when the directory or a path composed from it does not fit.
std::string ExpectedIniPath(const std::string& cwd) {
  const bool separator = !cwd.empty() && cwd.back() != '\\' && cwd.back() != '/';
  const size_t dir = cwd.size() + (separator ? 1 : 0);
  const bool fits = cwd.size() + 1 <= sizeof g_state.cwd &&
                    dir + 10 + 1 <= sizeof g_state.ini_path &&
                    dir + 9 + 1 <= sizeof g_state.log_path;
  if (!fits) return ".\\config.ini";
  return cwd + (separator ? "\\" : "") + "config.ini";
}

bool InProtocol(int32_t v) { return v >= 1 && v <= 255; }

// The board as the driver is set up now; sizes outside the protocol's 1 to
// 255 read as 255, where the decoder then takes the header at its word.
board::DisplayConfig CurrentConfig() {
  board::DisplayConfig config;
  config.controller =
      g_state.controller == kControllerKS108 ? board::Controller::KS108 : board::Controller::T6963;
  config.pitch = g_state.font_pitch == 8 ? 8 : 6;
  config.width = InProtocol(g_state.gfx_width) ? g_state.gfx_width : 255;
  config.height = InProtocol(g_state.gfx_height) ? g_state.gfx_height : 255;
  return config;
}

// A host picture of exactly the declared size, or none.
struct Picture {
  std::vector<uint8_t> pixels;
  bool present = false;
  int64_t width = 0;
  int64_t size = 0;

  bool At(int64_t x, int64_t y) const {
    const int64_t offset = y * width + x;
    return present && offset >= 0 && offset < size && pixels[(size_t)offset] != 0;
  }
};

// --------------------------------------------------------------- the model

void Expect(Stream stream, CommandKind kind, std::vector<uint8_t> operands,
            std::vector<uint8_t> payload = {}) {
  Expected e;
  e.kind = kind;
  e.config = CurrentConfig();
  e.operands = std::move(operands);
  e.payload = std::move(payload);
  g_session.expected[stream].push_back(std::move(e));
}

void ExpectCleanUpDirect() {
  Expect(kDirect, CommandKind::ResetDisplay, {});
  Expect(kDirect, CommandKind::SetContrast, {0});
  Expect(kDirect, CommandKind::SetLight, {0});
}

// Whether the wire of this run may still be checked command by command: the
// expected graphics are worked out only then.
bool Checkable();

void ExpectT6963(const Picture& picture, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2) {
  if (!Checkable()) return;
  Expected e;
  e.config = CurrentConfig();
  const uint32_t ax = x1 & 0xFFFF, bx = x2 & 0xFFFF, ay = y1 & 0xFFFF, by = y2 & 0xFFFF;
  const uint32_t p = (uint32_t)e.config.pitch;
  uint32_t left = std::min(ax, bx), right = std::max(ax, bx);
  const uint32_t top = std::min(ay, by), bottom = std::max(ay, by);
  left -= left % p;
  right += (p - 1) - right % p;
  // Outside the protocol's coordinates and counts: the driver's own choice.
  if (ax > 255 || bx > 255 || ay > 255 || by > 255 || right > 255 || right - left + 1 >= 256 ||
      bottom - top + 1 >= 256) {
    e.any_gfx_kind = true;
    e.exact = false;
    e.kind = CommandKind::SetBitmap;
    g_session.expected[kGfx].push_back(std::move(e));
    return;
  }
  const uint32_t n = (right - left + 1) / p, h = bottom - top + 1;
  for (uint32_t y = top; y <= bottom; ++y) {
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t byte = 0;
      for (uint32_t j = 0; j < p; ++j) {
        byte = (uint8_t)((byte << 1) | (picture.At(left + i * p + j, y) ? 1 : 0));
      }
      e.payload.push_back(byte);
    }
  }
  if (h > 1) {
    e.kind = CommandKind::SetBitmap;
    e.operands = {(uint8_t)left, (uint8_t)top, (uint8_t)n, (uint8_t)h};
  } else if (n == 1) {
    e.kind = CommandKind::SetGfxSingle;
    e.operands = {(uint8_t)left, (uint8_t)top};
  } else {
    e.kind = CommandKind::SetGfxMulti;
    e.operands = {(uint8_t)left, (uint8_t)top, (uint8_t)n};
  }
  g_session.expected[kGfx].push_back(std::move(e));
}

void ExpectKs108(const Picture& picture) {
  if (!Checkable()) return;
  Expected e;
  e.config = CurrentConfig();
  e.kind = CommandKind::SetBitmap;
  const int32_t w = g_state.gfx_width, h = g_state.gfx_height;
  if (!InProtocol(w) || !InProtocol(h)) {
    e.exact = false;
    g_session.expected[kGfx].push_back(std::move(e));
    return;
  }
  e.operands = {0, 0, (uint8_t)(w / 8), (uint8_t)h};
  for (int32_t band = 0; band < (h + 7) / 8; ++band) {
    for (int32_t column = 0; column < w; ++column) {
      uint8_t byte = 0;
      for (int bit = 0; bit < 8; ++bit) {
        if (picture.At(column, band * 8 + bit)) byte = (uint8_t)(byte | (1u << bit));
      }
      e.payload.push_back(byte);
    }
  }
  g_session.expected[kGfx].push_back(std::move(e));
}

// ------------------------------------------------------------- invariants

void SyncTransfers() {
  Session& s = g_session;
  while (s.transfer_stream.size() < Rec().transfers.size()) {
    s.transfer_stream.push_back(s.write_stream);
  }
}

// Runs inside every port write: which buffer is being written follows from
// the counts, which are cleared only after their write.
void OnWrite() {
  SyncTransfers();
  // A write while the board is behind: the host's streams are no longer
  // the wire, even if the same call brings the link back up.
  if (g_state.link.mode != kLinkUp) g_oracles.ever_behind = true;
  g_session.write_baud.push_back(g_state.link.baud_rate);
  ++g_session.writes;
  g_session.write_stream = g_state.text_count > 0 ? kText : g_state.gfx_count > 0 ? kGfx : kDirect;
  if (g_session.write_stream == kGfx) ++g_session.gfx_writes;
}

bool WireLossy() {
  SyncTransfers();
  return g_session.writes != Rec().transfers.size();
}

void CheckState(const char* after) {
  const DriverState& st = g_state;
  Session& s = g_session;
  if (st.ready.load() != 1) Violation("ready is %d after %s", st.ready.load(), after);
  if (st.text_buffer_size < 1 || st.text_buffer_size > kTextBufferCapacity) {
    Violation("text_buffer_size %u after %s", st.text_buffer_size, after);
  }
  if (st.gfx_buffer_size < 1 || st.gfx_buffer_size > kGfxBufferCapacity) {
    Violation("gfx_buffer_size %u after %s", st.gfx_buffer_size, after);
  }
  if (st.text_count >= st.text_buffer_size) {
    Violation("text_count %u not below text_buffer_size %u after %s", st.text_count,
              st.text_buffer_size, after);
  }
  if (st.gfx_count >= st.gfx_buffer_size) {
    Violation("gfx_count %u not below gfx_buffer_size %u after %s", st.gfx_count,
              st.gfx_buffer_size, after);
  }
  if (st.font_pitch != 6 && st.font_pitch != 8)
    Violation("font_pitch %d after %s", st.font_pitch, after);
  if (st.controller != kControllerT6963 && st.controller != kControllerKS108) {
    Violation("controller %d after %s", st.controller, after);
  }
  if (st.controller == kControllerKS108 && st.font_pitch != 8) {
    Violation("KS108 with font_pitch %d after %s", st.font_pitch, after);
  }
  const int32_t log_enabled = st.log_enabled;
  if ((st.gfx_force_flush | st.use_out_ports | log_enabled) & ~1) {
    Violation("a 0-or-1 setting out of range after %s (%d %d %d)", after, st.gfx_force_flush,
              st.use_out_ports, log_enabled);
  }
  if (st.flush_pending != 0)
    Violation("flush_pending %d between calls, after %s", st.flush_pending, after);
  if (st.port == kInvalidPort) Violation("port holds the invalid handle after %s", after);
  const int open = PortIsOpen(st.port) ? 1 : 0;
  if (Rec().open_ports != open) {
    Violation("%d port handles open while the driver holds %d, after %s", Rec().open_ports, open,
              after);
  }
  const int traces = st.log_file != nullptr ? 1 : 0;
  if (Rec().open_traces != traces) {
    Violation("%d trace files open while the driver holds %d, after %s", Rec().open_traces, traces,
              after);
  }
  if (st.light != s.light || st.contrast != s.contrast || st.out_ports != s.out_ports) {
    Violation("remembered light %u contrast %u ports 0x%08X after %s, expected %u %u 0x%08X",
              st.light, st.contrast, st.out_ports, after, s.light, s.contrast, s.out_ports);
  }
  if (memchr(st.port_name, '\0', sizeof st.port_name) == nullptr) {
    Violation("port_name not terminated after %s", after);
  }
  const auto& transfers = Rec().transfers;
  for (; s.checked_transfers < transfers.size(); ++s.checked_transfers) {
    const size_t size = transfers[s.checked_transfers].size();
    if (size == 0 || size > kGfxBufferCapacity) {
      Violation("transfer %zu of %zu bytes in %s", s.checked_transfers, size, after);
    }
  }
  const auto& calls = Rec().calls;
  for (; s.checked_calls < calls.size(); ++s.checked_calls) {
    const std::string& call = calls[s.checked_calls];
    static const char kWrite[] = "PlatformPortWrite ";
    if (call.rfind(kWrite, 0) != 0) continue;
    const unsigned long size = strtoul(call.c_str() + sizeof kWrite - 1, nullptr, 10);
    if (size == 0 || size > kGfxBufferCapacity)
      Violation("a port write of %lu bytes in %s", size, after);
  }
}

// ------------------------------------------------------------------ calls

void DoInit() {
  Session& s = g_session;
  const bool was_open = LinkIsOpen();
  const std::map<std::string, std::string> before = Rec().profile;
  const size_t profile_writes = Rec().profile_writes.size();
  const size_t calls = Rec().calls.size();
  const size_t boxes = Rec().message_boxes.size();
  Trail("LCD_Init()");
  LCD_Init();
  if (was_open) {
    ExpectCleanUpDirect();
    s.light = 0;
    s.contrast = 0;
  }
  if (PortIsOpen(g_state.port)) Expect(kDirect, CommandKind::ResetDisplay, {});

  if (!s.profile_read_faulted) {
    const Settings e = ExpectedSettings(before);
    const DriverState& st = g_state;
    const int64_t got[fuzz::kSettingCount] = {
        st.baud_rate,  st.text_buffer_size, st.gfx_buffer_size, st.gfx_force_flush,
        st.font_pitch, st.use_out_ports,    st.controller,      st.log_enabled};
    const int64_t want[fuzz::kSettingCount] = {
        e.baud_rate,  e.text_buffer_size, e.gfx_buffer_size, e.gfx_force_flush,
        e.font_pitch, e.use_out_ports,    e.controller,      e.log_enabled};
    for (int k = 0; k < fuzz::kSettingCount; ++k) {
      if (got[k] != want[k]) {
        auto it = before.find(kSettingKeys[k]);
        Violation("after LCD_Init %s is %lld, expected %lld from %s%s%s", kSettingKeys[k],
                  (long long)got[k], (long long)want[k], it == before.end() ? "no key" : "\"",
                  it == before.end() ? "" : Printable(it->second).c_str(),
                  it == before.end() ? "" : "\"");
      }
    }
    if (st.gfx_changes_only != e.gfx_changes_only ||
        (st.gfx_changes_only_kept != 0) != e.changes_only_kept) {
      Violation("after LCD_Init GfxChangesOnly is %d (kept %d), expected %d (kept %d)",
                st.gfx_changes_only, st.gfx_changes_only_kept, e.gfx_changes_only,
                e.changes_only_kept);
    }
  }
  if (!s.profile_write_faulted) {
    const auto& writes = Rec().profile_writes;
    const DriverState& st = g_state;
    // The keys in the order they are written; GfxChangesOnly only when the
    // file has it.
    std::vector<std::pair<const char*, int32_t>> keys = {
        {kSettingKeys[0], st.baud_rate},
        {kSettingKeys[1], (int32_t)st.text_buffer_size},
        {kSettingKeys[2], (int32_t)st.gfx_buffer_size},
        {kSettingKeys[3], st.gfx_force_flush},
        {kSettingKeys[4], st.font_pitch},
        {kSettingKeys[5], st.use_out_ports},
        {kSettingKeys[6], st.controller},
        {kSettingKeys[7], st.log_enabled}};
    if (st.gfx_changes_only_kept) {
      keys.insert(keys.begin() + 4, {fuzz::kChangesOnlyKey, st.gfx_changes_only});
    }
    if (writes.size() - profile_writes != keys.size()) {
      Violation("LCD_Init wrote %zu keys, not %zu", writes.size() - profile_writes, keys.size());
    }
    for (size_t k = 0; k < keys.size(); ++k) {
      const std::string tail =
          std::string("|Korvex|") + keys[k].first + "=" + std::to_string(keys[k].second);
      const std::string& write = writes[profile_writes + k];
      const std::string want = s.cwd_faulted ? tail : ExpectedIniPath(Rec().cwd) + tail;
      if (write.size() < want.size() ||
          write.compare(write.size() - want.size(), want.size(), want) != 0) {
        Violation("settings write %zu is \"%s\", expected \"...%s\"", k, write.c_str(),
                  want.c_str());
      }
    }
  }
  auto extra_before = before.find(fuzz::kExtraKey);
  auto extra_after = Rec().profile.find(fuzz::kExtraKey);
  if ((extra_before == before.end()) != (extra_after == Rec().profile.end()) ||
      (extra_after != Rec().profile.end() && extra_after->second != extra_before->second)) {
    Violation("LCD_Init changed the key %s, which is not the driver's", fuzz::kExtraKey);
  }

  // The port opens under the name the host gave, or not at all when the name
  // did not fit (with a message box saying so).
  int opens = 0;
  std::string opened;
  for (size_t i = calls; i < Rec().calls.size(); ++i) {
    static const char kOpen[] = "PlatformPortOpen ";
    if (Rec().calls[i].rfind(kOpen, 0) == 0) {
      ++opens;
      opened = Rec().calls[i].substr(sizeof kOpen - 1);
    }
  }
  if (s.name_too_long) {
    if (opens != 0)
      Violation("LCD_Init opened \"%s\" for a port name that does not fit", opened.c_str());
    if (Rec().message_boxes.size() == boxes ||
        Rec().message_boxes.back().text.find(" failed ! Error 206 ") == std::string::npos) {
      Violation("no message box for a port name that does not fit");
    }
  } else if (opens != 1 || opened != s.port_name) {
    Violation("LCD_Init made %d port opens (last \"%s\"), expected one of \"%s\"", opens,
              opened.c_str(), s.port_name.c_str());
  }
}

void DoCleanUp() {
  Session& s = g_session;
  Trail("LCD_CleanUp()");
  const bool was_open = LinkIsOpen();
  LCD_CleanUp();
  if (was_open) ExpectCleanUpDirect();
  s.light = 0;
  s.contrast = 0;
}

void DoSetIOPropertys(Reader& in) {
  Session& s = g_session;
  const uint8_t mode = in.U8() % 3;
  const uint8_t length = in.U8();
  std::vector<char> name;
  if (mode == fuzz::kNameTerminated) {
    const std::string text = in.Text(length);
    name.assign(text.begin(), text.end());
    name.push_back('\0');
  } else if (mode == fuzz::kNameUnterminated) {
    // A name that does not end within port_name's 32 bytes: exactly this
    // many bytes, so reading one more is caught.
    std::string text = in.Text(32 + length % 64);
    text.resize(32 + length % 64, 'N');
    name.assign(text.begin(), text.end());
  }
  const int32_t width = (int32_t)in.U32();
  const int32_t height = (int32_t)in.U32();
  const uint32_t light_enable = in.U32();
  const uint32_t light = in.U32();
  const uint32_t contrast = in.U32();
  const uint32_t ports = in.U32();
  const uint32_t unused = in.U32();
  const bool open = LinkIsOpen();
  const char* name_arg = mode == fuzz::kNameNull ? nullptr : name.data();
  Trail("LCD_SetIOPropertys(%s%zu bytes, %d, %d, %u, %u, %u, 0x%08X)",
        mode == fuzz::kNameNull         ? "null, "
        : mode == fuzz::kNameTerminated ? "terminated "
                                        : "unterminated ",
        name.size(), width, height, light_enable, light, contrast, ports);
  LCD_SetIOPropertys(name_arg, unused, unused, unused, unused, width, height, light_enable, light,
                     unused, contrast, ports, unused, unused);

  if (name_arg != nullptr) {
    const void* end = memchr(name.data(), '\0', std::min(name.size(), sizeof g_state.port_name));
    s.name_too_long = end == nullptr;
    if (end != nullptr) s.port_name.assign(name.data(), (const char*)end - name.data());
  }
  if ((uint8_t)light_enable != 0) {
    if ((uint8_t)light != s.light) {
      s.light = (uint8_t)light;
      if (open) Expect(kText, CommandKind::SetLight, {s.light});
    }
  } else {
    s.light = 0;
    if (open) Expect(kText, CommandKind::SetLight, {0});
  }
  if ((uint8_t)contrast != s.contrast) {
    s.contrast = (uint8_t)contrast;
    if (open) Expect(kText, CommandKind::SetContrast, {s.contrast});
  }
  if (ports != s.out_ports && g_state.use_out_ports == 1) {
    for (int port = 0; port < 4; ++port) {
      const uint8_t before = (uint8_t)(s.out_ports >> (8 * port));
      const uint8_t after = (uint8_t)(ports >> (8 * port));
      if (before != after && open) Expect(kText, CommandKind::SetOutPort, {(uint8_t)port, after});
    }
    s.out_ports = ports;
  }
}

Picture g_picture;
uint8_t g_picture_fill = 0;
int32_t g_picture_w = 0, g_picture_h = 0;

void DoSendToGfxMemory(Reader& in) {
  const uint8_t fill = in.U8();
  const uint32_t x1 = in.U32(), y1 = in.U32(), x2 = in.U32(), y2 = in.U32(), ignored = in.U32();
  const int32_t w = g_state.gfx_width, h = g_state.gfx_height;
  // The last picture made is kept for the input's run: a quiet ending
  // repeats its calls.
  Picture& picture = g_picture;
  if (fill != g_picture_fill || w != g_picture_w || h != g_picture_h) {
    picture = Picture();
    g_picture_fill = fill;
    g_picture_w = w;
    g_picture_h = h;
  }
  if (!picture.present && fill != 0 && w > 0 && h > 0 &&
      (uint64_t)w * (uint64_t)h <= fuzz::kMaxPicture) {
    picture.present = true;
    picture.width = w;
    picture.size = (int64_t)w * h;
    picture.pixels.resize((size_t)picture.size);  // exactly the declared size
    // Pixels set with a density of fill / 256, any non-zero value; a tile of
    // them repeated, so that a large picture costs little to make.
    uint8_t tile[4093];  // a prime length: no pattern lines up with the rows
    uint32_t state = fill * 2654435761u;
    for (uint8_t& pixel : tile) {
      state = state * 1103515245u + 12345u;
      pixel = ((state >> 16) & 0xFF) < fill ? (uint8_t)((state >> 8) | 1) : 0;
    }
    for (size_t at = 0; at < picture.pixels.size(); at += sizeof tile) {
      memcpy(picture.pixels.data() + at, tile, std::min(sizeof tile, picture.pixels.size() - at));
    }
  }
  const bool open = LinkIsOpen();
  const size_t gfx_writes = g_session.gfx_writes;
  Trail("LCD_SendToGfxMemory(%s, %u, %u, %u, %u) on %dx%d", picture.present ? "picture" : "null",
        x1, y1, x2, y2, w, h);
  const bool up_before = g_state.link.mode == kLinkUp;
  LCD_SendToGfxMemory(picture.present ? picture.pixels.data() : nullptr, x1, y1, x2, y2, ignored);
  if (!open) return;
  // The end-of-call rule: the graphics buffer is left empty exactly when the
  // call wrote graphics to the port or GfxForceFlush is 1; otherwise all the
  // call's bytes wait in it.
  // A call that found the board behind, or left it so (a board that did not
  // keep up, a failed write, a port that went away), drops the host's
  // writes and ends with empty buffers, so the rule is not checked for it.
  const bool wrote = g_session.gfx_writes != gfx_writes;
  if (up_before && g_state.link.mode == kLinkUp && g_state.gfx_changes_only == 0 &&
      (wrote || g_state.gfx_force_flush == 1) != (g_state.gfx_count == 0)) {
    Violation("LCD_SendToGfxMemory left %u bytes in the graphics buffer after %s",
              g_state.gfx_count,
              wrote                          ? "writing graphics to the port"
              : g_state.gfx_force_flush == 1 ? "a forced flush"
                                             : "no graphics write");
  }
  if (g_state.controller == kControllerKS108) {
    ExpectKs108(picture);
  } else {
    ExpectT6963(picture, x1, y1, x2, y2);
  }
}

void DoSendToMemory(Reader& in) {
  uint32_t code = in.U32();
  const uint8_t low = (uint8_t)code;
  // The protocol has no escape: a character among the command bytes is read
  // as a command. Strict inputs keep clear of them.
  if (g_session.strict && low >= 0xB0 && low <= 0xBE) code ^= 0x80;
  const bool open = LinkIsOpen();
  Trail("LCD_SendToMemory(0x%08X)", code);
  LCD_SendToMemory(code);
  if (open) Expect(kText, CommandKind::Character, {(uint8_t)code});
}

void DoSetOutputAddress(Reader& in) {
  const int32_t column = (int32_t)in.U32(), row = (int32_t)in.U32();
  const bool open = LinkIsOpen();
  Trail("LCD_SetOutputAddress(%d, %d)", column, row);
  LCD_SetOutputAddress(column, row);
  if (open) {
    Expect(kText, CommandKind::SetTextCursor,
           {(uint8_t)((uint32_t)column + 1), (uint8_t)((uint32_t)row + 1)});
  }
}

void DoSetCGRAMChar(Reader& in) {
  CgramCharRecord record;
  record.position = in.U8();
  uint8_t masks[8];
  for (uint8_t& mask : masks) mask = in.U8();
  uint8_t set = in.U8();
  if (set == 0) set = 0xFF;
  for (int column = 0; column < 8; ++column) {
    for (int row = 0; row < 8; ++row)
      record.matrix[8 * column + row] = (masks[column] >> row) & 1 ? set : 0;
  }
  const bool open = LinkIsOpen();
  const int pitch = g_state.font_pitch;
  Trail("LCD_SetCGRAMChar(%u, ...)", record.position);
  LCD_SetCGRAMChar(record);
  if (!open) return;
  std::vector<uint8_t> rows;
  for (int row = 0; row < 8; ++row) {
    uint8_t byte = 0;
    for (int column = 0; column < pitch; ++column) {
      byte = (uint8_t)((byte << 1) | ((masks[column] >> row) & 1));
    }
    rows.push_back(byte);
  }
  Expect(kText, CommandKind::SetCGRAMChar, {record.position}, rows);
}

void DoGetInfo() {
  std::vector<uint8_t> memory(sizeof(DriverInfo), 0xEE);  // exactly the record
  DriverInfo* info = reinterpret_cast<DriverInfo*>(memory.data());
  Trail("DLL_GetInfo()");
  DriverInfo* result = DLL_GetInfo(info);
  if (result != info) Violation("DLL_GetInfo returned another address");
  char text[256] = {};
  memcpy(text, kDriverIdentification, sizeof kDriverIdentification);
  const uint8_t p = (uint8_t)g_state.font_pitch;
  const uint8_t trailer[8] = {1, 1, 1, 1, 1, p, 8, p};
  if (memcmp(info->text, text, sizeof text) != 0 || memcmp(info->trailer, trailer, 8) != 0) {
    Violation("DLL_GetInfo filled the record wrongly");
  }
}

void DoConfigDialog() {
  const size_t boxes = Rec().message_boxes.size();
  Trail("LCD_ConfigDialog()");
  const int32_t result = LCD_ConfigDialog();
  char text[256];
  snprintf(text, sizeof text,
           "Baudrate %d\nTextBufferSize %d\nGfxBufferSize %d\nLCD_FontPitch %ld\n",
           (int)g_state.baud_rate, (int)g_state.text_buffer_size, (int)g_state.gfx_buffer_size,
           (long)g_state.font_pitch);
  if (Rec().message_boxes.size() != boxes + 1) Violation("LCD_ConfigDialog showed no box");
  const RecMessageBox& box = Rec().message_boxes.back();
  if (box.text != text || !box.has_caption || box.caption != "Settings") {
    Violation("LCD_ConfigDialog showed \"%s\"", box.text.c_str());
  }
  if (result != 0 && result != Rec().message_box_result) {
    Violation("LCD_ConfigDialog returned %d", result);
  }
}

// The inert exports: nothing at all may change.
template <typename Call>
void DoInert(const char* name, Call call) {
  static unsigned char before[sizeof(DriverState)];
  memcpy(before, (const void*)&g_state, sizeof before);
  const size_t calls = Rec().calls.size();
  Trail("%s(...)", name);
  call();
  if (memcmp(before, (const void*)&g_state, sizeof before) != 0 || Rec().calls.size() != calls) {
    Violation("%s changed something", name);
  }
}

void NoteFault(RecCall call) {
  if (call == kRecProfileRead) g_session.profile_read_faulted = true;
  if (call == kRecProfileWrite) g_session.profile_write_faulted = true;
  if (call == kRecGetCurrentDir) g_session.cwd_faulted = true;
  if (call == kRecProfileRead || call == kRecProfileWrite || call == kRecGetCurrentDir) {
    g_oracles.settings_faulted = true;
  }
  g_oracles.disturbed = true;
}

// A settings slot's key; GfxChangesOnly reads 0 in its reference run.
const char* SlotKey(uint8_t slot) {
  if (slot < fuzz::kSettingCount) return kSettingKeys[slot];
  return slot == fuzz::kSettingCount ? fuzz::kExtraKey : fuzz::kChangesOnlyKey;
}

void SetSlot(uint8_t slot, const std::string& value) {
  const char* key = SlotKey(slot);
  Rec().profile[key] = g_run == kRunNoChanges && key == fuzz::kChangesOnlyKey ? "0" : value;
  Trail("config.ini: %s=\"%s\"", key, Printable(Rec().profile[key]).c_str());
}

void ArmFault(Reader& in) {
  const RecCall call = (RecCall)(in.U8() % kRecCallCount);
  const uint8_t times = in.U8() % 4;
  const uint8_t skip = in.U8();
  const uint8_t error = in.U8();
  RecFail(call, error, times == 0 ? -1 : times, skip);
  NoteFault(call);
  Trail("fault: call %d fails %d times after %u, error %u", (int)call, times == 0 ? -1 : times,
        skip, error);
}

void PlanWrite(uint8_t v) {
  const int64_t take = v == 0 ? kPlanLineError : v == 1 ? kPlanTimeoutError : v - 2;
  Rec().write_plan.push_back(take);
  g_oracles.disturbed = true;
  Trail("write plan: %lld", (long long)take);
}

uint32_t U16(Reader& in) { return (uint32_t)in.U8() | (uint32_t)in.U8() << 8; }

// The board turns fresh: plugged in, or powered again by a resume. While the
// driver holds no port and owes the board nothing (it was closed with the
// board keeping up), nothing tells it: the next LCD_Init takes the board for
// the one it closed, which keeps what a reset keeps (custom characters,
// ports), and only the host's own calls can bring those back. A quiet ending
// then proves nothing. A board that got nothing yet is as good as fresh.
void NoteFreshBoard() {
  const size_t since = Rec().fresh_at.empty() ? 0 : Rec().fresh_at.back();
  if (!LinkIsOpen() && !g_state.link.missed && Rec().received.size() > since) {
    g_oracles.unseen_fresh = true;
  }
}

void DoBoard(Reader& in) {
  g_oracles.disturbed = true;
  switch (in.U8() % fuzz::kBoardEventCount) {
    case fuzz::kBoardStall: {
      const uint32_t ms = U16(in);
      Trail("board: stalls %u ms", ms);
      RecStall(ms);
      break;
    }
    case fuzz::kBoardTrickle: {
      const uint32_t ms = U16(in), per_s = U16(in);
      Trail("board: trickles %u ms at %u B/s", ms, per_s);
      RecTrickle(ms, per_s);
      break;
    }
    case fuzz::kBoardRate: {
      const uint32_t per_s = U16(in);
      Trail("board: takes %u B/s", per_s);
      RecBoardRate(per_s == 0xFFFF ? kRecBoardKeepsUp : per_s);
      break;
    }
    case fuzz::kBoardUnplug: {
      const uint32_t error = fuzz::kUnplugErrors[in.U8() % 4];
      Trail("board: unplugged, error %u", error);
      RecUnplug(error);
      break;
    }
    case fuzz::kBoardPlugIn:
      // A board that was not out: plugging it in again would be a fresh board
      // the driver is never told of, which nothing can bring back.
      if (!Rec().gone) break;
      Trail("board: plugged in");
      NoteFreshBoard();
      RecPlugIn();
      break;
    case fuzz::kBoardResume:
      Trail("board: the PC resumed");
      NoteFreshBoard();
      RecResume();
      break;
    default: {
      const uint32_t ms = U16(in);
      Trail("board: the clock runs %u ms", ms);
      RecRunClock(ms);
      break;
    }
  }
}

void DoCall(Reader& in) {
  switch (in.U8() % fuzz::kOpCount) {
    case fuzz::kOpInit:
      DoInit();
      break;
    case fuzz::kOpCleanUp:
      DoCleanUp();
      break;
    case fuzz::kOpSetIOPropertys:
      DoSetIOPropertys(in);
      break;
    case fuzz::kOpSendToGfxMemory:
      DoSendToGfxMemory(in);
      break;
    case fuzz::kOpSendToMemory:
      DoSendToMemory(in);
      break;
    case fuzz::kOpSetOutputAddress:
      DoSetOutputAddress(in);
      break;
    case fuzz::kOpSetCGRAMChar:
      DoSetCGRAMChar(in);
      break;
    case fuzz::kOpGetCGRAMChar: {
      const uint32_t position = in.U32();
      Trail("LCD_GetCGRAMChar(%u)", position);
      if (LCD_GetCGRAMChar(position) != (uint8_t)position)
        Violation("LCD_GetCGRAMChar(%u)", position);
      break;
    }
    case fuzz::kOpIsReadyToReceive:
      Trail("LCD_IsReadyToReceive()");
      if (LCD_IsReadyToReceive() != 1) Violation("LCD_IsReadyToReceive() is not 1 between calls");
      break;
    case fuzz::kOpGetInfo:
      DoGetInfo();
      break;
    case fuzz::kOpConfigDialog:
      DoConfigDialog();
      break;
    case fuzz::kOpSendToController: {
      const uint32_t value = in.U32();
      DoInert("LCD_SendToController", [&] { LCD_SendToController(value); });
      break;
    }
    case fuzz::kOpCustomize: {
      uint32_t v[5];
      for (uint32_t& x : v) x = in.U32();
      DoInert("LCD_Customize", [&] { LCD_Customize(v[0], v[1], v[2], v[3], v[4]); });
      break;
    }
    case fuzz::kOpSetting: {
      const uint8_t slot = in.U8() % fuzz::kSettingSlots;
      const uint8_t length = in.U8();
      if (length == 0) {
        Rec().profile.erase(SlotKey(slot));
        Trail("config.ini: %s removed", SlotKey(slot));
      } else {
        SetSlot(slot, SettingValue(in, length));
      }
      break;
    }
    case fuzz::kOpBoard:
      DoBoard(in);
      break;
    case fuzz::kOpClock: {
      const uint32_t ms = 10u * in.U8();
      Trail("the clock moves %u ms", ms);
      RecRunClock(ms);
      break;
    }
    case fuzz::kOpPlatform:
      switch (in.U8() % 3) {
        case 0:
          ArmFault(in);
          break;
        case 1:
          PlanWrite(in.U8());
          break;
        default:
          for (RecFault& fault : Rec().faults) fault = RecFault();
          g_session.profile_read_faulted = false;
          g_session.profile_write_faulted = false;
          g_session.cwd_faulted = false;
          Trail("all faults gone");
          break;
      }
      break;
  }
}

// ---------------------------------------------------------------- decoding

bool IsGfxKind(CommandKind kind) {
  return kind == CommandKind::SetBitmap || kind == CommandKind::SetGfxSingle ||
         kind == CommandKind::SetGfxMulti;
}

void Compare(const board::Command& got, const Expected& want, Stream stream) {
  const char* got_name = board::CommandName(got.kind);
  if (want.any_gfx_kind ? !IsGfxKind(got.kind) : got.kind != want.kind) {
    Violation("the %s stream has %s at byte %llu where %s was sent", kStreamNames[stream], got_name,
              (unsigned long long)got.offset,
              want.any_gfx_kind ? "a graphics command" : board::CommandName(want.kind));
  }
  if (!want.exact) return;
  if (got.operands != want.operands) {
    Violation("%s at byte %llu has operands %s, expected %s", got_name,
              (unsigned long long)got.offset, HexBytes(got.operands).c_str(),
              HexBytes(want.operands).c_str());
  }
  if (got.payload != want.payload) {
    size_t at = 0;
    while (at < got.payload.size() && at < want.payload.size() &&
           got.payload[at] == want.payload[at])
      ++at;
    Violation(
        "%s at byte %llu (%s) has a payload of %zu bytes differing from the expected %zu at "
        "byte %zu",
        got_name, (unsigned long long)got.offset, HexBytes(got.operands).c_str(),
        got.payload.size(), want.payload.size(), at);
  }
}

// Decodes the whole wire. With `check`, every command must be the next one
// its stream was to carry, no command may be cut by another stream's write,
// and the stream must end between commands.
void CheckWire() {
  Session& s = g_session;
  SyncTransfers();
  board::Decoder decoder;
  board::DecoderInit(decoder, CurrentConfig());
  std::vector<board::Command> commands;
  std::vector<board::Anomaly> anomalies;
  Expected current;
  int current_stream = -1;
  const auto& transfers = Rec().transfers;
  for (size_t t = 0; t < transfers.size(); ++t) {
    const Stream stream = (Stream)s.transfer_stream[t];
    const uint8_t* data = transfers[t].data();
    const size_t size = transfers[t].size();
    if (decoder.in_command && stream != current_stream) {
      Violation("a %s transfer cuts into %s of the %s stream at byte %llu", kStreamNames[stream],
                board::CommandName(decoder.pending.kind), kStreamNames[current_stream],
                (unsigned long long)decoder.pending.offset);
    }
    size_t i = 0;
    while (i < size) {
      size_t take = 1;
      if (!decoder.in_command) {
        if (s.expected[stream].empty()) {
          Violation("the %s stream carries byte 0x%02X at %llu after all the commands it was sent",
                    kStreamNames[stream], data[i], (unsigned long long)decoder.offset);
        }
        current = std::move(s.expected[stream].front());
        s.expected[stream].pop_front();
        decoder.config = current.config;
        current_stream = stream;
      } else if (decoder.operands_needed == 0) {
        take = std::min(decoder.payload_needed, size - i);
      }
      board::DecoderFeed(decoder, data + i, take, commands, anomalies);
      i += take;
      if (!commands.empty()) {
        Compare(commands.back(), current, (Stream)current_stream);
        commands.clear();
      }
    }
  }
  board::DecoderFinish(decoder, anomalies);
  for (const board::Anomaly& a : anomalies) {
    switch (a.kind) {
      case board::AnomalyKind::OutsideDisplay:
      case board::AnomalyKind::PastEdge:
      case board::AnomalyKind::EmptyTransfer:
      case board::AnomalyKind::CursorOutsideGrid:
        break;  // what the host asked for
      default:
        Violation("decoder: %s at byte %llu: %s", board::AnomalyKindName(a.kind),
                  (unsigned long long)a.offset, a.message.c_str());
    }
  }
  for (int stream = 0; stream < kStreamCount; ++stream) {
    if (!s.expected[stream].empty()) {
      Violation("%zu commands of the %s stream never reached the wire, the first %s",
                s.expected[stream].size(), kStreamNames[stream],
                board::CommandName(s.expected[stream].front().kind));
    }
  }
}

// ------------------------------------------------------------------- a run

void ReadHeader(Reader& in) {
  Session& s = g_session;
  s.strict = (in.U8() & fuzz::kFlagStrict) != 0;
  for (int k = 0; k < fuzz::kSettingSlots; ++k) {
    const uint8_t length = in.U8();
    if (length == 0) continue;
    SetSlot((uint8_t)k, SettingValue(in, (uint8_t)(length - 1)));
  }
  const uint8_t cwd = in.U8();
  if (cwd != 0) {
    const size_t k = in.U8() % 16 + 1;
    std::string pattern = in.Text(k);
    if (pattern.empty()) pattern = "d";
    std::string dir;
    while (dir.size() < 2u * cwd) dir += pattern[dir.size() % pattern.size()];
    std::replace(dir.begin(), dir.end(), '\0', '_');  // a directory name holds no NUL
    Rec().cwd = dir;
    Trail("cwd: %zu characters", dir.size());
  }
  // The reference without faults reads past them.
  const bool lossless = g_run == kRunLossless;
  const int faults = in.U8() & 7;
  for (int i = 0; i < faults; ++i) {
    if (lossless) {
      in.U32();
    } else {
      ArmFault(in);
    }
  }
  const int plan = in.U8() & 15;
  for (int i = 0; i < plan; ++i) {
    const uint8_t v = in.U8();
    if (!lossless) PlanWrite(v);
  }
  const uint8_t dbl = in.U8();
  if (!lossless) {
    Rec().driver = (RecDriver)(dbl & 3);
    Rec().cdc_timeout_error = fuzz::kCdcTimeoutErrors[(dbl >> 2) & 3];
    Trail("double: driver %d, CDC time-out answers %u", dbl & 3, Rec().cdc_timeout_error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* dir = getenv("KORVEX_FUZZ_WRITE_SEEDS")) exit(fuzz::WriteSeeds(dir) ? 0 : 1);
  g_verbose = getenv("KORVEX_FUZZ_VERBOSE") != nullptr;
  return 0;
}

// ------------------------------------------------------------- the oracles

bool IsExport(uint8_t op) {
  return op != fuzz::kOpSetting && op != fuzz::kOpPlatform && op != fuzz::kOpBoard &&
         op != fuzz::kOpClock;
}

bool IsDrawing(uint8_t op) {
  return op == fuzz::kOpSetIOPropertys || op == fuzz::kOpSendToGfxMemory ||
         op == fuzz::kOpSendToMemory || op == fuzz::kOpSetOutputAddress ||
         op == fuzz::kOpSetCGRAMChar;
}

// A call's time beyond the line time of the bytes that left in it, on the
// double's clock. In a slow episode (from the link leaving kLinkUp until it
// keeps up again) one call may wait out a write time-out; the others stay
// within their budget.
void CheckTime(uint64_t started, size_t writes, bool up_before, bool closes) {
  const auto& w = Rec().port_writes;
  // The line time of what went, each write's rounded up to the double's
  // whole milliseconds (its clock moves in those).
  uint64_t went = 0, line = 0;
  for (size_t i = writes; i < w.size(); ++i) {
    went += w[i].went;
    const int32_t baud = i < g_session.write_baud.size() ? g_session.write_baud[i] : 0;
    line += baud > 0 ? ((uint64_t)w[i].went * 10000 + (uint64_t)baud - 1) / (uint64_t)baud
                     : w[i].went;
  }
  const uint64_t took = Rec().now_ms - started;
  const uint64_t excess = took > line ? took - line : 0;
  const bool up_after = g_state.link.mode == kLinkUp;
  if (!up_after) g_oracles.ever_behind = true;
  // A link that keeps up sends the host's streams as they are, at whatever
  // pace their transfer sizes give: only a slow episode is bounded.
  if (up_before && up_after) return;
  if (g_verbose && excess > kLongCallMs) {
    for (size_t i = writes; i < w.size(); ++i) {
      fprintf(stderr, "  write at %llu ms: %u bytes, %u reported, %u went, %llu ms, %s %u\n",
              (unsigned long long)w[i].at_ms, w[i].size, w[i].written, w[i].went,
              (unsigned long long)w[i].took_ms, w[i].ok ? "ok" : "failed", w[i].error);
    }
  }
  if (excess > kLongestCallMs) {
    Violation("%s held the host %llu ms, %llu ms beyond the line time of the %llu bytes it sent",
              g_session.last.c_str(), (unsigned long long)took, (unsigned long long)excess,
              (unsigned long long)went);
  }
  // A close (LCD_Init, LCD_CleanUp) leaves the link up: the episode ends
  // there, and a start on a board still behind begins the next one.
  if (closes) g_oracles.long_calls = 0;
  if (excess > kLongCallMs && ++g_oracles.long_calls > 1) {
    Violation("%s held the host %llu ms (%llu ms beyond the line time of %llu bytes), the second "
              "call above %llu ms in one slow episode",
              g_session.last.c_str(), (unsigned long long)took, (unsigned long long)excess,
              (unsigned long long)went, (unsigned long long)kLongCallMs);
  }
  if (up_after) g_oracles.long_calls = 0;
}

uint64_t Fnv(uint64_t h, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

void FeedSnap(board::Decoder& decoder, board::BoardModel& model, const uint8_t* data,
              size_t size) {
  std::vector<board::Command> commands;
  std::vector<board::Anomaly> anomalies;
  board::DecoderFeed(decoder, data, size, commands, anomalies);
  for (const board::Command& c : commands) board::ModelApply(model, c);
}

// The display after the call with what waits in the buffers sent (the text,
// then the graphics, as the next flush sends them), and the bytes so far.
void TakeSnapshot() {
  Oracles& o = g_oracles;
  if (g_state.link.mode != kLinkUp) o.snapshots_valid = false;
  if (g_run == kRunLossless || o.disturbed || !o.snapshots_valid) return;
  if (!o.snapshotting && Rec().profile.count(fuzz::kChangesOnlyKey) == 0) return;
  o.snapshotting = true;
  if (g_snap.frozen) return;
  const board::DisplayConfig config = CurrentConfig();
  if (!g_snap.started) {
    g_snap.started = true;
    board::DecoderInit(g_snap.decoder, config);
    board::ModelInit(g_snap.model, config);
  } else if (config.controller != g_snap.model.config.controller ||
             config.pitch != g_snap.model.config.pitch ||
             config.width != g_snap.model.config.width ||
             config.height != g_snap.model.config.height) {
    // The board keeps what it shows when the host declares another display,
    // while a model of the new one would start blank: with GfxChangesOnly=1
    // the driver rightly leaves out what the board has. Snapshots end there,
    // at the same call in both runs.
    g_snap.frozen = true;
    return;
  }
  const auto& t = Rec().transfers;
  for (; g_snap.transfers < t.size(); ++g_snap.transfers) {
    FeedSnap(g_snap.decoder, g_snap.model, t[g_snap.transfers].data(), t[g_snap.transfers].size());
    g_snap.bytes += t[g_snap.transfers].size();
  }
  // A copy only when something waits in the buffers.
  board::BoardModel flushed;
  const bool waiting = g_state.text_count > 0 || g_state.gfx_count > 0;
  if (waiting) {
    board::Decoder decoder = g_snap.decoder;
    flushed = g_snap.model;
    FeedSnap(decoder, flushed, g_state.text_buf, g_state.text_count);
    FeedSnap(decoder, flushed, g_state.gfx_buf, g_state.gfx_count);
  }
  const board::BoardModel& m = waiting ? flushed : g_snap.model;
  uint64_t h = 14695981039346656037ull;
  h = Fnv(h, m.graphics.data(), m.graphics.size());
  h = Fnv(h, m.text.data(), m.text.size() * sizeof(int));
  for (const board::CustomCharacter& c : m.custom) {
    h = Fnv(h, &c.defined, 1);
    h = Fnv(h, c.rows.data(), c.rows.size());
  }
  const int cursor[2] = {m.cursor_column, m.cursor_row};
  h = Fnv(h, cursor, sizeof cursor);
  h = Fnv(h, &m.light, 1);
  h = Fnv(h, &m.contrast, 1);
  h = Fnv(h, m.ports.data(), m.ports.size());
  o.snapshots.push_back({h, g_snap.bytes + g_state.text_count + g_state.gfx_count});
}

// A link behind, or closed while behind, after a call.
void NoteBehind() {
  if (g_state.link.mode != kLinkUp || g_state.link.missed) g_oracles.ever_behind = true;
}

void NoteGeometry() {
  Oracles& o = g_oracles;
  if (!LinkIsOpen()) return;
  const int32_t now[4] = {g_state.gfx_width, g_state.gfx_height, g_state.font_pitch,
                          g_state.controller};
  if (!InProtocol(now[0]) || !InProtocol(now[1])) o.geometry_changed = o.geometry_outside = true;
  if (o.geometry_known && memcmp(now, o.geometry, sizeof now) != 0) o.geometry_changed = true;
  memcpy(o.geometry, now, sizeof now);
  o.geometry_known = true;
}

// One call of the input at `at`, with the checks that follow every call;
// returns where the next one starts.
size_t RunCall(const uint8_t* data, size_t size, size_t at) {
  Reader in{data, size, at};
  const uint8_t op = (uint8_t)(in.data[at] % fuzz::kOpCount);
  const uint64_t started = Rec().now_ms;
  const size_t writes = Rec().port_writes.size();
  const bool up_before = g_state.link.mode == kLinkUp;
  const bool open_before = LinkIsOpen();
  DoCall(in);
  CheckState(g_session.last.c_str());
  if (!IsExport(op)) return in.at;
  if (g_run == kRunInput) {
    CheckTime(started, writes, up_before,
              open_before && (op == fuzz::kOpInit || op == fuzz::kOpCleanUp));
  }
  NoteBehind();
  NoteGeometry();
  if (g_state.gfx_changes_only == 1 && LinkIsOpen()) g_oracles.changes_seen = true;
  TakeSnapshot();
  return in.at;
}

// The session runs on with the board keeping up, no faults and the clock
// moving, repeating its last drawing calls: until the link keeps up again,
// for a few calls at least. The reference repeats as many.
void QuietStretch(const uint8_t* data, size_t size) {
  Oracles& o = g_oracles;
  std::vector<size_t> drawing;
  for (const Call& c : o.calls) {
    if (IsDrawing(c.op)) drawing.push_back(c.at);
  }
  if (drawing.size() > 8) drawing.erase(drawing.begin(), drawing.end() - 8);
  if (drawing.empty()) return;
  const bool input = g_run == kRunInput;
  if (input) {
    for (RecFault& fault : Rec().faults) fault = RecFault();
    Rec().write_plan.clear();
    if (Rec().gone) {
      NoteFreshBoard();
      RecPlugIn();
    }
    RecBoardRate(kRecBoardKeepsUp);
    Trail("quiet from here: the board keeps up, no faults");
  }
  size_t n = 0;
  int up_run = 0;
  for (;;) {
    if (input ? (n >= (size_t)kQuietLeast && up_run >= 2) || n >= (size_t)kQuietMost
              : n >= o.quiet_calls) {
      break;
    }
    if (input) RecRunClock(kQuietStepMs);
    RunCall(data, size, drawing[n % drawing.size()]);
    if (g_verbose && input) {
      const LinkRecord& l = g_state.link;
      fprintf(stderr,
              "  at %llu ms: link %d, owed %u+%u zeros%s, budget %lld ms, rate %u B/s, %u fast "
              "bytes, next try at %llu ms\n",
              (unsigned long long)Rec().now_ms, (int)l.mode, l.pending_count - l.pending_sent,
              l.owed_zeros, l.owe_reset ? " and a reset" : "", (long long)l.budget_ms,
              l.rate_per_s, l.fast_bytes, (unsigned long long)l.next_try_ms);
    }
    up_run = g_state.link.mode == kLinkUp ? up_run + 1 : 0;
    ++n;
  }
  if (!input) {
    RecRunClock(kDrainMs);
    return;
  }
  o.quiet_calls = n;
  RecRunClock(kDrainMs);
  // A character among the command codes (not strict) can leave the host's
  // own stream inside a command at the end of every call: the exact stream
  // cannot resume there, and the difference goes on serving the board.
  if (g_state.link.mode != kLinkUp && g_state.link.baud_rate >= kQuietLeastBaud &&
      Rec().dropped == 0 && g_session.strict) {
    Violation("the link is still %s after %zu quiet calls",
              g_state.link.mode == kLinkGone ? "gone" : "behind", n);
  }
}

// The board from what it received, with what waits in the buffers sent (the
// text, then the graphics, as the next flush sends them).
board::BoardModel BoardAfterFlush() {
  std::vector<uint8_t> wire = Rec().received;
  wire.insert(wire.end(), g_state.text_buf, g_state.text_buf + g_state.text_count);
  wire.insert(wire.end(), g_state.gfx_buf, g_state.gfx_buf + g_state.gfx_count);
  return board::Shown(wire, CurrentConfig(), Rec().fresh_at);
}

// Runs the input (or its reference) up to the host's shut-down; false when
// a reference cannot be one (a fault kept the input's port from opening).
bool RunSession(const uint8_t* data, size_t size) {
  RecReset();
  ResetDriverState();
  g_session = Session();
  g_snap = Snap();
  Rec().on_write = OnWrite;
  Reader in{data, size};
  ReadHeader(in);
  Trail("strict: %s", g_session.strict ? "yes" : "no");
  CheckState("the start");
  Oracles& o = g_oracles;
  if (g_run == kRunInput) {
    for (int n = 0; n < fuzz::kMaxCalls && !in.Done(); ++n) {
      const size_t at = in.at;
      o.calls.push_back({at, (uint8_t)(data[at] % fuzz::kOpCount), false});
      in.at = RunCall(data, size, at);
      o.calls.back().open_after = LinkIsOpen();
    }
  } else {
    for (const Call& c : o.calls) {
      if (g_run == kRunLossless && !IsExport(c.op) && c.op != fuzz::kOpSetting) continue;
      RunCall(data, size, c.at);
      if (LinkIsOpen() != c.open_after) return false;
    }
  }
  if (size > 0 && (data[0] & fuzz::kFlagQuietEnd) != 0) QuietStretch(data, size);
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_oracles = Oracles();
  g_run = kRunInput;
  RunSession(data, size);
  Oracles& o = g_oracles;
  const bool quiet = size > 0 && (data[0] & fuzz::kFlagQuietEnd) != 0 && o.quiet_calls > 0;
  if (quiet) {
    o.board = BoardAfterFlush();
    // A closed port (LCD_CleanUp last) sends the board nothing more; a
    // character among the command bytes (not strict) is read as a command,
    // which no display model follows.
    o.board_valid = g_session.strict && LinkIsOpen() && !o.settings_faulted && !o.geometry_changed &&
                    Rec().dropped == 0 && !o.unseen_fresh &&
                    g_state.link.baud_rate >= kQuietLeastBaud;
  }
  // The host's shut-down: everything buffered goes out.
  if (LinkIsOpen()) {
    DoCleanUp();
    CheckState("the final LCD_CleanUp");
    NoteBehind();
  }
  if (Rec().open_ports != 0) Violation("%d port handles left open", Rec().open_ports);
  const bool lossy = WireLossy();
  const bool exact = g_session.strict && !lossy && !o.ever_behind && !o.changes_seen;
  // Unchecked, a wire of any bytes would only cost time: the decoder words
  // an anomaly for every row a stray command touches.
  if (exact) CheckWire();
  if (g_verbose) {
    fprintf(stderr, "%s%s wire: %zu transfers, %s\n", g_session.trail.c_str(),
            lossy ? "lossy" : "whole", Rec().transfers.size(),
            exact ? "decoded and checked" : "not checked");
  }
  const std::string trail = g_session.trail;
  if (g_verbose) {
    fprintf(stderr, "quiet ending: %s; changes-only twin: %s\n",
            !quiet           ? "none"
            : o.board_valid  ? "compared with a lossless run"
                             : "not compared (not strict, port closed, settings faulted, "
                               "geometry changed, bytes dropped, a slow line or a fresh "
                               "board the driver could not know of)",
            !o.changes_seen ? "none"
            : o.disturbed || !o.snapshots_valid || o.geometry_outside
                ? "not compared (faults, a link behind or a size outside 1 to 255)"
            : g_session.strict ? "compared after every call"
                               : "byte counts compared after every call (not strict)");
  }
  // A quiet ending leaves the board a lossless run of the same calls leaves.
  if (o.board_valid) {
    g_run = kRunLossless;
    if (RunSession(data, size)) {
      const board::BoardModel want = BoardAfterFlush();
      const std::string difference = board::DisplayDifference(o.board, want);
      if (!difference.empty()) {
        g_session.trail = trail;
        if (g_verbose) {
          for (const board::BoardModel* m : {(const board::BoardModel*)&o.board, &want}) {
            fprintf(stderr, "text:");
            for (int c : m->text) fprintf(stderr, "%c", c < 0 ? '.' : c >= 0x20 && c < 0x7F ? c : '?');
            fprintf(stderr, "\n");
          }
        }
        Violation("after the quiet stretch the board differs from a lossless run's: %s",
                  difference.c_str());
      }
    }
  }
  // With a board that keeps up, GfxChangesOnly=1 shows what 0 shows after
  // every call, and never puts out more bytes.
  if (!o.disturbed && o.snapshots_valid && o.changes_seen && !o.geometry_outside) {
    const std::vector<Snapshot> on = std::move(o.snapshots);
    o.snapshots.clear();
    o.snapshotting = false;
    g_run = kRunNoChanges;
    RunSession(data, size);
    if (o.snapshots_valid && !o.disturbed) {
      if (on.size() != o.snapshots.size()) {
        g_session.trail = trail;
        Violation("%zu snapshots with GfxChangesOnly=1, %zu with 0", on.size(),
                  o.snapshots.size());
      }
      // A character among the command codes (not strict) is read as a
      // command, whose operands are then whatever follows it: only the byte
      // counts compare.
      const bool displays = g_session.strict;
      for (size_t i = 0; i < on.size(); ++i) {
        if ((displays && on[i].hash != o.snapshots[i].hash) || on[i].bytes > o.snapshots[i].bytes) {
          g_session.trail = trail;
          Violation("after export call %zu GfxChangesOnly=1 %s (%llu bytes against %llu)", i + 1,
                    on[i].hash != o.snapshots[i].hash ? "shows another display"
                                                      : "put out more bytes",
                    (unsigned long long)on[i].bytes, (unsigned long long)o.snapshots[i].bytes);
        }
      }
    }
  }
  // Everything this run allocated is freed by its end, so libFuzzer sees
  // balanced allocations and does not run the input again to look for leaks.
  RecReset();
  ResetDriverState();
  g_session = Session();
  g_oracles = Oracles();
  g_snap = Snap();
  g_picture = Picture();
  g_picture_fill = 0;
  g_run = kRunInput;
  return 0;
}
