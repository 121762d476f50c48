// The settings window's logic, apart from the window: which config.ini the
// host really reads, its keys as the driver reads them, and writing them back
// the way the driver does. The rules are the driver's own (LoadSettings,
// CorrectSettings, SaveSettings and ParseProfileInt, linked in), run on the
// driver's state record of this process; nothing here includes windows.h, so
// the same code is tested on Linux over real files.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace settings_tool {

// The keys in the order the driver reads and writes them.
enum Key {
  kBaudRate,
  kTextBufferSize,
  kGfxBufferSize,
  kGfxForceFlush,
  kGfxChangesOnly,
  kFontPitch,
  kUseOutPorts,
  kController,
  kLogFile,
  kKeyCount
};

struct KeyInfo {
  const char* name;              // as in config.ini
  std::vector<int32_t> choices;  // the accepted values where they are fixed; empty otherwise
  const char* accepted;          // the accepted values in words
  const char* help;              // one line on what the key does
};
const KeyInfo& Info(Key key);

// The nine values as the driver runs with them.
struct Settings {
  int32_t value[kKeyCount] = {};
  // The file has the key (GfxChangesOnly is written back only then, or when set).
  bool in_file[kKeyCount] = {};
  // What the file says, read as the driver reads a number, before its rules.
  uint32_t as_read[kKeyCount] = {};
};

// The driver's defaults: what it runs with when the file has no key.
Settings Defaults();

// Reads `path` the way LCD_Init does. A missing file gives the defaults.
// Returns false only when the path does not fit the driver's 260 bytes.
bool ReadSettings(const std::string& path, Settings& out);

// The values typed into the window (one text per key, read with the driver's
// number rule; an empty text gives the key's default), put through the
// driver's rules. `in_file` is carried over from the file the window shows.
Settings FromText(const std::string (&text)[kKeyCount], const bool (&in_file)[kKeyCount]);

// Lines saying which values the driver replaces ("TextBufferSize: the file
// says 300; the driver uses 16"), one per key whose file value it does not keep.
std::vector<std::string> Replacements(const Settings& settings);

// Writes the values into `path` as LCD_Init writes them back: every key of
// section "Korvex" rewritten in place or added, other sections, keys and
// comments kept; GfxChangesOnly only when it is 1 or the file had it.
// Returns false when the path does not fit (the file is then untouched).
bool WriteSettings(const std::string& path, const Settings& settings);

// ---- which file

// What the window knows of the machine, for the choice of file. The Windows
// program fills it from the system; the tests from made-up machines.
struct Machine {
  std::string host_dir;          // the host application's folder, its current folder
  std::string local_app_data;    // %LOCALAPPDATA%; empty before Windows Vista
  // Folders whose files Windows virtualises for a program without
  // administrator rights: Program Files (both), the Windows folder, ProgramData.
  std::vector<std::string> protected_dirs;
  // Windows redirects a host's writes there: Vista or later with user account
  // control on (a host of 32 bits without administrator rights is assumed).
  bool virtualises = false;
  std::function<bool(const std::string&)> file_exists;
  std::function<bool(const std::string&)> dir_writable;
};

enum class Where {
  kHostFolder,        // config.ini in the host's folder
  kVirtualStore,      // Windows' copy for the host, which exists
  kVirtualStoreNext,  // no copy yet, but the host's folder is not writable: the copy will be made
};

struct Location {
  Where where = Where::kHostFolder;
  std::string path;         // the file to read and write
  std::string host_file;    // <host folder>\config.ini
  std::string words;        // which file it is and why, in a sentence or two
};

// "C:\Program Files\Host" -> "<local_app_data>\VirtualStore\Program Files\Host";
// empty for a path with no drive letter.
std::string VirtualStoreDir(const std::string& local_app_data, const std::string& dir);

// True when `dir` is `root` or inside it (case-insensitive, either separator).
bool IsUnder(const std::string& dir, const std::string& root);

Location LocateConfig(const Machine& machine);

}  // namespace settings_tool
