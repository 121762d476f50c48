// The built-in demos. Each starts from a clear display, animates for its
// number of steps (--frames), and ends on a fixed final picture that does not
// depend on that number, so that pictures taken of it can be compared.
#pragma once

#include <string>

#include "tools/host/session.h"

namespace host {

// The names RunDemo knows, separated by '|', for messages.
const char* DemoNames();
bool IsDemo(const std::string& name);
// Runs one demo (or "all"); the session must have been through LCD_Init.
void RunDemo(Session& s, const std::string& name);

}  // namespace host
