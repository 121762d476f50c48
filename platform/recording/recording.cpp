#include "platform/recording/recording.h"

#include <stddef.h>
#include <string.h>

#include <algorithm>

namespace {

Recording g_rec;

// True when this call is to fail; counts the call against its fault.
bool Fails(RecCall call) {
  RecFault& f = g_rec.faults[call];
  if (!f.armed) return false;
  if (f.skip > 0) {
    --f.skip;
    return false;
  }
  if (f.times == 0) return false;
  if (f.times > 0) --f.times;
  g_rec.last_error = f.error;
  return true;
}

void Log(const std::string& call) { g_rec.calls.push_back(call); }

std::string Lower(const char* text) {
  std::string s = text;
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)tolower(c); });
  return s;
}

// ------------------------------------------------ the modelled serial drivers

bool Modelled() { return g_rec.driver != kRecDriverPlain; }
bool Cdc() { return g_rec.driver == kRecDriverUsbCdc; }

// The bytes a second the board takes at `at`, and when that may change next.
uint32_t BoardRate(uint64_t at) {
  if (at < g_rec.stalled_until_ms) return 0;
  if (at < g_rec.trickle_until_ms) return g_rec.trickle_per_s;
  return g_rec.board_per_s;
}

uint64_t BoardChangesAt(uint64_t at) {
  if (at < g_rec.stalled_until_ms) return g_rec.stalled_until_ms;
  if (at < g_rec.trickle_until_ms) return g_rec.trickle_until_ms;
  return UINT64_MAX;
}

// Nothing can move until the board's rate changes.
bool Quiet(uint64_t at) {
  const bool board_idle = BoardRate(at) == 0;
  if (Cdc()) return g_rec.held.empty() || board_idle;
  const bool line_idle = g_rec.held.empty() || g_rec.line_settings_applied.baud_rate == 0;
  return line_idle && (g_rec.board_buffer.empty() || board_idle);
}

// Moves up to `n` bytes from the front of `from` to what the board took.
void Take(std::deque<uint8_t>& from, uint64_t n) {
  n = std::min<uint64_t>(n, from.size());
  g_rec.received.insert(g_rec.received.end(), from.begin(), from.begin() + (ptrdiff_t)n);
  from.erase(from.begin(), from.begin() + (ptrdiff_t)n);
}

// The board takes from `from` what its rate allows this millisecond, with the
// credit it carries (in thousandths of a byte). An idle board banks none.
void BoardTakes(std::deque<uint8_t>& from, uint32_t rate) {
  Recording& r = g_rec;
  if (rate == kRecBoardKeepsUp) {
    Take(from, from.size());
  } else {
    const uint64_t n = std::min<uint64_t>(from.size(), r.board_credit / 1000);
    Take(from, n);
    r.board_credit -= n * 1000;
  }
}

// The millisecond from `at` to `at + 1`.
void Step(uint64_t at) {
  Recording& r = g_rec;
  const uint32_t rate = BoardRate(at);
  const bool busy = Cdc() ? !r.held.empty() : !r.board_buffer.empty() || !r.held.empty();
  if (busy && rate != kRecBoardKeepsUp) r.board_credit += rate;
  if (Cdc()) {
    // The board pushes back: the bytes go only as it takes them.
    BoardTakes(r.held, rate);
    if (r.held.empty()) r.board_credit = 0;
    return;
  }
  // The board reads what it holds, the line brings more (10 bits a byte; the
  // credit in bits a second), and the board reads on with what its credit
  // has left. A byte that finds the buffer full is lost.
  BoardTakes(r.board_buffer, rate);
  if (!r.held.empty()) {
    r.line_credit += r.line_settings_applied.baud_rate;
    const uint64_t n = std::min<uint64_t>(r.held.size(), r.line_credit / 10000);
    r.line_credit -= n * 10000;
    for (uint64_t i = 0; i < n; ++i) {
      if (r.board_buffer.size() < kRecBoardBufferBytes) {
        r.board_buffer.push_back(r.held.front());
      } else {
        ++r.dropped;
      }
      r.held.pop_front();
    }
    if (r.held.empty()) r.line_credit = 0;  // an idle line carries nothing over
  }
  BoardTakes(r.board_buffer, rate);
  if (r.board_buffer.empty()) r.board_credit = 0;
}

// The milliseconds in which a credit growing by `rate` a millisecond stays
// below `cost`: no byte moves (UINT64_MAX: none ever does).
uint64_t MsBelow(uint64_t credit, uint64_t rate, uint64_t cost) {
  if (rate == 0) return UINT64_MAX;
  if (credit >= cost) return 0;
  return (cost - credit + rate - 1) / rate - 1;
}

// The milliseconds from the present state on until a byte leaves the host
// side: onto the line, or (CDC) to the board.
uint64_t HostSideIdle(uint64_t at) {
  const uint32_t rate = BoardRate(at);
  if (Cdc()) return rate == kRecBoardKeepsUp ? 0 : MsBelow(g_rec.board_credit, rate, 1000);
  return MsBelow(g_rec.line_credit, g_rec.line_settings_applied.baud_rate, 10000);
}

// The milliseconds from the present state on in which no byte moves at all.
uint64_t Idle(uint64_t at) {
  const Recording& r = g_rec;
  uint64_t idle = r.held.empty() ? UINT64_MAX : HostSideIdle(at);
  if (!Cdc() && !r.board_buffer.empty()) {
    const uint32_t rate = BoardRate(at);
    idle = std::min(idle, rate == kRecBoardKeepsUp ? 0 : MsBelow(r.board_credit, rate, 1000));
  }
  return idle;
}

// Moves what is on the way as the clock went from where it was last followed
// up to `to`, a millisecond at a time where a byte moves; stretches where
// none does are skipped whole, their credits added up.
void Deliver(uint64_t to) {
  Recording& r = g_rec;
  while (r.delivered_to_ms < to) {
    const uint64_t at = r.delivered_to_ms;
    if (Quiet(at)) {
      r.line_credit = r.board_credit = 0;
      r.delivered_to_ms = std::min(to, BoardChangesAt(at));
      continue;
    }
    const uint64_t skip = std::min({Idle(at), to - at, BoardChangesAt(at) - at});
    if (skip == 0) {
      Step(at);
      r.delivered_to_ms = at + 1;
      continue;
    }
    const uint32_t rate = BoardRate(at);
    if (!Cdc() && !r.held.empty()) r.line_credit += (uint64_t)r.line_settings_applied.baud_rate * skip;
    // Step keeps the board's credit only while it has bytes to take.
    const bool has_bytes = Cdc() ? !r.held.empty() : !r.board_buffer.empty();
    r.board_credit = has_bytes && rate != kRecBoardKeepsUp ? r.board_credit + (uint64_t)rate * skip : 0;
    r.delivered_to_ms = at + skip;
  }
  // What a board that keeps up takes without a wait (CDC: at once).
  if (Cdc() && BoardRate(to) == kRecBoardKeepsUp) Take(r.held, r.held.size());
}

void CatchUp() {
  if (Modelled()) Deliver(g_rec.now_ms);
}

// A write of `offered` of its `size` bytes (a plan may hold it to fewer) under
// the total time-out for `size`. Returns the count that went: into the
// bridge's FIFO, or, for a direct driver, out to the line or the board; sets
// `*ran_out` when the time ran out first. The clock moves by the time it took.
uint32_t ModelWrite(const uint8_t* data, uint32_t size, uint32_t offered, bool* ran_out) {
  Recording& r = g_rec;
  const PortTimeouts& t = r.timeouts_applied;
  // Both zero: total time-outs are not used, the write waits until done.
  const bool bounded = t.write_total_multiplier != 0 || t.write_total_constant != 0;
  const uint64_t start = r.now_ms;
  const uint64_t deadline = start + (uint64_t)t.write_total_multiplier * size + t.write_total_constant;
  const bool bridge = r.driver == kRecDriverUsbBridge;
  // A direct driver holds only this write's bytes, and only while it lasts.
  const size_t room = bridge ? kRecFifoBytes : SIZE_MAX;
  uint32_t put = 0, done = 0;
  *ran_out = false;
  for (;;) {
    Deliver(r.now_ms);
    const uint32_t n = (uint32_t)std::min<size_t>(offered - put, room - std::min(room, r.held.size()));
    r.held.insert(r.held.end(), data + put, data + put + n);
    put += n;
    Deliver(r.now_ms);
    done = bridge ? put : put - (uint32_t)r.held.size();
    if (done == size) break;
    if (done == offered && !bounded) break;  // a plan's short write, with no time-out to wait
    if (bounded && r.now_ms >= deadline) {
      *ran_out = true;
      break;
    }
    // On to the next millisecond in which a byte leaves the host side, or the
    // board changes, or the time runs out.
    uint64_t next = UINT64_MAX;
    if (done < offered && !Quiet(r.now_ms)) {
      const uint64_t idle = HostSideIdle(r.now_ms);
      if (idle < UINT64_MAX - r.now_ms - 1) next = r.now_ms + 1 + idle;
    }
    if (done < offered) next = std::min(next, BoardChangesAt(r.now_ms));
    if (bounded) next = std::min(next, deadline);
    if (next == UINT64_MAX) {  // nothing will ever go
      ++r.endless_writes;
      break;
    }
    r.now_ms = next;
  }
  if (!bridge) r.held.clear();  // what had not left when the time ran out stays the host's
  r.write_waited_ms += r.now_ms - start;
  return done;
}

// The handle answers queries: not unplugged, not dead but after a sleep.
bool Answers(PortHandle port) {
  return !g_rec.gone && (port >= g_rec.live_from || g_rec.dead_answers);
}

void KillHandles(uint32_t error, bool answers) {
  CatchUp();
  g_rec.live_from = g_rec.next_handle;
  g_rec.dead_error = error;
  g_rec.dead_answers = answers;
  // The board goes with the port, or loses its power: a fresh one starts.
  g_rec.held.clear();
  g_rec.board_buffer.clear();
  g_rec.line_credit = g_rec.board_credit = 0;
}

}  // namespace

Recording& Rec() { return g_rec; }

void RecBoardRate(uint32_t per_s) {
  CatchUp();
  g_rec.board_per_s = per_s;
  g_rec.stalled_until_ms = std::min(g_rec.stalled_until_ms, g_rec.now_ms);
  g_rec.trickle_until_ms = std::min(g_rec.trickle_until_ms, g_rec.now_ms);
}

void RecStall(uint64_t ms) {
  CatchUp();
  g_rec.stalled_until_ms = g_rec.now_ms + ms;
}

void RecTrickle(uint64_t ms, uint32_t per_s) {
  CatchUp();
  g_rec.trickle_until_ms = g_rec.now_ms + ms;
  g_rec.trickle_per_s = per_s;
}

void RecUnplug(uint32_t error) {
  KillHandles(error, false);
  g_rec.gone = true;
  g_rec.gone_error = error;
}

void RecPlugIn() {
  CatchUp();
  g_rec.gone = false;
  g_rec.fresh_at.push_back(g_rec.received.size());
}

void RecResume() {
  KillHandles(31, true);
  g_rec.fresh_at.push_back(g_rec.received.size());
}

void RecRunClock(uint64_t ms) {
  g_rec.now_ms += ms;
  CatchUp();
}

void RecReset() { g_rec = Recording(); }

void RecFail(RecCall call, uint32_t error, int32_t times, uint32_t skip) {
  RecFault& f = g_rec.faults[call];
  f.armed = true;
  f.error = error;
  f.times = times;
  f.skip = skip;
}

std::vector<uint8_t> RecWire() {
  std::vector<uint8_t> all;
  for (const auto& t : g_rec.transfers) all.insert(all.end(), t.begin(), t.end());
  return all;
}

std::vector<size_t> RecTransferSizes() {
  std::vector<size_t> sizes;
  for (const auto& t : g_rec.transfers) sizes.push_back(t.size());
  return sizes;
}

PortHandle PlatformPortOpen(const char* name) {
  CatchUp();
  Log(std::string("PlatformPortOpen ") + name);
  if (Fails(kRecPortOpen)) return kInvalidPort;
  if (g_rec.gone) {
    g_rec.last_error = 2;  // no such file: the device is not there
    return kInvalidPort;
  }
  ++g_rec.open_ports;
  return g_rec.next_handle++;
}

bool PlatformPortSetupQueues(PortHandle, uint32_t rx_size, uint32_t tx_size) {
  Log("PlatformPortSetupQueues " + std::to_string(rx_size) + " " + std::to_string(tx_size));
  return !Fails(kRecPortSetupQueues);
}

bool PlatformPortGetLineSettings(PortHandle, PortLineSettings* settings) {
  Log("PlatformPortGetLineSettings");
  if (Fails(kRecPortGetLineSettings)) return false;
  *settings = g_rec.line_settings_read;
  return true;
}

bool PlatformPortSetLineSettings(PortHandle, const PortLineSettings* settings) {
  Log("PlatformPortSetLineSettings");
  if (Fails(kRecPortSetLineSettings)) return false;
  g_rec.line_settings_applied = *settings;
  return true;
}

bool PlatformPortGetTimeouts(PortHandle, PortTimeouts* timeouts) {
  Log("PlatformPortGetTimeouts");
  if (Fails(kRecPortGetTimeouts)) return false;
  *timeouts = g_rec.timeouts_read;
  return true;
}

bool PlatformPortSetTimeouts(PortHandle port, const PortTimeouts* timeouts) {
  CatchUp();
  Log("PlatformPortSetTimeouts");
  if (Fails(kRecPortSetTimeouts) || !Answers(port)) return false;
  g_rec.timeouts_applied = *timeouts;
  return true;
}

bool PlatformPortPurge(PortHandle, PortPurgeSide side) {
  CatchUp();
  Log(side == kPurgeReceive ? "PlatformPortPurge rx" : "PlatformPortPurge tx");
  if (Fails(kRecPortPurge)) return false;
  // PURGE_TXCLEAR: what the bridge chip's FIFO holds never reaches the board
  // (a direct driver holds nothing once a write returned).
  if (side == kPurgeTransmit) g_rec.held.clear();
  return true;
}

bool PlatformPortLine(PortHandle, PortLineRequest request) {
  static const char* const kNames[] = {"SETDTR", "CLRDTR", "SETRTS", "CLRRTS"};
  Log(std::string("PlatformPortLine ") + kNames[request]);
  return !Fails(kRecPortLine);
}

namespace {

// PlatformPortWrite but for its record in `port_writes`; `*went` is what left
// for the board.
bool Write(PortHandle port, const void* data, uint32_t size, uint32_t* written, uint32_t* went) {
  CatchUp();
  Log("PlatformPortWrite " + std::to_string(size));
  *written = *went = 0;
  if (g_rec.on_write) g_rec.on_write();
  if (Fails(kRecPortWrite)) return false;
  if (g_rec.gone) {
    g_rec.last_error = g_rec.gone_error;
    return false;
  }
  if (port < g_rec.live_from) {
    g_rec.last_error = g_rec.dead_error;
    return false;
  }
  int64_t take = size;
  bool timeout_error = false;
  if (!g_rec.write_plan.empty()) {
    take = g_rec.write_plan.front();
    g_rec.write_plan.pop_front();
    if (take == kPlanLineError) {
      g_rec.last_error = 995;  // aborted: abort-on-error after a line error
      g_rec.line_error = true;
      return false;
    }
    if (take == kPlanTimeoutError) {
      g_rec.last_error = 121;  // the semaphore time-out some drivers report
      timeout_error = true;
      take = 0;
    }
    if (take > size) take = size;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (Modelled()) {
    bool ran_out = false;
    *went = ModelWrite(bytes, size, (uint32_t)take, &ran_out);
    // A CDC driver fails a write that ran out of time and reports nothing
    // of the part that went.
    if (!timeout_error && ran_out && Cdc() && g_rec.cdc_timeout_error != 0) {
      g_rec.last_error = g_rec.cdc_timeout_error;
      timeout_error = true;
    }
    if (!timeout_error) *written = *went;
    if (*written > 0) g_rec.transfers.emplace_back(bytes, bytes + *written);
    return !timeout_error;
  }
  if (g_rec.now_ms < g_rec.stalled_until_ms) take = 0;
  // A write that took nothing ran out of time: the clock moves on by the
  // time-out it waited out. One that took a part comes back at once, unless
  // short writes wait.
  if (take == 0 || (take < size && g_rec.short_writes_wait)) {
    const uint64_t waited =
        (uint64_t)g_rec.timeouts_applied.write_total_multiplier * size +
        g_rec.timeouts_applied.write_total_constant;
    g_rec.now_ms += waited;
    g_rec.write_waited_ms += waited;
  }
  if (take > 0) {
    g_rec.transfers.emplace_back(bytes, bytes + take);
    g_rec.received.insert(g_rec.received.end(), bytes, bytes + take);
  }
  *written = *went = (uint32_t)take;
  return !timeout_error;
}

}  // namespace

bool PlatformPortWrite(PortHandle port, const void* data, uint32_t size, uint32_t* written) {
  if (g_rec.count_only) {
    g_rec.bytes_written += size;
    ++g_rec.writes;
    *written = size;
    return true;
  }
  RecWrite w{};
  w.at_ms = g_rec.now_ms;
  w.size = size;
  w.ok = Write(port, data, size, written, &w.went);
  w.took_ms = g_rec.now_ms - w.at_ms;
  w.written = *written;
  if (!w.ok) w.error = g_rec.last_error;
  g_rec.port_writes.push_back(w);
  return w.ok;
}

PortClearResult PlatformPortClearError(PortHandle port) {
  CatchUp();
  Log("PlatformPortClearError");
  if (Fails(kRecPortClearError) || !Answers(port)) return kPortQueryFailed;
  if (!g_rec.line_error) return kPortNoError;
  g_rec.line_error = false;
  return kPortErrorCleared;
}

bool PlatformIsTimeoutError(uint32_t error) { return error == 121 || error == 1121; }

uint64_t PlatformTickMs() {
  CatchUp();
  return g_rec.now_ms;
}

void PlatformSleepMs(uint32_t ms) {
  g_rec.now_ms += ms;
  g_rec.slept_ms += ms;
  CatchUp();
}

// What the bridge chip's FIFO holds still drains after the handle is closed.
bool PlatformPortClose(PortHandle) {
  CatchUp();
  Log("PlatformPortClose");
  --g_rec.open_ports;
  return !Fails(kRecPortClose);
}

uint32_t PlatformLastError() { return g_rec.last_error; }

uint32_t PlatformProfileReadInt(const char* section, const char* key, int32_t fallback, const char*) {
  if (Fails(kRecProfileRead) || Lower(section) != "korvex") return (uint32_t)fallback;
  auto it = g_rec.profile.find(key);
  if (it == g_rec.profile.end()) return (uint32_t)fallback;
  return ParseProfileInt(it->second.c_str(), fallback);
}

bool PlatformProfileWriteString(const char* section, const char* key, const char* value,
                        const char* path) {
  if (Fails(kRecProfileWrite)) return false;
  g_rec.profile_writes.push_back(std::string(path) + "|" + section + "|" + key + "=" + value);
  g_rec.profile[key] = value;
  return true;
}

int PlatformShowMessageBox(const char* text, const char* caption) {
  g_rec.message_boxes.push_back({text, caption != nullptr, caption ? caption : ""});
  Log("MessageBox");
  // Each box's modal loop runs the host's timer, one call at a time; a box
  // that the call shows nests one level deeper.
  static int depth = 0;
  if (g_rec.on_message_box && depth < g_rec.box_depth) {
    std::function<void()> timer = g_rec.on_message_box;
    ++depth;
    timer();
    --depth;
  }
  if (Fails(kRecMessageBox)) return 0;
  return g_rec.message_box_result;
}

char PlatformPathSeparator() { return '\\'; }

bool PlatformIsLeadByte(uint8_t byte) {
  return g_rec.code_page == 932 && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

bool PlatformGetCurrentDir(char* buffer, size_t size) {
  if (Fails(kRecGetCurrentDir) || g_rec.cwd.size() + 1 > size) {
    if (size > 0) buffer[0] = '\0';
    return false;
  }
  memcpy(buffer, g_rec.cwd.c_str(), g_rec.cwd.size() + 1);
  return true;
}

// A trace file handle is the address of its entry in `files` (std::map nodes
// do not move).
void PlatformTraceOpen(TraceFile* slot, const char* path) {
  if (Fails(kRecTraceOpen)) {
    *slot = nullptr;
    return;
  }
  ++g_rec.file_opens[path];
  ++g_rec.open_traces;
  *slot = &g_rec.files[path];
}

bool PlatformTraceWrite(TraceFile* slot, const void* data, size_t size) {
  if (*slot == nullptr || Fails(kRecTraceWrite)) return false;
  static_cast<std::string*>(*slot)->append(static_cast<const char*>(data), size);
  return true;
}

void PlatformTraceClose(TraceFile* slot) {
  if (*slot == nullptr) return;
  --g_rec.open_traces;
  *slot = nullptr;
  Fails(kRecTraceClose);
}
