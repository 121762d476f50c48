#include "tools/settings/try_board.h"

#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "tools/common/iat_patch.h"
#include "tools/host/demos.h"
#include "tools/host/session.h"

namespace settings_tool {

namespace {

// The driver's message boxes during a try, as text. One try runs at a time.
std::vector<std::string> g_boxes;

int WINAPI CaptureMessageBoxA(HWND, LPCSTR text, LPCSTR, UINT) {
  g_boxes.push_back(text ? text : "");
  return IDOK;
}

// The link's own lines of the trace: the opening of the port and what
// became of a board that stopped reading or went away.
std::vector<std::string> LinkTraceLines(const std::string& log_path) {
  std::vector<std::string> lines;
  std::ifstream in(log_path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find("porth=") != std::string::npos || line.compare(0, 5, "Port ") == 0) {
      lines.push_back(line);
    }
  }
  return lines;
}

// Sets the current folder for as long as it lives.
class CurrentFolder {
 public:
  explicit CurrentFolder(const std::string& dir) {
    char before[MAX_PATH * 2];
    DWORD n = GetCurrentDirectoryA(sizeof before, before);
    if (n > 0 && n < sizeof before) before_.assign(before, n);
    ok_ = SetCurrentDirectoryA(dir.c_str()) != 0;
  }
  ~CurrentFolder() {
    if (!before_.empty()) SetCurrentDirectoryA(before_.c_str());
  }
  bool ok() const { return ok_; }

 private:
  std::string before_;
  bool ok_ = false;
};

}  // namespace

std::string TryBoard(const TryRequest& r) {
  CurrentFolder folder(r.work_dir);
  if (!folder.ok()) return "Could not use the folder " + r.work_dir + " for the try.\r\n";

  host::Session s;
  s.options.port = r.port;
  s.options.width = r.width;
  s.options.height = r.height;
  s.options.quiet = true;
  s.options.frames = 6;  // a few steps of each demo: seconds, not minutes, at 19200 baud
  std::string error;
  bool missing = false;
  if (!host::LoadDriver(r.dll, s.api, error, missing)) {
    return (missing ? "There is no usable Korvex.dll in the host's folder: " : "") + error +
           ".\r\nInstall the driver into the host's folder first.\r\n";
  }
  g_boxes.clear();
  PatchImport(s.api.module, "user32.dll", "MessageBoxA",
              reinterpret_cast<void*>(&CaptureMessageBoxA));

  std::string out = "Korvex.dll: " + r.dll + "\r\n";
  host::UsePictureSize(s, r.width, r.height);
  // As a host starts: the port and size before LCD_Init, the lights after.
  host::CallSetIO(s, r.port, r.width, r.height, 1, 0, 0, 0);
  host::CallInit(s);
  host::CallSetIO(s, r.port, r.width, r.height, 1, 200, 160, 0);
  host::RunDemo(s, "text");
  host::RunDemo(s, "cgram");
  host::RunDemo(s, "graphics");
  host::DrainDriver(s);
  Sleep(r.hold_ms);
  host::CallCleanUp(s);
  FreeLibrary(s.api.module);

  const bool held = s.counters.held_port_inits > 0;
  const bool no_port = s.counters.missing_port_inits > 0;
  if (!g_boxes.empty()) {
    out += "The driver could not open " + r.port + ". Its message:\r\n";
    for (const std::string& box : g_boxes) out += "    " + box + "\r\n";
  }
  if (held) {
    out += "Another program holds " + r.port +
           ": close the host application (or the terminal or emulator on that port) first, "
           "then try again.\r\n";
  } else if (no_port) {
    out += "There is no port " + r.port + ": plug the board in, press Refresh and pick its port.\r\n";
  } else if (g_boxes.empty()) {
    const host::WireModel& w = s.wire;
    char line[256];
    snprintf(line, sizeof line,
             "Sent %llu bytes to %s in %llu transfers (text, custom characters, a graphics "
             "pattern), %.1f s on the line at %d baud; the port is closed again.\r\n",
             static_cast<unsigned long long>(w.bytes_written), r.port.c_str(),
             static_cast<unsigned long long>(w.transfers),
             w.settings.baud_rate > 0 ? w.bytes_written * 10.0 / w.settings.baud_rate : 0.0,
             w.settings.baud_rate);
    out += line;
    out += "The board showed the demo's last picture for a few seconds, then LCD_CleanUp "
           "cleared it.\r\n";
  }
  const std::vector<std::string> trace = LinkTraceLines(r.work_dir + "\\debug.log");
  out += "The link's trace lines (debug.log):\r\n";
  for (const std::string& line : trace) out += "    " + line + "\r\n";
  if (trace.empty()) out += "    (none)\r\n";
  return out;
}

}  // namespace settings_tool
