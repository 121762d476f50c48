// How a fuzz input is read: a settings file, platform faults, then a sequence
// of export calls. Shared by the harness (reader) and the seed writer.
//
// Every number is little-endian; a read past the end of the input yields 0,
// so any byte string is a valid input.
//
//   flags        1 byte   bit 0: strict (character codes 0xB0-0xBE are sent as
//                         code ^ 0x80, so the stream must decode exactly);
//                         bit 1: the session ends with a quiet stretch
//   settings     for each of the kSettingKeys, the extra key, then
//                GfxChangesOnly:
//                1 byte L; 0 = key absent, else a value (V = L - 1):
//                V < 0x80: V bytes of text; V >= 0x80: a number, 4 bytes, then
//                1 byte style (mod 8): %d, %u, 0x%x, %d with trailing text,
//                blanks and %d, +%u, %u with ten more digits, -0x%X
//   cwd          1 byte C; 0 = the recording's default; else a directory of
//                2 * C characters: 1 byte K (1 to 16), K bytes, repeated
//   faults       1 byte N (low 3 bits), then N faults of 4 bytes:
//                call (modulo kRecCallCount), times (modulo 4, 0 = for ever),
//                skip, error
//   write plan   1 byte N (low 4 bits), then N bytes: 0 fails the write
//                with a line error, 1 with a time-out error (121), v > 1
//                writes at most v - 2 bytes
//   double       1 byte: low 2 bits the serial driver (RecDriver), bits 2-3
//                what a timed-out CDC write answers (kCdcTimeoutErrors)
//   calls        until the input ends or kMaxCalls calls: 1 byte op (modulo
//                kOpCount), then the operands of that op (see FuzzOp)
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace fuzz {

const int kMaxCalls = 64;
// Largest picture the harness allocates (width * height bytes); a larger or
// non-positive declared size passes a null picture.
const uint64_t kMaxPicture = 1u << 20;

const uint8_t kFlagStrict = 1;
// After its calls the session runs on with the board keeping up, no faults
// and the clock moving, repeating its own calls: the board must then show
// what a lossless run of the same calls shows.
const uint8_t kFlagQuietEnd = 2;

const uint32_t kCdcTimeoutErrors[4] = {121, 0, 995, 31};
// Errors a removed port's writes fail with (RecUnplug).
const uint32_t kUnplugErrors[4] = {1617, 22, 31, 5};

const int kSettingCount = 8;
// Settings slots of the header and of kOpSetting: the keys above, the extra
// key, then GfxChangesOnly (written back only when the file has it).
const int kSettingSlots = kSettingCount + 2;
const char kChangesOnlyKey[] = "GfxChangesOnly";
const char* const kSettingKeys[kSettingCount] = {
    "BaudRate",      "TextBufferSize",  "GfxBufferSize",  "GfxForceFlush",
    "LCD_FontPitch", "LCD_UseOutPorts", "LCD_Controller", "LogFile",
};
// A key of the section that the driver does not own: it must survive.
const char kExtraKey[] = "Comment";

enum FuzzOp : uint8_t {
  kOpInit,              // -
  kOpCleanUp,           // -
  kOpSetIOPropertys,    // name mode (mod 3: null, terminated, unterminated), name
                        // length, name bytes, width, height, light enable,
                        // light, contrast, ports, unused (4 bytes each)
  kOpSendToGfxMemory,   // picture (0: null; else seed and density of the
                        // pixels), x1, y1, x2, y2, ignored (4 bytes each)
  kOpSendToMemory,      // code (4 bytes)
  kOpSetOutputAddress,  // column, row (4 bytes each)
  kOpSetCGRAMChar,      // position, 8 column masks (bit r = row r), set value
  kOpGetCGRAMChar,      // position (4 bytes)
  kOpIsReadyToReceive,  // -
  kOpGetInfo,           // -
  kOpConfigDialog,      // -
  kOpSendToController,  // value (4 bytes)
  kOpCustomize,         // five values (4 bytes each)
  kOpSetting,           // slot (mod kSettingSlots), V, the value as in the
                        // header (V = 0 erases the key)
  kOpPlatform,          // kind (mod 3): 0 a fault (4 bytes as above),
                        // 1 a write-plan entry (1 byte), 2 all faults gone
  kOpBoard,             // event (mod kBoardEventCount), its operands
  kOpClock,             // 1 byte: the clock runs that many x 10 ms
  kOpCount
};

// Board events of kOpBoard, on the double's clock; a span or rate is 2 bytes.
enum BoardEvent : uint8_t {
  kBoardStall,     // ms: the board takes nothing
  kBoardTrickle,   // ms, bytes a second
  kBoardRate,      // bytes a second from now on (0xFFFF: it keeps up)
  kBoardUnplug,    // error (mod 4, kUnplugErrors)
  kBoardPlugIn,    // - (a fresh board; only after an unplug)
  kBoardResume,    // - (the PC resumed from sleep)
  kBoardRunClock,  // ms: the clock runs with no call
  kBoardEventCount
};

// Name modes of kOpSetIOPropertys.
const uint8_t kNameNull = 0;
const uint8_t kNameTerminated = 1;
// Exactly 32 + (length % 64) bytes with no terminator after them.
const uint8_t kNameUnterminated = 2;

// Builds inputs in the layout above, for the seed corpus.
struct InputWriter {
  std::vector<uint8_t> bytes;

  void U8(uint8_t v) { bytes.push_back(v); }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back((uint8_t)(v >> (8 * i)));
  }
  void Text(const std::string& text) { bytes.insert(bytes.end(), text.begin(), text.end()); }
  // One setting slot: absent, or the value text.
  void Setting(bool present, const std::string& value = "") {
    U8(present ? (uint8_t)(value.size() + 1) : 0);
    if (present) Text(value);
  }
};

}  // namespace fuzz
