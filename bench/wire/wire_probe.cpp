// korvex-wire-probe: full frames to a serial port, timed, in two ways.
//
//   korvex-wire-probe driver DLL PORT WIDTH HEIGHT FRAMES
//     Loads the Korvex.dll at DLL (its settings come from config.ini in the
//     current directory, as the host's would), opens PORT with LCD_Init and
//     sends FRAMES full-picture LCD_SendToGfxMemory calls. The library's
//     import of WriteFile is replaced by a counter that passes every call on,
//     so the port writes the driver makes are counted exactly.
//   korvex-wire-probe direct PORT FRAME_BYTES TRANSFER FRAMES
//     A plain program: opens PORT itself, set up as the driver sets it up,
//     and writes FRAMES frames of FRAME_BYTES bytes (a SetBitmap command) in
//     writes of at most TRANSFER bytes: the same bytes per frame in one write
//     per transfer, with no encoding at all.
//
// Both print, one "key value" a line: frames, seconds (the frames alone),
// writes, bytes, largest (write), write_seconds (inside WriteFile), failed
// (writes that returned FALSE), then DONE. Neither calls LCD_CleanUp nor
// purges at the end: the closing purge would throw away bytes the reader
// has not read yet; the process exit closes the port.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <vector>

#include "core/exports.h"
#include "platform/platform.h"
#include "tests/wine/iat_patch.h"

namespace {

double Now() {
  static LARGE_INTEGER frequency = {};
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct WriteCounts {
  unsigned long long writes = 0;
  unsigned long long bytes = 0;
  unsigned long long failed = 0;
  unsigned long largest = 0;
  double seconds = 0;
};

WriteCounts g_counts;
decltype(&WriteFile) g_real_write_file = &WriteFile;

// Every write either way goes through here.
BOOL WINAPI CountingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                              LPOVERLAPPED overlapped) {
  double started = Now();
  BOOL ok = g_real_write_file(file, data, size, written, overlapped);
  g_counts.seconds += Now() - started;
  g_counts.writes++;
  if (written != NULL) g_counts.bytes += *written;
  if (!ok) g_counts.failed++;
  if (size > g_counts.largest) g_counts.largest = size;
  return ok;
}

void Report(int frames, double seconds) {
  printf("frames %d\n", frames);
  printf("seconds %.6f\n", seconds);
  printf("writes %llu\n", g_counts.writes);
  printf("bytes %llu\n", g_counts.bytes);
  printf("largest %lu\n", g_counts.largest);
  printf("write_seconds %.6f\n", g_counts.seconds);
  printf("failed %llu\n", g_counts.failed);
  printf("DONE\n");
  fflush(stdout);
}

template <typename T>
bool Resolve(HMODULE module, const char* name, T* out) {
  *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (*out == nullptr) fprintf(stderr, "missing export %s\n", name);
  return *out != nullptr;
}

int Driver(const char* dll, const char* port, int width, int height, int frames) {
  HMODULE module = LoadLibraryA(dll);
  if (module == NULL) {
    fprintf(stderr, "cannot load %s: error %lu\n", dll, GetLastError());
    return 2;
  }
  // The message box of a port that is not there returns at once.
  void* real =
      PatchImport(module, "kernel32.dll", "WriteFile", reinterpret_cast<void*>(&CountingWriteFile));
  if (real == nullptr || PatchImport(module, "user32.dll", "MessageBoxA",
                                     reinterpret_cast<void*>(&FakeMessageBoxA)) == nullptr) {
    fprintf(stderr, "cannot patch the imports of %s\n", dll);
    return 2;
  }
  g_real_write_file = reinterpret_cast<decltype(&WriteFile)>(real);

  decltype(&LCD_Init) init;
  decltype(&LCD_SetIOPropertys) set_io;
  decltype(&LCD_SendToGfxMemory) send_gfx;
  if (!Resolve(module, "LCD_Init", &init) || !Resolve(module, "LCD_SetIOPropertys", &set_io) ||
      !Resolve(module, "LCD_SendToGfxMemory", &send_gfx))
    return 2;

  set_io(port, 0, 0, 0, 0, width, height, 1, 0, 0, 0, 0, 0, 0);
  init();
  g_counts = WriteCounts();  // LCD_Init's reset byte is not a frame's

  // The host's picture: a border and a moving diagonal, so that every frame
  // differs and has bits on in every row.
  std::vector<unsigned char> picture(static_cast<size_t>(width * height), 0);
  for (int x = 0; x < width; ++x) picture[x] = picture[(height - 1) * width + x] = 1;
  for (int y = 0; y < height; ++y) picture[y * width] = picture[y * width + width - 1] = 1;
  double started = Now();
  for (int f = 0; f < frames; ++f) {
    int x = (f + 1) % width, y = f % height;
    picture[static_cast<size_t>(y * width + x)] ^= 1;
    send_gfx(picture.data(), 0, 0, static_cast<uint32_t>(width - 1),
             static_cast<uint32_t>(height - 1), 0);
  }
  Report(frames, Now() - started);
  return 0;
}

int Direct(const char* name, int frame_bytes, int transfer, int frames) {
  // The driver's set-up through its own platform layer: queues, 19200 8N1
  // without flow control, a second plus a millisecond a byte for a write.
  PortHandle port = PlatformPortOpen(name);
  if (!PortIsOpen(port)) {
    fprintf(stderr, "cannot open %s: error %u\n", name, PlatformLastError());
    return 2;
  }
  PlatformPortSetupQueues(port, 4096, 4096);
  PortLineSettings line;
  PlatformPortGetLineSettings(port, &line);
  ConfigureLine(&line, 19200);
  PlatformPortSetLineSettings(port, &line);
  const PortTimeouts timeouts = {1000, 1000, 1000, 1, 1000};
  PlatformPortSetTimeouts(port, &timeouts);
  PlatformPortPurge(port, kPurgeReceive);
  HANDLE h = reinterpret_cast<HANDLE>(port);

  // A SetBitmap of the whole picture: header, then payload bytes.
  std::vector<unsigned char> frame(static_cast<size_t>(frame_bytes), 0);
  const unsigned char header[5] = {0xBB, 0, 0, 0, 0};
  memcpy(frame.data(), header, frame.size() < 5 ? frame.size() : 5);
  for (size_t i = 5; i < frame.size(); ++i) frame[i] = static_cast<unsigned char>(i % 63);

  double started = Now();
  for (int f = 0; f < frames; ++f) {
    for (int at = 0; at < frame_bytes; at += transfer) {
      DWORD size = static_cast<DWORD>(frame_bytes - at < transfer ? frame_bytes - at : transfer);
      DWORD written = 0;
      CountingWriteFile(h, frame.data() + at, size, &written, NULL);
    }
  }
  Report(frames, Now() - started);
  return 0;
}

int Usage() {
  fprintf(stderr,
          "usage: korvex-wire-probe driver DLL PORT WIDTH HEIGHT FRAMES\n"
          "       korvex-wire-probe direct PORT FRAME_BYTES TRANSFER FRAMES\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 4096);
  if (argc == 7 && strcmp(argv[1], "driver") == 0) {
    int width = atoi(argv[4]), height = atoi(argv[5]), frames = atoi(argv[6]);
    if (width < 1 || width > 255 || height < 1 || height > 255 || frames < 1) return Usage();
    return Driver(argv[2], argv[3], width, height, frames);
  }
  if (argc == 6 && strcmp(argv[1], "direct") == 0) {
    int frame_bytes = atoi(argv[3]), transfer = atoi(argv[4]), frames = atoi(argv[5]);
    if (frame_bytes < 1 || transfer < 1 || frames < 1) return Usage();
    return Direct(argv[2], frame_bytes, transfer, frames);
  }
  return Usage();
}
