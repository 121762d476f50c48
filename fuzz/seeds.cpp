// The seed corpus: small host sessions that reach every export, both
// controllers, odd settings, faults and odd arguments. Written by
// KORVEX_FUZZ_WRITE_SEEDS=DIR korvex_fuzzer, so the committed files can be
// made again from this source.
#include <stdio.h>

#include <string>
#include <vector>

#include "fuzz/input_format.h"
#include "platform/recording/recording.h"

namespace fuzz {
namespace {

// One seed: the header fields, then the calls.
struct Seed {
  const char* name;
  uint8_t flags = kFlagStrict;
  bool present[kSettingSlots] = {};
  std::string values[kSettingSlots];
  uint8_t cwd_half_length = 0;
  std::string cwd_pattern;
  InputWriter faults;
  int fault_count = 0;
  std::vector<uint8_t> plan;
  uint8_t double_byte = kRecDriverPlain;
  InputWriter calls;

  explicit Seed(const char* seed_name) : name(seed_name) {}

  std::vector<uint8_t> Bytes() const {
    InputWriter w;
    w.U8(flags);
    for (int k = 0; k < kSettingSlots; ++k) w.Setting(present[k], values[k]);
    w.U8(cwd_half_length);
    if (cwd_half_length != 0) {
      w.U8((uint8_t)(cwd_pattern.size() - 1));
      w.Text(cwd_pattern);
    }
    w.U8((uint8_t)fault_count);
    w.bytes.insert(w.bytes.end(), faults.bytes.begin(), faults.bytes.end());
    w.U8((uint8_t)plan.size());
    w.bytes.insert(w.bytes.end(), plan.begin(), plan.end());
    w.U8(double_byte);
    w.bytes.insert(w.bytes.end(), calls.bytes.begin(), calls.bytes.end());
    return w.bytes;
  }

  // Header.
  Seed& Set(int key, const std::string& value) {
    present[key] = true;
    values[key] = value;
    return *this;
  }
  Seed& Fault(RecCall call, int times, uint8_t skip = 0) {
    faults.U8((uint8_t)call);
    faults.U8((uint8_t)(times < 0 ? 0 : times));
    faults.U8(skip);
    faults.U8(31);
    ++fault_count;
    return *this;
  }
  // A write that takes at most `bytes` (-1 fails it with a line error, -2
  // with a time-out error).
  static uint8_t PlanByte(int bytes) {
    return (uint8_t)(bytes == -1 ? 0 : bytes == -2 ? 1 : bytes + 2);
  }
  Seed& Plan(int bytes) {
    plan.push_back(PlanByte(bytes));
    return *this;
  }
  // The serial driver, and what a timed-out CDC write answers (an index of
  // kCdcTimeoutErrors).
  Seed& Driver(RecDriver driver, uint8_t cdc_error = 0) {
    double_byte = (uint8_t)(driver | cdc_error << 2);
    return *this;
  }
  Seed& QuietEnd() {
    flags |= kFlagQuietEnd;
    return *this;
  }

  // Calls.
  Seed& Init() {
    calls.U8(kOpInit);
    return *this;
  }
  Seed& CleanUp() {
    calls.U8(kOpCleanUp);
    return *this;
  }
  Seed& Io(uint8_t name_mode, const std::string& name, int32_t width, int32_t height,
           uint32_t light_enable, uint32_t light, uint32_t contrast, uint32_t ports) {
    calls.U8(kOpSetIOPropertys);
    calls.U8(name_mode);
    calls.U8((uint8_t)(name_mode == kNameUnterminated ? name.size() - 32 : name.size()));
    if (name_mode != kNameNull) calls.Text(name);
    for (uint32_t v :
         {(uint32_t)width, (uint32_t)height, light_enable, light, contrast, ports, 0u}) {
      calls.U32(v);
    }
    return *this;
  }
  Seed& Io(const std::string& name, int32_t width, int32_t height) {
    return Io(kNameTerminated, name, width, height, 1, 0, 0, 0);
  }
  Seed& Gfx(uint8_t fill, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2) {
    calls.U8(kOpSendToGfxMemory);
    calls.U8(fill);
    for (uint32_t v : {x1, y1, x2, y2, 0u}) calls.U32(v);
    return *this;
  }
  Seed& Text(const std::string& text) {
    for (unsigned char c : text) Char(c);
    return *this;
  }
  Seed& Char(uint32_t code) {
    calls.U8(kOpSendToMemory);
    calls.U32(code);
    return *this;
  }
  Seed& Cursor(int32_t column, int32_t row) {
    calls.U8(kOpSetOutputAddress);
    calls.U32((uint32_t)column);
    calls.U32((uint32_t)row);
    return *this;
  }
  Seed& Cgram(uint8_t position, const std::vector<uint8_t>& masks, uint8_t set = 1) {
    calls.U8(kOpSetCGRAMChar);
    calls.U8(position);
    for (int i = 0; i < 8; ++i) calls.U8(masks[(size_t)i]);
    calls.U8(set);
    return *this;
  }
  Seed& Op(FuzzOp op) {
    calls.U8(op);
    return *this;
  }
  Seed& OpWith(FuzzOp op, uint32_t value) {
    calls.U8(op);
    calls.U32(value);
    return *this;
  }
  Seed& Setting(int key, const std::string& value) {
    calls.U8(kOpSetting);
    calls.U8((uint8_t)key);
    calls.U8((uint8_t)value.size());
    calls.Text(value);
    return *this;
  }
  // A value in one of the number styles of SettingValue.
  Seed& SettingNumber(int key, uint32_t value, uint8_t style) {
    calls.U8(kOpSetting);
    calls.U8((uint8_t)key);
    calls.U8(0x80);
    calls.U32(value);
    calls.U8(style);
    return *this;
  }
  Seed& LaterFault(RecCall call, int times, uint8_t skip = 0) {
    calls.U8(kOpPlatform);
    calls.U8(0);
    calls.U8((uint8_t)call);
    calls.U8((uint8_t)(times < 0 ? 0 : times));
    calls.U8(skip);
    calls.U8(5);
    return *this;
  }
  Seed& LaterPlan(int bytes) {
    calls.U8(kOpPlatform);
    calls.U8(1);
    calls.U8(PlanByte(bytes));
    return *this;
  }
  // A board event with a span or rate of 2 bytes, or none.
  Seed& Board(BoardEvent event, uint32_t value = 0, uint32_t rate = 0) {
    calls.U8(kOpBoard);
    calls.U8(event);
    if (event == kBoardUnplug) {
      calls.U8((uint8_t)value);
    } else if (event != kBoardPlugIn && event != kBoardResume) {
      calls.U8((uint8_t)value);
      calls.U8((uint8_t)(value >> 8));
    }
    if (event == kBoardTrickle) {
      calls.U8((uint8_t)rate);
      calls.U8((uint8_t)(rate >> 8));
    }
    return *this;
  }
  // The clock moves `ms` (in steps of 10 ms, at most 2550).
  Seed& Clock(uint32_t ms) {
    calls.U8(kOpClock);
    calls.U8((uint8_t)(ms / 10));
    return *this;
  }
  Seed& FaultsGone() {
    calls.U8(kOpPlatform);
    calls.U8(2);
    return *this;
  }
};

enum Key {
  kBaud,
  kTextSize,
  kGfxSize,
  kForceFlush,
  kPitch,
  kUseOutPorts,
  kController,
  kLogFile,
  kExtra,
  kChangesOnly
};

const std::vector<uint8_t> kGlyph = {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00};

std::vector<Seed> AllSeeds() {
  std::vector<Seed> seeds;
  seeds.push_back(Seed("01-text-session")
                      .Io("COM1", 240, 64)
                      .Init()
                      .Io(kNameTerminated, "COM1", 240, 64, 1, 100, 20, 0)
                      .Cursor(0, 0)
                      .Text("Hello, board")
                      .Cgram(3, kGlyph)
                      .Char(3)
                      .CleanUp());
  seeds.push_back(Seed("02-t6963-pitch6-rectangles")
                      .Init()
                      .Gfx(90, 10, 5, 20, 5)
                      .Gfx(90, 20, 7, 14, 2)
                      .Gfx(255, 0, 9, 0, 9)
                      .Gfx(40, 0, 0, 239, 63)
                      .Cursor(39, 7)
                      .Text("after")
                      .Gfx(40, 100, 30, 110, 31));
  seeds.push_back(Seed("03-t6963-pitch8-buffer3")
                      .Set(kPitch, "8")
                      .Set(kGfxSize, "3")
                      .Init()
                      .Gfx(128, 9, 3, 9, 3)
                      .Text("t")
                      .Gfx(128, 0, 0, 239, 63)
                      .Gfx(128, 16, 4, 47, 4)
                      .Cgram(200, kGlyph, 0x80));
  seeds.push_back(Seed("04-ks108-128x64")
                      .Set(kController, "108")
                      .Io("COM3", 128, 64)
                      .Init()
                      .Gfx(100, 0, 0, 127, 63)
                      .Cursor(2, 1)
                      .Text("KS108")
                      .Gfx(30, 5, 5, 6, 6)
                      .CleanUp());
  seeds.push_back(Seed("05-ks108-odd-sizes")
                      .Set(kController, "108")
                      .Set(kPitch, "6")
                      .Set(kGfxSize, "100")
                      .Io("COM3", 20, 60)
                      .Init()
                      .Gfx(200, 0, 0, 0, 0)
                      .Io("COM3", 130, 70)
                      .Gfx(60, 0, 0, 0, 0)
                      .Io("COM3", 255, 255)
                      .Gfx(10, 0, 0, 0, 0));
  seeds.push_back(Seed("06-settings-odd-values")
                      .Set(kBaud, "-1")
                      .Set(kTextSize, "0x10")
                      .Set(kGfxSize, " 4096abc")
                      .Set(kForceFlush, "+1")
                      .Set(kPitch, "0b1000")
                      .Set(kUseOutPorts, "99999999999999999999")
                      .Set(kController, "\t108 ")
                      .Set(kLogFile, "1")
                      .Set(kExtra, "kept as it is")
                      .Init()
                      .Op(kOpConfigDialog)
                      .Op(kOpGetInfo)
                      .CleanUp());
  seeds.push_back(Seed("07-tiny-buffers-force-flush")
                      .Set(kTextSize, "1")
                      .Set(kGfxSize, "1")
                      .Set(kForceFlush, "1")
                      .Init()
                      .Text("ab")
                      .Gfx(70, 0, 0, 11, 1)
                      .Gfx(70, 6, 6, 6, 6)
                      .Cgram(1, kGlyph));
  seeds.push_back(Seed("08-port-open-fails-once")
                      .Fault(kRecPortOpen, 1)
                      .Init()
                      .Text("lost")
                      .Gfx(50, 0, 0, 5, 5)
                      .Init()
                      .Text("seen")
                      .CleanUp());
  seeds.push_back(Seed("09-port-setup-faults")
                      .Fault(kRecPortSetupQueues, 1)
                      .Fault(kRecPortGetLineSettings, 1, 1)
                      .Fault(kRecPortSetLineSettings, 1, 2)
                      .Fault(kRecPortSetTimeouts, 1, 3)
                      .Init()
                      .Init()
                      .Init()
                      .Init()
                      .Init()
                      .Text("up"));
  seeds.push_back(Seed("10-short-writes")
                      .Plan(3)
                      .Plan(1)
                      .Plan(5)
                      .Init()
                      .Text("sixteen bytes ok and more")
                      .Gfx(77, 0, 0, 239, 3)
                      .LaterPlan(2)
                      .Gfx(77, 0, 0, 30, 1));
  seeds.push_back(Seed("11-lost-writes")
                      .Set(kTextSize, "4")
                      .Init()
                      .LaterPlan(-1)
                      .LaterPlan(0)
                      .Text("abcdefgh")
                      .LaterFault(kRecPortWrite, 2)
                      .Gfx(33, 0, 0, 50, 10)
                      .Text("ijkl"));
  seeds.push_back(Seed("12-port-names")
                      .Io(kNameNull, "", 240, 64, 1, 0, 0, 0)
                      .Init()
                      .Io(kNameUnterminated, std::string(40, 'P'), 240, 64, 1, 0, 0, 0)
                      .Init()
                      .Io("COM7", 240, 64)
                      .Init()
                      .Io(std::string(31, 'L'), 240, 64)
                      .Init()
                      .Io(std::string(32, 'M'), 240, 64)
                      .Init());
  seeds.push_back(Seed("13-output-ports")
                      .Set(kUseOutPorts, "1")
                      .Init()
                      .Text("xy")
                      .Io(kNameTerminated, "COM1", 240, 64, 1, 200, 30, 0x00FF0001)
                      .Io(kNameTerminated, "COM1", 240, 64, 1, 200, 30, 0x00FF0001)
                      .Io(kNameTerminated, "COM1", 240, 64, 0, 200, 31, 0x01020304)
                      .CleanUp()
                      .Init()
                      .Io(kNameTerminated, "COM1", 240, 64, 1, 200, 30, 0));
  Seed command_range("14-command-range-text");
  command_range.flags = 0;
  command_range.Init().Text("A").Char(0xB1).Char(0xB5).Text("BC").Char(0xBB).Char(0x1B2).CleanUp();
  seeds.push_back(command_range);
  Seed long_cwd("15-long-cwd-trace");
  long_cwd.cwd_half_length = 150;
  long_cwd.cwd_pattern = "D:\\deep\\";
  long_cwd.Set(kLogFile, "1").Init().Text("%s%n").Char(7).Op(kOpIsReadyToReceive).CleanUp();
  seeds.push_back(long_cwd);
  Seed near_limit("16-cwd-near-path-limit");
  near_limit.cwd_half_length = 125;
  near_limit.cwd_pattern = "ab";
  near_limit.Init().Text("x").CleanUp();
  seeds.push_back(near_limit);
  seeds.push_back(Seed("17-trace-double-init")
                      .Set(kLogFile, "1")
                      .Init()
                      .Init()
                      .Text("t")
                      .Gfx(1, 0, 0, 7, 7)
                      .Op(kOpIsReadyToReceive)
                      .CleanUp()
                      .CleanUp()
                      .Init());
  seeds.push_back(Seed("18-corners-out-of-range")
                      .Init()
                      .Gfx(120, 300, 0, 5, 70000)
                      .Gfx(120, 0, 0, 255, 255)
                      .Gfx(120, 250, 0, 255, 1)
                      .Gfx(120, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0)
                      .Gfx(120, 0x10003, 2, 0x20009, 2));
  seeds.push_back(Seed("19-odd-geometry")
                      .Init()
                      .Io("COM1", -5, 64)
                      .Gfx(99, 0, 0, 10, 10)
                      .Io("COM1", 0x7FFFFFFF, 0x7FFFFFFF)
                      .Gfx(99, 0, 0, 10, 10)
                      .Io("COM1", 2000, 600)
                      .Gfx(99, 0, 0, 1, 1)
                      .Io("COM1", 20, 64)
                      .Setting(kPitch, "8")
                      .Init()
                      .Gfx(99, 16, 0, 19, 0)
                      .Gfx(0, 16, 0, 19, 1));
  seeds.push_back(Seed("20-settings-change-mid-run")
                      .Init()
                      .Gfx(60, 0, 0, 11, 2)
                      .Cgram(9, kGlyph)
                      .Setting(kController, "108")
                      .Setting(kTextSize, "300")
                      .Init()
                      .Gfx(60, 0, 0, 0, 0)
                      .Setting(kController, "")
                      .Setting(kPitch, "8")
                      .Init()
                      .Cgram(9, kGlyph));
  seeds.push_back(Seed("21-queries-and-inert-calls")
                      .OpWith(kOpGetCGRAMChar, 5)
                      .OpWith(kOpGetCGRAMChar, 0x1FF)
                      .OpWith(kOpSendToController, 42)
                      .Op(kOpCustomize)
                      .Op(kOpIsReadyToReceive)
                      .Op(kOpGetInfo)
                      .Op(kOpConfigDialog)
                      .Init()
                      .Op(kOpGetInfo));
  seeds.push_back(Seed("22-settings-and-trace-faults")
                      .Set(kLogFile, "1")
                      .Fault(kRecProfileRead, -1)
                      .Fault(kRecProfileWrite, 1)
                      .Fault(kRecTraceOpen, 1)
                      .Init()
                      .FaultsGone()
                      .LaterFault(kRecTraceWrite, -1)
                      .Init()
                      .Text("z")
                      .CleanUp());
  seeds.push_back(Seed("23-settings-numbers")
                      .SettingNumber(kGfxSize, 4096, 1)
                      .SettingNumber(kTextSize, 256, 4)
                      .SettingNumber(kBaud, 0xFFFFFFFF, 6)
                      .SettingNumber(kPitch, 8, 3)
                      .SettingNumber(kForceFlush, 1, 5)
                      .SettingNumber(kController, 108, 2)
                      .Init()
                      .Gfx(50, 0, 0, 0, 0)
                      .SettingNumber(kGfxSize, 4097, 0)
                      .SettingNumber(kTextSize, 0xFFFFFFFF, 0)
                      .Init()
                      .Text("n"));
  seeds.push_back(
      Seed("24-extreme-arguments")
          .Init()
          .Cursor(0x7FFFFFFF, 0x7FFFFFFF)
          .Cursor((int32_t)0x80000000, -1)
          .Cursor(-1, 255)
          .Char(0xFFFFFF41)
          .Io(kNameTerminated, "COM1", 240, 64, 0xFFFFFF00, 0xFFFFFFFF, 0x80000000, 0xFFFFFFFF)
          .OpWith(kOpGetCGRAMChar, 0xFFFFFFFF)
          .Gfx(255, 0x7FFFFFFF, 0x80000000, 0xFFFF, 0x10000));
  // The serial drivers, the board's events and the clock: sessions whose
  // board falls behind and, most of them, a quiet ending it must come back
  // from.
  seeds.push_back(Seed("25-changes-only-t6963")
                      .Set(kChangesOnly, "1")
                      .Init()
                      .Gfx(60, 0, 0, 239, 63)
                      .Gfx(60, 0, 0, 239, 63)
                      .Gfx(61, 10, 10, 100, 40)
                      .Text("moving")
                      .Clock(500)
                      .Gfx(90, 0, 0, 239, 63));
  seeds.push_back(Seed("26-changes-only-ks108-buffered")
                      .Set(kChangesOnly, "1")
                      .Set(kController, "108")
                      .Set(kGfxSize, "300")
                      .Io("COM1", 128, 64)
                      .Init()
                      .Gfx(40, 0, 0, 0, 0)
                      .Gfx(40, 0, 0, 0, 0)
                      .Gfx(41, 0, 0, 0, 0)
                      .Setting(kChangesOnly, "0")
                      .Init()
                      .Gfx(41, 0, 0, 0, 0));
  seeds.push_back(Seed("27-uart-stall-quiet")
                      .Driver(kRecDriverWinTimeouts)
                      .QuietEnd()
                      .Init()
                      .Text("before")
                      .Board(kBoardStall, 3000)
                      .Gfx(70, 0, 0, 239, 63)
                      .Clock(400)
                      .Gfx(71, 0, 0, 239, 63)
                      .Text("during"));
  seeds.push_back(Seed("28-bridge-slow-board")
                      .Driver(kRecDriverUsbBridge)
                      .QuietEnd()
                      .Init()
                      .Board(kBoardRate, 300)
                      .Gfx(50, 0, 0, 239, 63)
                      .Clock(1000)
                      .Text("slow")
                      .Board(kBoardRunClock, 5000)
                      .Gfx(51, 0, 0, 239, 63));
  seeds.push_back(Seed("29-cdc-trickle-121")
                      .Driver(kRecDriverUsbCdc, 0)
                      .QuietEnd()
                      .Init()
                      .Cgram(4, kGlyph)
                      .Board(kBoardTrickle, 4000, 250)
                      .Gfx(80, 0, 0, 239, 63)
                      .Clock(400)
                      .Gfx(81, 0, 0, 239, 63)
                      .Clock(400)
                      .Io(kNameTerminated, "COM1", 240, 64, 1, 90, 30, 0)
                      .Text("trickle"));
  seeds.push_back(Seed("30-cdc-stall-success-with-part")
                      .Driver(kRecDriverUsbCdc, 1)
                      .QuietEnd()
                      .Init()
                      .Board(kBoardStall, 2500)
                      .Gfx(90, 0, 0, 239, 63)
                      .Clock(300)
                      .Text("part"));
  seeds.push_back(Seed("31-cdc-995-and-31")
                      .Driver(kRecDriverUsbCdc, 2)
                      .QuietEnd()
                      .Init()
                      .Board(kBoardRate, 500)
                      .Gfx(30, 0, 0, 239, 63)
                      .Clock(400)
                      .Gfx(31, 0, 0, 239, 63)
                      .Setting(kLogFile, "1")
                      .Init()
                      .Clock(1000)
                      .Text("cancelled"));
  seeds.push_back(Seed("32-unplug-and-plug-in")
                      .Driver(kRecDriverUsbCdc, 3)
                      .QuietEnd()
                      .Init()
                      .Text("here")
                      .Board(kBoardUnplug, 0)
                      .Text("gone")
                      .Clock(1500)
                      .Board(kBoardPlugIn)
                      .Clock(1100)
                      .Text("back"));
  seeds.push_back(Seed("33-resume-from-sleep")
                      .Driver(kRecDriverWinTimeouts)
                      .QuietEnd()
                      .Init()
                      .Gfx(20, 0, 0, 239, 63)
                      .Board(kBoardResume)
                      .Text("awake")
                      .Clock(1200)
                      .Text("again"));
  seeds.push_back(Seed("34-write-errors-plain")
                      .QuietEnd()
                      .Init()
                      .LaterPlan(-2)
                      .Text("timeout")
                      .LaterPlan(-1)
                      .LaterPlan(7)
                      .Gfx(45, 0, 0, 239, 63)
                      .Clock(1000)
                      .Text("later"));
  seeds.push_back(Seed("35-bridge-write-errors-quiet")
                      .Driver(kRecDriverUsbBridge)
                      .QuietEnd()
                      .Set(kGfxSize, "4096")
                      .Init()
                      .Gfx(50, 0, 0, 239, 63)
                      .LaterPlan(-2)
                      .LaterPlan(5)
                      .Gfx(51, 0, 0, 239, 63)
                      .Clock(700)
                      .Text("bridge"));
  seeds.push_back(Seed("36-cdc-stall-long-gaps")
                      .Driver(kRecDriverUsbCdc, 0)
                      .QuietEnd()
                      .Init()
                      .Gfx(50, 0, 0, 239, 63)
                      .Board(kBoardStall, 20000)
                      .Gfx(51, 0, 0, 239, 63)
                      .Clock(2550)
                      .Gfx(52, 0, 0, 239, 63)
                      .Clock(2550)
                      .Gfx(53, 0, 0, 239, 63)
                      .Clock(2550)
                      .Text("gaps"));
  return seeds;
}

}  // namespace

bool WriteSeeds(const char* dir) {
  for (const Seed& seed : AllSeeds()) {
    const std::string path = std::string(dir) + "/" + seed.name;
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
      perror(path.c_str());
      return false;
    }
    const std::vector<uint8_t> bytes = seed.Bytes();
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (fclose(file) != 0 || !ok) {
      perror(path.c_str());
      return false;
    }
    printf("%s: %zu bytes\n", path.c_str(), bytes.size());
  }
  return true;
}

}  // namespace fuzz
