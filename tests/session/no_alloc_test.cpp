// No export allocates memory: every heap entry point is counted while an
// export runs, with the driver on the POSIX layer and a real pty.
#include <gtest/gtest.h>
#include <malloc.h>

#include <functional>

#include "core/driver_state.h"
#include "core/exports.h"
#include "session_support.h"

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_memalign(size_t, size_t);

namespace {
bool g_counting = false;
long g_allocations = 0;
}  // namespace

extern "C" void* malloc(size_t size) {
  if (g_counting) ++g_allocations;
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t n, size_t size) {
  if (g_counting) ++g_allocations;
  return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t size) {
  if (g_counting) ++g_allocations;
  return __libc_realloc(p, size);
}
extern "C" void* memalign(size_t alignment, size_t size) {
  if (g_counting) ++g_allocations;
  return __libc_memalign(alignment, size);
}

namespace {

template <typename F>
long AllocationsIn(F call) {
  g_allocations = 0;
  g_counting = true;
  call();
  g_counting = false;
  return g_allocations;
}

TEST(NoAllocation, NoExportAllocates) {
  // The counter must see an allocation when there is one.
  EXPECT_EQ(AllocationsIn([] { free(malloc(16)); }), 1);
  // What the C library itself takes to open, write and close a stream: the
  // most a start may allocate with the trace on.
  const long stream = AllocationsIn([] {
    FILE* file = fopen("/dev/null", "a");
    fputs("x\n", file);
    fclose(file);
  });

  // With the trace off, and again with it on so that every trace line runs.
  for (int log = 0; log <= 1; ++log) {
    SCOPED_TRACE(log ? "LogFile=1" : "LogFile=0");
    ResetDriverState();
    SessionDir dir = EnterTempDir();
    Pty pty = OpenPty();
    {
      std::ofstream out("config.ini");
      out << "[Korvex]\nLCD_UseOutPorts=1\nGfxBufferSize=4096\nLogFile=" << log << "\n";
    }
    const char* port = pty.name.c_str();
    std::vector<uint8_t> picture(240 * 64, 1);
    CgramCharRecord record = {};
    DriverInfo info;
    struct Call {
      const char* name;
      bool opens_trace;
      std::function<void()> run;
    } calls[] = {
        {"LCD_SetIOPropertys", false, [&] { LCD_SetIOPropertys(port, 0, 0, 0, 0, 240, 64, 1, 9, 0, 9, 7, 0, 0); }},
        {"LCD_Init", true, [] { LCD_Init(); }},
        {"LCD_Init again", true, [] { LCD_Init(); }},
        {"LCD_SetIOPropertys open", false, [&] { LCD_SetIOPropertys(port, 0, 0, 0, 0, 240, 64, 0, 5, 0, 5, 0x01020304, 0, 0); }},
        {"LCD_SetOutputAddress", false, [] { LCD_SetOutputAddress(3, 4); }},
        {"LCD_SendToMemory", false, [] { for (int i = 0; i < 100; ++i) LCD_SendToMemory('a' + i % 26); }},
        {"LCD_SetCGRAMChar", false, [&] { LCD_SetCGRAMChar(record); }},
        {"LCD_GetCGRAMChar", false, [] { LCD_GetCGRAMChar(3); }},
        {"LCD_SendToGfxMemory", false, [&] { LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0); }},
        {"LCD_SendToGfxMemory small", false, [&] { LCD_SendToGfxMemory(picture.data(), 5, 5, 9, 5, 0); }},
        {"LCD_IsReadyToReceive", false, [] { LCD_IsReadyToReceive(); }},
        {"DLL_GetInfo", false, [&] { DLL_GetInfo(&info); }},
        {"LCD_SendToController", false, [] { LCD_SendToController(1); }},
        {"LCD_Customize", false, [] { LCD_Customize(1, 2, 3, 4, 5); }},
        {"LCD_CleanUp", false, [] { LCD_CleanUp(); }},
        {"LCD_CleanUp closed", false, [] { LCD_CleanUp(); }},
    };
    for (const Call& call : calls) {
      EXPECT_LE(AllocationsIn(call.run), log && call.opens_trace ? stream : 0) << call.name;
      Drain(pty, 1);
    }
    if (log) EXPECT_NE(ReadFile("debug.log").find("LCD_SendToGfxMemory"), std::string::npos);
    ClosePty(pty);
    LeaveTempDir(dir);
  }
  ResetDriverState();
}

}  // namespace
