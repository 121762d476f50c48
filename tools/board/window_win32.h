// Between the Windows input (platform_win32.cpp) and the window
// (window_win32.cpp): the one thread waits for both, handling the window's
// messages while it waits for bytes.
#pragma once

namespace board {

// Whether the window is open, so waits must wake for its messages.
bool WindowIsOpen();
// Handles the window's messages that are there, without waiting.
void WindowPump();
// A key typed in the window (s, q, Esc, ...), oldest first; false when none.
bool WindowTakeKey(int* key);
// Whether a scale request waits for WindowTakeScaleRequest.
bool WindowScaleAsked();

// A stop request, as Ctrl+C makes one: closing the window.
void RequestStop();

}  // namespace board
