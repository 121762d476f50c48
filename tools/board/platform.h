// What the board program needs from the system it runs on: a byte source
// (a capture file, standard input, a serial port, or on POSIX a new pty),
// keys, stop requests, the console and the clock. platform_posix.cpp and
// platform_win32.cpp implement it; everything else is shared.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/board/render.h"

namespace board {

struct InputRequest {
  std::string file;  // a capture file; "-" for standard input
  std::string port;  // a serial device (COM7, /dev/ttyUSB0)
  std::string link;  // POSIX, no file or port: a symbolic link to the new pty
  int baud = 0;      // line speed for a port; 0: 19200
  bool keys = false; // read keys from the console while running
  bool quiet = false;
};

struct Input;

// Opens the source. On success *name says what is read (for messages and the
// live view); on failure returns null with a whole message in *error (the
// name of what could not be opened and why).
Input* OpenInput(const InputRequest& request, std::string* name, std::string* error);
// True for a source that ends (a file, standard input) rather than a line.
bool InputEnds(const Input* input);
// Whether keys are read: standard input is a console (in the foreground)
// and not the source.
bool KeysActive(const Input* input);
// Closes it; a link made for a pty is removed.
void CloseInput(Input* input);

enum class WaitResult { kData, kKey, kTimeout, kEnd, kError };

// Waits at most `seconds` (negative: without limit) for bytes, read into
// buffer (*size), or a key (*key). kTimeout also returns early when a stop
// or snapshot request arrives. kError carries a whole message in *error.
WaitResult WaitInput(Input* input, uint8_t* buffer, size_t capacity, size_t* size, int* key,
                     double seconds, std::string* error);

// Stop requests (Ctrl+C, and on POSIX SIGINT, SIGTERM, SIGHUP) and snapshot
// requests (POSIX: SIGUSR1) set flags that these take and clear.
void InstallRequestHandlers();
bool StopRequested();
bool TakeSnapshotRequest();

// Monotonic seconds; a pause that a stop request cuts short.
double NowSeconds();
void Pause(double seconds);

// Moves `from` over `to`, replacing it. False with the reason in *error.
bool MoveOver(const std::string& from, const std::string& to, std::string* error);
bool FileExists(const std::string& path);

// The console: its width in characters (80 when it is no console), the live
// view's default style there, and writing a frame of UTF-8 lines at its top
// left, each line ended and whatever was below erased.
int ConsoleColumns();
TerminalStyle DefaultLiveStyle();
void ConsoleBeginLive();
void ConsoleDrawFrame(const std::vector<std::string>& lines);
void ConsoleEndLive();

}  // namespace board
