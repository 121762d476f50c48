// The thirteen operations the host calls. On i686 they use the standard
// calling convention (the callee removes its arguments); the module
// definition file exports them under these undecorated names.
#pragma once

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define KORVEX_CALL __stdcall
#else
#define KORVEX_CALL
#endif

// On Windows the module definition file alone exports the names: marking the
// functions dllexport as well would export the decorated i686 names too.
#if defined(_WIN32)
#define KORVEX_API extern "C"
#else
#define KORVEX_API extern "C" __attribute__((visibility("default")))
#endif

// The 264-byte identification record of DLL_GetInfo.
struct DriverInfo {
  char text[256];
  uint8_t trailer[8];
};
static_assert(sizeof(DriverInfo) == 264, "DriverInfo is 264 bytes");

// The by-value record of LCD_SetCGRAMChar: a position and an 8 x 8 matrix,
// column by column (matrix[8 * column + row]).
struct CgramCharRecord {
  uint8_t position;
  uint8_t matrix[64];
};
static_assert(sizeof(CgramCharRecord) == 65, "CgramCharRecord is 65 bytes");

// DLL_GetInfo returns its record by value. For a record of this size both
// i686 and x86_64 pass the address of the caller's record as a hidden first
// argument and hand it back as the result, so declaring that argument makes
// the same machine code and lets the callee remove exactly those 4 bytes.
KORVEX_API DriverInfo* KORVEX_CALL DLL_GetInfo(DriverInfo* info);
KORVEX_API void KORVEX_CALL LCD_Init();
KORVEX_API void KORVEX_CALL LCD_CleanUp();
KORVEX_API uint8_t KORVEX_CALL LCD_IsReadyToReceive();
KORVEX_API void KORVEX_CALL LCD_SendToController(uint32_t ignored);
KORVEX_API void KORVEX_CALL LCD_Customize(uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                                          uint32_t e);
KORVEX_API int32_t KORVEX_CALL LCD_ConfigDialog();
KORVEX_API void KORVEX_CALL LCD_SendToGfxMemory(const uint8_t* bitmap, uint32_t x1, uint32_t y1,
                                                uint32_t x2, uint32_t y2, uint32_t ignored);
KORVEX_API void KORVEX_CALL LCD_SendToMemory(uint32_t code);
KORVEX_API void KORVEX_CALL LCD_SetOutputAddress(int32_t column, int32_t row);
KORVEX_API void KORVEX_CALL LCD_SetCGRAMChar(CgramCharRecord record);
KORVEX_API uint8_t KORVEX_CALL LCD_GetCGRAMChar(uint32_t position);
KORVEX_API void KORVEX_CALL LCD_SetIOPropertys(const char* port_name, uint32_t unused2,
                                               uint32_t unused3, uint32_t unused4,
                                               uint32_t unused5, int32_t width, int32_t height,
                                               uint32_t light_enable, uint32_t light,
                                               uint32_t unused10, uint32_t contrast,
                                               uint32_t out_ports, uint32_t unused13,
                                               uint32_t unused14);
