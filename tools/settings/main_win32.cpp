// korvex-settings.exe: the settings window. Shows the config.ini that the
// host really reads (its folder's, or Windows' VirtualStore copy), every key
// as the driver reads it, the serial ports, and tries the board with the
// settings on screen.
//
//   korvex-settings.exe [--report FILE] [HOST_FOLDER [DRIVER_DLL]]
//
// --report appends every report the window shows to FILE, for a support
// request (and for the tests, which read it).
// Without a folder it takes the one above its own (the installer puts it in
// the host's folder, in a folder of its own); without a library, Korvex.dll
// in the host's folder.
#include <windows.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "tools/host/host_api.h"
#include "tools/settings/resource.h"
#include "tools/settings/settings_core.h"
#include "tools/settings/try_board.h"

namespace {

using namespace settings_tool;

const UINT kTryDone = WM_APP + 1;

struct Window {
  HWND dialog = nullptr;
  std::string host_dir;
  std::string dll;       // given on the command line, or empty
  Location location;
  Settings settings;     // as last read or saved
  HANDLE try_thread = nullptr;
  TryRequest request;
  std::string try_report;
  std::string report_file;  // --report
};
Window g_window;

std::string GetText(HWND dialog, int id) {
  char text[1024] = {0};
  GetDlgItemTextA(dialog, id, text, sizeof text);
  return text;
}

std::string Environment(const char* name) {
  char value[MAX_PATH * 2] = {0};
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return (n > 0 && n < sizeof value) ? std::string(value, n) : std::string();
}

std::string WithoutSlash(std::string dir) {
  while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// An elevated window would find every folder writable: what counts is the
// host, which runs without administrator rights.
bool Elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD elevation = 0, size = 0;
  // TokenElevation (20) is known from Vista on; XP fails the query.
  const bool ok = GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(20), &elevation,
                                      sizeof elevation, &size) != 0;
  CloseHandle(token);
  return ok && elevation != 0;
}

bool DirWritable(const std::string& dir) {
  if (Elevated()) return false;
  // This program is not virtualised (its manifest): a protected folder
  // refuses the file instead of redirecting it.
  const std::string probe =
      WithoutSlash(dir) + "\\korvex-write-test-" + std::to_string(GetCurrentProcessId()) + ".tmp";
  HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

// Windows Vista and later with user account control on.
bool Virtualises() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version) || version.dwMajorVersion < 6) return false;
  HKEY key = nullptr;
  DWORD lua = 1, size = sizeof lua, type = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", 0,
                    KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    if (RegQueryValueExA(key, "EnableLUA", nullptr, &type, reinterpret_cast<BYTE*>(&lua),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
      lua = 1;
    }
    RegCloseKey(key);
  }
  return lua != 0;
}

Machine ThisMachine(const std::string& host_dir) {
  Machine m;
  m.host_dir = host_dir;
  m.local_app_data = Environment("LOCALAPPDATA");
  for (const char* name :
       {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432", "SystemRoot", "ProgramData"}) {
    const std::string dir = Environment(name);
    if (!dir.empty()) m.protected_dirs.push_back(dir);
  }
  m.virtualises = Virtualises();
  m.file_exists = FileExists;
  m.dir_writable = DirWritable;
  return m;
}

std::string DllPath() {
  if (!g_window.dll.empty()) return g_window.dll;
  return WithoutSlash(g_window.host_dir) + "\\Korvex.dll";
}

void Report(const std::string& text) {
  SetDlgItemTextA(g_window.dialog, IDC_REPORT, text.c_str());
  if (g_window.report_file.empty()) return;
  HANDLE file = CreateFileA(g_window.report_file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const std::string entry = text + "\r\n----\r\n";
  DWORD written = 0;
  WriteFile(file, entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
  CloseHandle(file);
}

void ShowValues(const Settings& s) {
  HWND d = g_window.dialog;
  for (int k = 0; k < kKeyCount; ++k) {
    const KeyInfo& info = Info(static_cast<Key>(k));
    if (info.choices.empty()) {
      SetDlgItemTextA(d, IDC_KEY0 + k, std::to_string(s.value[k]).c_str());
      continue;
    }
    HWND combo = GetDlgItem(d, IDC_KEY0 + k);
    const LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      if (SendMessageA(combo, CB_GETITEMDATA, i, 0) == s.value[k]) {
        SendMessageA(combo, CB_SETCURSEL, i, 0);
      }
    }
  }
  std::string replaced;
  for (const std::string& line : Replacements(s)) replaced += (replaced.empty() ? "" : "; ") + line;
  if (!replaced.empty()) {
    replaced = "The driver replaces what it does not accept (shown above as it will read them): " +
               replaced + ".";
  }
  SetDlgItemTextA(d, IDC_REPLACED, replaced.c_str());
}

// Which file, its keys as the driver reads them, and the library.
void Load() {
  HWND d = g_window.dialog;
  g_window.host_dir = WithoutSlash(GetText(d, IDC_HOSTDIR));
  g_window.location = LocateConfig(ThisMachine(g_window.host_dir));
  const Location& loc = g_window.location;
  std::string which = loc.words;
  const bool exists = FileExists(loc.path);
  if (!exists && loc.where != Where::kVirtualStoreNext) {
    which += " It does not exist yet: the driver writes it at the host's next start; Save writes it now.";
  }
  SetDlgItemTextA(d, IDC_WHICH, which.c_str());
  Settings s;
  if (!ReadSettings(loc.path, s)) {
    Report("The path " + loc.path + " is too long for the driver (259 characters at most).");
    s = Defaults();
  } else if (loc.where == Where::kVirtualStoreNext && !FileExists(loc.path)) {
    ReadSettings(loc.host_file, s);  // Windows' copy starts as the host's file
  }
  g_window.settings = s;
  ShowValues(s);
  const std::string dll = DllPath();
  SetDlgItemTextA(d, IDC_DLL,
                  ("Try the board loads " + dll +
                   (FileExists(dll) ? "" : " (not there: install the driver first)"))
                      .c_str());
}

Settings OnScreen() {
  HWND d = g_window.dialog;
  std::string text[kKeyCount];
  for (int k = 0; k < kKeyCount; ++k) {
    if (Info(static_cast<Key>(k)).choices.empty()) {
      text[k] = GetText(d, IDC_KEY0 + k);
      continue;
    }
    HWND combo = GetDlgItem(d, IDC_KEY0 + k);
    const LRESULT i = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    if (i != CB_ERR) text[k] = std::to_string(SendMessageA(combo, CB_GETITEMDATA, i, 0));
  }
  Settings s = FromText(text, g_window.settings.in_file);
  return s;
}

// What the driver would do with the values typed: each that it replaces,
// in words.
std::string Corrected(const Settings& s) {
  std::string notes;
  for (int k = 0; k < kKeyCount; ++k) {
    if (static_cast<int32_t>(s.as_read[k]) == s.value[k]) continue;
    const KeyInfo& info = Info(static_cast<Key>(k));
    notes += std::string(info.name) + " " + std::to_string(static_cast<int32_t>(s.as_read[k])) +
             " is not accepted (" + info.accepted + "): it is " + std::to_string(s.value[k]) +
             ", as the driver would read it.\r\n";
  }
  return notes;
}

bool MakeFolders(const std::string& dir) {
  if (dir.size() <= 3) return true;
  const DWORD attributes = GetFileAttributesA(dir.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const size_t slash = dir.find_last_of('\\');
  if (slash != std::string::npos && !MakeFolders(dir.substr(0, slash))) return false;
  return CreateDirectoryA(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

void Save() {
  const Settings s = OnScreen();
  const Location& loc = g_window.location;
  std::string report = Corrected(s);
  if (loc.where == Where::kVirtualStoreNext && !FileExists(loc.path)) {
    // As Windows does at the host's first write: the copy starts as the
    // host's file, so its other sections and comments stay.
    const std::string dir = loc.path.substr(0, loc.path.find_last_of('\\'));
    if (!MakeFolders(dir)) {
      Report(report + "Could not make the folder " + dir + ".");
      return;
    }
    if (FileExists(loc.host_file)) CopyFileA(loc.host_file.c_str(), loc.path.c_str(), TRUE);
  }
  if (!WriteSettings(loc.path, s)) {
    Report(report + "The path " + loc.path + " is too long for the driver.");
    return;
  }
  // Windows' profile functions report no failure the driver would see: the
  // file read back says whether the values are there.
  Settings back;
  bool written = FileExists(loc.path) && ReadSettings(loc.path, back);
  for (int k = 0; written && k < kKeyCount; ++k) {
    if (back.value[k] != s.value[k] && (k != kGfxChangesOnly || back.in_file[k])) written = false;
  }
  if (!written) {
    Report(report + "Could not write " + loc.path +
           (loc.where == Where::kHostFolder ? ": the folder needs administrator rights." : "."));
    return;
  }
  Load();
  Report(report + "Saved " + loc.path + ". The driver reads it at the host's next start of the "
                                        "display.");
}

void FillPorts() {
  HWND combo = GetDlgItem(g_window.dialog, IDC_PORT);
  const std::string typed = GetText(g_window.dialog, IDC_PORT);
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
  const std::vector<host::SerialPort> ports = host::ListSerialPorts();
  for (const host::SerialPort& port : ports) {
    const host::PortState state = host::ProbePort(port.name);
    const std::string line =
        port.name + "  " + (port.friendly.empty() ? port.device : port.friendly) +
        (state == host::PortState::kFree   ? ": free"
         : state == host::PortState::kHeld ? ": held by another program"
                                           : ": does not open");
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
  }
  if (ports.empty()) {
    Report("Windows lists no serial port: plug the board in, wait until Windows has set it up, "
           "then press Refresh.");
  }
  if (!typed.empty()) {
    SetDlgItemTextA(g_window.dialog, IDC_PORT, typed.c_str());
  } else if (!ports.empty()) {
    SendMessageA(combo, CB_SETCURSEL, 0, 0);
  }
}

// The port's name: what the list shows before its description.
std::string ChosenPort() {
  std::string text = GetText(g_window.dialog, IDC_PORT);
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  text = text.substr(start);
  return text.substr(0, text.find(' '));
}

DWORD WINAPI TryThread(void*) {
  g_window.try_report = TryBoard(g_window.request);
  PostMessageA(g_window.dialog, kTryDone, 0, 0);
  return 0;
}

void EnableButtons(bool enable) {
  for (int id : {IDC_TRY, IDOK, IDC_RELOAD, IDC_REFRESH, IDCANCEL}) {
    EnableWindow(GetDlgItem(g_window.dialog, id), enable);
  }
}

std::string TryFolder() {
  char temp[MAX_PATH + 1] = {0};
  DWORD n = GetTempPathA(sizeof temp, temp);
  std::string dir = (n > 0 && n < sizeof temp) ? std::string(temp, n) : std::string(".\\");
  return WithoutSlash(dir) + "\\korvex-try-" + std::to_string(GetCurrentProcessId());
}

void RemoveTryFolder(const std::string& dir) {
  DeleteFileA((dir + "\\config.ini").c_str());
  DeleteFileA((dir + "\\debug.log").c_str());
  RemoveDirectoryA(dir.c_str());
}

void StartTry() {
  const std::string port = ChosenPort();
  if (port.empty()) {
    Report("Pick the board's port first (Refresh lists them).");
    return;
  }
  TryRequest& r = g_window.request;
  r = TryRequest();
  r.dll = DllPath();
  r.port = port;
  r.width = atoi(GetText(g_window.dialog, IDC_WIDTH).c_str());
  r.height = atoi(GetText(g_window.dialog, IDC_HEIGHT).c_str());
  if (r.width < 1 || r.width > 255 || r.height < 1 || r.height > 255) {
    Report("The picture size is 1 to 255 pixels each way, as the host gives it to the driver.");
    return;
  }
  // The settings on screen, saved or not, in a folder of the try's own: the
  // host's file stays as it is. LogFile=1 for the link's trace lines.
  Settings s = OnScreen();
  const std::string notes = Corrected(s);
  s.value[kLogFile] = 1;
  r.work_dir = TryFolder();
  RemoveTryFolder(r.work_dir);
  if (!MakeFolders(r.work_dir) || !WriteSettings(r.work_dir + "\\config.ini", s)) {
    Report("Could not make the folder " + r.work_dir + " for the try.");
    return;
  }
  EnableButtons(false);
  Report(notes + "Trying the board on " + port + "...");
  g_window.try_thread = CreateThread(nullptr, 0, TryThread, nullptr, 0, nullptr);
  if (!g_window.try_thread) {
    EnableButtons(true);
    Report("Could not start the try.");
  }
}

void FinishTry() {
  WaitForSingleObject(g_window.try_thread, INFINITE);  // it has posted its last message
  CloseHandle(g_window.try_thread);
  g_window.try_thread = nullptr;
  RemoveTryFolder(g_window.request.work_dir);
  EnableButtons(true);
  Report(g_window.try_report);
  SetFocus(GetDlgItem(g_window.dialog, IDC_TRY));
}

void InitDialog(HWND d) {
  g_window.dialog = d;
  SetDlgItemTextA(d, IDC_HOSTDIR, g_window.host_dir.c_str());
  const Settings defaults = Defaults();
  for (int k = 0; k < kKeyCount; ++k) {
    const KeyInfo& info = Info(static_cast<Key>(k));
    const std::string line = "Default " + std::to_string(defaults.value[k]) + "; accepts " +
                             info.accepted + ". " + info.help;
    SetDlgItemTextA(d, IDC_INFO0 + k, line.c_str());
    if (info.choices.empty()) {
      SendDlgItemMessageA(d, IDC_KEY0 + k, EM_LIMITTEXT, 24, 0);
      continue;
    }
    for (int32_t choice : info.choices) {
      std::string item = std::to_string(choice);
      if (k == kController) item += choice == 108 ? " (KS108)" : " (T6963)";
      const LRESULT i =
          SendDlgItemMessageA(d, IDC_KEY0 + k, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
      SendDlgItemMessageA(d, IDC_KEY0 + k, CB_SETITEMDATA, i, choice);
    }
  }
  SetDlgItemTextA(d, IDC_WIDTH, "240");
  SetDlgItemTextA(d, IDC_HEIGHT, "64");
  Load();
  FillPorts();
}

INT_PTR CALLBACK DialogProc(HWND d, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog(d);
      return TRUE;
    case kTryDone:
      FinishTry();
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
          Save();
          return TRUE;
        case IDCANCEL:
          if (!g_window.try_thread) EndDialog(d, 0);
          return TRUE;
        case IDC_RELOAD:
          Load();
          Report("Read " + g_window.location.path + ".");
          return TRUE;
        case IDC_REFRESH:
          FillPorts();
          return TRUE;
        case IDC_TRY:
          StartTry();
          return TRUE;
      }
      break;
  }
  return FALSE;
}

std::string OwnFolderParent() {
  char self[MAX_PATH * 2];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string path = (n > 0 && n < sizeof self) ? std::string(self, n) : std::string();
  for (int i = 0; i < 2; ++i) {
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return ".";
    path.resize(slash);
  }
  return path;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  std::vector<std::string> args;
  for (int i = 1; i < __argc; ++i) {
    if (std::string(__argv[i]) == "--report" && i + 1 < __argc) {
      g_window.report_file = __argv[++i];
    } else {
      args.push_back(__argv[i]);
    }
  }
  g_window.host_dir = !args.empty() ? WithoutSlash(args[0]) : OwnFolderParent();
  if (args.size() > 1) g_window.dll = args[1];
  return static_cast<int>(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETTINGS), nullptr,
                                          DialogProc, 0));
}
