// A stand-in Korvex.dll with the thirteen exports and the shapes of code an
// optimizing compiler makes of them (a jump table, a tail call, a cold
// path), built like the real DLL. Each KORVEX_STUB_* switch plants one fault
// that the ABI check must catch.
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

#if defined(KORVEX_STUB_CDECL_OUTPUT_ADDRESS)
#define STUB_OUTPUT_ADDRESS_CALL  // the caller removes the arguments: ret 0
#else
#define STUB_OUTPUT_ADDRESS_CALL STUB_CALL
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
static uint8_t g_ready = 1;
static uint8_t g_cgram[64];

#if !defined(KORVEX_STUB_REACH)
static void STUB_CALL __attribute__((noinline)) StoreCode(uint32_t code) {
  g_sink = code * 7 + 1;
}
#endif

static void __attribute__((noinline, cold)) Complain(uint32_t what) { g_sink = what ^ 0x55u; }

STUB_API Record264* STUB_CALL DLL_GetInfo(Record264* info) {
  static const char kText[] = "stub";
  for (uint32_t i = 0; i < sizeof info->text; ++i) info->text[i] = i < sizeof kText ? kText[i] : 0;
  for (uint32_t i = 0; i < sizeof info->trailer; ++i) info->trailer[i] = 1;
  return info;
}

STUB_API void STUB_CALL LCD_Init() {
  g_ready = 0;
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
  g_ready = 1;
}

STUB_API void STUB_CALL LCD_CleanUp() {
  g_ready = 0;
  g_sink = 0xb0;
  g_ready = 1;
}

STUB_API uint8_t STUB_CALL LCD_IsReadyToReceive() { return g_ready; }

STUB_API void STUB_CALL LCD_SendToController(uint32_t) {}

STUB_API void STUB_CALL LCD_Customize(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}

STUB_API int32_t STUB_CALL LCD_ConfigDialog() { return static_cast<int32_t>(g_sink) + 1; }

#if defined(KORVEX_STUB_SHORT_GFX)
// One argument too few: removes 20 bytes instead of 24.
STUB_API void STUB_CALL LCD_SendToGfxMemory(const uint8_t* bitmap, uint32_t x1, uint32_t y1,
                                            uint32_t x2, uint32_t y2) {
#else
STUB_API void STUB_CALL LCD_SendToGfxMemory(const uint8_t* bitmap, uint32_t x1, uint32_t y1,
                                            uint32_t x2, uint32_t y2, uint32_t) {
#endif
  if (bitmap == nullptr || x2 < x1 || y2 < y1) {
    Complain(x1);
    return;
  }
  uint32_t sum = 0;
  for (uint32_t y = y1; y <= y2; ++y)
    for (uint32_t x = x1; x <= x2; ++x) sum += bitmap[y * 240 + x];
  g_sink = sum;
}

#if defined(KORVEX_STUB_REACH)
// Hand-written code whose wrong clean-up is reachable only through a jump
// table entry (LCD_GetCGRAMChar, position 2) or through a tail call
// (LCD_SendToMemory): a check that did not follow them would pass it.
asm(R"(
  .text
  .globl _LCD_GetCGRAMChar@4
  .p2align 4
_LCD_GetCGRAMChar@4:
  movl 4(%esp), %eax
  cmpl $2, %eax
  ja 1f
  jmp *stub_table(,%eax,4)
2: movl $10, %eax
  ret $4
3: movl $11, %eax
  ret $4
4: movl $12, %eax
  ret $8
1: xorl %eax, %eax
  ret $4

  .globl _LCD_SendToMemory@4
  .p2align 4
_LCD_SendToMemory@4:
  movl 4(%esp), %eax
  movl %eax, _g_sink
  jmp stub_far_tail

  .p2align 4
stub_far_tail:
  incl _g_sink
  ret $12

  .section .rdata,"dr"
  .p2align 2
stub_table:
  .long 2b, 3b, 4b
  .text
)");
#else
STUB_API uint8_t STUB_CALL LCD_GetCGRAMChar(uint32_t position) {
  // Dense cases: a jump table.
  switch (position) {
    case 0: g_sink = 3; return g_cgram[0];
    case 1: g_sink = 9; return g_cgram[1];
    case 2: g_sink = 27; return 5;
    case 3: g_sink = 81; return g_cgram[3];
    case 4: g_sink = 243; return 8;
    case 5: g_sink = 729; return g_cgram[5];
    case 6: g_sink = 2187; return 1;
    default: return static_cast<uint8_t>(position);
  }
}

// A tail call: the helper's own return removes this function's argument.
STUB_API void STUB_CALL LCD_SendToMemory(uint32_t code) { StoreCode(code); }
#endif

STUB_API void STUB_OUTPUT_ADDRESS_CALL LCD_SetOutputAddress(int32_t column, int32_t row) {
  g_sink = static_cast<uint32_t>(row * 40 + column);
}

STUB_API void STUB_CALL LCD_SetCGRAMChar(CgramRecord record) {
  uint32_t base = (record.position & 7u) * 8u;
  for (uint32_t i = 0; i < 8; ++i) g_cgram[base + i] = record.matrix[i * 8];
}

STUB_API void STUB_CALL STUB_SET_IO_PROPERTIES(const char* port, uint32_t, uint32_t, uint32_t,
                                               uint32_t, int32_t width, int32_t height,
                                               uint32_t light_enable, uint32_t light, uint32_t,
                                               uint32_t contrast, uint32_t out_ports, uint32_t,
                                               uint32_t) {
  g_sink = (port != nullptr ? static_cast<uint32_t>(port[0]) : 0u) +
           static_cast<uint32_t>(width * height) + light_enable + light + contrast + out_ports;
}
