// korvex-board: the display board, emulated. Reads the driver's byte stream
// from a pty it creates (the serial port the driver writes to), a capture file
// or standard input, decodes it as the firmware does, keeps the display's
// state and shows it as PNG pictures, a live terminal view and a command log.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/board/decoder.h"
#include "tools/board/log.h"
#include "tools/board/model.h"
#include "tools/board/render.h"

namespace {

using namespace board;

struct Options {
  DisplayConfig config;
  std::string input;  // empty: a pty
  std::string link;
  std::string log;
  std::string png;
  std::string capture;
  int scale = 4;
  bool live = false;
  TerminalStyle live_style = TerminalStyle::Braille;
  bool quiet = false;
  double idle_exit = 0;  // seconds; 0 = never
};

struct Run {
  Options options;
  Decoder decoder;
  BoardModel model;
  LogWriter log;
  FILE* log_file = nullptr;
  FILE* capture = nullptr;
  std::string source;  // what is read, for the live view
  uint64_t bytes = 0;
  uint64_t commands = 0;
  uint64_t characters = 0;
  uint64_t errors = 0;
  uint64_t warnings = 0;
  bool dirty = true;  // the live view is behind the model
};

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_snapshot = 0;

void OnStop(int) { g_stop = 1; }
void OnSnapshot(int) { g_snapshot = 1; }

const char kUsage[] =
    "usage: korvex-board [options]\n"
    "Reads the display driver's byte stream and shows what the board displays.\n"
    "\n"
    "input (default: a new pty, whose path is printed):\n"
    "  --link PATH            also make PATH a symbolic link to the pty\n"
    "  --input FILE           read a capture file instead ('-': standard input)\n"
    "  --idle-exit SECONDS    stop after that long without data (counted from the\n"
    "                         first byte); a file or standard input stops at its end\n"
    "board:\n"
    "  --controller 6963|108  controller type (6963)\n"
    "  --pitch 6|8            font pitch (6)\n"
    "  --width N, --height N  display size in pixels, 1 to 255 (240 x 64)\n"
    "output:\n"
    "  --log FILE             decoded commands, one line each, and anomalies\n"
    "  --png FILE             picture of the display, on exit and on SIGUSR1\n"
    "  --scale N              pixels per display dot in the picture, 1 to 16 (4)\n"
    "  --live                 live view in the terminal\n"
    "  --live-style braille|blocks\n"
    "  --capture FILE         the raw bytes received, for replay with --input\n"
    "  --quiet                print nothing but errors (and the pty path when\n"
    "                         there is no --link)\n";

bool ParseInt(const char* text, int low, int high, int* value) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

// Returns 0 to go on, otherwise the exit code.
int ParseOptions(int argc, char** argv, Options* options) {
  enum {
    kController = 1000, kPitch, kWidth, kHeight, kInput, kLink, kLog, kPng, kScale,
    kLive, kLiveStyle, kCapture, kQuiet, kIdleExit, kHelp
  };
  static const option kLong[] = {
      {"controller", required_argument, nullptr, kController},
      {"pitch", required_argument, nullptr, kPitch},
      {"width", required_argument, nullptr, kWidth},
      {"height", required_argument, nullptr, kHeight},
      {"input", required_argument, nullptr, kInput},
      {"link", required_argument, nullptr, kLink},
      {"log", required_argument, nullptr, kLog},
      {"png", required_argument, nullptr, kPng},
      {"scale", required_argument, nullptr, kScale},
      {"live", no_argument, nullptr, kLive},
      {"live-style", required_argument, nullptr, kLiveStyle},
      {"capture", required_argument, nullptr, kCapture},
      {"quiet", no_argument, nullptr, kQuiet},
      {"idle-exit", required_argument, nullptr, kIdleExit},
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
        }
        break;
      case kPitch:
        ok = ParseInt(optarg, 6, 8, &value) && value != 7;
        if (ok) options->config.pitch = value;
        break;
      case kWidth: ok = ParseInt(optarg, 1, 255, &options->config.width); break;
      case kHeight: ok = ParseInt(optarg, 1, 255, &options->config.height); break;
      case kInput: options->input = optarg; break;
      case kLink: options->link = optarg; break;
      case kLog: options->log = optarg; break;
      case kPng: options->png = optarg; break;
      case kScale: ok = ParseInt(optarg, 1, 16, &options->scale); break;
      case kLive: options->live = true; break;
      case kLiveStyle:
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
      case kIdleExit: {
        char* end = nullptr;
        options->idle_exit = strtod(optarg, &end);
        ok = end != optarg && *end == '\0' && options->idle_exit > 0;
        break;
      }
      case kHelp: fputs(kUsage, stdout); return -1;
      default: fputs(kUsage, stderr); return 2;
    }
    if (!ok) {
      fprintf(stderr, "korvex-board: bad value '%s' for --%s\n", optarg,
              kLong[c - kController].name);
      return 2;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "korvex-board: unexpected argument '%s'\n", argv[optind]);
    fputs(kUsage, stderr);
    return 2;
  }
  if (!options->input.empty() && !options->link.empty()) {
    fputs("korvex-board: --link applies to the pty, not to --input\n", stderr);
    return 2;
  }
  return 0;
}

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Written beside the target and renamed, so a reader never sees half a file.
void WriteSnapshot(const Run& run) {
  if (run.options.png.empty()) return;
  const std::string temporary = run.options.png + ".tmp";
  std::string error;
  if (!WritePng(RenderImage(run.model, run.options.scale), temporary, &error) ||
      rename(temporary.c_str(), run.options.png.c_str()) != 0) {
    if (error.empty()) error = strerror(errno);
    fprintf(stderr, "korvex-board: cannot write %s: %s\n", run.options.png.c_str(),
            error.c_str());
    unlink(temporary.c_str());
  }
}

void WriteLog(Run& run) {
  if (run.log_file && !run.log.out.empty()) {
    fwrite(run.log.out.data(), 1, run.log.out.size(), run.log_file);
    fflush(run.log_file);
  }
  run.log.out.clear();
}

void Account(Run& run, const std::vector<Command>& commands,
             const std::vector<Anomaly>& anomalies) {
  for (const Command& command : commands) {
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
  if (!commands.empty()) run.dirty = true;
}

void Consume(Run& run, const uint8_t* data, size_t size) {
  if (run.capture) {
    fwrite(data, 1, size, run.capture);
    fflush(run.capture);
  }
  run.bytes += size;
  std::vector<Command> commands;
  std::vector<Anomaly> anomalies;
  DecoderFeed(run.decoder, data, size, commands, anomalies);
  Account(run, commands, anomalies);
}

std::string Summary(const Run& run) {
  char text[256];
  snprintf(text, sizeof text,
           "%llu bytes, %llu commands (%llu characters), %llu anomalies (%llu errors, "
           "%llu warnings)",
           static_cast<unsigned long long>(run.bytes),
           static_cast<unsigned long long>(run.commands),
           static_cast<unsigned long long>(run.characters),
           static_cast<unsigned long long>(run.errors + run.warnings),
           static_cast<unsigned long long>(run.errors),
           static_cast<unsigned long long>(run.warnings));
  return text;
}

void DrawLive(Run& run) {
  std::string frame = "\x1b[H";
  frame += "korvex-board " + run.source + ": " + Summary(run) + "\x1b[K\n";
  for (const std::string& line : TerminalFrame(run.model, run.options.live_style)) {
    frame += line + "\x1b[K\n";
  }
  frame += "\x1b[J";
  fwrite(frame.data(), 1, frame.size(), stdout);
  fflush(stdout);
  run.dirty = false;
}

// Opens a pty for the driver's side, raw so that every byte passes unchanged.
// The slave stays open here too, so the pty lives on while writers come and go.
bool OpenPty(Run& run, int* master, int* slave) {
  char name[256];
  if (openpty(master, slave, name, nullptr, nullptr) != 0) {
    fprintf(stderr, "korvex-board: cannot create a pty: %s\n", strerror(errno));
    return false;
  }
  termios raw;
  if (tcgetattr(*slave, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(*slave, TCSANOW, &raw);
  }
  fcntl(*master, F_SETFD, FD_CLOEXEC);
  fcntl(*slave, F_SETFD, FD_CLOEXEC);
  run.source = name;
  const std::string& link = run.options.link;
  if (!link.empty()) {
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        fprintf(stderr, "korvex-board: %s exists and is not a symbolic link\n", link.c_str());
        return false;
      }
      unlink(link.c_str());
    }
    if (symlink(name, link.c_str()) != 0) {
      fprintf(stderr, "korvex-board: cannot link %s: %s\n", link.c_str(), strerror(errno));
      return false;
    }
    if (!run.options.quiet) printf("korvex-board: pty %s linked at %s\n", name, link.c_str());
  } else {
    printf("korvex-board: pty %s\n", name);
  }
  fflush(stdout);
  return true;
}

// Removes the link only while it still points at this run's pty.
void RemoveLink(const Run& run) {
  if (run.options.link.empty() || !run.options.input.empty()) return;
  char target[256];
  const ssize_t n = readlink(run.options.link.c_str(), target, sizeof target - 1);
  if (n < 0) return;
  target[n] = '\0';
  if (run.source == target) unlink(run.options.link.c_str());
}

bool OpenOutputs(Run& run) {
  if (!run.options.log.empty()) {
    run.log_file = fopen(run.options.log.c_str(), "w");
    if (!run.log_file) {
      fprintf(stderr, "korvex-board: cannot write %s: %s\n", run.options.log.c_str(),
              strerror(errno));
      return false;
    }
  }
  if (!run.options.capture.empty()) {
    run.capture = fopen(run.options.capture.c_str(), "wb");
    if (!run.capture) {
      fprintf(stderr, "korvex-board: cannot write %s: %s\n", run.options.capture.c_str(),
              strerror(errno));
      return false;
    }
  }
  return true;
}

// Reads until the input ends, a stop signal, or the idle time-out.
void ReadLoop(Run& run, int fd, const sigset_t& wait_mask) {
  const double kLiveInterval = 0.05;
  double last_data = 0, last_draw = 0;
  bool got_data = false;
  std::vector<uint8_t> buffer(65536);
  while (!g_stop) {
    const double now = Now();
    double wait = -1;  // seconds; negative: no limit
    if (run.options.idle_exit > 0 && got_data) {
      wait = run.options.idle_exit - (now - last_data);
      if (wait <= 0) break;
    }
    if (run.options.live && run.dirty) {
      const double draw_in = std::max(0.0, kLiveInterval - (now - last_draw));
      if (wait < 0 || draw_in < wait) wait = draw_in;
    }
    timespec timeout;
    if (wait >= 0) {
      timeout.tv_sec = static_cast<time_t>(wait);
      timeout.tv_nsec = static_cast<long>((wait - timeout.tv_sec) * 1e9);
    }
    pollfd pfd = {fd, POLLIN, 0};
    const int ready = ppoll(&pfd, 1, wait >= 0 ? &timeout : nullptr, &wait_mask);
    if (ready < 0 && errno != EINTR) {
      fprintf(stderr, "korvex-board: poll: %s\n", strerror(errno));
      break;
    }
    if (ready > 0) {
      const ssize_t n = read(fd, buffer.data(), buffer.size());
      if (n > 0) {
        Consume(run, buffer.data(), static_cast<size_t>(n));
        got_data = true;
        last_data = Now();
      } else if (n == 0) {
        break;  // end of file or pipe
      } else if (errno != EINTR && errno != EAGAIN) {
        fprintf(stderr, "korvex-board: read: %s\n", strerror(errno));
        break;
      }
    }
    if (g_snapshot) {
      g_snapshot = 0;
      WriteSnapshot(run);
    }
    if (run.options.live && run.dirty && Now() - last_draw >= kLiveInterval) {
      DrawLive(run);
      last_draw = Now();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Run run;
  const int parsed = ParseOptions(argc, argv, &run.options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  DecoderInit(run.decoder, run.options.config);
  ModelInit(run.model, run.options.config);

  // Signals are blocked except while waiting for input, so none is lost
  // between checking the flags and going to sleep.
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = OnStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = OnSnapshot;
  sigaction(SIGUSR1, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, wait_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  sigaddset(&blocked, SIGUSR1);
  sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  sigdelset(&wait_mask, SIGHUP);
  sigdelset(&wait_mask, SIGUSR1);

  if (!OpenOutputs(run)) return 1;
  int fd = -1, slave = -1;
  if (run.options.input.empty()) {
    if (!OpenPty(run, &fd, &slave)) return 1;
  } else if (run.options.input == "-") {
    fd = STDIN_FILENO;
    run.source = "standard input";
  } else {
    fd = open(run.options.input.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      fprintf(stderr, "korvex-board: cannot read %s: %s\n", run.options.input.c_str(),
              strerror(errno));
      return 1;
    }
    run.source = run.options.input;
  }
  if (run.options.live) fputs("\x1b[?25l\x1b[2J", stdout);

  ReadLoop(run, fd, wait_mask);

  std::vector<Anomaly> anomalies;
  DecoderFinish(run.decoder, anomalies);
  Account(run, {}, anomalies);
  LogFlush(run.log);
  WriteLog(run);
  WriteSnapshot(run);
  if (run.options.live) {
    DrawLive(run);
    fputs("\x1b[?25h", stdout);
  }
  if (!run.options.quiet) printf("korvex-board: %s\n", Summary(run).c_str());
  fflush(stdout);
  RemoveLink(run);
  if (run.log_file) fclose(run.log_file);
  if (run.capture) fclose(run.capture);
  if (slave >= 0) close(slave);
  if (fd > STDIN_FILENO) close(fd);
  return 0;
}
