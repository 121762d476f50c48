// Loading the driver and the few Windows services the tool needs.
#include <stdio.h>
#include <string.h>

#include <string>

#include "tools/common/port_names.h"
#include "tools/common/windows_helpers.h"
#include "tools/host/host_api.h"

namespace host {

namespace {

std::string LastErrorText(DWORD code) {
  const std::string text = tools_common::SystemErrorText(code);
  return "error " + std::to_string(code) + (text.empty() ? "" : ": " + text);
}

// The machine a PE file is built for: 32 or 64 (bits), 0 when it is no PE
// file of either.
int PeBits(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return 0;
  unsigned char dos[64] = {0}, pe[6] = {0};
  int bits = 0;
  if (fread(dos, 1, sizeof dos, file) == sizeof dos && dos[0] == 'M' && dos[1] == 'Z') {
    const long at = dos[0x3C] | dos[0x3D] << 8 | dos[0x3E] << 16 | static_cast<long>(dos[0x3F]) << 24;
    if (fseek(file, at, SEEK_SET) == 0 && fread(pe, 1, sizeof pe, file) == sizeof pe &&
        memcmp(pe, "PE\0\0", 4) == 0) {
      const unsigned machine = pe[4] | pe[5] << 8;
      bits = machine == 0x014C ? 32 : machine == 0x8664 ? 64 : 0;
    }
  }
  fclose(file);
  return bits;
}

// Why a library would not load, in words that say what to do: Windows
// words error 193 with a "%1" it leaves for the caller to fill.
std::string LoadFailure(const std::string& path, DWORD code) {
  const int tool_bits = sizeof(void*) == 8 ? 64 : 32;
  if (code == ERROR_BAD_EXE_FORMAT) {
    const int library_bits = PeBits(path);
    if (library_bits != 0 && library_bits != tool_bits) {
      return "cannot load " + path + ": it is a " + std::to_string(library_bits) +
             "-bit library and this korvex-host.exe is a " + std::to_string(tool_bits) +
             "-bit program, which cannot load it (error 193); use the " +
             std::to_string(library_bits) + "-bit korvex-host.exe" +
             (library_bits == 32
                  ? " (the one in the kit, or build/win32/korvex-host.exe)"
                  : ", built from the sources (build/win64; the kit holds none); the host "
                    "application itself needs the kit's 32-bit Korvex.dll");
    }
    return "cannot load " + path + ": it is no Windows library (error 193)";
  }
  std::string text = LastErrorText(code);
  const size_t insert = text.find("%1");
  if (insert != std::string::npos) text.replace(insert, 2, path);
  return "cannot load " + path + ": " + text;
}

// Resolves one export by name and by ordinal; both must exist and agree.
template <typename Fn>
bool Resolve(HMODULE module, const char* name, WORD ordinal, Fn& fn, std::string& error) {
  FARPROC by_name = GetProcAddress(module, name);
  if (!by_name) {
    error = std::string("export ") + name + " is missing";
    return false;
  }
  FARPROC by_ordinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
  if (by_ordinal != by_name) {
    char line[160];
    snprintf(line, sizeof line, "export %s is not ordinal %u (ordinal %u %s)", name, ordinal,
             ordinal, by_ordinal ? "is another function" : "does not exist");
    error = line;
    return false;
  }
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(by_name));
  return true;
}

}  // namespace

bool LoadDriver(const std::string& path, Exports& exports, std::string& error,
                bool& missing_library) {
  missing_library = false;
  // A full path, so the loader takes exactly this file and never searches.
  char full[MAX_PATH * 2];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  std::string chosen = (n > 0 && n < sizeof full) ? std::string(full) : path;
  HMODULE module = LoadLibraryA(chosen.c_str());
  if (!module) {
    error = LoadFailure(chosen, GetLastError());
    missing_library = true;
    return false;
  }
  exports.module = module;
  bool ok = Resolve(module, "DLL_GetInfo", 1, exports.GetInfo, error) &&
            Resolve(module, "LCD_CleanUp", 2, exports.CleanUp, error) &&
            Resolve(module, "LCD_ConfigDialog", 3, exports.ConfigDialog, error) &&
            Resolve(module, "LCD_Customize", 4, exports.Customize, error) &&
            Resolve(module, "LCD_GetCGRAMChar", 5, exports.GetCgramChar, error) &&
            Resolve(module, "LCD_Init", 6, exports.Init, error) &&
            Resolve(module, "LCD_IsReadyToReceive", 7, exports.IsReadyToReceive, error) &&
            Resolve(module, "LCD_SendToController", 8, exports.SendToController, error) &&
            Resolve(module, "LCD_SendToGfxMemory", 9, exports.SendToGfxMemory, error) &&
            Resolve(module, "LCD_SendToMemory", 10, exports.SendToMemory, error) &&
            Resolve(module, "LCD_SetCGRAMChar", 11, exports.SetCgramChar, error) &&
            Resolve(module, "LCD_SetIOPropertys", 12, exports.SetIOPropertys, error) &&
            Resolve(module, "LCD_SetOutputAddress", 13, exports.SetOutputAddress, error);
  if (!ok) error = chosen + ": " + error;
  return ok;
}

std::string DefaultDriverPath() {
  char self[MAX_PATH * 2];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) return "Korvex.dll";
  std::string dir(self, n);
  size_t slash = dir.find_last_of("\\/");
  if (slash == std::string::npos) return "Korvex.dll";
  return dir.substr(0, slash + 1) + "Korvex.dll";
}

std::string DriverSettingsPath() {
  char cwd[MAX_PATH * 2];
  DWORD n = GetCurrentDirectoryA(sizeof cwd, cwd);
  std::string dir = (n > 0 && n < sizeof cwd) ? std::string(cwd, n) : std::string(".");
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
  return dir + "config.ini";
}

int ReadDriverSetting(const char* key, int fallback) {
  return static_cast<int>(
      GetPrivateProfileIntA("Korvex", key, fallback, DriverSettingsPath().c_str()));
}

PortState ProbePort(const std::string& name) {
  // By the name the driver opens it under.
  const std::string device = tools_common::PortDeviceName(name);
  HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return PortState::kFree;
  }
  DWORD error = GetLastError();
  return (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) ? PortState::kHeld
                                                                             : PortState::kMissing;
}

void SleepMs(unsigned ms) { Sleep(ms); }

double NowSeconds() { return tools_common::MonotonicSeconds(); }

}  // namespace host
