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

  ResetDriverState();
  SessionDir dir = EnterTempDir();
  Pty pty = OpenPty();
  {
    std::ofstream out("config.ini");
    out << "[Korvex]\nLCD_UseOutPorts=1\nGfxBufferSize=4096\n";
  }
  const char* port = pty.name.c_str();
  std::vector<uint8_t> picture(240 * 64, 1);
  CgramCharRecord record = {};
  DriverInfo info;
  struct Call {
    const char* name;
    std::function<void()> run;
  } calls[] = {
      {"LCD_SetIOPropertys", [&] { LCD_SetIOPropertys(port, 0, 0, 0, 0, 240, 64, 1, 9, 0, 9, 7, 0, 0); }},
      {"LCD_Init", [] { LCD_Init(); }},
      {"LCD_Init again", [] { LCD_Init(); }},
      {"LCD_SetIOPropertys open", [&] { LCD_SetIOPropertys(port, 0, 0, 0, 0, 240, 64, 0, 5, 0, 5, 0x01020304, 0, 0); }},
      {"LCD_SetOutputAddress", [] { LCD_SetOutputAddress(3, 4); }},
      {"LCD_SendToMemory", [] { for (int i = 0; i < 100; ++i) LCD_SendToMemory('a' + i % 26); }},
      {"LCD_SetCGRAMChar", [&] { LCD_SetCGRAMChar(record); }},
      {"LCD_GetCGRAMChar", [] { LCD_GetCGRAMChar(3); }},
      {"LCD_SendToGfxMemory", [&] { LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0); }},
      {"LCD_SendToGfxMemory small", [&] { LCD_SendToGfxMemory(picture.data(), 5, 5, 9, 5, 0); }},
      {"LCD_IsReadyToReceive", [] { LCD_IsReadyToReceive(); }},
      {"DLL_GetInfo", [&] { DLL_GetInfo(&info); }},
      {"LCD_SendToController", [] { LCD_SendToController(1); }},
      {"LCD_Customize", [] { LCD_Customize(1, 2, 3, 4, 5); }},
      {"LCD_CleanUp", [] { LCD_CleanUp(); }},
      {"LCD_CleanUp closed", [] { LCD_CleanUp(); }},
  };
  for (const Call& call : calls) {
    EXPECT_EQ(AllocationsIn(call.run), 0) << call.name;
    Drain(pty, 1);
  }
  ClosePty(pty);
  LeaveTempDir(dir);
  ResetDriverState();
}

}  // namespace
