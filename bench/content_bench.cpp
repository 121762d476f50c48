// Each case plays a screen's frames into the driver: frame n - 1 is on the
// board, the host draws frame n and hands over the box around the pixels
// that changed (or, for "whole frame", the whole picture). The byte counts
// come from one pass over the frames with GfxForceFlush 1, so every frame's
// bytes are written by the end of its call; the floor is the number of
// graphics bytes that differ between the frames, which any command mix must
// send.
#include "bench/content_bench.h"

#include <benchmark/benchmark.h>

#include <vector>

#include "bench/bench_driver.h"
#include "tools/host/screens.h"

namespace {

// Frame 0 is drawn on a clear board; frames 1 to kFrames - 1 are measured.
const int kFrames = 61;

struct ContentCase {
  host::Screen screen;
  int width, height, pitch;
  bool whole_frame;
  std::string Name() const {
    return std::string(host::ScreenName(screen)) + (whole_frame ? " (whole frame)" : "") + " " +
           std::to_string(width) + "x" + std::to_string(height) + " p" + std::to_string(pitch);
  }
};

struct Frames {
  std::vector<host::Picture> pictures;
  std::vector<host::Rect> rects;  // rects[n]: what changed from frame n - 1
};

Frames MakeFrames(const ContentCase& c) {
  Frames f;
  f.pictures.resize(kFrames);
  for (int n = 0; n < kFrames; ++n) {
    host::ResizePicture(f.pictures[n], c.width, c.height);
    host::DrawScreen(f.pictures[n], c.screen, n);
    f.rects.push_back(n == 0 || c.whole_frame ? host::FullRect(f.pictures[n])
                                              : host::ChangedRect(f.pictures[n - 1], f.pictures[n]));
  }
  return f;
}

// Sends frame n as a host does: nothing when nothing changed.
void SendFrame(const Frames& f, int n) {
  const host::Rect& r = f.rects[n];
  if (host::EmptyRect(r)) return;
  LCD_SendToGfxMemory(f.pictures[n].pixels.data(), (uint32_t)r.x1, (uint32_t)r.y1,
                      (uint32_t)r.x2, (uint32_t)r.y2, 0);
}

DriverSetup SetupFor(const ContentCase& c, bool changes_only) {
  DriverSetup d = {kControllerT6963, c.pitch, c.width, c.height, 4096, 1};
  d.gfx_changes_only = changes_only ? 1 : 0;
  return d;
}

// Wire bytes per measured frame; -1 when the driver did not start.
double BytesPerFrame(const ContentCase& c, const Frames& f, bool changes_only) {
  if (!StartDriver(SetupFor(c, changes_only))) return -1;
  SendFrame(f, 0);
  const uint64_t start = Rec().bytes_written;
  for (int n = 1; n < kFrames; ++n) SendFrame(f, n);
  const double bytes = (double)(Rec().bytes_written - start) / (kFrames - 1);
  StopDriver();
  return bytes;
}

uint8_t PackedByte(const host::Picture& p, int x, int y, int pitch) {
  uint8_t byte = 0;
  for (int i = 0; i < pitch; ++i) {
    const bool set = x + i < p.width && p.pixels[(size_t)y * p.width + x + i] != 0;
    byte = (uint8_t)(byte << 1 | set);
  }
  return byte;
}

// Graphics bytes that differ from the frame before, per measured frame.
double ChangedBytesPerFrame(const ContentCase& c, const Frames& f) {
  uint64_t changed = 0;
  for (int n = 1; n < kFrames; ++n) {
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; x += c.pitch) {
        changed += PackedByte(f.pictures[n], x, y, c.pitch) !=
                   PackedByte(f.pictures[n - 1], x, y, c.pitch);
      }
    }
  }
  return (double)changed / (kFrames - 1);
}

// Frames 1 to kFrames - 1 and back to 0, round and round: every call sends
// one frame's change (the last back to frame 0 among them).
void TimeFrames(benchmark::State& state, const ContentCase& c, bool changes_only) {
  const Frames f = MakeFrames(c);
  if (!StartDriver(SetupFor(c, changes_only))) {
    state.SkipWithError("driver did not start with the case's settings");
    return;
  }
  SendFrame(f, 0);
  int n = 0;
  for (auto _ : state) {
    n = n + 1 == kFrames ? 0 : n + 1;
    SendFrame(f, n);
  }
  StopDriver();
}

std::vector<ContentCase> Cases() {
  std::vector<ContentCase> cases;
  for (int s = 0; s < host::kScreenCount; ++s) {
    for (int height : {64, 128}) {
      for (int pitch : {6, 8}) cases.push_back({(host::Screen)s, 240, height, pitch, false});
    }
  }
  for (int pitch : {6, 8}) cases.push_back({host::kScreenCombined, 240, 128, pitch, true});
  return cases;
}

}  // namespace

void RegisterContentBenchmarks() {
  for (const ContentCase& c : Cases()) {
    for (bool on : {false, true}) {
      benchmark::RegisterBenchmark(("content/" + c.Name() + (on ? "/on" : "/off")).c_str(),
                                   [c, on](benchmark::State& s) { TimeFrames(s, c, on); });
    }
  }
}

void PrintContentTable(FILE* out, const std::function<double(const std::string&)>& ns) {
  fprintf(out, "\nContent: per frame, GfxChangesOnly off and on\n");
  fprintf(out, "| content | bytes off | bytes on | on / off | changed bytes | "
               "line ms off / on at 19200 | at 115200 | call us off / on |\n");
  fprintf(out, "|---|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const ContentCase& c : Cases()) {
    const Frames f = MakeFrames(c);
    const double off = BytesPerFrame(c, f, false), on = BytesPerFrame(c, f, true);
    const double floor = ChangedBytesPerFrame(c, f);
    const double call_off = ns("content/" + c.Name() + "/off");
    const double call_on = ns("content/" + c.Name() + "/on");
    fprintf(out, "| %s | %.0f | %.0f | %.0f %% | %.0f | %.0f / %.0f | %.1f / %.1f | %.2f / %.2f |\n",
            c.Name().c_str(), off, on, off > 0 ? 100 * on / off : 0.0, floor,
            off * 10 * 1000 / 19200, on * 10 * 1000 / 19200, off * 10 * 1000 / 115200,
            on * 10 * 1000 / 115200, call_off / 1000, call_on / 1000);
  }
  fflush(out);
}
