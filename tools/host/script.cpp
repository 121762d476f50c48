#include "tools/host/script.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <map>
#include <sstream>

#include "tools/host/demos.h"

namespace host {

namespace {

// How many words each command takes after its name; -1 for "one or more",
// -2 for "0 or 7" (io). Text commands take their words and then the rest.
struct CommandShape {
  int words;
  bool takes_text;
};

const std::map<std::string, CommandShape>& Commands() {
  static const std::map<std::string, CommandShape> commands = {
      {"init", {0, false}},     {"cleanup", {0, false}},  {"ready", {0, false}},
      {"info", {0, false}},     {"dialog", {0, false}},   {"frame", {0, false}},
      {"clear", {0, false}},    {"io", {-2, false}},      {"text", {2, true}},
      {"print", {0, true}},     {"echo", {0, true}},      {"cursor", {2, false}},
      {"char", {-1, false}},    {"cgram", {9, false}},    {"getcgram", {1, false}},
      {"rect", {4, false}},     {"pixel", {3, false}},    {"fill", {5, false}},
      {"line", {5, false}},     {"sleep", {1, false}},    {"demo", {1, false}},
      {"controller", {1, false}}, {"customize", {5, false}},
      {"wait", {0, true}},      {"flush", {0, false}},
  };
  return commands;
}

std::string Where(const std::string& path, int line) {
  return path + ":" + std::to_string(line) + ": ";
}

// Decimal (optionally negative) or 0x hexadecimal, fitting 32 bits.
bool ParseNumber(const std::string& word, int64_t& value) {
  const char* p = word.c_str();
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  }
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (!*p) return false;
  int64_t v = 0;
  for (; *p; ++p) {
    int d;
    if (*p >= '0' && *p <= '9') {
      d = *p - '0';
    } else if (base == 16 && *p >= 'a' && *p <= 'f') {
      d = *p - 'a' + 10;
    } else if (base == 16 && *p >= 'A' && *p <= 'F') {
      d = *p - 'A' + 10;
    } else {
      return false;
    }
    v = v * base + d;
    if (v > 0xFFFFFFFFLL) return false;
  }
  value = negative ? -v : v;
  return value >= -0x80000000LL;
}

// "\\" and "\xHH" stand for a backslash and any byte.
bool Unescape(const std::string& in, std::string& out, std::string& error) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    if (i + 1 < in.size() && in[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (i + 3 < in.size() && in[i + 1] == 'x' && isxdigit(static_cast<unsigned char>(in[i + 2])) &&
               isxdigit(static_cast<unsigned char>(in[i + 3]))) {
      out += static_cast<char>(strtol(in.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      error = "a backslash starts \\\\ or \\xHH";
      return false;
    }
  }
  return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

// A word as it can be shown in a message: bytes outside printable ASCII as \xHH.
std::string Shown(const std::string& word) {
  std::string out;
  for (unsigned char c : word) {
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02X", c);
    out += (c >= 0x20 && c <= 0x7E) ? std::string(1, static_cast<char>(c)) : hex;
  }
  return out;
}

// The line's values: every word is a number except the port name of io and
// a demo's name (those are 0 here).
std::vector<int64_t> Values(const ScriptLine& line) {
  std::vector<int64_t> v;
  for (size_t i = 0; i < line.args.size(); ++i) {
    int64_t value = 0;
    if (!((line.command == "io" && i == 0) || line.command == "demo")) {
      ParseNumber(line.args[i], value);
    }
    v.push_back(value);
  }
  return v;
}

// Follows what the lines do, from the run's picture size and whether the
// tool starts the driver itself, without calling anything.
bool CheckEffects(const std::string& path, const Script& script, int width, int height,
                  std::string& error) {
  int w = width, h = height;
  bool started = !script.has_init;
  for (const ScriptLine& line : script.lines) {
    const std::string& c = line.command;
    const std::vector<int64_t> v = Values(line);
    auto fail = [&](const std::string& message) {
      error = Where(path, line.number) + message;
      return false;
    };
    auto inside = [&](int64_t x, int64_t y) { return x >= 0 && y >= 0 && x < w && y < h; };
    const std::string outside =
        " outside the " + std::to_string(w) + "x" + std::to_string(h) + " picture";
    if (c == "init") {
      started = true;
    } else if (c == "cleanup") {
      started = false;
    } else if (c == "io" && v.empty()) {
      w = width;
      h = height;
    } else if (c == "io") {
      if (v[1] < 1 || v[1] > 255 || v[2] < 1 || v[2] > 255) {
        return fail("width and height are 1 to 255");
      }
      w = static_cast<int>(v[1]);
      h = static_cast<int>(v[2]);
    } else if (c == "cgram") {
      for (size_t r = 1; r <= 8; ++r) {
        if (v[r] < 0 || v[r] > 255) return fail("row bytes are 0 to 255");
      }
    } else if (c == "pixel") {
      if (!inside(v[0], v[1])) return fail("pixel" + outside);
    } else if (c == "fill" || c == "line") {
      if (!inside(v[0], v[1]) || !inside(v[2], v[3])) return fail(c + outside);
    } else if (c == "sleep") {
      if (v[0] < 0) return fail("sleep takes milliseconds, 0 or more");
    } else if (c == "demo") {
      if (!started) return fail("demo needs the driver started (init)");
    }
  }
  return true;
}

}  // namespace

bool ParseScript(const std::string& path, const std::string& whole, int width, int height,
                 Script& script, std::string& error) {
  script = Script();
  script.path = path;
  // Notepad may save a script as UTF-16 ("Unicode") or begin it with a
  // UTF-8 byte order mark; anything else with a zero byte is no text at all.
  if (whole.size() >= 2 && ((whole[0] == '\xFF' && whole[1] == '\xFE') ||
                            (whole[0] == '\xFE' && whole[1] == '\xFF'))) {
    error = path + ": the script is saved as UTF-16 (\"Unicode\"); save it as ANSI or UTF-8";
    return false;
  }
  const size_t zero = whole.find('\0');
  if (zero != std::string::npos) {
    error = path + ": this is no script: it holds binary data (a zero byte at offset " +
            std::to_string(zero) + "); a script is text, one command a line";
    return false;
  }
  const std::string source = whole.compare(0, 3, "\xEF\xBB\xBF") == 0 ? whole.substr(3) : whole;
  std::istringstream in(source);
  std::string raw;
  int number = 0;
  while (std::getline(in, raw)) {
    ++number;
    while (!raw.empty() && (raw.back() == '\r' || raw.back() == '\n')) raw.pop_back();
    size_t pos = 0;
    while (pos < raw.size() && IsSpace(raw[pos])) ++pos;
    if (pos == raw.size() || raw[pos] == '#') continue;

    // The command word, then the fixed words, then (for text) the rest.
    auto next_word = [&](std::string& word) {
      while (pos < raw.size() && IsSpace(raw[pos])) ++pos;
      size_t start = pos;
      while (pos < raw.size() && !IsSpace(raw[pos])) ++pos;
      word = raw.substr(start, pos - start);
      return !word.empty();
    };
    ScriptLine line;
    line.number = number;
    next_word(line.command);
    auto found = Commands().find(line.command);
    if (found == Commands().end()) {
      error = Where(path, number) + "unknown command '" + Shown(line.command) + "'";
      return false;
    }
    const CommandShape shape = found->second;
    if (shape.takes_text) {
      for (int i = 0; i < shape.words; ++i) {
        std::string word;
        if (!next_word(word)) {
          error = Where(path, number) + line.command + " needs " + std::to_string(shape.words) +
                  " numbers before its text";
          return false;
        }
        line.args.push_back(word);
      }
      // One blank separates the words from the text; the rest is verbatim.
      if (pos < raw.size()) ++pos;
      std::string rest = pos < raw.size() ? raw.substr(pos) : std::string();
      std::string why;
      if (!Unescape(rest, line.text, why)) {
        error = Where(path, number) + why;
        return false;
      }
    } else {
      std::string word;
      while (next_word(word)) line.args.push_back(word);
      int n = static_cast<int>(line.args.size());
      bool ok = shape.words == -1   ? n >= 1
                : shape.words == -2 ? (n == 0 || n == 7)
                                    : n == shape.words;
      if (!ok) {
        std::string want = shape.words == -1   ? "at least 1 value"
                           : shape.words == -2 ? "no values or 7 (port width height light_enable "
                                                 "light contrast ports)"
                                               : std::to_string(shape.words) + " values";
        error = Where(path, number) + line.command + " takes " + want + ", got " +
                std::to_string(n);
        return false;
      }
    }
    // Every word is a number except the port name of io and a demo's name.
    for (size_t i = 0; i < line.args.size(); ++i) {
      if ((line.command == "io" && i == 0) || line.command == "demo") continue;
      int64_t v;
      if (!ParseNumber(line.args[i], v)) {
        error = Where(path, number) + "'" + Shown(line.args[i]) + "' is not a number";
        return false;
      }
    }
    if (line.command == "demo" && !IsDemo(line.args[0])) {
      error = Where(path, number) + "unknown demo '" + Shown(line.args[0]) + "' (" + DemoNames() +
              ")";
      return false;
    }
    if (line.command == "init") script.has_init = true;
    script.lines.push_back(line);
  }
  return CheckEffects(path, script, width, height, error);
}

bool LoadScript(const std::string& path, int width, int height, Script& script,
                std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read script " + path;
    return false;
  }
  std::stringstream contents;
  contents << file.rdbuf();
  if (file.bad()) {
    error = "cannot read script " + path;
    return false;
  }
  return ParseScript(path, contents.str(), width, height, script, error);
}

void RunScript(Session& s, const Script& script) {
  for (const ScriptLine& line : script.lines) {
    const std::string& c = line.command;
    const std::vector<int64_t> v = Values(line);
    auto u32 = [&](size_t i) { return static_cast<uint32_t>(v[i]); };

    if (c == "init") {
      CallInit(s);
    } else if (c == "cleanup") {
      CallCleanUp(s);
    } else if (c == "ready") {
      printf("ready %u\n", CallIsReady(s));
    } else if (c == "info") {
      DriverInfo info = CallGetInfo(s);
      printf("info %.*s |", static_cast<int>(strnlen(info.text, sizeof info.text)), info.text);
      for (BYTE b : info.trailer) printf(" %u", b);
      printf("\n");
    } else if (c == "dialog") {
      const int32_t result = CallConfigDialog(s);
      printf("dialog %d (%s)\n", result, DialogResultMeaning(result));
    } else if (c == "frame") {
      SendFrame(s);
    } else if (c == "clear") {
      ClearPicture(s.picture);
    } else if (c == "io") {
      if (line.args.empty()) {
        CallSetIO(s, s.options.port, s.options.width, s.options.height, 1, s.options.light,
                  s.options.contrast, s.options.ports);
      } else {
        // "-" is the port given on the command line.
        const std::string& port = line.args[0] == "-" ? s.options.port : line.args[0];
        CallSetIO(s, port, static_cast<int>(v[1]), static_cast<int>(v[2]), u32(3), u32(4), u32(5),
                  u32(6));
      }
    } else if (c == "text") {
      WriteText(s, static_cast<int32_t>(v[0]), static_cast<int32_t>(v[1]), line.text);
    } else if (c == "print") {
      for (unsigned char ch : line.text) CallSendToMemory(s, ch);
    } else if (c == "echo") {
      printf("%s\n", line.text.c_str());
    } else if (c == "wait") {
      // A pause for whoever runs the tool: unplug or replug the board, then
      // press Enter. At the end of the input it goes on at once.
      printf(line.text.empty() ? "wait\n" : "wait %s\n", line.text.c_str());
      fflush(stdout);
      char answer[256];
      while (fgets(answer, sizeof answer, stdin) != nullptr && strchr(answer, '\n') == nullptr) {
      }
    } else if (c == "cursor") {
      CallSetOutputAddress(s, static_cast<int32_t>(v[0]), static_cast<int32_t>(v[1]));
    } else if (c == "char") {
      for (size_t i = 0; i < v.size(); ++i) CallSendToMemory(s, u32(i));
    } else if (c == "cgram") {
      uint8_t rows[8];
      for (int r = 0; r < 8; ++r) rows[r] = static_cast<uint8_t>(v[static_cast<size_t>(r) + 1]);
      CallSetCgramChar(s, RecordFromRows(static_cast<int>(v[0]), rows, s.pitch));
    } else if (c == "getcgram") {
      printf("getcgram %u %u\n", u32(0), CallGetCgramChar(s, u32(0)));
    } else if (c == "rect") {
      CallSendToGfx(s, u32(0), u32(1), u32(2), u32(3));
    } else if (c == "flush") {
      // The driver writes the text it holds (text, cursor, custom
      // characters, light, contrast) before any graphics; the smallest
      // graphics call, the picture's top left byte, is how a script gets it
      // onto the display before a pause.
      CallSendToGfx(s, 0, 0, 0, 0);
    } else if (c == "pixel") {
      SetPixel(s.picture, static_cast<int>(v[0]), static_cast<int>(v[1]), v[2] != 0);
    } else if (c == "fill" || c == "line") {
      int x1 = static_cast<int>(v[0]), y1 = static_cast<int>(v[1]);
      int x2 = static_cast<int>(v[2]), y2 = static_cast<int>(v[3]);
      if (c == "fill") {
        FillRect(s.picture, x1, y1, x2, y2, v[4] != 0);
      } else {
        DrawLine(s.picture, x1, y1, x2, y2, v[4] != 0);
      }
    } else if (c == "sleep") {
      SleepMs(u32(0));
    } else if (c == "demo") {
      RunDemo(s, line.args[0]);
    } else if (c == "controller") {
      CallSendToController(s, u32(0));
    } else if (c == "customize") {
      CallCustomize(s, u32(0), u32(1), u32(2), u32(3), u32(4));
    }
    fflush(stdout);
  }
}

}  // namespace host
