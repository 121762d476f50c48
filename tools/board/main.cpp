// korvex-board: the display board, emulated. Reads the driver's byte stream
// from a serial port (on Linux also a pty it creates), a capture file or
// standard input, decodes it as the firmware does, keeps the display's state
// and shows it as PNG pictures, a live console view, a window (Windows) and a
// command log. The system-dependent parts are behind platform.h.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "tools/board/capture.h"
#include "tools/board/decoder.h"
#include "tools/board/log.h"
#include "tools/board/model.h"
#include "tools/board/platform.h"
#include "tools/board/render.h"

namespace {

using namespace board;

struct Options {
  DisplayConfig config;
  bool controller_given = false, pitch_given = false, width_given = false,
       height_given = false;
  std::string input;  // a capture file, "-" for standard input
  std::string port;   // a serial port
  std::string link;
  std::string log;
  std::string png;
  std::string png_before_reset;
  std::string capture;
  int scale = 4;
  bool live = false;
  bool window = false;
  TerminalStyle live_style = TerminalStyle::Braille;
  bool live_style_given = false;
  bool quiet = false;
  double idle_exit = 0;  // seconds; 0 = never
  double png_every = 0;  // seconds; 0 = never
  int baud = 0;          // pace delivery at baud / 10 bytes a second; 0 = as they come
};

// The bytes the board took in the last second, in slices of a tenth, for the
// window's rate: it falls to 0 a second after the last byte, and then no
// slice is left to wake the program for.
struct Rate {
  std::deque<std::pair<double, uint64_t>> slices;  // start time, bytes
};

void RateAdd(Rate& rate, double now, uint64_t bytes) {
  if (!rate.slices.empty() && now - rate.slices.back().first < 0.1) {
    rate.slices.back().second += bytes;
  } else {
    rate.slices.emplace_back(now, bytes);
  }
}

// Drops the slices older than a second; true when one went.
bool RateExpire(Rate& rate, double now) {
  bool dropped = false;
  while (!rate.slices.empty() && now - rate.slices.front().first >= 1.0) {
    rate.slices.pop_front();
    dropped = true;
  }
  return dropped;
}

uint64_t RatePerSecond(const Rate& rate) {
  uint64_t bytes = 0;
  for (const auto& slice : rate.slices) bytes += slice.second;
  return bytes;
}

struct Run {
  Options options;
  Decoder decoder;
  BoardModel model;
  LogWriter log;
  FILE* log_file = nullptr;
  FILE* capture = nullptr;
  std::string source;  // what is read, for messages and the live view
  uint64_t received = 0;  // bytes off the input
  uint64_t bytes = 0;     // bytes the board has taken (all of them, unless paced)
  uint64_t commands = 0;
  uint64_t characters = 0;
  uint64_t errors = 0;
  uint64_t warnings = 0;
  bool dirty = true;       // the live view is behind the board
  bool window_dirty = true;  // and the window
  bool ended = false;      // the input has ended
  Rate rate;
  bool failed = false;     // an input or output failed: exit status 1
  bool scan_header = false;      // the input may open with a capture header
  std::vector<uint8_t> head;     // what has come while looking for it
  std::vector<uint8_t> queue;    // paced: received, not yet taken by the board
  size_t queue_at = 0;
  double pace_time = 0;          // paced: when the line is free for the next byte
  std::string note;              // the last snapshot, for the live view
  bool drawn = false;            // a command since the last ResetDisplay
};

const char kUsage[] =
    "usage: korvex-board [options]\n"
    "Reads the display driver's byte stream and shows what the board displays.\n"
    "\n"
    "input (one of them; on Linux the default is a new pty, whose path is printed):\n"
    "  --port NAME            a serial port: COM7 (the other end of a null-modem\n"
    "                         pair) or a device such as /dev/ttyUSB0\n"
    "  --input FILE           a capture file ('-': standard input)\n"
    "  --link PATH            Linux: also make PATH a symbolic link to the pty\n"
    "  --idle-exit SECONDS    stop after that long without data (counted from the\n"
    "                         first byte); a file or standard input stops at its end\n"
    "board (a capture made with --capture brings its own):\n"
    "  --controller 6963|108  controller type (6963)\n"
    "  --pitch 6|8            font pitch (6; 8 with --controller 108)\n"
    "  --width N, --height N  display size in pixels, 1 to 255 (240 x 64)\n"
    "  --baud N               take bytes at N/10 a second, as the real line does\n"
    "                         (default: as fast as they come); also the port's speed\n"
    "output:\n"
    "  --log FILE             decoded commands, one line each, and anomalies\n"
    "  --png FILE             picture of the display, on exit (and see --png-every)\n"
    "  --png-every SECONDS    also write --png FILE every SECONDS\n"
    "  --png-before-reset FILE  the display as it was before each ResetDisplay that\n"
    "                         ends a picture: the last one shown before the\n"
    "                         driver's shut-down\n"
    "  --scale N              pixels per display dot in the picture, 1 to 16 (4)\n"
    "  --live                 live view in the console\n"
    "  --window               Windows: the display in a window, which stays after\n"
    "                         the input ends; closing it stops the program\n"
    "  --live-style braille|blocks\n"
    "  --capture FILE         what was received, with the board's settings, for\n"
    "                         replay with --input\n"
    "  --quiet                print nothing but errors (and the pty path when\n"
    "                         there is no --link)\n"
    "keys, in a console or the window: s a numbered snapshot PNG, q stop; in the\n"
    "window also + and - the scale (of the pictures too), t keep on top.\n"
    "Exit status: 0 done, 1 an input or output could not be opened, read or\n"
    "written, 2 bad options.\n";

bool ParseInt(const char* text, int low, int high, int* value) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

bool ParseSeconds(const char* text, double* value) {
  char* end = nullptr;
  *value = strtod(text, &end);
  return end != text && *end == '\0' && *value > 0 && *value < 1e6;
}

// Returns 0 to go on, -1 after --help, otherwise the exit code.
int ParseOptions(int argc, char** argv, Options* options) {
  enum {
    kController = 1000, kPitch, kWidth, kHeight, kInput, kPort, kLink, kLog, kPng, kPngEvery,
    kPngBeforeReset, kScale, kLive, kLiveStyle, kCapture, kQuiet, kIdleExit, kBaud, kWindow,
    kHelp
  };
  static const option kLong[] = {
      {"controller", required_argument, nullptr, kController},
      {"pitch", required_argument, nullptr, kPitch},
      {"width", required_argument, nullptr, kWidth},
      {"height", required_argument, nullptr, kHeight},
      {"input", required_argument, nullptr, kInput},
      {"port", required_argument, nullptr, kPort},
      {"link", required_argument, nullptr, kLink},
      {"log", required_argument, nullptr, kLog},
      {"png", required_argument, nullptr, kPng},
      {"png-every", required_argument, nullptr, kPngEvery},
      {"png-before-reset", required_argument, nullptr, kPngBeforeReset},
      {"scale", required_argument, nullptr, kScale},
      {"live", no_argument, nullptr, kLive},
      {"live-style", required_argument, nullptr, kLiveStyle},
      {"capture", required_argument, nullptr, kCapture},
      {"quiet", no_argument, nullptr, kQuiet},
      {"idle-exit", required_argument, nullptr, kIdleExit},
      {"baud", required_argument, nullptr, kBaud},
      {"window", no_argument, nullptr, kWindow},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    bool ok = true;
    int value = 0;
    switch (c) {
      case kController:
        ok = ParseInt(optarg, 0, 99999, &value) && (value == 6963 || value == 108);
        if (ok) {
          options->config.controller = value == 108 ? Controller::KS108 : Controller::T6963;
          options->controller_given = true;
        }
        break;
      case kPitch:
        ok = ParseInt(optarg, 6, 8, &value) && value != 7;
        if (ok) {
          options->config.pitch = value;
          options->pitch_given = true;
        }
        break;
      case kWidth:
        ok = ParseInt(optarg, 1, 255, &options->config.width);
        options->width_given = true;
        break;
      case kHeight:
        ok = ParseInt(optarg, 1, 255, &options->config.height);
        options->height_given = true;
        break;
      case kInput: options->input = optarg; break;
      case kPort: options->port = optarg; break;
      case kLink: options->link = optarg; break;
      case kLog: options->log = optarg; break;
      case kPng: options->png = optarg; break;
      case kPngBeforeReset: options->png_before_reset = optarg; break;
      case kPngEvery: ok = ParseSeconds(optarg, &options->png_every); break;
      case kScale: ok = ParseInt(optarg, 1, 16, &options->scale); break;
      case kLive: options->live = true; break;
      case kLiveStyle:
        options->live_style_given = true;
        if (strcmp(optarg, "braille") == 0) {
          options->live_style = TerminalStyle::Braille;
        } else if (strcmp(optarg, "blocks") == 0) {
          options->live_style = TerminalStyle::HalfBlocks;
        } else {
          ok = false;
        }
        break;
      case kCapture: options->capture = optarg; break;
      case kQuiet: options->quiet = true; break;
      case kIdleExit: ok = ParseSeconds(optarg, &options->idle_exit); break;
      case kBaud: ok = ParseInt(optarg, 50, 4000000, &options->baud); break;
      case kWindow:
        if (const char* why = WindowUnsupported()) {
          fprintf(stderr, "korvex-board: %s\n", why);
          return 2;
        }
        options->window = true;
        break;
      case kHelp: fputs(kUsage, stdout); return -1;
      default: fputs(kUsage, stderr); return 2;
    }
    if (!ok) {
      fprintf(stderr, "korvex-board: bad value '%s' for --%s\n", optarg,
              kLong[c - kController].name);
      return 2;
    }
  }
  const char* conflict = nullptr;
  if (optind < argc) {
    fprintf(stderr, "korvex-board: unexpected argument '%s'\n", argv[optind]);
    fputs(kUsage, stderr);
    return 2;
  } else if (!options->input.empty() && !options->port.empty()) {
    conflict = "--input and --port exclude each other";
  } else if (!options->link.empty() && (!options->input.empty() || !options->port.empty())) {
    conflict = "--link applies to the pty, not to --input or --port";
  } else if (options->png_every > 0 && options->png.empty()) {
    conflict = "--png-every needs --png FILE";
  }
  if (conflict) {
    fprintf(stderr, "korvex-board: %s\n", conflict);
    return 2;
  }
  // The driver always runs a KS108 with pitch 8.
  if (options->config.controller == Controller::KS108 && !options->pitch_given) {
    options->config.pitch = 8;
  }
  if (!options->live_style_given) options->live_style = DefaultLiveStyle();
  return 0;
}

void Fail(Run& run, const std::string& message) {
  fprintf(stderr, "korvex-board: %s\n", message.c_str());
  run.failed = true;
}

BoardModel Shown(const Run& run) { return ModelAsShown(run.model, run.decoder); }

// Something the views show has changed.
void Changed(Run& run) {
  run.dirty = true;
  run.window_dirty = true;
}

// Written beside the target and renamed, so a reader never sees half a file.
bool WritePicture(Run& run, const std::string& path) {
  const std::string temporary = path + ".tmp";
  std::string error;
  if (WritePng(RenderImage(Shown(run), run.options.scale), temporary, &error) &&
      MoveOver(temporary, path, &error)) {
    return true;
  }
  remove(temporary.c_str());
  Fail(run, "cannot write " + path + ": " + error);
  return false;
}

// A snapshot on a key: a new numbered file beside --png (or in the current
// folder), never one that is already there.
void NumberedSnapshot(Run& run) {
  std::string base = run.options.png.empty() ? "korvex-board" : run.options.png;
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".png") == 0) {
    base.resize(base.size() - 4);
  }
  std::string path;
  for (int n = 1; path.empty() || FileExists(path); ++n) {
    path = base + "-" + std::to_string(n) + ".png";
  }
  if (!WritePicture(run, path)) return;
  run.note = "snapshot " + path;
  if (!run.options.quiet && !run.options.live) printf("korvex-board: %s\n", run.note.c_str());
  fflush(stdout);
  Changed(run);
}

void WriteOut(Run& run, FILE* file, const std::string& name, const void* data, size_t size) {
  if (!file || run.failed) return;
  if (fwrite(data, 1, size, file) != size || fflush(file) != 0) {
    Fail(run, "cannot write " + name + ": " + strerror(errno));
  }
}

void WriteLog(Run& run) {
  WriteOut(run, run.log_file, run.options.log, run.log.out.data(), run.log.out.size());
  run.log.out.clear();
}

void Account(Run& run, const std::vector<Command>& commands,
             const std::vector<Anomaly>& anomalies) {
  for (const Command& command : commands) {
    if (command.kind == CommandKind::ResetDisplay) {
      if (run.drawn && !run.options.png_before_reset.empty())
        WritePicture(run, run.options.png_before_reset);
      run.drawn = false;
    } else {
      run.drawn = true;
    }
    ModelApply(run.model, command);
    ++run.commands;
    if (command.kind == CommandKind::Character) ++run.characters;
  }
  for (const Anomaly& anomaly : anomalies) {
    if (anomaly.severity == Severity::Error) {
      ++run.errors;
    } else {
      ++run.warnings;
    }
    if (!run.options.quiet && !run.options.live) {
      fprintf(stderr, "korvex-board: %s\n", FormatAnomaly(anomaly).c_str());
    }
  }
  if (run.log_file) LogBatch(run.log, commands, anomalies);
  WriteLog(run);
}

// Bytes the board takes in.
void Deliver(Run& run, const uint8_t* data, size_t size) {
  run.bytes += size;
  std::vector<Command> commands;
  std::vector<Anomaly> anomalies;
  DecoderFeed(run.decoder, data, size, commands, anomalies);
  Account(run, commands, anomalies);
  if (run.options.window) RateAdd(run.rate, NowSeconds(), size);
  Changed(run);
}

// The board's settings are known: from the options, and for a capture that
// opens with them, from the capture for whatever the options leave open.
void Settle(Run& run, const DisplayConfig* recorded) {
  Options& o = run.options;
  if (recorded) {
    DisplayConfig& c = o.config;
    auto take = [&](bool given, int wanted, int had, const char* name, int* field) {
      if (!given) {
        *field = had;
      } else if (wanted != had && !o.quiet) {
        fprintf(stderr, "korvex-board: %s was recorded with %s %d; --%s %d applies\n",
                run.source.c_str(), name, had, name, wanted);
      }
    };
    const int recorded_controller = recorded->controller == Controller::KS108 ? 108 : 6963;
    int controller = c.controller == Controller::KS108 ? 108 : 6963;
    take(o.controller_given, controller, recorded_controller, "controller", &controller);
    c.controller = controller == 108 ? Controller::KS108 : Controller::T6963;
    take(o.pitch_given, c.pitch, recorded->pitch, "pitch", &c.pitch);
    take(o.width_given, c.width, recorded->width, "width", &c.width);
    take(o.height_given, c.height, recorded->height, "height", &c.height);
  }
  DecoderInit(run.decoder, o.config);
  ModelInit(run.model, o.config);
  const std::string header = CaptureHeader(o.config);
  WriteOut(run, run.capture, o.capture, header.data(), header.size());
  run.scan_header = false;
}

void Queue(Run& run, const uint8_t* data, size_t size, double now) {
  if (run.options.baud <= 0) {
    Deliver(run, data, size);
    return;
  }
  // A line that was idle starts again from now; one still busy goes on.
  if (run.queue_at == run.queue.size()) {
    run.queue.clear();
    run.queue_at = 0;
    run.pace_time = std::max(run.pace_time, now);
  }
  run.queue.insert(run.queue.end(), data, data + size);
}

size_t Queued(const Run& run) { return run.queue.size() - run.queue_at; }

// Paced: hands the board what the line has carried by now.
void PaceTick(Run& run, double now) {
  if (Queued(run) == 0) return;
  const double rate = run.options.baud / 10.0;
  const double due = (now - run.pace_time) * rate;
  if (due < 1) return;
  const size_t n = std::min(Queued(run), static_cast<size_t>(due));
  Deliver(run, run.queue.data() + run.queue_at, n);
  run.queue_at += n;
  run.pace_time += static_cast<double>(n) / rate;
}

// Bytes off the input: a capture's header first, then the board's bytes.
void Receive(Run& run, const uint8_t* data, size_t size, double now) {
  run.received += size;
  std::vector<uint8_t> bytes;
  if (run.scan_header) {
    run.head.insert(run.head.end(), data, data + size);
    DisplayConfig recorded;
    size_t length = 0;
    std::string error;
    switch (ScanCaptureHeader(run.head.data(), run.head.size(), &recorded, &length, &error)) {
      case HeaderScan::kNeedMore:
        return;
      case HeaderScan::kNone:
        Settle(run, nullptr);
        break;
      case HeaderScan::kFound:
        run.received -= length;
        run.head.erase(run.head.begin(), run.head.begin() + static_cast<ptrdiff_t>(length));
        Settle(run, &recorded);
        break;
      case HeaderScan::kBad:
        Fail(run, "cannot read " + run.source + ": " + error);
        return;
    }
    bytes.swap(run.head);
    data = bytes.data();
    size = bytes.size();
  }
  WriteOut(run, run.capture, run.options.capture, data, size);
  Queue(run, data, size, now);
}

// What is still held while looking for a header, at the end of the input,
// is the stream itself.
void SettleHeld(Run& run) {
  if (!run.scan_header) return;
  std::vector<uint8_t> head;
  head.swap(run.head);
  run.received -= head.size();
  Settle(run, nullptr);
  if (!head.empty()) Receive(run, head.data(), head.size(), NowSeconds());
}

std::string Summary(const Run& run) {
  char text[320];
  snprintf(text, sizeof text,
           "%llu bytes, %llu commands (%llu characters), %llu anomalies (%llu errors, "
           "%llu warnings)",
           static_cast<unsigned long long>(run.bytes),
           static_cast<unsigned long long>(run.commands),
           static_cast<unsigned long long>(run.characters),
           static_cast<unsigned long long>(run.errors + run.warnings),
           static_cast<unsigned long long>(run.errors),
           static_cast<unsigned long long>(run.warnings));
  std::string summary = text;
  if (Queued(run) > 0) {
    snprintf(text, sizeof text, "; %llu more received, not yet through the line at %d baud",
             static_cast<unsigned long long>(Queued(run)), run.options.baud);
    summary += text;
  }
  return summary;
}

void DrawLive(Run& run, bool keys) {
  const int columns = std::max(20, ConsoleColumns() - 1);
  std::vector<std::string> lines;
  lines.push_back("korvex-board " + run.source + ": " + Summary(run));
  for (const std::string& line :
       TerminalFrame(Shown(run), run.options.live_style, columns)) {
    lines.push_back(line);
  }
  if (keys) {
    lines.push_back("keys: s snapshot, q stop" + (run.note.empty() ? "" : "; " + run.note));
  }
  for (std::string& line : lines) line = FitUtf8(line, columns);
  ConsoleDrawFrame(lines);
  run.dirty = false;
}

std::string Count(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The window: the picture the PNG would get, the source and state in the
// title, the rate and counts on the status line.
void ShowWindow(Run& run) {
  const uint64_t anomalies = run.errors + run.warnings;
  WindowFrame frame;
  frame.image = RenderImage(Shown(run), run.options.scale);
  frame.config = run.model.config;
  frame.scale = run.options.scale;
  frame.title = run.source + " - " +
                (run.ended ? "stopped" : run.rate.slices.empty() ? "waiting" : "receiving");
  if (anomalies > 0) frame.title += ", " + Count(anomalies, "anomaly", "anomalies");
  frame.title += " - korvex-board";
  frame.status = std::to_string(RatePerSecond(run.rate)) + " bytes/s, " +
                 Count(run.commands, "command", "commands") + ", " +
                 Count(anomalies, "anomaly", "anomalies");
  if (!run.note.empty()) frame.status += "; " + run.note;
  WindowShow(frame);
  run.window_dirty = false;
}

bool OpenOutput(Run& run, const std::string& path, FILE** file) {
  if (path.empty()) return true;
  *file = fopen(path.c_str(), "wb");
  if (*file) return true;
  Fail(run, "cannot write " + path + ": " + strerror(errno));
  return false;
}

// Reads until the input ends (and, paced, the line has carried it all; with
// the window, until it is closed), a stop request or key, the idle time-out,
// or a failure.
void ReadLoop(Run& run, Input* input, bool keys) {
  const double kLiveInterval = 0.05, kPaceInterval = 0.02, kWindowInterval = 1.0 / 30;
  Options& o = run.options;
  double last_activity = 0, last_draw = -1, last_window = -1;
  double next_png = NowSeconds() + o.png_every;
  bool got_data = false;
  std::vector<uint8_t> buffer(65536);
  while (!StopRequested() && !run.failed) {
    double now = NowSeconds();
    if (run.ended && Queued(run) == 0 && !o.window) break;
    double wait = -1;  // seconds; negative: no limit
    auto sooner = [&](double w) { wait = wait < 0 ? std::max(0.0, w) : std::min(wait, w); };
    if (o.idle_exit > 0 && got_data && Queued(run) == 0) {
      const double left = o.idle_exit - (now - last_activity);
      if (left <= 0) break;
      sooner(left);
    }
    if (Queued(run) > 0) sooner(kPaceInterval);
    if (o.live && run.dirty) sooner(kLiveInterval - (now - last_draw));
    if (o.png_every > 0) sooner(next_png - now);
    if (o.window && run.window_dirty) sooner(kWindowInterval - (now - last_window));
    // The rate changes as its slices grow old.
    if (o.window && !run.rate.slices.empty()) sooner(run.rate.slices.front().first + 1.0 - now);

    if (run.ended && !o.window) {
      Pause(wait);
    } else {
      size_t size = 0;
      int key = 0;
      std::string error;
      switch (WaitInput(input, buffer.data(), buffer.size(), &size, &key, wait, &error)) {
        case WaitResult::kData:
          Receive(run, buffer.data(), size, NowSeconds());
          got_data = true;
          last_activity = NowSeconds();
          break;
        case WaitResult::kKey:
          if (key == 's' || key == 'S' || key == ' ') NumberedSnapshot(run);
          if (key == 'q' || key == 'Q' || key == 27) return;
          break;
        case WaitResult::kEnd:
          run.ended = true;
          SettleHeld(run);
          Changed(run);
          break;
        case WaitResult::kError:
          Fail(run, error);
          return;
        case WaitResult::kTimeout:
          break;
      }
    }
    now = NowSeconds();
    const size_t before = Queued(run);
    PaceTick(run, now);
    if (Queued(run) != before) last_activity = now;
    if (TakeSnapshotRequest() && !o.png.empty()) WritePicture(run, o.png);
    if (o.png_every > 0 && now >= next_png) {
      WritePicture(run, o.png);
      next_png = std::max(next_png + o.png_every, now);
    }
    if (o.live && run.dirty && now - last_draw >= kLiveInterval) {
      DrawLive(run, keys);
      last_draw = now;
    }
    if (o.window) {
      if (const int scale = WindowTakeScaleRequest()) {
        o.scale = scale;
        run.window_dirty = true;
      }
      if (RateExpire(run.rate, now)) run.window_dirty = true;
      if (run.window_dirty && now - last_window >= kWindowInterval) {
        ShowWindow(run);
        last_window = now;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Run run;
  const int parsed = ParseOptions(argc, argv, &run.options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  const Options& o = run.options;
  InstallRequestHandlers();
  // First, so that without a desktop nothing is opened or written.
  std::string error;
  if (o.window && !WindowOpen(&error)) {
    Fail(run, error);
    return 1;
  }

  if (!OpenOutput(run, o.log, &run.log_file) || !OpenOutput(run, o.capture, &run.capture)) {
    if (run.log_file) fclose(run.log_file);
    return 1;
  }
  InputRequest request;
  request.file = o.input;
  request.port = o.port;
  request.link = o.link;
  request.baud = o.baud;
  // With the window, the keys are the window's.
  request.keys = !o.window;
  request.quiet = o.quiet;
  Input* input = OpenInput(request, &run.source, &error);
  if (!input) {
    Fail(run, error);
    if (run.log_file) fclose(run.log_file);
    if (run.capture) fclose(run.capture);
    WindowClose();
    return 1;
  }
  // A file or standard input may be a capture that names its board; a line
  // is the board's bytes from the first.
  if (InputEnds(input)) {
    run.scan_header = true;
    DecoderInit(run.decoder, o.config);
    ModelInit(run.model, o.config);
  } else {
    Settle(run, nullptr);
  }
  if (!o.port.empty() && !o.quiet) {
    printf("korvex-board: reading %s\n", run.source.c_str());
    fflush(stdout);
  }
  const bool keys = KeysActive(input);
  if (o.window) ShowWindow(run);
  if (o.live) {
    ConsoleBeginLive();
  } else if (keys && !o.quiet) {
    printf("korvex-board: keys: s snapshot, q stop\n");
    fflush(stdout);
  }

  ReadLoop(run, input, keys);

  // Stopped before the input's end: what is held goes to the board at once.
  if (run.scan_header) {
    SettleHeld(run);
    if (o.baud > 0) run.pace_time = -1e9;  // the stream has ended: no more pacing
    PaceTick(run, NowSeconds());
  }
  std::vector<Anomaly> anomalies;
  DecoderFinish(run.decoder, anomalies);
  Account(run, {}, anomalies);
  LogFlush(run.log);
  WriteLog(run);
  if (!o.png.empty()) WritePicture(run, o.png);
  WindowClose();
  if (o.live) {
    DrawLive(run, false);
    ConsoleEndLive();
  }
  if (!o.quiet) printf("korvex-board: %s\n", Summary(run).c_str());
  fflush(stdout);
  CloseInput(input);
  if (run.log_file && fclose(run.log_file) != 0) {
    Fail(run, "cannot write " + o.log + ": " + strerror(errno));
  }
  if (run.capture && fclose(run.capture) != 0) {
    Fail(run, "cannot write " + o.capture + ": " + strerror(errno));
  }
  return run.failed ? 1 : 0;
}
