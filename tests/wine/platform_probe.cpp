// korvex-platform-probe: runs the Win32 platform layer on its own, one
// scenario per run, and prints what each call did, one "KEY value" line per
// fact, for the Wine test to compare.
//
//   serial PORT BAUD HEXBYTES  open and set up the port as the driver does,
//                              write the bytes in one write, shut it down
//   open PORT                  open only: the result and the last error
//   profile PATH               write the driver's eight keys, read them back
//   trace PATH TEXT            append TEXT (\n escapes) to a trace file
//   cwd                        the current directory, into a large and a
//                              one-byte buffer
//   messagebox TEXT CAPTION    show a box ("-" for a null caption)
//   clock                      PlatformTickMs against GetTickCount, around a
//                              sleep of 100 ms
//   trace-threads PATH N       four threads write N lines each into one trace
//                              slot while this thread closes and reopens it
//   version                    the Windows version this program is told
//   hold PORT MS               open PORT as the driver does, without sharing,
//                              and keep it MS ms: another program holding it
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "platform/platform.h"
#include "tests/wine/iat_patch.h"

namespace {

void Report(const char* step, bool ok) {
  if (ok)
    printf("%s ok\n", step);
  else
    printf("%s fail error=%u\n", step, static_cast<unsigned>(PlatformLastError()));
}

int ParseHex(const char* text, unsigned char* out, int capacity) {
  int count = 0;
  for (const char* p = text; p[0] && p[1] && count < capacity; p += 2) {
    char pair[3] = {p[0], p[1], 0};
    out[count++] = static_cast<unsigned char>(strtoul(pair, nullptr, 16));
  }
  return count;
}

// Turns the two-character escape "\n" into a line feed.
void Unescape(const char* in, char* out, size_t size) {
  size_t n = 0;
  for (; *in && n + 1 < size; ++in) {
    if (in[0] == '\\' && in[1] == 'n') {
      out[n++] = '\n';
      ++in;
    } else {
      out[n++] = *in;
    }
  }
  out[n] = 0;
}

int Serial(const char* name, uint32_t baud, const char* hex) {
  PortHandle port = PlatformPortOpen(name);
  Report("open", PortIsOpen(port));
  if (!PortIsOpen(port)) return 1;
  Report("queues", PlatformPortSetupQueues(port, 4096, 4096));

  PortLineSettings line;
  Report("getstate", PlatformPortGetLineSettings(port, &line));
  ConfigureLine(&line, baud);
  Report("setstate", PlatformPortSetLineSettings(port, &line));
  PortLineSettings back;
  Report("getstate-again", PlatformPortGetLineSettings(port, &back));
  printf(
      "state baud=%u bits=%u parity=%u stop=%u cts=%d dsr=%d dtr=%u rts=%u outx=%d inx=%d "
      "abort=%d\n",
      back.baud_rate, back.data_bits, back.parity, back.stop_bits, back.out_cts_flow,
      back.out_dsr_flow, back.dtr_control, back.rts_control, back.out_xon, back.in_xon,
      back.abort_on_error);

  PortTimeouts timeouts;
  Report("gettimeouts", PlatformPortGetTimeouts(port, &timeouts));
  timeouts.read_interval = 1000;
  timeouts.read_total_multiplier = 1000;
  timeouts.read_total_constant = 1000;
  timeouts.write_total_multiplier = 2;
  timeouts.write_total_constant = 1000;
  Report("settimeouts", PlatformPortSetTimeouts(port, &timeouts));
  PortTimeouts read_back = {};
  Report("gettimeouts-again", PlatformPortGetTimeouts(port, &read_back));
  printf("timeouts %u %u %u %u %u\n", read_back.read_interval, read_back.read_total_multiplier,
         read_back.read_total_constant, read_back.write_total_multiplier,
         read_back.write_total_constant);

  Report("purge-rx", PlatformPortPurge(port, kPurgeReceive));
  Report("purge-tx", PlatformPortPurge(port, kPurgeTransmit));
  Report("setdtr", PlatformPortLine(port, kSetDtr));
  Report("setrts", PlatformPortLine(port, kSetRts));

  unsigned char bytes[256];
  int count = ParseHex(hex, bytes, sizeof bytes);
  uint32_t written = 12345;
  Report("write", PlatformPortWrite(port, bytes, count, &written));
  printf("written %u of %d\n", written, count);
  PlatformPortClearError(port);

  // No transmit purge after the write: on a pty, Wine's purge would discard
  // bytes the kernel has not yet handed to the other end.
  Report("purge-rx", PlatformPortPurge(port, kPurgeReceive));
  Report("clrdtr", PlatformPortLine(port, kClearDtr));
  Report("clrrts", PlatformPortLine(port, kClearRts));
  Report("close", PlatformPortClose(port));
  return 0;
}

int Open(const char* name) {
  PortHandle port = PlatformPortOpen(name);
  if (PortIsOpen(port)) {
    printf("open ok\n");
    PlatformPortClose(port);
  } else {
    printf("open fail handle=%ld error=%u\n", static_cast<long>(port),
           static_cast<unsigned>(PlatformLastError()));
  }
  return 0;
}

int Profile(const char* path) {
  const char* keys[] = {"BaudRate",      "TextBufferSize",  "GfxBufferSize",  "GfxForceFlush",
                        "LCD_FontPitch", "LCD_UseOutPorts", "LCD_Controller", "LogFile"};
  const char* values[] = {"19200", "16", "64", "0", "6", "0", "6963", "0"};
  for (int i = 0; i < 8; ++i) {
    // Read first: a missing key gives the fallback.
    printf("read-missing %s %u\n", keys[i], PlatformProfileReadInt("Korvex", keys[i], -7, path));
    Report("write", PlatformProfileWriteString("Korvex", keys[i], values[i], path));
  }
  for (int i = 0; i < 8; ++i)
    printf("read %s %u\n", keys[i], PlatformProfileReadInt("Korvex", keys[i], -7, path));
  // The reader's rule on values the driver does not write itself.
  const char* odd[] = {"-1", "12abc", "0x1F", "  42", "", "abc"};
  for (const char* value : odd) {
    PlatformProfileWriteString("Odd", "Key", value, path);
    printf("read-odd '%s' %u\n", value, PlatformProfileReadInt("Odd", "Key", 99, path));
  }
  return 0;
}

int Trace(const char* path, const char* text) {
  char unescaped[1024];
  Unescape(text, unescaped, sizeof unescaped);
  TraceFile file = nullptr;
  PlatformTraceOpen(&file, path);
  if (file == nullptr) {
    printf("trace open fail\n");
    return 1;
  }
  Report("trace-write", PlatformTraceWrite(&file, unescaped, strlen(unescaped)));
  PlatformTraceClose(&file);
  printf("trace ok\n");
  return 0;
}

int Clock() {
  const DWORD before = GetTickCount();
  const uint64_t first = PlatformTickMs();
  PlatformSleepMs(100);
  const uint64_t second = PlatformTickMs();
  const DWORD after = GetTickCount();
  // The first reading is GetTickCount's own: the system has been up for
  // less than one round of the 32-bit count.
  Report("clock-first", first >> 32 == 0 && (DWORD)first - before <= after - before);
  // Less one period of the system timer (up to 16 ms on Windows).
  Report("clock-sleep", second >= first && second - first >= 100 - 16 &&
                            second - first <= (uint64_t)(after - before));
  return 0;
}

struct TraceWriter {
  TraceFile* slot;
  int lines;
  char text[32];
  HANDLE first_written;  // set once the writer's first line is in
};

DWORD WINAPI WriteLines(void* arg) {
  TraceWriter* writer = static_cast<TraceWriter*>(arg);
  for (int i = 0; i < writer->lines; ++i) {
    PlatformTraceWrite(writer->slot, writer->text, strlen(writer->text));
    if (i == 0) SetEvent(writer->first_written);
  }
  return 0;
}

// The trace lock keeps every write off a stream that is being closed or
// opened: without it a write meets a freed stream. Whatever the scheduler
// does, every writer gets a line in before the first close, and the stream is
// closed and opened again at least once while they may still write.
int TraceThreads(const char* path, int lines) {
  TraceFile slot = nullptr;
  PlatformTraceOpen(&slot, path);
  TraceWriter writers[4];
  HANDLE threads[4], first[4];
  for (int t = 0; t < 4; ++t) {
    writers[t].slot = &slot;
    writers[t].lines = lines;
    snprintf(writers[t].text, sizeof writers[t].text, "writer %d\n", t);
    first[t] = writers[t].first_written = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    threads[t] = CreateThread(nullptr, 0, WriteLines, &writers[t], 0, nullptr);
    if (first[t] == nullptr || threads[t] == nullptr) return 1;
  }
  if (WaitForMultipleObjects(4, first, TRUE, 60000) != WAIT_OBJECT_0) return 1;
  int reopened = 0;
  do {
    PlatformTraceClose(&slot);
    PlatformTraceOpen(&slot, path);
    ++reopened;
  } while (WaitForMultipleObjects(4, threads, TRUE, 0) == WAIT_TIMEOUT);
  PlatformTraceClose(&slot);
  for (int t = 0; t < 4; ++t) {
    CloseHandle(threads[t]);
    CloseHandle(first[t]);
  }
  printf("trace-threads ok reopened=%s\n", reopened > 0 ? "yes" : "no");
  return 0;
}

// What Wine says to this program: scripts/wine-xp-run.sh checks that its
// setting took before it runs the suites.
int Version() {
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return 1;
  printf("windows %lu.%lu.%lu %s\n", info.dwMajorVersion, info.dwMinorVersion,
         info.dwBuildNumber, info.szCSDVersion);
  return 0;
}

int Cwd() {
  char big[512];
  bool ok = PlatformGetCurrentDir(big, sizeof big);
  printf("cwd %s ", ok ? "ok" : "fail");
  PrintEscaped(big);
  fputc('\n', stdout);
  char tiny[1] = {'x'};
  ok = PlatformGetCurrentDir(tiny, sizeof tiny);
  printf("cwd-tiny %s len=%u\n", ok ? "ok" : "fail", static_cast<unsigned>(strlen(tiny)));
  return 0;
}

int Box(const char* text, const char* caption) {
  int result = PlatformShowMessageBox(text, strcmp(caption, "-") == 0 ? nullptr : caption);
  printf("result %d\n", result);
  return 0;
}

int Hold(const char* port, DWORD ms) {
  char device[64];
  if (!DeviceNameForPort(port, device, sizeof device)) return 2;
  HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    printf("hold failed %lu\n", GetLastError());
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  Sleep(ms);
  CloseHandle(h);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The message boxes of this program go to standard output.
  if (PatchImport(GetModuleHandleA(nullptr), "user32.dll", "MessageBoxA",
                  reinterpret_cast<void*>(&FakeMessageBoxA)) == nullptr) {
    printf("cannot patch MessageBoxA\n");
    return 2;
  }
  if (argc < 2) {
    fprintf(stderr, "usage: korvex-platform-probe SCENARIO ARGS...\n");
    return 2;
  }
  const char* scenario = argv[1];
  int rc = 2;
  if (strcmp(scenario, "serial") == 0 && argc == 5)
    rc = Serial(argv[2], static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)), argv[4]);
  else if (strcmp(scenario, "open") == 0 && argc == 3)
    rc = Open(argv[2]);
  else if (strcmp(scenario, "profile") == 0 && argc == 3)
    rc = Profile(argv[2]);
  else if (strcmp(scenario, "trace") == 0 && argc == 4)
    rc = Trace(argv[2], argv[3]);
  else if (strcmp(scenario, "cwd") == 0 && argc == 2)
    rc = Cwd();
  else if (strcmp(scenario, "clock") == 0 && argc == 2)
    rc = Clock();
  else if (strcmp(scenario, "trace-threads") == 0 && argc == 4)
    rc = TraceThreads(argv[2], atoi(argv[3]));
  else if (strcmp(scenario, "version") == 0 && argc == 2)
    rc = Version();
  else if (strcmp(scenario, "hold") == 0 && argc == 4)
    rc = Hold(argv[2], static_cast<DWORD>(strtoul(argv[3], nullptr, 10)));
  else if (strcmp(scenario, "messagebox") == 0 && argc == 4)
    rc = Box(argv[2], argv[3]);
  else
    fprintf(stderr, "unknown scenario or wrong arguments: %s\n", scenario);
  fflush(stdout);
  return rc;
}
