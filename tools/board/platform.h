// What the board program needs from the system it runs on: a byte source
// (a capture file, standard input, a serial port, or on POSIX a new pty),
// keys, stop requests, the console, the window (Windows) and the clock.
// platform_posix.cpp and platform_win32.cpp (with window_win32.cpp)
// implement it; everything else is shared.
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
// buffer (*size), or a key (*key) of the console or the window. kTimeout also
// returns early when a stop, snapshot or scale request arrives. kError
// carries a whole message in *error. After kEnd it only waits for the rest.
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

// The window: the picture in a window of its own, redrawn by WindowShow. Its
// keys s, q and Esc come through WaitInput; + and - and a frame dragged to
// another size ask for another scale (WindowTakeScaleRequest); t keeps it on
// top; closing it is a stop request.
//
// Null where the system has the window; otherwise why not (a bad option).
const char* WindowUnsupported();
// False, with the reason in *error, when there is no desktop to open it on.
bool WindowOpen(std::string* error);

struct WindowFrame {
  Image image;           // as RenderImage made it at `scale`
  DisplayConfig config;  // the board, for the sizes at other scales
  int scale = 1;
  std::string title;     // UTF-8
  std::string status;    // the status line, UTF-8
};

// Shows the frame, the first time too; the window takes the picture's size.
void WindowShow(const WindowFrame& frame);
// The scale asked for since the last call, or 0.
int WindowTakeScaleRequest();
void WindowClose();

}  // namespace board
