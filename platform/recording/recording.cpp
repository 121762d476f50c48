#include "platform/recording/recording.h"

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

}  // namespace

Recording& Rec() { return g_rec; }

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

bool PlatformPortSetTimeouts(PortHandle, const PortTimeouts* timeouts) {
  Log("PlatformPortSetTimeouts");
  if (Fails(kRecPortSetTimeouts) || g_rec.gone) return false;
  g_rec.timeouts_applied = *timeouts;
  return true;
}

bool PlatformPortPurge(PortHandle, PortPurgeSide side) {
  Log(side == kPurgeReceive ? "PlatformPortPurge rx" : "PlatformPortPurge tx");
  return !Fails(kRecPortPurge);
}

bool PlatformPortLine(PortHandle, PortLineRequest request) {
  static const char* const kNames[] = {"SETDTR", "CLRDTR", "SETRTS", "CLRRTS"};
  Log(std::string("PlatformPortLine ") + kNames[request]);
  return !Fails(kRecPortLine);
}

bool PlatformPortWrite(PortHandle, const void* data, uint32_t size, uint32_t* written) {
  if (g_rec.count_only) {
    g_rec.bytes_written += size;
    ++g_rec.writes;
    *written = size;
    return true;
  }
  Log("PlatformPortWrite " + std::to_string(size));
  *written = 0;
  if (g_rec.on_write) g_rec.on_write();
  if (Fails(kRecPortWrite)) return false;
  if (g_rec.gone) {
    g_rec.last_error = g_rec.gone_error;
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
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (take > 0) g_rec.transfers.emplace_back(bytes, bytes + take);
  if (g_rec.queue_fills) g_rec.queued += (uint64_t)take;
  *written = (uint32_t)take;
  return !timeout_error;
}

PortClearResult PlatformPortClearError(PortHandle) {
  Log("PlatformPortClearError");
  if (Fails(kRecPortClearError) || g_rec.gone) return kPortQueryFailed;
  if (!g_rec.line_error) return kPortNoError;
  g_rec.line_error = false;
  return kPortErrorCleared;
}

bool PlatformIsTimeoutError(uint32_t error) { return error == 121 || error == 1121; }

bool PlatformPortQueuedOutput(PortHandle, uint32_t* queued) {
  *queued = 0;
  if (Fails(kRecPortQueuedOutput) || !g_rec.queue_known || g_rec.gone) return false;
  *queued = (uint32_t)g_rec.queued;
  return true;
}

uint64_t PlatformTickMs() { return g_rec.now_ms; }

void PlatformSleepMs(uint32_t ms) {
  g_rec.now_ms += ms;
  g_rec.slept_ms += ms;
  uint64_t sent = g_rec.drain_per_ms * ms;
  g_rec.queued -= sent < g_rec.queued ? sent : g_rec.queued;
}

bool PlatformPortClose(PortHandle) {
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
