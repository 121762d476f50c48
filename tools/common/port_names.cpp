#include "tools/common/port_names.h"

#include <vector>

#include "platform/platform.h"

namespace tools_common {

std::string PortDeviceName(const std::string& name) {
  // The prefix and a terminator never need more than 5 bytes beyond the name.
  std::vector<char> device(name.size() + 8);
  if (!DeviceNameForPort(name.c_str(), device.data(), device.size())) return name;
  return device.data();
}

std::string PortPlainName(const std::string& name) {
  const std::string device = PortDeviceName(name);
  return device.compare(0, 4, "\\\\.\\") == 0 ? device.substr(4) : device;
}

}  // namespace tools_common
