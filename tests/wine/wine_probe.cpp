// korvex-wine-probe: loads a Korvex.dll by path, as the host does, and calls
// its exports by name in one scenario. The message box and the serial calls
// the library makes are watched through its import table:
//
//   MESSAGEBOX owner=none type=0x0 caption=... text=...   instead of a box, answered OK
//   CREATEFILE name                                       the device name opened
//   SETCOMMTIMEOUTS ri rm rc wm wc                        the time-outs applied ...
//   COMMTIMEOUTS ri rm rc wm wc                           ... and read back from the port
//   WRITEFILE asked -> written                            every port write
//   CLEARCOMMERROR                                        every error reset
//   PURGECOMM flags                                       every purge (see below)
//   ESCAPE function                                       every DTR/RTS request
//
// The purges go through as the driver asks for them: on a pty Wine turns the
// transmit purge into a TCOFLUSH, which throws away what the other end has
// not read yet, and the driver waits for the line time of its bytes first.
//
// Usage: korvex-wine-probe DLL SCENARIO [ARGS...] [--short-writes] [--fail-write N[,N...]]
//   info                     DLL_GetInfo, the record's 264 bytes in hex
//   version                  the library's version resource
//   config-dialog            LCD_ConfigDialog before any LCD_Init
//   init-cleanup PORT        LCD_SetIOPropertys(PORT), LCD_Init, LCD_CleanUp
//   init-twice PORT          the same with two LCD_Init in a row
//   config-after-init PORT   LCD_Init, LCD_ConfigDialog, LCD_CleanUp
//   text PORT HEX            LCD_Init, LCD_SendToMemory per byte, LCD_CleanUp
// --short-writes makes every port write of more than one byte write only half
// (rounded up); --fail-write N,M makes the Nth and the Mth port write fail
// with nothing written; --pause MS waits that long before LCD_CleanUp (the
// driver's time budget refills meanwhile).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "core/exports.h"
#include "tests/wine/iat_patch.h"

namespace {

// ---------------------------------------------------------------- watchers

bool g_short_writes = false;
// 1-based numbers of the writes that fail: after a line error, as
// abort-on-error makes them fail (the next ClearCommError reports it); with a
// time-out error, as some serial drivers report a write time-out; or with a
// device error and nothing to clear.
const char* g_fail_writes = "";
const char* g_time_out_writes = "";
const char* g_drop_writes = "";
int g_write_count = 0;
bool g_line_error = false;

bool Listed(const char* list, int number) {
  for (const char* p = list; *p;) {
    char* end = nullptr;
    if (strtol(p, &end, 10) == number) return true;
    p = *end == ',' ? end + 1 : end;
    if (end == p && *p) ++p;
  }
  return false;
}

decltype(&CreateFileA) g_real_create_file = nullptr;
decltype(&SetCommTimeouts) g_real_set_timeouts = nullptr;
decltype(&WriteFile) g_real_write_file = nullptr;
decltype(&ClearCommError) g_real_clear_error = nullptr;
decltype(&PurgeComm) g_real_purge = nullptr;
decltype(&EscapeCommFunction) g_real_escape = nullptr;

HANDLE WINAPI WatchCreateFileA(LPCSTR name, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE templ) {
  printf("CREATEFILE ");
  PrintEscaped(name);
  printf(" access=0x%lX share=%lu security=%s disposition=%lu flags=0x%lX template=%s\n", access,
         share, security == NULL ? "none" : "some", disposition, flags,
         templ == NULL ? "none" : "some");
  fflush(stdout);
  return g_real_create_file(name, access, share, security, disposition, flags, templ);
}

BOOL WINAPI WatchSetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS t) {
  printf("SETCOMMTIMEOUTS %lu %lu %lu %lu %lu\n", t->ReadIntervalTimeout,
         t->ReadTotalTimeoutMultiplier, t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutMultiplier,
         t->WriteTotalTimeoutConstant);
  BOOL ok = g_real_set_timeouts(port, t);
  COMMTIMEOUTS back;
  if (ok && GetCommTimeouts(port, &back))
    printf("COMMTIMEOUTS %lu %lu %lu %lu %lu\n", back.ReadIntervalTimeout,
           back.ReadTotalTimeoutMultiplier, back.ReadTotalTimeoutConstant,
           back.WriteTotalTimeoutMultiplier, back.WriteTotalTimeoutConstant);
  else
    printf("COMMTIMEOUTS failed error=%lu\n", GetLastError());
  fflush(stdout);
  return ok;
}

BOOL WINAPI WatchWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                           LPOVERLAPPED overlapped) {
  ++g_write_count;
  const DWORD error = Listed(g_fail_writes, g_write_count)       ? ERROR_OPERATION_ABORTED
                      : Listed(g_time_out_writes, g_write_count) ? ERROR_SEM_TIMEOUT
                      : Listed(g_drop_writes, g_write_count)     ? ERROR_GEN_FAILURE
                                                                 : 0;
  if (error != 0) {
    if (written != NULL) *written = 0;
    printf("WRITEFILE %lu -> fail\n", size);
    fflush(stdout);
    g_line_error = error == ERROR_OPERATION_ABORTED;
    SetLastError(error);
    return FALSE;
  }
  DWORD asked = size;
  if (g_short_writes && size > 1) asked = (size + 1) / 2;
  BOOL ok = g_real_write_file(file, data, asked, written, overlapped);
  printf("WRITEFILE %lu -> %lu\n", size, written != NULL ? *written : 0);
  fflush(stdout);
  return ok;
}

BOOL WINAPI WatchClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status) {
  printf("CLEARCOMMERROR\n");
  fflush(stdout);
  BOOL ok = g_real_clear_error(port, errors, status);
  if (ok && g_line_error && errors != NULL) *errors |= CE_FRAME;
  g_line_error = false;
  return ok;
}

BOOL WINAPI WatchPurgeComm(HANDLE port, DWORD flags) {
  printf("PURGECOMM 0x%lX\n", flags);
  fflush(stdout);
  return g_real_purge(port, flags);
}

BOOL WINAPI WatchEscapeCommFunction(HANDLE port, DWORD function) {
  const char* name = function == SETDTR   ? "SETDTR"
                     : function == CLRDTR ? "CLRDTR"
                     : function == SETRTS ? "SETRTS"
                     : function == CLRRTS ? "CLRRTS"
                                          : "other";
  BOOL ok = g_real_escape(port, function);
  printf("ESCAPE %s %s\n", name, ok ? "ok" : "fail");
  fflush(stdout);
  return ok;
}

template <typename T>
bool Watch(HMODULE module, const char* dll, const char* name, T replacement, T* real) {
  void* previous = PatchImport(module, dll, name, reinterpret_cast<void*>(replacement));
  if (previous == nullptr) {
    printf("cannot patch %s!%s\n", dll, name);
    return false;
  }
  if (real != nullptr) *real = reinterpret_cast<T>(previous);
  return true;
}

// ---------------------------------------------------------------- exports

struct Exports {
  decltype(&DLL_GetInfo) get_info;
  decltype(&LCD_Init) init;
  decltype(&LCD_CleanUp) clean_up;
  decltype(&LCD_ConfigDialog) config_dialog;
  decltype(&LCD_SendToMemory) send_to_memory;
  decltype(&LCD_SetIOPropertys) set_io;
};

template <typename T>
bool Resolve(HMODULE module, const char* name, T* out) {
  *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (*out == nullptr) printf("missing export %s\n", name);
  return *out != nullptr;
}

// The port name, as the host hands it over, with values that send nothing
// on a first call: backlight allowed and 0, contrast 0, ports 0.
void SetPort(const Exports& e, const char* port) {
  e.set_io(port, 0, 0, 0, 0, 240, 64, 1, 0, 0, 0, 0, 0, 0);
}

// The fixed version numbers and the strings of the version resource.
int PrintVersion(const char* path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  static char data[16384];
  if (size == 0 || size > sizeof data || !GetFileVersionInfoA(path, 0, size, data)) {
    printf("VERSION none error=%lu\n", GetLastError());
    return 1;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueA(data, "\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
    printf("VERSION file=%lu.%lu.%lu.%lu product=%lu.%lu.%lu.%lu type=%lu os=0x%lX\n",
           fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
           fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF,
           fixed->dwProductVersionMS >> 16, fixed->dwProductVersionMS & 0xFFFF,
           fixed->dwProductVersionLS >> 16, fixed->dwProductVersionLS & 0xFFFF, fixed->dwFileType,
           fixed->dwFileOS);
  }
  WORD* translation = nullptr;
  if (VerQueryValueA(data, "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                     &length) &&
      translation && length >= 4)
    printf("TRANSLATION %04X%04X\n", translation[0], translation[1]);
  const char* names[] = {"FileDescription",  "FileVersion", "InternalName",
                         "OriginalFilename", "ProductName", "ProductVersion"};
  for (const char* name : names) {
    char query[128];
    snprintf(query, sizeof query, "\\StringFileInfo\\040904E4\\%s", name);
    char* value = nullptr;
    if (VerQueryValueA(data, query, reinterpret_cast<void**>(&value), &length) && value)
      printf("STRING %s=%s\n", name, value);
    else
      printf("STRING %s missing\n", name);
  }
  return 0;
}

int ParseHex(const char* text, unsigned char* out, int capacity) {
  int count = 0;
  for (const char* p = text; p[0] && p[1] && count < capacity; p += 2) {
    char pair[3] = {p[0], p[1], 0};
    out[count++] = static_cast<unsigned char>(strtoul(pair, nullptr, 16));
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  // Options may stand anywhere after the scenario; the rest are positional.
  const char* args[8] = {};
  int count = 0;
  DWORD pause_ms = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--short-writes") == 0) {
      g_short_writes = true;
    } else if (strcmp(argv[i], "--fail-write") == 0 && i + 1 < argc) {
      g_fail_writes = argv[++i];
    } else if (strcmp(argv[i], "--time-out-write") == 0 && i + 1 < argc) {
      g_time_out_writes = argv[++i];
    } else if (strcmp(argv[i], "--drop-write") == 0 && i + 1 < argc) {
      g_drop_writes = argv[++i];
    } else if (strcmp(argv[i], "--pause") == 0 && i + 1 < argc) {
      pause_ms = (DWORD)atoi(argv[++i]);
    } else if (count < 8) {
      args[count++] = argv[i];
    }
  }
  if (count < 2) {
    fprintf(stderr, "usage: korvex-wine-probe DLL SCENARIO [ARGS...]\n");
    return 2;
  }
  HMODULE module = LoadLibraryA(args[0]);
  if (module == NULL) {
    printf("cannot load %s: error %lu\n", args[0], GetLastError());
    return 2;
  }
  bool watched =
      Watch(module, "user32.dll", "MessageBoxA", &FakeMessageBoxA,
            static_cast<decltype(&FakeMessageBoxA)*>(nullptr)) &&
      Watch(module, "kernel32.dll", "CreateFileA", &WatchCreateFileA, &g_real_create_file) &&
      Watch(module, "kernel32.dll", "SetCommTimeouts", &WatchSetCommTimeouts,
            &g_real_set_timeouts) &&
      Watch(module, "kernel32.dll", "WriteFile", &WatchWriteFile, &g_real_write_file) &&
      Watch(module, "kernel32.dll", "ClearCommError", &WatchClearCommError, &g_real_clear_error) &&
      Watch(module, "kernel32.dll", "PurgeComm", &WatchPurgeComm, &g_real_purge) &&
      Watch(module, "kernel32.dll", "EscapeCommFunction", &WatchEscapeCommFunction, &g_real_escape);
  Exports e;
  bool resolved = Resolve(module, "DLL_GetInfo", &e.get_info) &&
                  Resolve(module, "LCD_Init", &e.init) &&
                  Resolve(module, "LCD_CleanUp", &e.clean_up) &&
                  Resolve(module, "LCD_ConfigDialog", &e.config_dialog) &&
                  Resolve(module, "LCD_SendToMemory", &e.send_to_memory) &&
                  Resolve(module, "LCD_SetIOPropertys", &e.set_io);
  if (!watched || !resolved) return 2;

  const char* scenario = args[1];
  const char* port = count > 2 ? args[2] : nullptr;
  int rc = 0;
  if (strcmp(scenario, "info") == 0) {
    DriverInfo info;
    memset(&info, 0xEE, sizeof info);
    DriverInfo* result = e.get_info(&info);
    printf("INFO same=%d ", result == &info);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&info);
    for (size_t i = 0; i < sizeof info; ++i) printf("%02X", bytes[i]);
    printf("\n");
  } else if (strcmp(scenario, "version") == 0) {
    rc = PrintVersion(args[0]);
  } else if (strcmp(scenario, "config-dialog") == 0) {
    printf("RESULT %d\n", static_cast<int>(e.config_dialog()));
  } else if (strcmp(scenario, "init-cleanup") == 0 && port != nullptr) {
    SetPort(e, port);
    e.init();
    e.clean_up();
  } else if (strcmp(scenario, "init-twice") == 0 && port != nullptr) {
    SetPort(e, port);
    e.init();
    e.init();
    e.clean_up();
  } else if (strcmp(scenario, "config-after-init") == 0 && port != nullptr) {
    SetPort(e, port);
    e.init();
    printf("RESULT %d\n", static_cast<int>(e.config_dialog()));
    e.clean_up();
  } else if (strcmp(scenario, "text") == 0 && port != nullptr && count > 3) {
    unsigned char bytes[256];
    int n = ParseHex(args[3], bytes, sizeof bytes);
    SetPort(e, port);
    e.init();
    for (int i = 0; i < n; ++i) e.send_to_memory(bytes[i]);
    if (pause_ms > 0) Sleep(pause_ms);
    e.clean_up();
  } else {
    fprintf(stderr, "unknown scenario or missing arguments: %s\n", scenario);
    rc = 2;
  }
  printf("DONE\n");
  fflush(stdout);
  FreeLibrary(module);
  return rc;
}
