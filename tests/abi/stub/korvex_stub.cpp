// A stand-in Korvex.dll with the thirteen exports, built like the real DLL.
// Each KORVEX_STUB_* switch plants one fault that the ABI check must catch.
#if defined(KORVEX_STUB_VISTA)
// A function Windows XP does not have: the DLL would not load there. (Before
// any other header, which would set a default.)
#define _WIN32_WINNT 0x0600
#include <windows.h>
#endif
#include <stdint.h>

#if defined(KORVEX_STUB_DLLEXPORT)
// Marking the functions for export as well as listing them in the module
// definition exports every one twice: also under its decorated name.
#define STUB_API extern "C" __declspec(dllexport)
#else
#define STUB_API extern "C"
#endif
#define STUB_CALL __stdcall

#if defined(KORVEX_STUB_MISSPELLED)
#define STUB_SET_IO_PROPERTIES LCD_SetIOProperties
#else
#define STUB_SET_IO_PROPERTIES LCD_SetIOPropertys
#endif

#if defined(KORVEX_STUB_RUNTIME)
#include <stdexcept>
#include <string>
#endif

struct Record264 {
  char text[256];
  uint8_t trailer[8];
};
struct CgramRecord {
  uint8_t position;
  uint8_t matrix[64];
};

volatile uint32_t g_sink;

STUB_API Record264* STUB_CALL DLL_GetInfo(Record264* info) { return info; }

STUB_API void STUB_CALL LCD_Init() {
#if defined(KORVEX_STUB_RUNTIME)
  // Exceptions and std::string pull in the compiler's runtime libraries.
  try {
    std::string s(g_sink % 64 + 1, 'x');
    if (s.size() > 60) throw std::runtime_error(s);
    g_sink = static_cast<uint32_t>(s.size());
  } catch (const std::exception&) {
    g_sink = 0;
  }
#endif
}

STUB_API void STUB_CALL LCD_CleanUp() {
#if defined(KORVEX_STUB_VISTA)
  g_sink = static_cast<uint32_t>(GetTickCount64());
#endif
}
STUB_API uint8_t STUB_CALL LCD_IsReadyToReceive() { return 1; }
STUB_API void STUB_CALL LCD_SendToController(uint32_t) {}
STUB_API void STUB_CALL LCD_Customize(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
STUB_API int32_t STUB_CALL LCD_ConfigDialog() { return 0; }
STUB_API void STUB_CALL LCD_SendToGfxMemory(const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t,
                                            uint32_t) {}
STUB_API uint8_t STUB_CALL LCD_GetCGRAMChar(uint32_t position) { return (uint8_t)position; }
STUB_API void STUB_CALL LCD_SendToMemory(uint32_t code) { g_sink = code; }
STUB_API void STUB_CALL LCD_SetOutputAddress(int32_t, int32_t) {}
STUB_API void STUB_CALL LCD_SetCGRAMChar(CgramRecord record) { g_sink = record.position; }
STUB_API void STUB_CALL STUB_SET_IO_PROPERTIES(const char*, uint32_t, uint32_t, uint32_t, uint32_t,
                                               int32_t, int32_t, uint32_t, uint32_t, uint32_t,
                                               uint32_t, uint32_t, uint32_t, uint32_t) {}
