// korvex-host: drives a Korvex.dll the way the host application does, for
// trying a board (or the board emulator) without the host.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tools/host/demos.h"
#include "tools/host/host_api.h"
#include "tools/host/script.h"
#include "tools/host/session.h"

namespace {

using host::Options;
using host::Session;

enum ExitCode {
  kOk = 0,
  kUsage = 1,
  kNoLibrary = 2,
  kBadExports = 3,
  kScriptError = 4,
  kNotReady = 5,
  kNoPort = 6,
  kHeldPort = 7,
  kNoPorts = 8,
};

void Usage(FILE* out) {
  fprintf(out,
          "usage: korvex-host [options]\n"
          "       korvex-host --list-ports [--probe]\n"
          "Loads Korvex.dll and calls its exports as the host application does.\n"
          "The options are described in korvex-host.txt beside this program.\n"
          "\n"
          "  --list-ports        list the serial ports there are now, with the names\n"
          "                      Windows gives their devices; opens none of them\n"
          "  --probe             with --list-ports: open each port for a moment to tell\n"
          "                      whether it is free (a board may reset when opened)\n"
          "  --dll PATH          the library (default: Korvex.dll beside this program)\n"
          "  --port NAME         serial port handed to LCD_SetIOPropertys (COM1)\n"
          "  --width N           picture width in pixels, 1-255 (240; ks108 demo 128)\n"
          "  --height N          picture height in pixels, 1-255 (64)\n"
          "  --light N           backlight 0-255 (200)\n"
          "  --contrast N        contrast 0-255 (160)\n"
          "  --ports N           the four output ports, port 0 in the low byte (0)\n"
          "  --demo NAME         %s (all)\n"
          "  --script FILE       run a script instead of a demo\n"
          "  --frames N          animation steps of the demo (each demo has its own)\n"
          "  --fps N             animation steps per second, 0 = as fast as possible (0)\n"
          "  --time HH:MM:SS     the clock demo's first time (default: now)\n"
          "  --config-dialog     call LCD_ConfigDialog after LCD_Init\n"
          "  --io-before-init    hand light, contrast and ports to LCD_SetIOPropertys\n"
          "                      before LCD_Init only (the driver then drops them)\n"
          "  --hold MS           show the last picture for MS ms before LCD_CleanUp\n"
          "  --no-cleanup        leave the last picture on the display: no LCD_CleanUp\n"
          "  --ready-timeout MS  longest wait for LCD_IsReadyToReceive (2000)\n"
          "  --report-calls      add each export's call count, longest and total time\n"
          "                      to the report\n"
          "  --quiet             print only errors, the script's output and the report\n"
          "  --help\n"
          "\n"
          "Exit status: 0 done, 1 usage, 2 library not loaded, 3 export or ordinal\n"
          "fault, 4 script error, 5 the driver stayed busy, 6 the port does not exist,\n"
          "7 another program holds the port, 8 --list-ports found no serial port.\n",
          host::DemoNames());
}

bool ParseUnsigned(const char* text, unsigned long max, unsigned long& value) {
  char* end = nullptr;
  int base = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 16 : 10;
  unsigned long long v = strtoull(text, &end, base);
  if (!*text || *end || text[0] == '-' || v > max) return false;
  value = static_cast<unsigned long>(v);
  return true;
}

// Returns kOk, or kUsage after printing why.
int ParseOptions(int argc, char** argv, Options& o, bool& help) {
  help = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    bool has_value = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    auto need = [&](std::string& out) {
      if (has_value) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) {
        fprintf(stderr, "korvex-host: %s needs a value\n", arg.c_str());
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto number = [&](unsigned long min, unsigned long max, unsigned long& out) {
      std::string text;
      if (!need(text)) return false;
      if (!ParseUnsigned(text.c_str(), max, out) || out < min) {
        fprintf(stderr, "korvex-host: %s takes a number from %lu to %lu, not '%s'\n",
                arg.c_str(), min, max, text.c_str());
        return false;
      }
      return true;
    };
    unsigned long n = 0;
    if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--dll") {
      if (!need(o.dll)) return kUsage;
    } else if (arg == "--port") {
      if (!need(o.port)) return kUsage;
    } else if (arg == "--width") {
      if (!number(1, 255, n)) return kUsage;
      o.width = static_cast<int>(n);
      o.size_given = true;
    } else if (arg == "--height") {
      if (!number(1, 255, n)) return kUsage;
      o.height = static_cast<int>(n);
      o.size_given = true;
    } else if (arg == "--light") {
      if (!number(0, 255, n)) return kUsage;
      o.light = static_cast<uint32_t>(n);
    } else if (arg == "--contrast") {
      if (!number(0, 255, n)) return kUsage;
      o.contrast = static_cast<uint32_t>(n);
    } else if (arg == "--ports") {
      if (!number(0, 0xFFFFFFFFul, n)) return kUsage;
      o.ports = static_cast<uint32_t>(n);
      o.ports_given = true;
    } else if (arg == "--frames") {
      if (!number(1, 1000000, n)) return kUsage;
      o.frames = static_cast<int>(n);
    } else if (arg == "--fps") {
      std::string text;
      if (!need(text)) return kUsage;
      char* end = nullptr;
      o.fps = strtod(text.c_str(), &end);
      if (text.empty() || *end || o.fps < 0 || o.fps > 10000) {
        fprintf(stderr, "korvex-host: --fps takes a number from 0 to 10000\n");
        return kUsage;
      }
    } else if (arg == "--demo") {
      if (!need(o.demo)) return kUsage;
      if (!host::IsDemo(o.demo)) {
        fprintf(stderr, "korvex-host: unknown demo '%s' (%s)\n", o.demo.c_str(),
                host::DemoNames());
        return kUsage;
      }
    } else if (arg == "--script") {
      if (!need(o.script)) return kUsage;
    } else if (arg == "--time") {
      if (!need(o.start_time)) return kUsage;
      int h, m, s;
      if (sscanf(o.start_time.c_str(), "%d:%d:%d", &h, &m, &s) != 3 || h < 0 || h > 23 ||
          m < 0 || m > 59 || s < 0 || s > 59) {
        fprintf(stderr, "korvex-host: --time takes HH:MM:SS\n");
        return kUsage;
      }
    } else if (arg == "--hold") {
      if (!number(0, 3600000, n)) return kUsage;
      o.hold_ms = static_cast<unsigned>(n);
    } else if (arg == "--ready-timeout") {
      if (!number(1, 600000, n)) return kUsage;
      o.ready_timeout_ms = static_cast<unsigned>(n);
    } else if (arg == "--list-ports" && !has_value) {
      o.list_ports = true;
    } else if (arg == "--probe" && !has_value) {
      o.probe = true;
    } else if (arg == "--quiet" && !has_value) {
      o.quiet = true;
    } else if (arg == "--config-dialog" && !has_value) {
      o.config_dialog = true;
    } else if (arg == "--no-cleanup" && !has_value) {
      o.no_cleanup = true;
    } else if (arg == "--io-before-init" && !has_value) {
      o.io_before_init = true;
    } else if (arg == "--report-calls" && !has_value) {
      o.report_calls = true;
    } else {
      fprintf(stderr, "korvex-host: unknown option '%s' (see --help)\n", argv[i]);
      return kUsage;
    }
  }
  if (o.probe && !o.list_ports) {
    fprintf(stderr, "korvex-host: --probe goes with --list-ports\n");
    return kUsage;
  }
  if (!o.demo.empty() && !o.script.empty()) {
    fprintf(stderr, "korvex-host: --demo and --script exclude each other\n");
    return kUsage;
  }
  if (o.demo.empty() && o.script.empty()) o.demo = "all";
  if (o.demo == "ks108" && !o.size_given) o.width = 128;
  return kOk;
}

// --list-ports: one line a port, its name first, as the host takes it.
int ListPorts(bool probe) {
  const std::vector<host::SerialPort> ports = host::ListSerialPorts();
  if (ports.empty()) {
    fprintf(stderr,
            "korvex-host: Windows lists no serial port: plug the board in, wait until Windows "
            "has set it up (a few seconds the first time), and list again\n");
    return kNoPorts;
  }
  for (const host::SerialPort& port : ports) {
    std::string line = port.name + "  " + (port.friendly.empty() ? port.device : port.friendly);
    if (probe) {
      const host::PortState state = host::ProbePort(port.name);
      line += state == host::PortState::kFree   ? ": free"
              : state == host::PortState::kHeld ? ": held by another program"
                                                : ": does not open";
    }
    printf("%s\n", line.c_str());
  }
  return kOk;
}

// The host's start: the port name and picture size before LCD_Init; light,
// contrast and ports once the port is open. Commands for those while the
// port is closed are dropped but remembered by the driver, so handing them
// over before LCD_Init would never let them reach the display.
void StartDriver(Session& s) {
  const Options& o = s.options;
  if (o.io_before_init) {
    host::CallSetIO(s, o.port, o.width, o.height, 1, o.light, o.contrast, o.ports);
    host::CallInit(s);
    return;
  }
  host::CallSetIO(s, o.port, o.width, o.height, 1, 0, 0, 0);
  host::CallInit(s);
  host::CallSetIO(s, o.port, o.width, o.height, 1, o.light, o.contrast, o.ports);
}

// LCD_CleanUp resets the display, so a run that is to leave its last picture
// visible, for a while (--hold) or for good (--no-cleanup), first gets every
// byte out of the driver's buffers.
void FinishDriver(Session& s) {
  if (!s.initialised) return;
  if (s.options.no_cleanup || s.options.hold_ms > 0) host::DrainDriver(s);
  if (s.options.hold_ms > 0) host::SleepMs(s.options.hold_ms);
  if (!s.options.no_cleanup) host::CallCleanUp(s);
}

void Report(const Session& s, double elapsed) {
  const host::Counters& c = s.counters;
  const host::WireModel& w = s.wire;
  auto per_second = [&](uint64_t count) { return elapsed > 0 ? count / elapsed : 0.0; };
  // What the bytes take on the wire: 10 bits a byte (start, 8 data, stop).
  const int baud = w.settings.baud_rate;
  const double wire_seconds = baud > 0 ? w.bytes_written * 10.0 / baud : 0;
  printf("frames: %llu (LCD_SendToGfxMemory calls)\n",
         static_cast<unsigned long long>(c.graphics_calls));
  printf("steps: %llu animation steps, %.1f per second", static_cast<unsigned long long>(c.steps),
         per_second(c.steps));
  if (c.steps > 0 && wire_seconds > 0) {
    printf("; the line carries %.1f per second at %d baud", c.steps / wire_seconds, baud);
  }
  printf("\n");
  printf("calls: %llu export calls, %.1f per second (%llu text), and %llu ready polls\n",
         static_cast<unsigned long long>(c.calls), per_second(c.calls),
         static_cast<unsigned long long>(c.text_calls),
         static_cast<unsigned long long>(c.ready_polls));
  printf("elapsed: %.3f s\n", elapsed);
  printf("picture: %dx%d, %d bytes per frame\n", s.picture.width, s.picture.height,
         s.picture.width * s.picture.height);
  if (s.picture.width > 0 && s.picture.height > 0) {
    uint32_t full = host::GraphicsCommandLength(w, 0, 0, static_cast<uint32_t>(s.picture.width - 1),
                                                static_cast<uint32_t>(s.picture.height - 1));
    printf("full frame on the wire: %u bytes (%s, pitch %d)\n", full,
           w.settings.controller == 108 ? "KS108" : "T6963", w.settings.font_pitch);
  }
  if (c.graphics_calls > 0) {
    printf("graphics on the wire: %llu bytes, %.0f per frame (GfxChangesOnly=%d)\n",
           static_cast<unsigned long long>(w.gfx_bytes),
           static_cast<double>(w.gfx_bytes) / static_cast<double>(c.graphics_calls),
           w.settings.gfx_changes_only);
  }
  // Transfers are the buffers' hand-overs; port writes, the pieces the
  // driver cuts them into, are what a port monitor counts.
  printf("expected on the wire: %llu bytes in %llu transfers (%llu port writes of up to %u bytes)",
         static_cast<unsigned long long>(w.bytes_written),
         static_cast<unsigned long long>(w.transfers),
         static_cast<unsigned long long>(w.port_writes), host::PortPiece(baud));
  if (baud > 0) printf(", %.1f s at %d baud", wire_seconds, baud);
  printf(", %u left in the driver's buffers\n", host::BufferedBytes(w));
  if (c.ready_timeouts) {
    printf("ready time-outs: %llu\n", static_cast<unsigned long long>(c.ready_timeouts));
  }
  if (s.options.report_calls) {
    // A call that blocks (a port that stopped taking bytes) shows up here
    // even when the run as a whole looks fine.
    int slowest = -1;
    for (int i = 0; i < host::kExportCount; ++i) {
      const host::CallTimes& t = c.times[i];
      if (t.calls == 0) continue;
      printf("call %s: calls %llu, longest %.3f ms, total %.3f ms\n",
             host::ExportName(static_cast<host::Export>(i)),
             static_cast<unsigned long long>(t.calls), t.longest * 1000.0, t.total * 1000.0);
      if (slowest < 0 || t.longest > c.times[slowest].longest) slowest = i;
    }
    if (slowest >= 0) {
      printf("longest call: %.3f ms (%s)\n", c.times[slowest].longest * 1000.0,
             host::ExportName(static_cast<host::Export>(slowest)));
    }
  }
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 4096);
  Session s;
  bool help = false;
  int rc = ParseOptions(argc, argv, s.options, help);
  if (help) {
    Usage(stdout);
    return kOk;
  }
  if (rc != kOk) return rc;
  Options& o = s.options;
  if (o.list_ports) return ListPorts(o.probe);

  // The whole script is checked before the driver is even loaded.
  host::Script script;
  std::string error;
  if (!o.script.empty() && !host::LoadScript(o.script, o.width, o.height, script, error)) {
    fprintf(stderr, "korvex-host: %s\n", error.c_str());
    return kScriptError;
  }

  if (o.dll.empty()) o.dll = host::DefaultDriverPath();
  bool missing = false;
  if (!host::LoadDriver(o.dll, s.api, error, missing)) {
    fprintf(stderr, "korvex-host: %s\n", error.c_str());
    return missing ? kNoLibrary : kBadExports;
  }
  host::Say(s, "korvex-host: %s: 13 exports, names and ordinals agree\n", o.dll.c_str());

  host::DriverInfo info = host::CallGetInfo(s);
  size_t length = strnlen(info.text, sizeof info.text);
  if (length == 0 || length == sizeof info.text) {
    fprintf(stderr, "korvex-host: DLL_GetInfo gave no zero-terminated identification text\n");
    return kBadExports;
  }
  host::Say(s, "driver: %s\n", info.text);
  host::Say(s, "info bytes 256-263: %u %u %u %u %u %u %u %u\n", info.trailer[0], info.trailer[1],
            info.trailer[2], info.trailer[3], info.trailer[4], info.trailer[5], info.trailer[6],
            info.trailer[7]);

  host::UsePictureSize(s, o.width, o.height);
  double started = host::NowSeconds();
  bool bracket = o.script.empty() || !script.has_init;
  if (bracket) {
    StartDriver(s);
    host::Say(s, "started: port %s, picture %dx%d, pitch %d, controller %d (%s)\n",
              o.port.c_str(), o.width, o.height, s.pitch, s.controller,
              host::DriverSettingsPath().c_str());
    if (o.ports_given && s.wire.settings.use_out_ports != 1) {
      fprintf(stderr,
              "korvex-host: --ports is not sent: %s has LCD_UseOutPorts=%d; set it to 1 for the "
              "driver to send the output ports\n",
              host::DriverSettingsPath().c_str(), s.wire.settings.use_out_ports);
    }
  }
  if (o.config_dialog) {
    const int32_t result = host::CallConfigDialog(s);
    host::Say(s, "LCD_ConfigDialog: %d (%s)\n", result, host::DialogResultMeaning(result));
  }

  if (!o.script.empty()) {
    host::RunScript(s, script);
  } else {
    host::RunDemo(s, o.demo);
  }
  if (bracket) FinishDriver(s);
  double elapsed = host::NowSeconds() - started;

  Report(s, elapsed);
  if (s.counters.ready_timeouts > 0) return kNotReady;
  if (s.counters.missing_port_inits > 0) return kNoPort;
  if (s.counters.held_port_inits > 0) return kHeldPort;
  return kOk;
}
