#include "tools/settings/settings_core.h"

#include <ctype.h>
#include <string.h>

#include "core/driver_state.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace settings_tool {

namespace {

const char kSection[] = "Korvex";

// The driver's fields, in key order.
void FromState(Settings& out) {
  const DriverState& s = g_state;
  out.value[kBaudRate] = s.baud_rate;
  out.value[kTextBufferSize] = static_cast<int32_t>(s.text_buffer_size);
  out.value[kGfxBufferSize] = static_cast<int32_t>(s.gfx_buffer_size);
  out.value[kGfxForceFlush] = s.gfx_force_flush;
  out.value[kGfxChangesOnly] = s.gfx_changes_only;
  out.value[kFontPitch] = s.font_pitch;
  out.value[kUseOutPorts] = s.use_out_ports;
  out.value[kController] = s.controller;
  out.value[kLogFile] = s.log_enabled;
}

void ToState(const Settings& in) {
  DriverState& s = g_state;
  s.baud_rate = in.value[kBaudRate];
  s.text_buffer_size = static_cast<uint32_t>(in.value[kTextBufferSize]);
  s.gfx_buffer_size = static_cast<uint32_t>(in.value[kGfxBufferSize]);
  s.gfx_force_flush = in.value[kGfxForceFlush];
  s.gfx_changes_only = in.value[kGfxChangesOnly];
  s.font_pitch = in.value[kFontPitch];
  s.use_out_ports = in.value[kUseOutPorts];
  s.controller = in.value[kController];
  s.log_enabled = in.value[kLogFile];
}

bool UsePath(const std::string& path) {
  if (path.size() + 1 > sizeof g_state.ini_path) return false;
  memcpy(g_state.ini_path, path.c_str(), path.size() + 1);
  return true;
}

// A path that names no file on any system: the driver then reads defaults.
const char* const kMissing = "?:\\korvex\\no such folder\\config.ini";

char Lower(char c) {
  if (c == '/') return '\\';
  return static_cast<char>(tolower(static_cast<unsigned char>(c)));
}

std::string WithoutTrailingSeparator(std::string dir) {
  while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

std::string Join(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  const char last = dir.back();
  return dir + (last == '\\' || last == '/' ? "" : "\\") + name;
}

}  // namespace

const KeyInfo& Info(Key key) {
  static const KeyInfo keys[kKeyCount] = {
      {"BaudRate", {}, "any whole number",
       "Line speed of the serial port: the rate the board's firmware expects."},
      {"TextBufferSize", {}, "1 to 256", "Bytes of text commands gathered before a port write."},
      {"GfxBufferSize", {}, "1 to 4096",
       "Bytes of graphics gathered per port write; larger: fewer writes per picture."},
      {"GfxForceFlush", {0, 1}, "0 or 1", "1 sends each picture update at the end of the host's call."},
      {"GfxChangesOnly", {0, 1}, "0 or 1",
       "1 sends only graphics the display does not show yet; written only when 1 or there."},
      {"LCD_FontPitch", {6, 8}, "6 or 8",
       "Width of a character cell and of a T6963 graphics byte, in pixels."},
      {"LCD_UseOutPorts", {0, 1}, "0 or 1", "1 sends the host's four 8-bit output ports to the board."},
      {"LCD_Controller", {6963, 108}, "6963 or 108",
       "6963 for a T6963 display, 108 for KS108 (always pitch 8)."},
      {"LogFile", {0, 1}, "0 or 1", "1 appends a trace of every call to debug.log beside config.ini."},
  };
  return keys[key];
}

Settings Defaults() {
  Settings out;
  ReadSettings(kMissing, out);
  for (bool& b : out.in_file) b = false;
  return out;
}

bool ReadSettings(const std::string& path, Settings& out) {
  if (!UsePath(path)) return false;
  LoadSettings();
  out = Settings();
  FromState(out);
  // The file as it stands, each key read twice with different fallbacks: a
  // key that reads as each of them is not there (the driver's own test).
  for (int k = 0; k < kKeyCount; ++k) {
    const char* name = Info(static_cast<Key>(k)).name;
    const uint32_t a = PlatformProfileReadInt(kSection, name, 0, g_state.ini_path);
    const uint32_t b = PlatformProfileReadInt(kSection, name, 1, g_state.ini_path);
    out.in_file[k] = a == b;
    out.as_read[k] = out.in_file[k] ? a : static_cast<uint32_t>(out.value[k]);
  }
  return true;
}

Settings FromText(const std::string (&text)[kKeyCount], const bool (&in_file)[kKeyCount]) {
  const Settings defaults = Defaults();
  Settings out;
  for (int k = 0; k < kKeyCount; ++k) {
    out.as_read[k] = ParseProfileInt(text[k].c_str(), defaults.value[k]);
    out.value[k] = static_cast<int32_t>(out.as_read[k]);
    out.in_file[k] = in_file[k];
  }
  ToState(out);
  CorrectSettings();
  FromState(out);
  return out;
}

std::vector<std::string> Replacements(const Settings& settings) {
  std::vector<std::string> lines;
  for (int k = 0; k < kKeyCount; ++k) {
    if (!settings.in_file[k]) continue;
    const uint32_t used = static_cast<uint32_t>(settings.value[k]);
    if (settings.as_read[k] == used) continue;
    lines.push_back(std::string(Info(static_cast<Key>(k)).name) + ": the file says " +
                    std::to_string(static_cast<int32_t>(settings.as_read[k])) +
                    "; the driver uses " + std::to_string(settings.value[k]));
  }
  return lines;
}

bool WriteSettings(const std::string& path, const Settings& settings) {
  if (!UsePath(path)) return false;
  ToState(settings);
  g_state.gfx_changes_only_kept =
      settings.in_file[kGfxChangesOnly] || settings.value[kGfxChangesOnly] == 1;
  SaveSettings();
  return true;
}

std::string VirtualStoreDir(const std::string& local_app_data, const std::string& dir) {
  if (dir.size() < 2 || dir[1] != ':' || !isalpha(static_cast<unsigned char>(dir[0]))) return "";
  std::string rest = WithoutTrailingSeparator(dir).substr(2);
  if (rest.empty() || (rest[0] != '\\' && rest[0] != '/')) rest.insert(rest.begin(), '\\');
  for (char& c : rest) {
    if (c == '/') c = '\\';
  }
  if (rest == "\\") rest.clear();
  return Join(local_app_data, "VirtualStore") + rest;
}

bool IsUnder(const std::string& dir, const std::string& root) {
  const std::string d = WithoutTrailingSeparator(dir), r = WithoutTrailingSeparator(root);
  if (r.empty() || d.size() < r.size()) return false;
  for (size_t i = 0; i < r.size(); ++i) {
    if (Lower(d[i]) != Lower(r[i])) return false;
  }
  return d.size() == r.size() || d[r.size()] == '\\' || d[r.size()] == '/' || r.back() == '\\';
}

Location LocateConfig(const Machine& m) {
  Location loc;
  loc.host_file = Join(WithoutTrailingSeparator(m.host_dir), "config.ini");
  loc.path = loc.host_file;
  bool guarded = false;
  if (m.virtualises && !m.local_app_data.empty()) {
    for (const std::string& root : m.protected_dirs) {
      if (IsUnder(m.host_dir, root)) guarded = true;
    }
  }
  const std::string store = guarded ? VirtualStoreDir(m.local_app_data, m.host_dir) : "";
  if (store.empty()) {
    loc.words = "The host's folder: the driver reads and writes " + loc.host_file + ".";
    return loc;
  }
  const std::string copy = Join(store, "config.ini");
  if (m.file_exists && m.file_exists(copy)) {
    loc.where = Where::kVirtualStore;
    loc.path = copy;
    loc.words = "Windows' copy for the host (VirtualStore): the host's folder is under a protected "
                "folder, so Windows gives a host without administrator rights " + copy +
                " instead of " + loc.host_file + ".";
    return loc;
  }
  if (m.dir_writable && !m.dir_writable(m.host_dir)) {
    loc.where = Where::kVirtualStoreNext;
    loc.path = copy;
    loc.words = "Windows' copy for the host (VirtualStore), made at the first save: the host's "
                "folder is protected and not writable, so Windows will give the host " + copy +
                " (a copy of " + loc.host_file + ") instead.";
    return loc;
  }
  loc.words = "The host's folder: the driver reads and writes " + loc.host_file +
              " (the folder is protected but writable, so Windows keeps no copy).";
  return loc;
}

}  // namespace settings_tool
