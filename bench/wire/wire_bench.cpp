// korvex-wire-bench: the wire end to end under 64-bit Wine. Full frames go
// from a Windows program through a pty to a reader in this program, which
// counts the bytes and its read() calls:
//
//   korvex-host       the host tool, a script of full frames, through the DLL
//   probe via DLL     korvex-wire-probe driver: the same through the DLL,
//                     every port write the driver makes counted at its
//                     WriteFile import
//   plain WriteFile   korvex-wire-probe direct: the same bytes per frame in
//                     one write per transfer, without the driver
//
// for T6963 240x64 at pitch 8 and 6 and KS108 128x64, each at GfxBufferSize
// 64 and 4096, and writes the table as markdown. A pty has no line rate, so
// the figures are the software's; the serial line's own limit is computed
// beside them.
//
// Usage: korvex-wire-bench --win64 DIR --prefix DIR --work DIR [--frames N]
//                          [--repeat N] [--out FILE]
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/wine/wine_run.h"

namespace {

using namespace wine_run;

const char kPort[] = "COM8";
const char kPortLink[] = "com8";

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

struct Options {
  std::string win64;
  std::string prefix;
  std::string work;
  std::string out;
  int frames = 3000;
  int repeat = 5;
};

// ------------------------------------------------------------------ reader

struct Reader {
  int fd = -1;
  std::atomic<bool> stop{false};
  std::thread thread;
  unsigned long long bytes = 0;
  unsigned long long reads = 0;
};

void ReadLoop(Reader& r) {
  static uint8_t chunk[65536];
  for (;;) {
    struct pollfd p = {r.fd, POLLIN, 0};
    int ready = poll(&p, 1, r.stop ? 500 : 50);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && !r.stop) continue;
    if (ready <= 0) return;
    if (!(p.revents & POLLIN)) {
      // No writer has the slave open (before the program opens it, or
      // after it has gone): not the end yet unless stopped.
      if (r.stop) return;
      usleep(10000);
      continue;
    }
    ssize_t n = read(r.fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;
    r.bytes += static_cast<unsigned long long>(n);
    r.reads++;
  }
}

// ------------------------------------------------------------- one run

struct Run {
  bool ok = false;
  std::string error;
  std::map<std::string, double> values;  // the probe's "key value" lines
  double host_gfx_seconds = 0;           // korvex-host: time inside LCD_SendToGfxMemory
  unsigned long long reader_bytes = 0;
  unsigned long long reader_reads = 0;
};

std::map<std::string, double> KeyValues(const std::string& out) {
  std::map<std::string, double> values;
  std::istringstream in(out);
  std::string key;
  double value;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    if (words >> key >> value) values[key] = value;
  }
  return values;
}

// Runs argv in the work folder with a fresh pty behind COM8 and its reader.
Run RunWithReader(const Options& o, const std::vector<std::string>& argv) {
  Run run;
  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    run.error = std::string("openpty: ") + strerror(errno);
    return run;
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  struct termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  std::string link = o.prefix + "/dosdevices/" + kPortLink;
  unlink(link.c_str());
  if (symlink(name, link.c_str()) != 0) {
    run.error = link + ": " + strerror(errno);
    close(master);
    close(slave);
    return run;
  }
  Reader reader;
  reader.fd = master;
  reader.thread = std::thread(ReadLoop, std::ref(reader));
  RunResult r = RunInPrefix(o.prefix, argv, o.work, 600);
  reader.stop = true;
  reader.thread.join();
  unlink(link.c_str());
  close(slave);
  close(master);
  run.reader_bytes = reader.bytes;
  run.reader_reads = reader.reads;
  run.values = KeyValues(r.out);
  if (r.status != 0) {
    run.error = "status " + std::to_string(r.status) + ": " + r.err.substr(0, 400);
    return run;
  }
  size_t at = r.out.find("call LCD_SendToGfxMemory: calls ");
  if (at != std::string::npos) {
    unsigned long long calls = 0;
    double longest = 0, total = 0;
    if (sscanf(r.out.c_str() + at,
               "call LCD_SendToGfxMemory: calls %llu, longest %lf ms, total %lf ms", &calls,
               &longest, &total) == 3)
      run.host_gfx_seconds = total / 1000.0;
  }
  run.ok = true;
  return run;
}

// ----------------------------------------------------------------- cases

struct Case {
  const char* name;
  int controller;
  int pitch;
  int width;
  int height;
};

int FrameBytes(const Case& c) {
  if (c.controller == 108) return 5 + c.width * ((c.height + 7) / 8);
  return 5 + c.height * ((c.width + c.pitch - 1) / c.pitch);
}

struct Row {
  Case c;
  int buffer = 0;
  double host_fps = 0;
  double probe_fps = 0;
  double probe_write_share = 0;  // of the probe's time, the part inside WriteFile
  double direct_fps = 0;
  double writes_per_frame = 0;
  double direct_writes_per_frame = 0;
  double largest = 0;
  double reads_per_frame = 0;
  double pack_us = 0;   // per frame, the probe's time outside WriteFile
  double write_us = 0;  // per driver write, inside WriteFile
  bool bytes_agree = true;
  std::string notes;
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string Script(const Case& c, int frames) {
  std::string s = "io " + std::string(kPort) + " " + std::to_string(c.width) + " " +
                  std::to_string(c.height) + " 1 0 0 0\ninit\n";
  for (int f = 0; f < frames; ++f) {
    int x = (f + 1) % c.width, y = f % c.height;
    int on = (f / c.width) % 2 == 0 ? 1 : 0;
    s += "pixel " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(on) +
         "\nframe\n";
  }
  return s;
}

int FramesFor(const Options& o, int buffer) { return buffer >= 1024 ? 10 * o.frames : o.frames; }

Row Measure(const Options& o, const Case& c, int buffer) {
  Row row;
  row.c = c;
  row.buffer = buffer;
  // Few writes make a frame quick: more of them, so that a run lasts long
  // enough to be timed.
  const int frames = FramesFor(o, buffer);
  WriteFile(o.work + "/config.ini", "[Korvex]\r\nGfxBufferSize=" + std::to_string(buffer) +
                                        "\r\nLCD_FontPitch=" + std::to_string(c.pitch) +
                                        "\r\nLCD_Controller=" + std::to_string(c.controller) +
                                        "\r\n");
  std::string script = o.work + "/frames.txt";
  WriteFile(script, Script(c, frames));
  std::string dll = WindowsPath(o.win64 + "/Korvex.dll");
  std::string bytes = std::to_string(FrameBytes(c));
  std::vector<double> host, probe, share, direct, writes, direct_writes, largest, reads, pack,
      write_us;
  for (int i = 0; i < o.repeat; ++i) {
    Run h = RunWithReader(o, {WinePath(), o.win64 + "/korvex-host.exe", "--dll", dll, "--script",
                              WindowsPath(script), "--quiet", "--report-calls"});
    if (!h.ok || h.host_gfx_seconds <= 0) {
      row.notes += " korvex-host: " + h.error;
    } else {
      host.push_back(frames / h.host_gfx_seconds);
    }
    Run p = RunWithReader(
        o, {WinePath(), o.win64 + "/korvex-wire-probe.exe", "driver", dll, kPort,
            std::to_string(c.width), std::to_string(c.height), std::to_string(frames)});
    if (!p.ok || p.values["seconds"] <= 0) {
      row.notes += " probe: " + p.error;
    } else {
      probe.push_back(frames / p.values["seconds"]);
      share.push_back(p.values["write_seconds"] / p.values["seconds"]);
      writes.push_back(p.values["writes"] / frames);
      largest.push_back(p.values["largest"]);
      reads.push_back(static_cast<double>(p.reader_reads) / frames);
      pack.push_back(1e6 * (p.values["seconds"] - p.values["write_seconds"]) / frames);
      if (p.values["writes"] > 0)
        write_us.push_back(1e6 * p.values["write_seconds"] / p.values["writes"]);
      // Every byte the driver wrote reached the reader: the reset byte of
      // LCD_Init is not counted by the probe.
      if (p.reader_bytes != static_cast<unsigned long long>(p.values["bytes"]) + 1)
        row.bytes_agree = false;
      if (p.values["failed"] != 0) row.notes += " failed writes";
    }
    Run d = RunWithReader(o, {WinePath(), o.win64 + "/korvex-wire-probe.exe", "direct", kPort,
                              bytes, std::to_string(buffer), std::to_string(frames)});
    if (!d.ok || d.values["seconds"] <= 0) {
      row.notes += " direct: " + d.error;
    } else {
      direct.push_back(frames / d.values["seconds"]);
      direct_writes.push_back(d.values["writes"] / frames);
      if (d.reader_bytes != static_cast<unsigned long long>(d.values["bytes"]))
        row.bytes_agree = false;
    }
  }
  row.host_fps = Median(host);
  row.probe_fps = Median(probe);
  row.probe_write_share = Median(share);
  row.direct_fps = Median(direct);
  row.writes_per_frame = Median(writes);
  row.direct_writes_per_frame = Median(direct_writes);
  row.largest = Median(largest);
  row.reads_per_frame = Median(reads);
  row.pack_us = Median(pack);
  row.write_us = Median(write_us);
  return row;
}

std::string Command(const std::string& command) {
  std::string text;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return text;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, p) != nullptr) text += buffer;
  pclose(p);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string Fixed(double v, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string Table(const Options& o, const std::vector<Row>& rows) {
  std::string cpu = Command("lscpu | sed -n 's/^Model name: *//p' | head -n1");
  std::string cores = Command("nproc");
  std::string wine = Command(WinePath() + " --version 2>/dev/null");
  std::string md;
  md += "# The wire, end to end\n\n";
  md += "Measured by `bench/wire/run.sh` (korvex-wire-bench) on " + cpu + ", " + cores +
        " cores (nproc), under " + wine + " (64-bit build of Korvex.dll). " +
        std::to_string(FramesFor(o, 64)) + " full frames per run at GfxBufferSize 64, " +
        std::to_string(FramesFor(o, 4096)) + " at 4096, the median of " + std::to_string(o.repeat) +
        " runs. GfxForceFlush=0, BaudRate=19200.\n\n";
  md +=
      "The frames go from a Windows program under Wine through a pty to a reader that counts "
      "bytes and its read() calls. **A pty has no line rate**: it takes bytes as fast as the "
      "programs can hand them over, so every figure below is the software's cost (the driver, "
      "Wine's WriteFile, the kernel's pty), not the serial line's.\n\n";
  md +=
      "- *korvex-host fps*: frames divided by the time spent inside `LCD_SendToGfxMemory` "
      "(from `--report-calls`).\n"
      "- *via Korvex.dll fps*: korvex-wire-probe calling `LCD_SendToGfxMemory` with the whole "
      "picture, back to back; *in WriteFile* is the share of that time spent in the port "
      "writes; *packing per frame* is the rest, the driver's own work (with the probe's "
      "timing of each write, so it reads high when there are many writes).\n"
      "- *plain WriteFile fps*: the same number of bytes per frame written by the probe itself, "
      "one write per transfer of at most GfxBufferSize bytes, no driver.\n"
      "- *writes per frame*: the driver's WriteFile calls counted at its import, against "
      "ceil(bytes / GfxBufferSize).\n\n";
  md +=
      "| Picture | Bytes per frame | GfxBufferSize | Port writes per frame | ceil(bytes / size) | "
      "Largest write | korvex-host fps | via Korvex.dll fps | in WriteFile | packing per frame "
      "| WriteFile per write | plain WriteFile fps | reader read() per frame |\n";
  md += "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const Row& r : rows) {
    int bytes = FrameBytes(r.c);
    int ceil_writes = (bytes + r.buffer - 1) / r.buffer;
    md += "| " + std::string(r.c.name) + " | " + std::to_string(bytes) + " | " +
          std::to_string(r.buffer) + " | " + Fixed(r.writes_per_frame, 2) + " | " +
          std::to_string(ceil_writes) + " | " + Fixed(r.largest, 0) + " | " + Fixed(r.host_fps, 0) +
          " | " + Fixed(r.probe_fps, 0) + " | " + Fixed(100 * r.probe_write_share, 0) + " % | " +
          Fixed(r.pack_us, 1) + " µs | " + Fixed(r.write_us, 1) + " µs | " +
          Fixed(r.direct_fps, 0) + " | " + Fixed(r.reads_per_frame, 1) + " |\n";
  }
  bool agree = true;
  std::string notes;
  for (const Row& r : rows) {
    agree = agree && r.bytes_agree;
    if (!r.notes.empty())
      notes +=
          "- " + std::string(r.c.name) + ", " + std::to_string(r.buffer) + ":" + r.notes + "\n";
  }
  md += agree ? "\nIn every run the reader received exactly the bytes the program wrote.\n"
              : "\n**In some run the reader's byte count differed from the bytes written.**\n";
  if (!notes.empty()) md += "\nFailures:\n\n" + notes;

  md += "\n## What the serial line allows\n\n";
  md += "10 bits a byte (start, 8 data, stop): 1920 bytes/s at 19200 baud, 11520 at 115200.\n\n";
  md += "| Picture | Bytes per frame | fps at 19200 baud | fps at 115200 baud |\n";
  md += "|---|---:|---:|---:|\n";
  for (size_t i = 0; i < rows.size(); i += 2) {
    int bytes = FrameBytes(rows[i].c);
    md += "| " + std::string(rows[i].c.name) + " | " + std::to_string(bytes) + " | " +
          Fixed(1920.0 / bytes, 2) + " | " + Fixed(11520.0 / bytes, 2) + " |\n";
  }

  md += "\n## Reading the figures\n\n";
  md +=
      "Software time per frame through the driver (1 / *via Korvex.dll fps*) against the "
      "line time of the same bytes at 19200 baud:\n\n";
  md +=
      "| Picture | GfxBufferSize | Software per frame | Line per frame at 19200 | Line per frame "
      "at "
      "115200 |\n";
  md += "|---|---:|---:|---:|---:|\n";
  for (const Row& r : rows) {
    int bytes = FrameBytes(r.c);
    md += "| " + std::string(r.c.name) + " | " + std::to_string(r.buffer) + " | " +
          (r.probe_fps > 0 ? Fixed(1000.0 / r.probe_fps, 3) : std::string("-")) + " ms | " +
          Fixed(1000.0 * bytes / 1920.0, 0) + " ms | " + Fixed(1000.0 * bytes / 11520.0, 0) +
          " ms |\n";
  }
  md +=
      "\n- Nearly all of the software time is WriteFile: a fixed cost per call (the *WriteFile "
      "per write* column, under Wine), so it grows with the number of writes, and the driver's "
      "own packing is a few microseconds a frame. The driver's writes per frame are exactly "
      "ceil(bytes / GfxBufferSize) at 64; at 4096 a frame smaller than the buffer makes fewer "
      "than one write per frame on average (see below), which is why the driver can beat the "
      "plain program there: the plain program makes one write per frame, the driver carries "
      "part of a frame over into the next call's 4096-byte write.\n"
      "- Raising GfxBufferSize from 64 to 4096 cuts the writes per frame from dozens to about "
      "one and the software time per frame by more than an order of magnitude, but either is a "
      "small "
      "fraction of what the serial line itself needs per frame: on a real board the line is "
      "the limit, and the frame rate a user sees does not change. What the user gains is CPU "
      "time and fewer system calls per update.\n"
      "- With GfxForceFlush=0, a graphics call whose bytes fit into what is left of the "
      "buffer ends without a write, so with GfxBufferSize 4096 a full frame of 2565 bytes or "
      "less can wait in the driver until a later call fills the buffer: the display lags by "
      "up to a frame or more. A large GfxBufferSize belongs with GfxForceFlush=1.\n";
  return md;
}

int Usage() {
  fprintf(stderr,
          "usage: korvex-wire-bench --win64 DIR --prefix DIR --work DIR [--frames N] "
          "[--repeat N] [--out FILE]\n");
  return 1;
}

// The prefix's wineserver, its standard error discarded: a pty that closes
// while it lives makes it dump its objects there.
void StartWineServer(const std::string& prefix) {
  std::string command =
      "WINEPREFIX='" + prefix + "' '" + WineServerPath() + "' -p30 </dev/null >/dev/null 2>&1";
  if (system(command.c_str()) != 0) {
    // Already running: it serves as well.
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i], value = argv[i + 1];
    if (arg == "--win64") {
      o.win64 = value;
    } else if (arg == "--prefix") {
      o.prefix = value;
    } else if (arg == "--work") {
      o.work = value;
    } else if (arg == "--out") {
      o.out = value;
    } else if (arg == "--frames") {
      o.frames = atoi(value.c_str());
    } else if (arg == "--repeat") {
      o.repeat = atoi(value.c_str());
    } else {
      return Usage();
    }
  }
  if (argc % 2 == 0 || o.win64.empty() || o.prefix.empty() || o.work.empty() || o.frames < 1 ||
      o.repeat < 1)
    return Usage();
  for (const char* file : {"Korvex.dll", "korvex-host.exe", "korvex-wire-probe.exe"}) {
    if (!Exists(o.win64 + "/" + file)) {
      fprintf(stderr, "korvex-wire-bench: %s/%s is missing\n", o.win64.c_str(), file);
      return 2;
    }
  }
  if (system(("mkdir -p '" + o.work + "'").c_str()) != 0) return 2;
  std::string why = PreparePrefix(o.prefix);
  if (!why.empty()) {
    fprintf(stderr, "korvex-wire-bench: %s\n", why.c_str());
    return 2;
  }
  StartWineServer(o.prefix);

  const Case cases[] = {
      {"T6963 240x64 pitch 8", 6963, 8, 240, 64},
      {"T6963 240x64 pitch 6", 6963, 6, 240, 64},
      {"KS108 128x64", 108, 8, 128, 64},
  };
  std::vector<Row> rows;
  for (const Case& c : cases) {
    for (int buffer : {64, 4096}) {
      double started = Now();
      rows.push_back(Measure(o, c, buffer));
      const Row& r = rows.back();
      fprintf(stderr,
              "%s, GfxBufferSize %d: %.2f writes/frame, korvex-host %.0f fps, via DLL %.0f fps, "
              "plain %.0f fps (%.0f s)%s\n",
              c.name, buffer, r.writes_per_frame, r.host_fps, r.probe_fps, r.direct_fps,
              Now() - started, r.notes.c_str());
    }
  }
  StopWineServer(o.prefix);

  std::string md = Table(o, rows);
  if (!o.out.empty()) WriteFile(o.out, md);
  fputs(md.c_str(), stdout);
  for (const Row& r : rows)
    if (!r.notes.empty() || !r.bytes_agree) return 3;
  return 0;
}
