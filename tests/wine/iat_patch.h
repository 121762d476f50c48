// For the Wine probes: the import-table patch (tools/common/iat_patch.h) and
// a stand-in for the message box that reports it on standard output.
#pragma once

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "tools/common/iat_patch.h"

// Prints `text` on one line: line feeds as \n, carriage returns as \r.
inline void PrintEscaped(const char* text) {
  if (text == nullptr) {
    fputs("(null)", stdout);
    return;
  }
  for (const char* p = text; *p; ++p) {
    switch (*p) {
      case '\n':
        fputs("\\n", stdout);
        break;
      case '\r':
        fputs("\\r", stdout);
        break;
      default:
        fputc(*p, stdout);
    }
  }
}

// Stands in for user32!MessageBoxA: reports the box on standard output and
// answers as if OK had been pressed.
inline int WINAPI FakeMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  printf("MESSAGEBOX owner=%s type=0x%X caption=", owner == NULL ? "none" : "some",
         static_cast<unsigned>(type));
  PrintEscaped(caption);
  fputs(" text=", stdout);
  PrintEscaped(text);
  fputc('\n', stdout);
  fflush(stdout);
  return IDOK;
}
