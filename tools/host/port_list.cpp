// The serial ports there are now, as Windows lists them: the registry's map
// of serial devices (HARDWARE\DEVICEMAP\SERIALCOMM, one value a port: the
// device's name, the port's name) and the friendly names that SetupAPI keeps
// for the devices of the Ports class. Windows XP has both. Reading them opens
// no port: an open raises DTR, and some boards reset when it rises.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/host/host_api.h"

namespace host {

namespace {

// The device setup class "Ports (COM & LPT)", {4D36E978-E325-11CE-BFC1-08002BE10318}.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// A REG_SZ value's text; the registry does not promise a terminator.
std::string Text(const char* data, DWORD size) {
  std::string text(data, size);
  return text.substr(0, text.find('\0'));
}

// Port name to friendly name, for the devices that have both.
std::vector<std::pair<std::string, std::string>> FriendlyNames() {
  std::vector<std::pair<std::string, std::string>> names;
  HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return names;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char port[256];
    DWORD size = sizeof port, type = 0;
    const bool named = RegQueryValueExA(key, "PortName", nullptr, &type,
                                        reinterpret_cast<BYTE*>(port), &size) == ERROR_SUCCESS &&
                       type == REG_SZ;
    RegCloseKey(key);
    char friendly[512];
    DWORD friendly_size = 0;
    if (named && SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                   reinterpret_cast<BYTE*>(friendly),
                                                   sizeof friendly, &friendly_size)) {
      names.emplace_back(Text(port, size), Text(friendly, friendly_size));
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
  return names;
}

// The name's letters in upper case and the number after them: "COM12"
// sorts after "COM9", and "com5" names COM5.
std::pair<std::string, unsigned long> SortKey(const std::string& name) {
  std::string stem;
  size_t i = 0;
  for (; i < name.size() && (name[i] < '0' || name[i] > '9'); ++i) {
    stem += name[i] >= 'a' && name[i] <= 'z' ? static_cast<char>(name[i] - 'a' + 'A') : name[i];
  }
  unsigned long number = 0;
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    number = number * 10 + static_cast<unsigned long>(name[i] - '0');
  }
  return {stem, number};
}

bool ByNumber(const SerialPort& a, const SerialPort& b) {
  const auto key_a = SortKey(a.name), key_b = SortKey(b.name);
  return key_a != key_b ? key_a < key_b : a.name < b.name;
}

}  // namespace

std::vector<SerialPort> ListSerialPorts() {
  std::vector<SerialPort> ports;
  HKEY map;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) !=
      ERROR_SUCCESS) {
    return ports;  // no serial port since Windows started: the key is made with the first
  }
  for (DWORD i = 0;; ++i) {
    char device[256], port[256];
    DWORD device_size = sizeof device, port_size = sizeof port, type = 0;
    const LONG result = RegEnumValueA(map, i, device, &device_size, nullptr, &type,
                                      reinterpret_cast<BYTE*>(port), &port_size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    SerialPort entry;
    entry.name = Text(port, port_size);
    entry.device = std::string(device, device_size);
    if (!entry.name.empty()) ports.push_back(entry);
  }
  RegCloseKey(map);
  for (const auto& [port, friendly] : FriendlyNames()) {
    for (SerialPort& entry : ports) {
      if (SortKey(entry.name) == SortKey(port)) entry.friendly = friendly;
    }
  }
  std::sort(ports.begin(), ports.end(), ByNumber);
  return ports;
}

}  // namespace host
