// Start-up, shut-down, the ready flag, identification and the inert exports.
#include <string.h>

#include "core/driver_state.h"
#include "core/exports.h"
#include "core/trace.h"
#include "link/buffers.h"
#include "link/commands.h"
#include "link/link.h"
#include "link/port.h"
#include "settings/settings.h"

namespace {

// True when the last character of `dir` is a backslash or a slash. Read from
// the start, character by character: in a double-byte code page the trail
// byte of a character can be 0x5C, and that is no separator.
bool EndsWithSeparator(const char* dir) {
  const char* last = nullptr;
  for (const char* p = dir; *p != '\0'; ++p) {
    last = p;
    if (PlatformIsLeadByte((uint8_t)*p) && p[1] != '\0') ++p;
  }
  return last != nullptr && last[1] == '\0' && (*last == '\\' || *last == '/');
}

// Composes dir + separator + name + "." + ext into out; no separator is added
// after a directory that already ends with a backslash or a slash. Returns
// false when the result does not fit.
bool ComposePath(char* out, size_t size, const char* dir, const char* name, const char* ext) {
  size_t dir_len = strlen(dir);
  bool needs_separator = dir_len > 0 && !EndsWithSeparator(dir);
  size_t total = dir_len + (needs_separator ? 1 : 0) + strlen(name) + 1 + strlen(ext);
  if (total + 1 > size) return false;
  char* p = out;
  memcpy(p, dir, dir_len);
  p += dir_len;
  if (needs_separator) *p++ = PlatformPathSeparator();
  size_t name_len = strlen(name);
  memcpy(p, name, name_len);
  p += name_len;
  *p++ = '.';
  size_t ext_len = strlen(ext);
  memcpy(p, ext, ext_len + 1);
  return true;
}

// Both paths in the host's current directory. When the directory is too long
// for cwd or for a full path, the files are named relative to it (".\name"),
// which is the same place: the files never land anywhere else. (A bare name
// would not do: the Win32 profile functions look for it in the Windows
// directory.)
void ComposePaths() {
  DriverState& s = g_state;
  bool fits = PlatformGetCurrentDir(s.cwd, sizeof s.cwd);
  if (!fits) s.cwd[0] = '\0';
  if (!fits || !ComposePath(s.ini_path, sizeof s.ini_path, s.cwd, "config", "ini") ||
      !ComposePath(s.log_path, sizeof s.log_path, s.cwd, "debug", "log")) {
    ComposePath(s.ini_path, sizeof s.ini_path, ".", "config", "ini");
    ComposePath(s.log_path, sizeof s.log_path, ".", "debug", "log");
  }
}

}  // namespace

KORVEX_API void KORVEX_CALL LCD_Init() {
  DriverState& s = g_state;
  SetReady(0);
  ComposePaths();
  LoadSettings();
  SaveSettings();
  LogWrite("\nLCD_Init()\n");
  // Whatever state the link is in, the clean-up finishes the old port with
  // the settings it was opened with. A clean-up that met a slow board spent
  // this call's one write time-out: the new port catches up from the next
  // call on.
  const bool was_up = LinkIsOpen() && s.link.mode == kLinkUp;
  if (LinkIsOpen()) LCD_CleanUp();
  const bool timed_out = was_up && s.link.missed;
  // The clean-up set the flag again; this call goes on writing.
  SetReady(0);
  if (s.log_enabled == 1 && s.log_file == nullptr) PlatformTraceOpen(&s.log_file, s.log_path);
  // Also when the file was still open from an earlier LCD_Init whose port
  // did not open.
  LogWrite("\nLCD_Init() porth=closed\n");
  // A failed open shows a message box, and a host's timers may call back in
  // from its message loop: a port that such a nested LCD_Init opened stays
  // the driver's port, as if the two calls had run one after the other.
  PortHandle port = OpenPort(s.port_name, s.baud_rate);
  if (!PortIsOpen(port)) {
    SetReady(1);
    return;
  }
  LinkStarted(port, s.port_name, s.baud_rate);
  if (timed_out) s.link.budget_ms = 0;
  LogWrite("LCD_Init() porth=open\n");
  WriteDirect(kCmdResetDisplay);
  s.flush_pending = 0;
  // A board that was behind when the old port closed catches up from here.
  EndWritingCall();
  SetReady(1);
}

KORVEX_API void KORVEX_CALL LCD_CleanUp() {
  DriverState& s = g_state;
  SetReady(0);
  FlushTextBuffer();
  FlushGfxBuffer();
  WriteDirect(kCmdResetDisplay);
  WriteDirect(kCmdSetContrast);
  WriteDirect(0);
  s.contrast = 0;
  WriteDirect(kCmdSetLight);
  WriteDirect(0);
  s.light = 0;
  // A board that is behind gets what the budget allows of the closing
  // display; the next port owes it the rest.
  if (s.link.mode == kLinkBehind) CatchUpBehind(true);
  LogWrite("\nLCD_CleanUp()\n");
  if (LinkIsOpen()) {
    ClosePort();
    LinkClosed();
    LogWrite("\nLCD_CleanUp() porth=closed\n");
    PlatformTraceClose(&s.log_file);
  }
  SetReady(1);
}

KORVEX_API uint8_t KORVEX_CALL LCD_IsReadyToReceive() {
  // May run on another thread while an operation runs, even one that opens
  // or closes the trace: the message is a constant (log_line belongs to the
  // running operation), and LogRaw writes it under the platform's trace lock.
  static const char kMessage[] = "\nPylora called LCD_IsReadyToReceive()\n";
  LogRaw(kMessage, sizeof kMessage - 1);
  return g_state.ready.load();
}

KORVEX_API DriverInfo* KORVEX_CALL DLL_GetInfo(DriverInfo* info) {
  LogWrite("\nPylora called DLL_GetInfo()\n");
  DriverInfo local;
  memset(local.text, 0, sizeof local.text);
  memcpy(local.text, kDriverIdentification, sizeof kDriverIdentification);
  uint8_t pitch = (uint8_t)g_state.font_pitch;
  const uint8_t trailer[8] = {1, 1, 1, 1, 1, pitch, 8, pitch};
  memcpy(local.trailer, trailer, sizeof trailer);
  memcpy(info, &local, sizeof local);
  return info;
}

KORVEX_API void KORVEX_CALL LCD_SendToController(uint32_t) {}

KORVEX_API void KORVEX_CALL LCD_Customize(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
