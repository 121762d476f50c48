// korvex-thunk-probe (i686 only): calls every export of a Korvex.dll through a
// thunk that pushes the arguments as raw 32-bit words, the way a host built
// by any compiler would, and compares the stack pointer and the callee-saved
// registers before and after each call. A standard-call export must remove
// exactly its own arguments (the 68 bytes of the custom-character record
// passed by value, the one hidden address of DLL_GetInfo's record) and keep
// EBX, ESI, EDI and EBP. The values that arrive are checked too: through the
// results, the trace the driver writes (LogFile=1) and the port-failure
// message, which shows the port name of the first argument.
//
// Usage: korvex-thunk-probe DLL   (in a folder of its own; writes config.ini)
// Prints one line per export, "NAME ok" or "NAME FAIL: ...", then "DONE";
// the exit status is the number of failures.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "tests/wine/iat_patch.h"

static_assert(sizeof(void*) == 4, "the thunk is i686 code");

namespace {

// What the thunk saw around one call.
struct Frame {
  uint32_t esp_before;  // with the arguments pushed
  uint32_t esp_after;
  uint32_t ebx, esi, edi, ebp;  // after the call
  uint32_t eax;
};

const uint32_t kEbx = 0x0BB0BB0B, kEsi = 0x05105105, kEdi = 0x0D10D10D, kEbp = 0x0EB0EB0E;

}  // namespace

// The thunk's state: its frame pointer and the callee are kept in memory, since
// every register but ESP is the callee's during the call.
extern "C" {
Frame* g_thunk_frame;
const void* g_thunk_callee;
uint32_t g_thunk_saved_ebp;
uint32_t g_thunk_eax;
void KorvexCallChecked(const void* callee, const uint32_t* words, uint32_t count, Frame* frame);
}

// cdecl: callee, words, count, frame at 8..20(%ebp) after the prologue.
asm(R"(
  .text
  .globl _KorvexCallChecked
_KorvexCallChecked:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  movl 20(%ebp), %eax
  movl %eax, _g_thunk_frame
  movl 8(%ebp), %eax
  movl %eax, _g_thunk_callee
  movl %ebp, _g_thunk_saved_ebp
  movl 12(%ebp), %edx
  movl 16(%ebp), %ecx
1:
  testl %ecx, %ecx
  jz 2f
  pushl -4(%edx,%ecx,4)
  decl %ecx
  jmp 1b
2:
  movl _g_thunk_frame, %eax
  movl %esp, 0(%eax)
  movl $0x0BB0BB0B, %ebx
  movl $0x05105105, %esi
  movl $0x0D10D10D, %edi
  movl $0x0EB0EB0E, %ebp
  call *_g_thunk_callee
  movl %eax, _g_thunk_eax
  movl _g_thunk_frame, %eax
  movl %esp, 4(%eax)
  movl %ebx, 8(%eax)
  movl %esi, 12(%eax)
  movl %edi, 16(%eax)
  movl %ebp, 20(%eax)
  movl _g_thunk_eax, %edx
  movl %edx, 24(%eax)
  movl _g_thunk_saved_ebp, %ebp
  leal -12(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");

namespace {

int g_failures = 0;

// Calls the export `name` with `words` as its argument words.
Frame Call(HMODULE dll, const char* name, const uint32_t* words, uint32_t count) {
  Frame frame = {};
  const void* callee = reinterpret_cast<const void*>(GetProcAddress(dll, name));
  if (callee == nullptr) {
    printf("%s FAIL: not exported\n", name);
    ++g_failures;
    return frame;
  }
  KorvexCallChecked(callee, words, count, &frame);
  return frame;
}

// Checks the stack and the registers around a call of `count` argument
// words; `extra` is what else went wrong with its results, or empty.
void Report(const char* name, const Frame& f, uint32_t count, const std::string& extra) {
  std::string problems;
  const uint32_t removed = f.esp_after - f.esp_before;
  if (removed != 4 * count) {
    problems += " removed " + std::to_string(removed) + " bytes of arguments, not " +
                std::to_string(4 * count) + ";";
  }
  if (f.ebx != kEbx || f.esi != kEsi || f.edi != kEdi || f.ebp != kEbp) {
    char regs[128];
    snprintf(regs, sizeof regs, " callee-saved registers changed (ebx %08X esi %08X edi %08X ebp %08X);",
             f.ebx, f.esi, f.edi, f.ebp);
    problems += regs;
  }
  problems += extra;
  if (problems.empty()) {
    printf("%s ok\n", name);
  } else {
    printf("%s FAIL:%s\n", name, problems.c_str());
    ++g_failures;
  }
  fflush(stdout);
}

uint32_t Word(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: korvex-thunk-probe DLL PORT\n");
    return 100;
  }
  FILE* config = fopen("config.ini", "wb");
  if (config == nullptr) return 100;
  fputs("[Korvex]\r\nLogFile=1\r\n", config);
  fclose(config);
  HMODULE dll = LoadLibraryA(argv[1]);
  if (dll == NULL) {
    printf("cannot load %s: error %lu\n", argv[1], GetLastError());
    return 100;
  }
  // The open of the missing port shows its message here instead of a box
  // (a library that shows none imports no MessageBoxA).
  PatchImport(dll, "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&FakeMessageBoxA));

  // First a port that is not there: its name, from the first of the
  // fourteen words, shows in the failure message.
  static const char kMissing[] = "COM99";
  uint32_t io[14] = {Word(kMissing), 2, 3, 4, 5, 240, 64, 1, 200, 10, 30, 0, 13, 14};
  Report("LCD_SetIOPropertys", Call(dll, "LCD_SetIOPropertys", io, 14), 14, "");
  Report("LCD_Init", Call(dll, "LCD_Init", nullptr, 0), 0, "");

  Frame f = Call(dll, "LCD_IsReadyToReceive", nullptr, 0);
  Report("LCD_IsReadyToReceive", f, 0, (f.eax & 0xFF) == 1 ? "" : " not ready;");

  unsigned char record[264];
  memset(record, 0xEE, sizeof record);
  uint32_t hidden = Word(record);
  f = Call(dll, "DLL_GetInfo", &hidden, 1);
  std::string info;
  if (f.eax != hidden) info += " the result is not the record's address;";
  if (strcmp(reinterpret_cast<char*>(record), "Wrenlo's Korvex Display Driver V1.09b") != 0)
    info += " the record does not start with the identification text;";
  const unsigned char trailer[8] = {1, 1, 1, 1, 1, 6, 8, 6};
  if (memcmp(record + 256, trailer, 8) != 0) info += " the record's last eight bytes are wrong;";
  Report("DLL_GetInfo", f, 1, info);

  f = Call(dll, "LCD_ConfigDialog", nullptr, 0);
  Report("LCD_ConfigDialog", f, 0, f.eax == IDOK ? "" : " the box's result did not come back;");

  uint32_t controller = 0xB0;
  Report("LCD_SendToController", Call(dll, "LCD_SendToController", &controller, 1), 1, "");
  uint32_t custom[5] = {1, 2, 3, 4, 5};
  Report("LCD_Customize", Call(dll, "LCD_Customize", custom, 5), 5, "");

  // Then the test's port: the calls' values show in the trace, which the
  // clean-up closes.
  uint32_t io_open[14] = {Word(argv[2]), 2, 3, 4, 5, 240, 64, 1, 200, 10, 30, 0, 13, 14};
  Report("LCD_SetIOPropertys", Call(dll, "LCD_SetIOPropertys", io_open, 14), 14, "");
  Report("LCD_Init", Call(dll, "LCD_Init", nullptr, 0), 0, "");

  uint32_t code = 'Q';
  Report("LCD_SendToMemory", Call(dll, "LCD_SendToMemory", &code, 1), 1, "");
  uint32_t cursor[2] = {5, 6};
  Report("LCD_SetOutputAddress", Call(dll, "LCD_SetOutputAddress", cursor, 2), 2, "");

  // 65 bytes in 17 words: the position, then the matrix column by column.
  uint32_t glyph[17] = {};
  unsigned char* bytes = reinterpret_cast<unsigned char*>(glyph);
  bytes[0] = 7;
  bytes[1 + 8 * 0 + 0] = 1;  // column 0, row 0: bit 5 at pitch 6
  bytes[1 + 8 * 5 + 7] = 1;  // column 5, row 7: bit 0
  Report("LCD_SetCGRAMChar", Call(dll, "LCD_SetCGRAMChar", glyph, 17), 17, "");

  uint32_t position = 0x1234;
  f = Call(dll, "LCD_GetCGRAMChar", &position, 1);
  Report("LCD_GetCGRAMChar", f, 1, (f.eax & 0xFF) == 0x34 ? "" : " not the low byte back;");

  static unsigned char picture[240 * 64];
  picture[240 * 2 + 1] = 1;
  uint32_t gfx[6] = {Word(picture), 1, 2, 3, 4, 99};
  Report("LCD_SendToGfxMemory", Call(dll, "LCD_SendToGfxMemory", gfx, 6), 6, "");

  uint32_t io_light[14] = {Word(argv[2]), 2, 3, 4, 5, 240, 64, 1, 201, 10, 31, 0, 13, 14};
  Report("LCD_SetIOPropertys", Call(dll, "LCD_SetIOPropertys", io_light, 14), 14, "");
  Report("LCD_CleanUp", Call(dll, "LCD_CleanUp", nullptr, 0), 0, "");

  printf("DONE\n");
  FreeLibrary(dll);
  return g_failures;
}
