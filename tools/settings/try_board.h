// "Try the board": the host folder's Korvex.dll driven as korvex-host drives
// it, in a folder of its own, with what happened told in plain words.
#pragma once

#include <string>

namespace settings_tool {

struct TryRequest {
  std::string dll;       // the Korvex.dll to load, a full path
  std::string port;      // as the host hands it to LCD_SetIOPropertys
  int width = 240, height = 64;
  std::string work_dir;  // the driver's current folder: its config.ini is already there
  unsigned hold_ms = 3000;  // the last picture stays this long before LCD_CleanUp
};

// Loads the library, runs the text, custom-character and graphics demos with
// LCD_Init and LCD_CleanUp around them, frees the library again and says
// what happened: the bytes sent, the driver's message box (taken as text,
// never shown), a port that another program holds, the trace lines of the
// link from the work folder's debug.log. Changes the process's current folder
// while it runs.
std::string TryBoard(const TryRequest& request);

}  // namespace settings_tool
