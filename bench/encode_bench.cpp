// Encoding benchmarks: what the driver's own work costs per call, beside two
// limits measured in the same run on the same data:
//   read/<case>    one pass over the pixels the call reads, counting the set ones
//   memcpy/<case>  copying as many bytes as the call puts on the wire
// and, on their own, the per-byte puts (put/...) and the core's clock
// (clock/add_chain), which turns nanoseconds into cycles. The port is the
// recording double in count-only mode: a write only adds its size to a
// counter, so the figures are the driver's packing and buffering.
// Every case checks after its run that the call emitted the bytes and port
// writes it is meant to, so a figure never comes from a call that did less.
#include <benchmark/benchmark.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "bench/bench_driver.h"
#include "bench/content_bench.h"
#include "core/driver_state.h"
#include "core/exports.h"
#include "link/buffers.h"
#include "platform/recording/recording.h"

namespace {

// A picture of the kind a host renders: text, lines and noise, about a third
// of the pixels set, with the host's usual 0 / non-zero bytes. Fixed seed, so
// every run reads the same picture.
std::vector<uint8_t> MakeHostPicture(int32_t width, int32_t height, uint32_t seed) {
  std::vector<uint8_t> picture((size_t)width * (size_t)height);
  uint32_t state = seed;
  for (size_t i = 0; i < picture.size(); ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    picture[i] = (state % 3 == 0) ? (uint8_t)(1 + (state >> 24) % 255) : 0;
  }
  return picture;
}

// The pixels a call reads: rows [top, top + rows), columns [left, left + columns).
struct Region {
  int32_t left, top, columns, rows;
};

// The baseline: one pass over the region, counting non-zero bytes. Not inline,
// so the loop is compiled once, as any caller of a plain read pass would get it.
__attribute__((noinline)) size_t CountSet(const uint8_t* picture, int32_t stride,
                                          const Region& r) {
  size_t count = 0;
  for (int32_t y = r.top; y < r.top + r.rows; ++y) {
    const uint8_t* row = picture + (size_t)y * (size_t)stride + r.left;
    for (int32_t x = 0; x < r.columns; ++x) count += row[x] != 0;
  }
  return count;
}

void MemcpyBaseline(benchmark::State& state, uint32_t bytes) {
  std::vector<uint8_t> source(bytes), target(bytes);
  for (uint32_t i = 0; i < bytes; ++i) source[i] = (uint8_t)(i * 37 + 11);
  uint8_t* from = source.data();
  uint8_t* to = target.data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(from);
    benchmark::DoNotOptimize(to);
    memcpy(to, from, bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * bytes);
  state.SetItemsProcessed((int64_t)state.iterations());
  state.counters["wire_bytes"] = bytes;
}

void ReadBaseline(benchmark::State& state, const uint8_t* picture, int32_t stride,
                  const Region& region, uint32_t wire_bytes) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(picture);
    size_t count = CountSet(picture, stride, region);
    benchmark::DoNotOptimize(count);
    benchmark::ClobberMemory();
  }
  int64_t pixels = (int64_t)region.columns * region.rows;
  state.SetBytesProcessed((int64_t)state.iterations() * pixels);
  state.SetItemsProcessed((int64_t)state.iterations());
  state.counters["wire_bytes"] = wire_bytes;
}

// Per call: the bytes and port writes the driver produced must be the case's.
void CheckAndCount(benchmark::State& state, uint32_t wire_bytes, uint32_t writes,
                   int64_t read_bytes) {
  uint64_t calls = (uint64_t)state.iterations();
  if (calls == 0) return;
  if (Rec().bytes_written != calls * wire_bytes) {
    state.SkipWithError("the call did not emit the expected wire bytes");
  } else if (writes != 0 && Rec().writes != calls * writes) {
    state.SkipWithError("the call did not make the expected port writes");
  }
  state.SetBytesProcessed((int64_t)calls * read_bytes);
  state.SetItemsProcessed((int64_t)calls);
  state.counters["wire_bytes"] = wire_bytes;
  state.counters["writes"] = (double)Rec().writes / (double)calls;
}

// ---------------------------------------------------------------- graphics

struct GfxCase {
  const char* name;
  DriverSetup setup;
  uint32_t x1, y1, x2, y2;
  uint32_t wire_bytes;  // command header and payload, per call
};

// The port writes of `bytes` in transfers of `transfer`, each handed to the
// port in pieces of at most 280 bytes (the most whose write time-out stays
// within 1.28 s at the default 19200 baud).
uint32_t Writes(uint32_t bytes, uint32_t transfer) {
  const uint32_t kPiece = 280;
  const uint32_t whole = bytes / transfer, rest = bytes % transfer;
  return whole * ((transfer + kPiece - 1) / kPiece) + (rest + kPiece - 1) / kPiece;
}

// The pixels the call reads: the whole picture on the KS108, the rectangle
// widened to whole bytes on the T6963.
Region ReadRegion(const GfxCase& c) {
  if (c.setup.controller == kControllerKS108) return {0, 0, c.setup.width, c.setup.height};
  int32_t p = c.setup.pitch;
  int32_t left = (int32_t)(c.x1 < c.x2 ? c.x1 : c.x2);
  int32_t right = (int32_t)(c.x1 < c.x2 ? c.x2 : c.x1);
  int32_t top = (int32_t)(c.y1 < c.y2 ? c.y1 : c.y2);
  int32_t bottom = (int32_t)(c.y1 < c.y2 ? c.y2 : c.y1);
  left -= left % p;
  right += (p - 1) - right % p;
  return {left, top, right - left + 1, bottom - top + 1};
}

void EncodeGfx(benchmark::State& state, const GfxCase& c) {
  std::vector<uint8_t> picture = MakeHostPicture(c.setup.width, c.setup.height, 0x2545F491u);
  if (!StartDriver(c.setup)) {
    state.SkipWithError("driver did not start with the case's settings");
    return;
  }
  const uint8_t* bitmap = picture.data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(bitmap);
    LCD_SendToGfxMemory(bitmap, c.x1, c.y1, c.x2, c.y2, 0);
  }
  // With GfxForceFlush 1 every call ends with an empty buffer: the bytes and
  // writes per call are exact.
  if (g_state.gfx_count != 0) state.SkipWithError("the call left bytes in the buffer");
  Region r = ReadRegion(c);
  CheckAndCount(state, c.wire_bytes, Writes(c.wire_bytes, c.setup.gfx_buffer_size),
                (int64_t)r.columns * r.rows);
  StopDriver();
}

void ReadGfx(benchmark::State& state, const GfxCase& c) {
  std::vector<uint8_t> picture = MakeHostPicture(c.setup.width, c.setup.height, 0x2545F491u);
  ReadBaseline(state, picture.data(), c.setup.width, ReadRegion(c), c.wire_bytes);
}

const DriverSetup kT6963_240x64_P6 = {kControllerT6963, 6, 240, 64, 4096, 1};
const DriverSetup kT6963_240x64_P6_64 = {kControllerT6963, 6, 240, 64, 64, 1};
const DriverSetup kT6963_240x64_P8 = {kControllerT6963, 8, 240, 64, 4096, 1};
const DriverSetup kT6963_240x64_P8_64 = {kControllerT6963, 8, 240, 64, 64, 1};
const DriverSetup kT6963_240x128_P6 = {kControllerT6963, 6, 240, 128, 4096, 1};
const DriverSetup kKs108_128x64 = {kControllerKS108, 8, 128, 64, 4096, 1};
const DriverSetup kKs108_128x64_64 = {kControllerKS108, 8, 128, 64, 64, 1};

const GfxCase kGfxCases[] = {
    // Full screens: SetBitmap header (5) and every byte of the picture.
    {"full_T6963_240x64_p6_buf4096", kT6963_240x64_P6, 0, 0, 239, 63, 5 + 40 * 64},
    {"full_T6963_240x64_p6_buf64", kT6963_240x64_P6_64, 0, 0, 239, 63, 5 + 40 * 64},
    {"full_T6963_240x64_p8_buf4096", kT6963_240x64_P8, 0, 0, 239, 63, 5 + 30 * 64},
    {"full_T6963_240x64_p8_buf64", kT6963_240x64_P8_64, 0, 0, 239, 63, 5 + 30 * 64},
    {"full_T6963_240x128_p6_buf4096", kT6963_240x128_P6, 0, 0, 239, 127, 5 + 40 * 128},
    {"full_KS108_128x64_buf4096", kKs108_128x64, 0, 0, 127, 63, 5 + 16 * 64},
    {"full_KS108_128x64_buf64", kKs108_128x64_64, 0, 0, 127, 63, 5 + 16 * 64},
    // Small updates.
    {"cell_6x8_p6", kT6963_240x64_P6, 60, 16, 65, 23, 5 + 8},
    {"cell_8x8_p8", kT6963_240x64_P8, 64, 16, 71, 23, 5 + 8},
    {"row_240_p6", kT6963_240x64_P6, 0, 30, 239, 30, 4 + 40},
    // Unaligned at pitch 6: columns 10-17 widen to 6-17, two bytes a row.
    {"block_8x8_p6", kT6963_240x64_P6, 10, 20, 17, 27, 5 + 2 * 8},
    {"pixel_p6", kT6963_240x64_P6, 100, 40, 100, 40, 4},
};

// -------------------------------------------------------------------- text

const char kLine[] = "Now playing: Track 07 - 03:41 / 05:12  ";  // 40 characters

const DriverSetup kTextSetup = {kControllerT6963, 6, 240, 64, 4096, 1};

// One line of text: a cursor and 40 characters (43 bytes on the text stream).
void EncodeTextLine(benchmark::State& state) {
  if (!StartDriver(kTextSetup)) {
    state.SkipWithError("driver did not start");
    return;
  }
  const char* line = kLine;
  for (auto _ : state) {
    benchmark::DoNotOptimize(line);
    LCD_SetOutputAddress(0, 3);
    for (int i = 0; i < 40; ++i) LCD_SendToMemory((uint8_t)line[i]);
  }
  // The text stream keeps what is short of a transfer; send it for the count.
  FlushTextBuffer();
  CheckAndCount(state, 3 + 40, 0, 40);
  StopDriver();
}

void ReadTextLine(benchmark::State& state) {
  ReadBaseline(state, (const uint8_t*)kLine, 40, {0, 0, 40, 1}, 3 + 40);
}

CgramCharRecord MakeGlyph() {
  CgramCharRecord record;
  record.position = 3;
  std::vector<uint8_t> bits = MakeHostPicture(8, 8, 0x9E3779B9u);
  memcpy(record.matrix, bits.data(), sizeof record.matrix);
  return record;
}

void EncodeCgram(benchmark::State& state, int32_t pitch) {
  DriverSetup setup = kTextSetup;
  setup.pitch = pitch;
  if (!StartDriver(setup)) {
    state.SkipWithError("driver did not start");
    return;
  }
  CgramCharRecord record = MakeGlyph();
  for (auto _ : state) {
    benchmark::DoNotOptimize(record);
    LCD_SetCGRAMChar(record);
  }
  FlushTextBuffer();
  CheckAndCount(state, 10, 0, 8 * pitch);
  StopDriver();
}

void ReadCgram(benchmark::State& state, int32_t pitch) {
  CgramCharRecord record = MakeGlyph();
  // The matrix is column by column: the used columns are its first 8 * pitch bytes.
  ReadBaseline(state, record.matrix, 8 * pitch, {0, 0, 8 * pitch, 1}, 10);
}

// ------------------------------------------------------------ per-byte put

const uint32_t kPutRun = 4096;

void CountPerByte(benchmark::State& state) {
  state.SetItemsProcessed((int64_t)state.iterations() * kPutRun);
  state.SetBytesProcessed((int64_t)state.iterations() * kPutRun);
  // Seconds per byte: the console shows it as e.g. "1.3n" (ns).
  state.counters["s_per_byte"] = benchmark::Counter(
      (double)kPutRun,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["writes"] = (double)Rec().writes / (double)state.iterations();
}

void PutGfx(benchmark::State& state, uint32_t transfer) {
  DriverSetup setup = kT6963_240x64_P6;
  setup.gfx_buffer_size = transfer;
  if (!StartDriver(setup)) {
    state.SkipWithError("driver did not start");
    return;
  }
  for (auto _ : state) {
    for (uint32_t i = 0; i < kPutRun; ++i) PutGfxByte((uint8_t)i);
  }
  if (Rec().bytes_written != (uint64_t)state.iterations() * kPutRun) {
    state.SkipWithError("puts did not reach the port");
  }
  CountPerByte(state);
  StopDriver();
}

void PutText(benchmark::State& state) {
  if (!StartDriver(kTextSetup)) {
    state.SkipWithError("driver did not start");
    return;
  }
  uint32_t transfer = g_state.text_buffer_size;
  for (auto _ : state) {
    for (uint32_t i = 0; i < kPutRun; ++i) PutTextByte((uint8_t)i);
  }
  if (kPutRun % transfer != 0 ||
      Rec().bytes_written != (uint64_t)state.iterations() * kPutRun) {
    state.SkipWithError("puts did not reach the port");
  }
  CountPerByte(state);
  StopDriver();
}

// ------------------------------------------------------------------- clock

// The core's clock as the code sees it: the virtual machine may hide the
// cycle counters and run the core above its nominal rate, and a chain of
// dependent adds retires exactly one add a cycle.
const uint32_t kAddChain = 8192;

void AddChain(benchmark::State& state) {
  uint64_t x = 0;
  for (auto _ : state) {
    for (uint32_t i = 0; i < kAddChain / 8; ++i) {
#if defined(__x86_64__) || defined(__i386__)
      asm volatile(
          "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
          "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0"
          : "+r"(x));
#else
      state.SkipWithError("no add chain for this machine");
#endif
    }
  }
  benchmark::DoNotOptimize(x);
  state.counters["adds"] =
      benchmark::Counter((double)kAddChain, benchmark::Counter::kIsIterationInvariantRate);
}

// ----------------------------------------------------------------- summary

// The console table, then one line per case: the call beside its limits.
// With repetitions the summary takes each benchmark's fastest repetition (the
// one least disturbed by whatever else the machine runs) and the table shows
// only the aggregates.
struct SummaryReporter : benchmark::ConsoleReporter {
  explicit SummaryReporter(OutputOptions options) : ConsoleReporter(options) {}

  std::map<std::string, double> fastest_ns;  // CPU time per iteration, by name
  std::vector<std::string> cases;            // in registration order

  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const Run& run : runs) {
      bool repeated = run.run_type == Run::RT_Iteration && run.repetitions > 1;
      if (!repeated || run.error_occurred) shown.push_back(run);
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      // In the run's time unit: to nanoseconds.
      double ns = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) *
                  benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond);
      auto it = fastest_ns.find(run.benchmark_name());
      if (it == fastest_ns.end() || ns < it->second) fastest_ns[run.benchmark_name()] = ns;
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
  }

  double Ns(const std::string& name) const {
    auto it = fastest_ns.find(name);
    return it == fastest_ns.end() ? -1 : it->second;
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    FILE* out = stdout;
    fprintf(out, "\nCPU time per call, fastest repetition\n");
    fprintf(out, "%-30s %10s %10s %10s %9s %9s\n", "case", "call ns", "read ns", "memcpy ns",
            "call/read", "call/copy");
    for (const std::string& c : cases) {
      double call = Ns("encode/" + c), read = Ns("read/" + c), copy = Ns("memcpy/" + c);
      if (call < 0 || read < 0 || copy < 0) continue;
      fprintf(out, "%-30s %10.1f %10.1f %10.1f %9.2f %9.1f\n", c.c_str(), call, read, copy,
              call / read, call / copy);
    }
    double nominal_ghz = benchmark::CPUInfo::Get().cycles_per_second / 1e9;
    double chain = Ns("clock/add_chain");
    double ghz = chain > 0 ? kAddChain / chain : nominal_ghz;
    fprintf(out, "\nclock: %.2f GHz measured by the add chain, %.2f GHz nominal\n", ghz,
            nominal_ghz);
    for (const auto& kv : fastest_ns) {
      if (kv.first.compare(0, 4, "put/") != 0) continue;
      double ns = kv.second / kPutRun;
      fprintf(out, "%-30s %6.2f ns/byte = %4.1f cycles/byte (%4.1f at the nominal clock)\n",
              kv.first.c_str(), ns, ns * ghz, ns * nominal_ghz);
    }
    PrintContentTable(out, [this](const std::string& name) { return Ns(name); });
    fflush(out);
  }
};

}  // namespace

int main(int argc, char** argv) {
  SummaryReporter reporter(isatty(fileno(stdout)) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                  : benchmark::ConsoleReporter::OO_Tabular);
  for (const GfxCase& c : kGfxCases) {
    const GfxCase* p = &c;
    benchmark::RegisterBenchmark(("encode/" + std::string(c.name)).c_str(),
                                 [p](benchmark::State& s) { EncodeGfx(s, *p); });
    benchmark::RegisterBenchmark(("read/" + std::string(c.name)).c_str(),
                                 [p](benchmark::State& s) { ReadGfx(s, *p); });
    benchmark::RegisterBenchmark(("memcpy/" + std::string(c.name)).c_str(),
                                 [p](benchmark::State& s) { MemcpyBaseline(s, p->wire_bytes); });
    reporter.cases.push_back(c.name);
  }
  benchmark::RegisterBenchmark("encode/text_line_40", EncodeTextLine);
  benchmark::RegisterBenchmark("read/text_line_40", ReadTextLine);
  benchmark::RegisterBenchmark("memcpy/text_line_40",
                               [](benchmark::State& s) { MemcpyBaseline(s, 43); });
  reporter.cases.push_back("text_line_40");
  for (int32_t pitch : {6, 8}) {
    std::string name = "cgram_char_p" + std::to_string(pitch);
    benchmark::RegisterBenchmark(("encode/" + name).c_str(),
                                 [pitch](benchmark::State& s) { EncodeCgram(s, pitch); });
    benchmark::RegisterBenchmark(("read/" + name).c_str(),
                                 [pitch](benchmark::State& s) { ReadCgram(s, pitch); });
    benchmark::RegisterBenchmark(("memcpy/" + name).c_str(),
                                 [](benchmark::State& s) { MemcpyBaseline(s, 10); });
    reporter.cases.push_back(name);
  }
  for (uint32_t transfer : {4096u, 64u, 1u}) {
    benchmark::RegisterBenchmark(("put/PutGfxByte_buf" + std::to_string(transfer)).c_str(),
                                 [transfer](benchmark::State& s) { PutGfx(s, transfer); });
  }
  benchmark::RegisterBenchmark("put/PutTextByte_buf16", PutText);
  benchmark::RegisterBenchmark("clock/add_chain", AddChain);
  RegisterContentBenchmarks();

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
