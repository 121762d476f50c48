// Small Windows services shared by the tools' Windows programs.
#pragma once

#include <windows.h>

#include <string>

namespace tools_common {

// The system's text for an error code, without its line end and final full
// stop; empty when the system has none.
inline std::string SystemErrorText(DWORD code) {
  char text[512] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' ||
                   text[n - 1] == '.')) {
    text[--n] = 0;
  }
  return std::string(text, n);
}

// Monotonic seconds from the performance counter.
inline double MonotonicSeconds() {
  static LARGE_INTEGER frequency = {};
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace tools_common
