// The board program on Windows: a COM port (the other end of a virtual
// null-modem pair, such as com0com makes, or a real line), a capture file or
// standard input; Ctrl+C for stop; keys and the live view in the console.
// The one thread waits on events: the port's overlapped read, the stop
// event and, with the window open, its messages; it spends no time while
// nothing comes (but for keys in the console, looked at every 50 ms, and a
// pipe, looked at every 10 ms).
#include <windows.h>
#include <conio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "tools/board/platform.h"
#include "tools/board/window_win32.h"
#include "tools/common/port_names.h"
#include "tools/common/windows_helpers.h"

namespace board {

enum class SourceKind { kPort, kFile, kPipe };

struct Input {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool owns_handle = true;
  SourceKind kind = SourceKind::kFile;
  std::string name;
  bool keys = false;
  bool ended = false;          // the end of the file or pipe was read
  // A port is read overlapped, into its own buffer; at most one read or one
  // wait for a received character is under way.
  OVERLAPPED read{};
  OVERLAPPED received{};
  DWORD events = 0;
  bool reading = false, waiting = false;
  std::vector<uint8_t> buffer;
};

namespace {

volatile LONG g_stop = 0;
HANDLE g_stop_event = nullptr;  // set with g_stop, to end a wait at once

BOOL WINAPI OnConsoleEvent(DWORD event) {
  RequestStop();
  // Closing the console window ends the process once this returns: give the
  // main loop a moment to write its picture first.
  if (event == CTRL_CLOSE_EVENT) Sleep(2000);
  return TRUE;
}

std::string ErrorText(DWORD code) {
  const std::string text = tools_common::SystemErrorText(code);
  const std::string number = "error " + std::to_string(code);
  return text.empty() ? number : text + " (" + number + ")";
}

// Waits up to ms (INFINITE: no limit) for `handle` (null: none), the stop
// event, or with the window open one of its messages, which it handles.
// True when `handle` is set.
bool WaitFor(HANDLE handle, DWORD ms) {
  HANDLE handles[2];
  DWORD n = 0;
  if (g_stop_event) handles[n++] = g_stop_event;
  if (handle) handles[n++] = handle;
  DWORD result;
  if (WindowIsOpen()) {
    // MWMO_INPUTAVAILABLE: messages already in the queue end the wait too.
    result = MsgWaitForMultipleObjectsEx(n, handles, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    WindowPump();
  } else if (n > 0) {
    result = WaitForMultipleObjects(n, handles, FALSE, ms);
  } else {
    Sleep(ms);
    return false;
  }
  return handle && result == WAIT_OBJECT_0 + n - 1;
}

bool OpenPort(const InputRequest& request, Input* input, std::string* error) {
  // By the driver's rule: through the device namespace, so that COM10 and
  // above open too, less a trailing colon.
  const std::string device = tools_common::PortDeviceName(request.port);
  const std::string name = tools_common::PortPlainName(request.port);
  input->handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (input->handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      *error = "cannot open " + name + ": there is no such port (error " +
               std::to_string(code) + ")";
    } else if (code == ERROR_ACCESS_DENIED) {
      *error = "cannot open " + name +
               ": another program has the port open (error 5); close it, or give the other "
               "port of the null-modem pair";
    } else {
      *error = "cannot open " + name + ": " + ErrorText(code);
    }
    return false;
  }
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(input->handle, &dcb)) {
    *error = "cannot open " + name + ": it is no serial port: " +
             ErrorText(GetLastError());
    return false;
  }
  dcb.BaudRate = static_cast<DWORD>(request.baud > 0 ? request.baud : 19200);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  // A virtual port may refuse a rate it does not emulate; it reads all the
  // same, so a refusal is not fatal.
  SetCommState(input->handle, &dcb);
  SetupComm(input->handle, 65536, 4096);
  // A read returns what is there at once; a wait for a received character
  // (EV_RXCHAR) tells when there is more.
  COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
  input->read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  input->received.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!SetCommTimeouts(input->handle, &timeouts) || !SetCommMask(input->handle, EV_RXCHAR) ||
      !input->read.hEvent || !input->received.hEvent) {
    *error = "cannot set the read time-outs of " + name + ": " +
             ErrorText(GetLastError());
    return false;
  }
  input->buffer.resize(65536);
  PurgeComm(input->handle, PURGE_RXABORT | PURGE_RXCLEAR);
  input->kind = SourceKind::kPort;
  return true;
}

bool OpenFile(const std::string& path, Input* input, std::string* error) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = "cannot read " + path + ": it is a folder";
    return false;
  }
  input->handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (input->handle == INVALID_HANDLE_VALUE) {
    *error = "cannot read " + path + ": " + ErrorText(GetLastError());
    return false;
  }
  input->kind = SourceKind::kFile;
  return true;
}

bool OpenStandardInput(Input* input, std::string* error) {
  input->handle = GetStdHandle(STD_INPUT_HANDLE);
  input->owns_handle = false;
  switch (GetFileType(input->handle)) {
    case FILE_TYPE_DISK: input->kind = SourceKind::kFile; return true;
    case FILE_TYPE_PIPE: input->kind = SourceKind::kPipe; return true;
    default:
      *error = "cannot read standard input: it is the console; redirect a capture into it "
               "(< capture.bin) or give --input FILE";
      return false;
  }
}

bool IsConsole(HANDLE handle) {
  DWORD mode;
  return GetConsoleMode(handle, &mode) != 0;
}

HANDLE Out() { return GetStdHandle(STD_OUTPUT_HANDLE); }

bool g_vt = false;  // the console takes terminal sequences

// UTF-8 to the console as UTF-16, whatever its code page; elsewhere as bytes.
void WriteOut(const std::string& text) {
  if (!IsConsole(Out())) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
    return;
  }
  fflush(stdout);
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  if (n <= 0) return;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  DWORD written = 0;
  WriteConsoleW(Out(), wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

}  // namespace

Input* OpenInput(const InputRequest& request, std::string* name, std::string* error) {
  Input* input = new Input;
  bool ok;
  if (request.file == "-") {
    input->name = "standard input";
    ok = OpenStandardInput(input, error);
  } else if (!request.file.empty()) {
    input->name = request.file;
    ok = OpenFile(request.file, input, error);
  } else if (!request.port.empty()) {
    input->name = tools_common::PortPlainName(request.port);
    ok = OpenPort(request, input, error);
  } else {
    *error = "give --port COMn (the other end of a null-modem pair) or --input FILE";
    ok = false;
  }
  if (!ok) {
    CloseInput(input);
    return nullptr;
  }
  input->keys = request.keys && request.file != "-" && IsConsole(GetStdHandle(STD_INPUT_HANDLE));
  *name = input->name;
  return input;
}

bool InputEnds(const Input* input) { return input->kind != SourceKind::kPort; }

bool KeysActive(const Input* input) { return input->keys; }

void CloseInput(Input* input) {
  if (!input) return;
  if (input->reading || input->waiting) {
    // An operation the port does not give up within a second keeps its
    // buffers: the Input is left to it.
    CancelIo(input->handle);
    HANDLE event = input->reading ? input->read.hEvent : input->received.hEvent;
    if (WaitForSingleObject(event, 1000) != WAIT_OBJECT_0) return;
  }
  if (input->owns_handle && input->handle != INVALID_HANDLE_VALUE) CloseHandle(input->handle);
  if (input->read.hEvent) CloseHandle(input->read.hEvent);
  if (input->received.hEvent) CloseHandle(input->received.hEvent);
  delete input;
}

namespace {

// A key typed in the window, or in the console when keys are read there.
bool TakeKey(Input* input, int* key) {
  if (WindowTakeKey(key)) return true;
  while (input->keys && _kbhit()) {
    int c = _getch();
    // A function or arrow key comes as two codes; the second names it.
    if (c == 0 || c == 0xE0) {
      _getch();
      continue;
    }
    *key = c;
    return true;
  }
  return false;
}

// A read that failed: the message names the source and the system's error.
WaitResult ReadFailed(Input* input, std::string* error) {
  *error = "cannot read " + input->name + ": " + ErrorText(GetLastError());
  return WaitResult::kError;
}

bool PortFailed(Input* input, std::string* error) {
  ReadFailed(input, error);
  return false;
}

WaitResult Ended(Input* input) {
  input->ended = true;
  return WaitResult::kEnd;
}

// The port, waited for up to ms: *got is 0 when nothing came. A read takes
// what is there; when that is nothing, a wait for the next character (whose
// end is then followed by a new read). Under Wine a read with nothing there
// stays under way until a byte comes instead: it is waited for the same way.
bool ReadPort(Input* input, DWORD ms, DWORD* got, std::string* error) {
  *got = 0;
  if (!input->reading && !input->waiting) {
    if (!ReadFile(input->handle, input->buffer.data(), static_cast<DWORD>(input->buffer.size()),
                  nullptr, &input->read) &&
        GetLastError() != ERROR_IO_PENDING) {
      return PortFailed(input, error);
    }
    input->reading = true;
  }
  if (input->reading) {
    if (!WaitFor(input->read.hEvent, ms)) return true;
    input->reading = false;
    if (!GetOverlappedResult(input->handle, &input->read, got, FALSE)) {
      return PortFailed(input, error);
    }
    if (*got > 0) return true;
    // Nothing there: a character that comes from now on ends this wait.
    if (!WaitCommEvent(input->handle, &input->events, &input->received) &&
        GetLastError() != ERROR_IO_PENDING) {
      return PortFailed(input, error);
    }
    input->waiting = true;
  }
  if (!WaitFor(input->received.hEvent, ms)) return true;
  input->waiting = false;
  DWORD unused;
  if (!GetOverlappedResult(input->handle, &input->received, &unused, FALSE)) {
    return PortFailed(input, error);
  }
  return true;
}

}  // namespace

WaitResult WaitInput(Input* input, uint8_t* buffer, size_t capacity, size_t* size, int* key,
                     double seconds, std::string* error) {
  *size = 0;
  const double deadline = seconds >= 0 ? NowSeconds() + seconds : 0;
  const DWORD chunk = capacity > 0x10000 ? 0x10000 : static_cast<DWORD>(capacity);
  for (;;) {
    WindowPump();
    if (StopRequested() || WindowScaleAsked()) return WaitResult::kTimeout;
    if (TakeKey(input, key)) return WaitResult::kKey;
    DWORD ms = INFINITE;
    if (seconds >= 0) {
      const double left = deadline - NowSeconds();
      if (left <= 0) return WaitResult::kTimeout;
      ms = static_cast<DWORD>(left * 1000) + 1;
    }
    // Keys in the console give no event this thread can wait for.
    if (input->keys && ms > 50) ms = 50;
    if (input->ended) {
      WaitFor(nullptr, ms);
      continue;
    }
    DWORD got = 0;
    switch (input->kind) {
      case SourceKind::kPort:
        if (!ReadPort(input, ms, &got, error)) return WaitResult::kError;
        if (got > 0) {
          memcpy(buffer, input->buffer.data(), got);
          *size = got;
          return WaitResult::kData;
        }
        break;
      case SourceKind::kPipe: {
        DWORD available = 0;
        if (!PeekNamedPipe(input->handle, nullptr, 0, nullptr, &available, nullptr)) {
          if (GetLastError() == ERROR_BROKEN_PIPE) return Ended(input);
          return ReadFailed(input, error);
        }
        if (available == 0) {
          WaitFor(nullptr, ms < 10 ? ms : 10);
          continue;
        }
        if (!ReadFile(input->handle, buffer, available < chunk ? available : chunk, &got,
                      nullptr)) {
          if (GetLastError() == ERROR_BROKEN_PIPE) return Ended(input);
          return ReadFailed(input, error);
        }
        break;
      }
      case SourceKind::kFile:
        if (!ReadFile(input->handle, buffer, chunk, &got, nullptr)) return ReadFailed(input, error);
        if (got == 0) return Ended(input);
        break;
    }
    if (got > 0) {
      *size = got;
      return WaitResult::kData;
    }
  }
}

void InstallRequestHandlers() {
  g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RequestStop() {
  InterlockedExchange(&g_stop, 1);
  if (g_stop_event) SetEvent(g_stop_event);
}

bool StopRequested() { return InterlockedCompareExchange(&g_stop, 0, 0) != 0; }

bool TakeSnapshotRequest() { return false; }

double NowSeconds() { return tools_common::MonotonicSeconds(); }

void Pause(double seconds) {
  const double until = NowSeconds() + seconds;
  for (double left = seconds; left > 0 && !StopRequested(); left = until - NowSeconds()) {
    WaitFor(nullptr, static_cast<DWORD>(left * 1000) + 1);
  }
}

bool MoveOver(const std::string& from, const std::string& to, std::string* error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  *error = ErrorText(GetLastError());
  return false;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int ConsoleColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(Out(), &info)) return info.srWindow.Right - info.srWindow.Left + 1;
  const char* columns = getenv("COLUMNS");
  const int n = columns ? atoi(columns) : 0;
  return n > 0 ? n : 80;
}

// Windows Terminal's fonts have the braille patterns; the classic console's
// do not, but they have the half blocks.
TerminalStyle DefaultLiveStyle() {
  return getenv("WT_SESSION") ? TerminalStyle::Braille : TerminalStyle::HalfBlocks;
}

void ConsoleBeginLive() {
  DWORD mode = 0;
  if (IsConsole(Out()) && GetConsoleMode(Out(), &mode)) {
    // ENABLE_VIRTUAL_TERMINAL_PROCESSING, from Windows 10 on.
    g_vt = SetConsoleMode(Out(), mode | ENABLE_PROCESSED_OUTPUT | 0x0004) != 0;
  } else {
    g_vt = true;  // a file or a pipe gets the sequences as on any terminal
  }
  if (g_vt) WriteOut("\x1b[?25l\x1b[2J");
}

void ConsoleDrawFrame(const std::vector<std::string>& lines) {
  if (g_vt) {
    std::string frame = "\x1b[H";
    for (const std::string& line : lines) frame += line + "\x1b[K\n";
    frame += "\x1b[J";
    WriteOut(frame);
    return;
  }
  // An older console: the cursor put at the top left, each line padded to
  // the window's width, and the rest of the window blanked.
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(Out(), &info)) return;
  const int width = info.srWindow.Right - info.srWindow.Left;
  COORD top = {info.srWindow.Left, info.srWindow.Top};
  SetConsoleCursorPosition(Out(), top);
  std::string frame;
  for (const std::string& line : lines) {
    std::string padded = FitUtf8(line, width);
    int characters = 0;
    for (unsigned char c : padded) characters += (c & 0xC0) != 0x80;
    frame += padded + std::string(static_cast<size_t>(width - characters), ' ') + "\n";
  }
  WriteOut(frame);
  if (GetConsoleScreenBufferInfo(Out(), &info) && info.dwCursorPosition.Y < info.srWindow.Bottom) {
    DWORD written = 0;
    const DWORD cells = static_cast<DWORD>(info.srWindow.Bottom - info.dwCursorPosition.Y) *
                        static_cast<DWORD>(info.dwSize.X);
    FillConsoleOutputCharacterW(Out(), L' ', cells, info.dwCursorPosition, &written);
  }
}

void ConsoleEndLive() {
  if (g_vt) WriteOut("\x1b[?25h");
}

}  // namespace board
