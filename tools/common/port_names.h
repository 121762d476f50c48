// Port names as the driver reads them, for the tools: one rule, the driver's
// own (DeviceNameForPort), so that a tool never calls a port missing that the
// driver opens, nor names it differently.
#pragma once

#include <string>

namespace tools_common {

// The name under which the driver opens `name`: "\\.\COM3" for "COM3" and
// "COM3:"; a name with the "\\.\" prefix as it is.
std::string PortDeviceName(const std::string& name);

// The port's plain name, as the list of ports shows it: the device name
// without its "\\.\" prefix ("COM3" for "COM3:" and "\\.\COM3").
std::string PortPlainName(const std::string& name);

}  // namespace tools_common
