// Scripts: one export call (or drawing step) a line. The whole file is read
// and checked before the first call, so a mistake stops the run before the
// driver has been touched; errors name the file and line.
#pragma once

#include <string>
#include <vector>

#include "tools/host/session.h"

namespace host {

struct ScriptLine {
  int number = 0;
  std::string command;
  std::vector<std::string> args;  // the words after the command
  std::string text;               // for text/print/echo: the rest, escapes undone
};

struct Script {
  std::string path;
  std::vector<ScriptLine> lines;
  bool has_init = false;  // else the tool brackets it with its own start and end
};

// Parses and checks `source` (the file's contents) in full: every line's
// words, and what the lines do in order, from the picture size the run
// starts with (width x height, changed by io lines): pixels inside the
// picture, demos only while the driver is started. On failure returns false
// with "path:line: message" (or "path: message" for a file that is no text)
// in `error`.
bool ParseScript(const std::string& path, const std::string& source, int width, int height,
                 Script& script, std::string& error);
bool LoadScript(const std::string& path, int width, int height, Script& script,
                std::string& error);

// Runs the lines in order.
void RunScript(Session& s, const Script& script);

}  // namespace host
