// Runs korvex-board.exe on a desktop of its own and plays the user of its
// window, for window_test.cpp under Wine:
//
//   korvex-window-probe DESKTOP [TITLE KEYS WIDTH HEIGHT] -- PROGRAM ARGS...
//
// The program's standard output and error go to board-stdout.txt and
// board-stderr.txt in the current folder. Without TITLE the probe waits for
// the program's end. With it, it waits for a window of that title, types
// KEYS into it ("." for none), waits until its client area is WIDTH wide and
// more than HEIGHT high (the picture and the status line), prints
//   client X Y WIDTH HEIGHT
// (the client area on the screen), waits for a file "go" in the current
// folder, sends WM_CLOSE and waits for the program's end. Every wait is
// bounded. Exit status: the program's, or 100 and up for the probe's own
// failures, with a line on standard error.
//
// A desktop of its own, because Wine starts the desktop's process with the
// environment of its first window's process, DISPLAY included: the other
// suites' programs, on the default desktop, keep running without a display.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

const DWORD kBound = 30000;  // ms, for each wait

int Fail(int status, const char* what) {
  fprintf(stderr, "korvex-window-probe: %s (error %lu)\n", what,
          static_cast<unsigned long>(GetLastError()));
  return status;
}

std::wstring Wide(const char* text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], n);
  wide.resize(wcslen(wide.c_str()));
  return wide;
}

// One argument as CommandLineToArgvW reads it back.
std::wstring Quoted(const std::wstring& arg) {
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(2 * slashes, L'\\');
  return out + L"\"";
}

HANDLE Output(const wchar_t* name) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Ended(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

}  // namespace

int main(int argc, char** argv) {
  int dashes = 1;
  while (dashes < argc && strcmp(argv[dashes], "--") != 0) ++dashes;
  const bool plays = dashes == 6;
  if ((dashes != 2 && !plays) || dashes + 1 >= argc) {
    fprintf(stderr,
            "usage: korvex-window-probe DESKTOP [TITLE KEYS WIDTH HEIGHT] -- PROGRAM ARGS...\n");
    return 100;
  }
  const std::wstring desktop_name = Wide(argv[1]);
  HDESK desktop = CreateDesktopW(desktop_name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (!desktop) return Fail(101, "cannot create the desktop");

  std::wstring command;
  for (int i = dashes + 1; i < argc; ++i) command += (command.empty() ? L"" : L" ") + Quoted(Wide(argv[i]));
  std::wstring desktop_path = L"WinSta0\\" + desktop_name;
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.lpDesktop = &desktop_path[0];
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = Output(L"board-stdout.txt");
  startup.hStdError = Output(L"board-stderr.txt");
  if (startup.hStdOutput == INVALID_HANDLE_VALUE || startup.hStdError == INVALID_HANDLE_VALUE)
    return Fail(102, "cannot make the output files");
  PROCESS_INFORMATION process;
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process))
    return Fail(103, "cannot start the program");
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);

  if (plays) {
    // The window is looked for on the program's desktop.
    if (!SetThreadDesktop(desktop)) return Fail(104, "cannot enter the desktop");
    const std::wstring title = Wide(argv[2]);
    const char* keys = strcmp(argv[3], ".") == 0 ? "" : argv[3];
    const int width = atoi(argv[4]), height = atoi(argv[5]);
    HWND window = nullptr;
    for (DWORD waited = 0; !(window = FindWindowW(nullptr, title.c_str())); waited += 20) {
      if (Ended(process.hProcess)) return Fail(105, "the program ended before its window showed");
      if (waited >= kBound) {
        TerminateProcess(process.hProcess, 1);
        return Fail(106, "no window of that title");
      }
      Sleep(20);
    }
    for (const char* k = keys; *k; ++k) {
      DWORD_PTR result;
      if (!SendMessageTimeoutW(window, WM_CHAR, static_cast<WPARAM>(*k), 0, SMTO_ABORTIFHUNG,
                               kBound, &result)) {
        TerminateProcess(process.hProcess, 1);
        return Fail(107, "the window took no key");
      }
    }
    RECT client = {0, 0, 0, 0};
    for (DWORD waited = 0;; waited += 20) {
      GetClientRect(window, &client);
      if (client.right == width && client.bottom > height) break;
      if (waited >= kBound) {
        TerminateProcess(process.hProcess, 1);
        fprintf(stderr, "korvex-window-probe: the client area stayed %ldx%ld\n", client.right,
                client.bottom);
        return 108;
      }
      Sleep(20);
    }
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    printf("client %ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
    fflush(stdout);
    for (DWORD waited = 0; GetFileAttributesW(L"go") == INVALID_FILE_ATTRIBUTES; waited += 20) {
      if (waited >= kBound) {
        TerminateProcess(process.hProcess, 1);
        return Fail(109, "no go from the test");
      }
      Sleep(20);
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
  }
  if (WaitForSingleObject(process.hProcess, kBound) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    return Fail(110, "the program did not end");
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  printf("exit %lu\n", static_cast<unsigned long>(status));
  return static_cast<int>(status);
}
