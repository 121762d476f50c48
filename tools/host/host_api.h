// The driver's thirteen exports as a host application declares them: its own
// record types and function-pointer types, written from the host's side of
// the boundary and independent of the driver's headers, so that calling
// through them checks the driver's calling convention and record layout.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace host {

#pragma pack(push, 1)
// The identification record that DLL_GetInfo returns by value.
struct DriverInfo {
  char text[256];
  BYTE trailer[8];  // the driver's pitch is trailer[5] (byte 261)
};

// The custom-character record that LCD_SetCGRAMChar takes by value: a
// position and 8 x 8 pixels, column by column (matrix[8 * column + row]).
struct CgramCharRecord {
  BYTE position;
  BYTE matrix[64];
};
#pragma pack(pop)
static_assert(sizeof(DriverInfo) == 264, "DriverInfo is 264 bytes");
static_assert(sizeof(CgramCharRecord) == 65, "CgramCharRecord is 65 bytes");

// The caller-side declaration: the record comes back by value, so the
// compiler passes the hidden address of a caller record itself.
typedef DriverInfo(WINAPI* GetInfoFn)(void);
typedef void(WINAPI* CleanUpFn)(void);
typedef INT(WINAPI* ConfigDialogFn)(void);
typedef void(WINAPI* CustomizeFn)(DWORD, DWORD, DWORD, DWORD, DWORD);
typedef BYTE(WINAPI* GetCgramCharFn)(DWORD position);
typedef void(WINAPI* InitFn)(void);
typedef BYTE(WINAPI* IsReadyToReceiveFn)(void);
typedef void(WINAPI* SendToControllerFn)(DWORD);
typedef void(WINAPI* SendToGfxMemoryFn)(const BYTE* bitmap, DWORD x1, DWORD y1, DWORD x2,
                                        DWORD y2, DWORD unused);
typedef void(WINAPI* SendToMemoryFn)(DWORD code);
typedef void(WINAPI* SetCgramCharFn)(CgramCharRecord record);
typedef void(WINAPI* SetIOPropertysFn)(const char* port, DWORD, DWORD, DWORD, DWORD,
                                       INT width, INT height, DWORD light_enable,
                                       DWORD light, DWORD, DWORD contrast, DWORD out_ports,
                                       DWORD, DWORD);
typedef void(WINAPI* SetOutputAddressFn)(INT column, INT row);

struct Exports {
  HMODULE module = nullptr;
  GetInfoFn GetInfo = nullptr;
  CleanUpFn CleanUp = nullptr;
  ConfigDialogFn ConfigDialog = nullptr;
  CustomizeFn Customize = nullptr;
  GetCgramCharFn GetCgramChar = nullptr;
  InitFn Init = nullptr;
  IsReadyToReceiveFn IsReadyToReceive = nullptr;
  SendToControllerFn SendToController = nullptr;
  SendToGfxMemoryFn SendToGfxMemory = nullptr;
  SendToMemoryFn SendToMemory = nullptr;
  SetCgramCharFn SetCgramChar = nullptr;
  SetIOPropertysFn SetIOPropertys = nullptr;
  SetOutputAddressFn SetOutputAddress = nullptr;
};

// Loads the library at `path` and resolves every export by name, checking
// that its ordinal leads to the same address. On failure returns false with
// a one-line reason in `error`; `missing_library` tells a load failure from
// an export fault.
bool LoadDriver(const std::string& path, Exports& exports, std::string& error,
                bool& missing_library);

// Full path of "Korvex.dll" in the directory of this program.
std::string DefaultDriverPath();

// Reads an integer key of section "Korvex" from the config.ini in the current
// directory (the file the driver reads at LCD_Init).
int ReadDriverSetting(const char* key, int fallback);
std::string DriverSettingsPath();

// Whether the serial port the driver was told to use exists. The driver
// opens it without sharing, so Windows refuses a second open while the
// driver holds it (kHeld); Wine does not refuse it for serial devices, so
// kFree only means "not known to be held". kMissing: no such port, so the
// driver cannot have opened it.
enum class PortState { kHeld, kFree, kMissing };
PortState ProbePort(const std::string& name);

// A serial port that Windows lists: its name ("COM5"), the device behind it
// ("\\Device\\USBSER000") and the device's friendly name where Windows has one
// ("USB Serial Device (COM5)").
struct SerialPort {
  std::string name, device, friendly;
};

// The serial ports there are now, by number; opens none of them.
std::vector<SerialPort> ListSerialPorts();

void SleepMs(unsigned ms);
double NowSeconds();

}  // namespace host
