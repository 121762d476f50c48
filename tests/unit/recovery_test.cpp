// A board that stops reading, a port that goes away and comes back, and the
// bytes that bring the board back in step, on the recording double: its clock
// moves as writes wait out their time-outs, and the board's own decoder and
// model read the wire.
#include <algorithm>
#include <random>

#include "link/buffers.h"
#include "link/link.h"
#include "board_view.h"
#include "test_support.h"

namespace {

using board::BoardModel;
using board::DisplayConfig;

const char kLost[] = "\nPort COM1 lost, error 1617; opened again once a second\n";
const char kBack[] = "\nPort COM1 back; the display is sent again\n";
const char kSlow[] =
    "\nPort COM1: the board takes bytes slower than the line; the display catches up as it "
    "reads\n";
const char kKeepsUp[] = "\nPort COM1: the board keeps up again\n";

Bytes Zeros(size_t n) { return Bytes(n, 0); }

// A fresh machine on a USB CDC driver that fails a write that ran out of
// time with `answer` (0: it reports success and what went).
void StartCdc(uint32_t answer) {
  RecReset();
  ResetDriverState();
  Rec().driver = kRecDriverUsbCdc;
  Rec().cdc_timeout_error = answer;
}

size_t Count(const std::vector<std::string>& calls, const std::string& prefix) {
  return (size_t)std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
    return c.compare(0, prefix.size(), prefix) == 0;
  });
}

// ------------------------------------------------ the bytes after a cut

// A command is cut after some of its bytes and the board stops reading; a
// second later the next call finds it reading again. What it writes first:
// the rest of the cut command (values the display holds where it has them,
// zeros elsewhere, so that a cut header carries no payload), 64 zeros more
// for a miscount, ResetDisplay, then what the board lacks; within that call
// the board shows it takes bytes at the line's pace, the driver's own
// time-outs are set again, and the board shows what a board that never
// stopped shows.
struct CutCase {
  const char* name;
  std::function<void()> draw;
  std::vector<int64_t> plan;  // the cut write takes plan[0] bytes, then stalls
  Bytes completion;
  int controller = 6963;
  // On CDC the cut write fails with a time-out error: its count says nothing.
  RecDriver driver = kRecDriverPlain;
  bool query_fails = false;          // once, right after the cut: the port is opened again
  std::function<void()> then = {};   // the host's calls after the cut, in both runs
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class CutTest : public DriverTest, public ::testing::WithParamInterface<CutCase> {
 protected:
  // The whole wire of a session that draws, stalls as `plan` says, and a
  // second later puts one more character and flushes it.
  Bytes Play(const std::vector<int64_t>& plan) {
    const CutCase& c = GetParam();
    RecReset();
    ResetDriverState();
    Rec().driver = c.driver;
    Setting("TextBufferSize", "256");
    Setting("GfxBufferSize", "4096");
    Setting("GfxForceFlush", "1");
    Setting("LCD_UseOutPorts", "1");
    Setting("LCD_Controller", std::to_string(c.controller));
    LCD_SetIOPropertys("COM1", 0, 0, 0, 0, c.controller == 108 ? 128 : 240, 64, 1, 0, 0, 0, 0, 0,
                       0);
    LCD_Init();
    Rec().write_plan.assign(plan.begin(), plan.end());
    if (!plan.empty() && c.query_fails) RecFail(kRecPortClearError, 0, 1);
    c.draw();
    before_ = RecWire();
    Rec().transfers.clear();
    Rec().calls.clear();
    if (c.then) c.then();
    Rec().now_ms += 1000;
    LCD_SendToMemory('Z');
    after_ = RecWire();
    mode_ = g_state.link.mode;
    timeouts_ = Rec().timeouts_applied;
    LCD_SendToMemory('Z');  // stays in the text buffer
    FlushTextBuffer();
    return Concat({before_, RecWire()});
  }
  uint8_t mode_ = kLinkBehind;
  PortTimeouts timeouts_ = {};
  Bytes before_, after_;
};

const uint8_t* Picture() {
  static uint8_t picture[240 * 64];
  for (size_t i = 0; i < sizeof picture; ++i) picture[i] = (uint8_t)(i % 5 == 0);
  return picture;
}

void Io(uint32_t light, uint32_t ports) {
  LCD_SetIOPropertys("COM1", 0, 0, 0, 0, g_state.controller == 108 ? 128 : 240, 64, 1, light, 0,
                     0, ports, 0, 0);
}

TEST_P(CutTest, CompletesTheCommandResetsAndSendsTheDisplay) {
  const CutCase& c = GetParam();
  const Bytes clean = Play({});
  const Bytes lossy = Play(c.plan);
  EXPECT_EQ(mode_, kLinkUp);
  EXPECT_EQ(timeouts_.write_total_constant, 1000u);
  EXPECT_EQ(timeouts_.write_total_multiplier, 1u);  // 19200 baud
  const Bytes head = Concat({c.completion, Zeros(64), Hex("B0")});
  ASSERT_GE(after_.size(), head.size());
  EXPECT_EQ(Bytes(after_.begin(), after_.begin() + (long)head.size()), head);
  DisplayConfig config;
  config.controller = c.controller == 108 ? board::Controller::KS108 : board::Controller::T6963;
  config.width = c.controller == 108 ? 128 : 240;
  const BoardModel shown = Shown(lossy, config), want = Shown(clean, config);
  ExpectSameDisplay(shown, want);
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(shown.custom[code].defined, want.custom[code].defined) << code;
  }
}

// The text rows flush their text with a graphics call of one pixel byte.
void Flush() { LCD_SendToGfxMemory(Picture(), 0, 0, 0, 0, 0); }

CgramCharRecord Glyph(uint8_t position) {
  CgramCharRecord record = {};
  record.position = position;
  for (int i = 0; i < 64; i += 3) record.matrix[i] = 1;
  return record;
}

// 'A', custom character 5, then codes 0 (never defined) and 5.
void GlyphAndCodeZero() {
  LCD_SendToMemory('A');
  LCD_SetCGRAMChar(Glyph(5));
  LCD_SendToMemory(0);
  LCD_SendToMemory(5);
  Flush();
}

const CutCase kCuts[] = {
    {"AtACommandBoundary", [] { LCD_SendToMemory('A'), LCD_SendToMemory('B'), Flush(); }, {0},
     {}},
    {"SetTextCursor", [] { LCD_SetOutputAddress(2, 3), Flush(); }, {1, 0}, Hex("01 01")},
    // A position still to come is one the display defines again next.
    {"SetCGRAMCharBeforeItsPosition", [] { LCD_SetCGRAMChar(Glyph(5)), Flush(); }, {1, 0},
     Concat({Hex("05"), Zeros(8)})},
    {"SetCGRAMCharInItsRows", [] { LCD_SetCGRAMChar(Glyph(5)), Flush(); }, {4, 0}, Zeros(6)},
    // A write in doubt that may have left the board right after the command
    // byte: a zero would define custom character 0 as blank for good (no
    // command takes a definition back), and the cell of code 0 that the host
    // never defined would show blank. A defined glyph's position leads, also
    // when the completion's own write fails, on the port opened again while
    // the board stays, and after the host's restart.
    {"InDoubtAtAGlyphPosition", GlyphAndCodeZero, {2}, Concat({Hex("05"), Zeros(8)}), 6963,
     kRecDriverUsbCdc},
    {"InDoubtAtAGlyphPositionTwice", GlyphAndCodeZero, {2, kPlanLineError},
     Concat({Hex("05"), Zeros(8)}), 6963, kRecDriverUsbCdc},
    {"InDoubtBeforeAGlyph", GlyphAndCodeZero, {0, kPlanLineError}, Concat({Hex("05"), Zeros(8)}),
     6963, kRecDriverUsbCdc},
    {"InDoubtAtAGlyphPositionOnAPortOpenedAgain", GlyphAndCodeZero, {2},
     Concat({Hex("05"), Zeros(8)}), 6963, kRecDriverUsbCdc, true,
     [] { Rec().now_ms += 1000, LCD_SendToMemory('Y'); }},
    {"InDoubtAtAGlyphPositionThenARestart", GlyphAndCodeZero, {2}, Concat({Hex("05"), Zeros(8)}),
     6963, kRecDriverUsbCdc, true, [] { LCD_CleanUp(), LCD_Init(); }},
    // Light, contrast and ports are finished with what the display holds:
    // the backlight does not go out meanwhile.
    {"SetLight", [] { Io(200, 1); }, {1, 0}, Hex("C8")},
    {"SetOutPort", [] { Io(0, 0x00FF0000); }, {1, 0}, Hex("00 00")},
    {"SetOutPortBeforeItsValue", [] { Io(0, 0x00FF0000); }, {2, 0}, Hex("FF")},
    // A header cut before its sizes announces no payload.
    {"SetBitmapInItsHeader", [] { LCD_SendToGfxMemory(Picture(), 0, 0, 11, 1, 0); }, {3, 0},
     Hex("00 00")},
    {"SetBitmapInItsPayload", [] { LCD_SendToGfxMemory(Picture(), 0, 0, 239, 63, 0); },
     {105, 0}, Zeros(2560 - 100)},
    {"SetGfxMultiAfterItsCount", [] { LCD_SendToGfxMemory(Picture(), 6, 5, 23, 5, 0); }, {4, 0},
     Zeros(3)},
    {"SetGfxSingle", [] { LCD_SendToGfxMemory(Picture(), 9, 3, 9, 3, 0); }, {2, 0}, Zeros(2)},
    // KS108: 128 columns in 8 bands.
    {"Ks108SetBitmapInItsHeader", [] { LCD_SendToGfxMemory(Picture(), 0, 0, 0, 0, 0); }, {4, 0},
     Hex("00"), 108},
    {"Ks108SetBitmapInItsPayload", [] { LCD_SendToGfxMemory(Picture(), 0, 0, 0, 0, 0); },
     {5 + 24, 0}, Zeros(1024 - 24), 108},
};

INSTANTIATE_TEST_SUITE_P(Cuts, CutTest, ::testing::ValuesIn(kCuts),
                         [](const auto& info) { return std::string(info.param.name); });

// -------------------------------------- a stall, the budget, the recovery

// A host drawing at its own pace while the board stops reading for a while:
// the first write that meets it waits out one time-out; from then on the
// calls write only what a budget allows (a fifth of the time, at most a
// quarter of a second a call), and once the board reads the display is
// brought back as a run without the stall shows it.
struct StallCase {
  const char* name;
  const char* op;       // "frame", "text" or "mixed"
  uint64_t tick_ms;     // the host's time between calls
  int stall_after;      // calls before the board stops reading
  uint64_t stall_ms;
  int calls;
  RecDriver driver = kRecDriverPlain;
  const char* gfx_size = "64";
  const char* baud = "19200";
  uint64_t most_ms = 1000 + 64;  // the first wait: 64 bytes at 19200 baud and a second
};

class StallTest : public DriverTest, public ::testing::WithParamInterface<StallCase> {
 protected:
  struct Run {
    Bytes received;
    uint64_t first_ms = 0;     // the wait of the first call that met the stall
    uint64_t longest_ms = 0;   // the longest wait of a later call while the board did not read
    uint64_t blocked_ms = 0;   // all that later calls waited while it did not read
    uint64_t back_at = 0;      // the first write after it read again
    uint64_t stall_from = 0;
    std::string trace;
  };

  static void Draw(const std::string& op, int i, std::vector<uint8_t>& picture) {
    if (op == "frame" || (op == "mixed" && i % 3 == 0)) {
      picture[(size_t)(i * 37) % picture.size()] = 1;
      LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
    } else if (op == "text" || (op == "mixed" && i % 3 == 1)) {
      LCD_SetOutputAddress(i % 40, i % 8);
      LCD_SendToMemory((uint32_t)('A' + i % 26));
      LCD_SendToMemory((uint32_t)('a' + i % 26));
    } else {
      CgramCharRecord record = {};
      record.position = (uint8_t)(i % 8);
      record.matrix[i % 64] = 1;
      LCD_SetCGRAMChar(record);
      LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 240, 64, 1, (uint32_t)i, 0, 100, 0, 0, 0);
    }
  }

  Run Play(bool stall) {
    const StallCase& c = GetParam();
    RecReset();
    ResetDriverState();
    Rec().driver = c.driver;
    Setting("LogFile", "1");
    Setting("GfxForceFlush", "1");
    Setting("GfxBufferSize", c.gfx_size);
    Setting("BaudRate", c.baud);
    LCD_Init();
    Run run;
    std::vector<uint8_t> picture(240 * 64, 0);
    uint64_t stall_from = UINT64_MAX, stall_to = 0;
    for (int i = 0; i < c.calls; ++i) {
      if (stall && i == c.stall_after) {
        stall_from = run.stall_from = Rec().now_ms;
        stall_to = stall_from + c.stall_ms;
        RecStall(c.stall_ms);
      }
      const uint64_t before = Rec().now_ms;
      const size_t sent = Rec().transfers.size();
      Draw(c.op, i, picture);
      // The part of the call while the board did not read: the line time of
      // a board that reads is no wait.
      const uint64_t from = std::max(before, stall_from), to = std::min(Rec().now_ms, stall_to);
      const uint64_t waited = from < to ? to - from : 0;
      if (run.first_ms == 0) {
        run.first_ms = waited;
      } else {
        run.longest_ms = std::max(run.longest_ms, waited);
        run.blocked_ms += waited;
      }
      if (before >= stall_to && run.back_at == 0 && Rec().transfers.size() > sent) run.back_at = before;
      Rec().now_ms += c.tick_ms;
    }
    // The last picture and text: whatever the board lacks is sent by now.
    Rec().now_ms += 1000;
    Draw(c.op, 1, picture);
    LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
    EXPECT_EQ(g_state.link.mode, kLinkUp);
    RecRunClock(0);
    run.received = Rec().received;
    run.trace = Trace();
    return run;
  }
};

TEST_P(StallTest, BlocksOnceThenKeepsToItsBudgetAndComesBackWhole) {
  const StallCase& c = GetParam();
  const Run clean = Play(false);
  const Run stalled = Play(true);
  printf("%s: first call %llu ms, then the longest %llu ms and %llu ms in all in %llu ms of stall\n",
         c.name, (unsigned long long)stalled.first_ms, (unsigned long long)stalled.longest_ms,
         (unsigned long long)stalled.blocked_ms, (unsigned long long)c.stall_ms);
  EXPECT_GT(stalled.first_ms, 0u);
  EXPECT_LE(stalled.first_ms, c.most_ms);
  EXPECT_LE(stalled.longest_ms, 250u);
  EXPECT_LE(stalled.blocked_ms, c.stall_ms / 5);
  // Writing resumes within a second of host calls.
  ASSERT_GT(stalled.back_at, 0u);
  const uint64_t stall_to = stalled.stall_from + c.stall_ms;
  EXPECT_LE(stalled.back_at, stall_to + 1000 + c.tick_ms);
  EXPECT_NE(stalled.trace.find(kSlow), std::string::npos);
  EXPECT_NE(stalled.trace.find(kKeepsUp), std::string::npos);
  ExpectSameDisplay(Shown(stalled.received, DisplayConfig()), Shown(clean.received, DisplayConfig()));
}

const StallCase kStalls[] = {
    {"FramesAt30PerSecond", "frame", 33, 10, 5000, 300},
    {"TextAt10PerSecond", "text", 100, 20, 3000, 80},
    {"EverythingAt20PerSecond", "mixed", 50, 9, 4000, 150},
    {"ShorterThanASecond", "mixed", 50, 9, 300, 60},
    // Whole pictures in one transfer (the kit's GfxBufferSize) to a board
    // that pushes back (USB CDC), under Windows' write time-outs: a stall
    // long enough to see any write wait out its whole time-out (4096 bytes
    // at 300 baud: 140 s). (A UART or a bridge sends at the line rate
    // whatever the board does: a board that stops behind one loses bytes
    // where no driver that never reads can see it.)
    {"Gfx4096At300Baud", "frame", 1000, 5, 150000, 165, kRecDriverUsbCdc, "4096", "300", 1300},
    {"Gfx4096At9600Baud", "frame", 100, 5, 10000, 120, kRecDriverUsbCdc, "4096", "9600", 1300},
    {"Gfx4096At19200Baud", "frame", 100, 5, 10000, 120, kRecDriverUsbCdc, "4096", "19200",
     1300},
    {"Gfx4096At115200Baud", "frame", 100, 5, 10000, 120, kRecDriverUsbCdc, "4096", "115200",
     1300},
};

INSTANTIATE_TEST_SUITE_P(Stalls, StallTest, ::testing::ValuesIn(kStalls),
                         [](const auto& info) { return std::string(info.param.name); });

// A host polling LCD_IsReadyToReceive from another thread sees the driver
// busy while a recovery writes, whichever call brings it about.
TEST_F(DriverTest, TheReadyFlagReadsZeroWhileARecoveryWrites) {
  const struct {
    const char* name;
    std::function<void()> call;
  } calls[] = {
      {"text", [] { LCD_SendToMemory('r'); }},
      {"cursor", [] { LCD_SetOutputAddress(1, 1); }},
      {"graphics", [] { LCD_SendToGfxMemory(nullptr, 0, 0, 0, 0, 0); }},
      {"I/O properties", [] { LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 240, 64, 1, 9, 0, 0, 0, 0, 0); }},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.name);
    RecReset();
    ResetDriverState();
    LCD_Init();
    LCD_SetOutputAddress(0, 0);
    LCD_SendToMemory('x');
    Rec().write_plan = {0};  // the next write meets a board that stopped reading
    FlushTextBuffer();
    ASSERT_EQ(g_state.link.mode, kLinkBehind);
    Rec().now_ms += 1000;
    std::vector<int> ready;
    Rec().on_write = [&] { ready.push_back(g_state.ready.load()); };
    c.call();
    Rec().on_write = nullptr;
    ASSERT_FALSE(ready.empty());
    EXPECT_EQ(std::count(ready.begin(), ready.end(), 0), (long)ready.size());
    EXPECT_EQ(g_state.link.mode, kLinkUp);
    EXPECT_EQ(g_state.ready.load(), 1);
  }
}

// LCD_Init on a board that stops as it starts: the clean-up's write waits
// out its time-out, and that is all the call costs; the new port sends the
// display from the next call on, within its budget. Both ways a CDC driver
// answers a time-out.
TEST_F(DriverTest, LcdInitOnAStallingBoardCostsOneWriteTimeOut) {
  for (uint32_t answer : {0u, 121u}) {
    SCOPED_TRACE(answer);
    StartCdc(answer);
    Setting("TextBufferSize", "256");
    LCD_Init();
    for (int i = 0; i < 200; ++i) LCD_SendToMemory('a' + i % 26);  // waits in the text buffer
    RecStall(5000);
    const uint64_t before = Rec().now_ms;
    LCD_Init();
    // 200 buffered bytes and the closing commands: 1000 ms and a millisecond a byte.
    EXPECT_LE(Rec().now_ms - before, 1000u + 210u);
    EXPECT_EQ(g_state.link.mode, kLinkBehind);
  }
}

// A CDC board a little slower than the line (86 % and 94 % of 1920 B/s)
// after a stall: its writes go at nearly the line's pace, but what they take
// beyond their line time comes from the budget, so the call that catches up
// on a 240 x 128 picture does not hold the host for the whole difference.
TEST_F(DriverTest, ABoardALittleSlowerThanTheLineCatchesUpWithinTheBudget) {
  std::vector<uint8_t> picture(240 * 128);
  for (uint32_t rate : {1650u, 1800u}) {
    SCOPED_TRACE(rate);
    RecReset();
    ResetDriverState();
    Rec().driver = kRecDriverUsbCdc;
    Setting("GfxBufferSize", "4096");
    Setting("GfxForceFlush", "1");
    LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 240, 128, 1, 0, 0, 0, 0, 0, 0);
    LCD_Init();
    RecBoardRate(rate);
    RecStall(3000);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = i % 3 == 0;
    LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 127, 0);
    ASSERT_EQ(g_state.link.mode, kLinkBehind);
    RecRunClock(2550);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = i % 7 == 0;
    const size_t writes = Rec().port_writes.size();
    const uint64_t before = Rec().now_ms;
    LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 127, 0);
    uint64_t went = 0;
    for (size_t i = writes; i < Rec().port_writes.size(); ++i) went += Rec().port_writes[i].went;
    const uint64_t line_ms = (went * 10000 + 19199) / 19200;
    EXPECT_LE(Rec().now_ms - before, line_ms + 300) << went << " bytes";
  }
}

// A CDC board that read 500 bytes a second (its failed writes halving the
// estimate further) keeps up again while the host writes a character every
// 100 ms, on a display it declared with no size: nothing to compose, so only
// cursor moves can show that the board keeps pace. One that went at the
// line's pace brings the next within a second, so the host's stream goes out
// as it is within seconds, not after the ten a slow board's measurements wait.
TEST_F(DriverTest, ABoardThatKeepsUpAgainAfterASlowSpellGetsTheStreamBackWithinSeconds) {
  std::vector<uint8_t> picture(240 * 64, 1);
  for (uint32_t answer : {995u, 121u, 0u}) {
    SCOPED_TRACE(answer);
    StartCdc(answer);
    Setting("GfxBufferSize", "4096");
    LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0);
    LCD_Init();
    RecBoardRate(500);
    for (int i = 0; i < 20; ++i) {
      LCD_SendToMemory('a' + i);
      LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
      if (i % 3 == 0) LCD_Init();
      RecRunClock(300);
    }
    ASSERT_EQ(g_state.link.mode, kLinkBehind);
    RecBoardRate(kRecBoardKeepsUp);
    int calls = 0;
    for (; calls < 240 && g_state.link.mode != kLinkUp; ++calls) {
      RecRunClock(100);
      LCD_SendToMemory('z');
    }
    printf("answer %u: the stream goes as it is again after %d calls\n", answer, calls);
    EXPECT_LE(calls, 40);
  }
}

// A CDC write fails with part of a picture on the board, and the port then
// answers no query, so it is opened again; the board behind it stays (a
// driver that restarted, not an unplug). The new port must finish the cut
// command for any cut point of the failed piece before its reset, or the
// reset and what follows are read as pixels.
TEST_F(DriverTest, ABoardThatStaysWhileItsPortIsOpenedAgainGetsTheRestOfTheCutCommand) {
  std::vector<uint8_t> picture(240 * 64);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = i % 5 == 0;
  auto session = [&](bool faults) {
    StartCdc(31);
    LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 240, 64, 1, 0, 0, 0, 0, 0, 0);
    LCD_Init();
    if (faults) {
      RecBoardRate(49);
      RecFail(kRecPortClearError, 0);
    }
    LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
    if (faults) {
      EXPECT_EQ(g_state.link.mode, kLinkGone);
      Rec().faults[kRecPortClearError] = RecFault();
      RecBoardRate(kRecBoardKeepsUp);
    }
    for (int i = 0; i < 30; ++i) {
      RecRunClock(100);
      LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
    }
    EXPECT_EQ(g_state.link.mode, kLinkUp);
    EXPECT_TRUE(Rec().fresh_at.empty());
    return Shown(Rec().received, DisplayConfig());
  };
  const BoardModel clean = session(false);
  ExpectSameDisplay(session(true), clean);
}

// ------------------------------------------ the port goes and comes back

// The board is unplugged in the middle of a call; later a fresh one is
// plugged in at the same port. No box shows; the dead handle is closed at
// once; the port is opened again by name at most once a second, with the
// set-up LCD_Init gives it; every call returns at once meanwhile.
TEST_F(DriverTest, APortThatGoesIsOpenedAgainQuietlyOnceASecond) {
  Setting("LogFile", "1");
  Setting("GfxForceFlush", "1");
  LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 240, 64, 1, 200, 0, 30, 0, 0, 0);
  InitAndClear();
  std::vector<uint8_t> picture(240 * 64, 0);
  picture[5] = 1;
  LCD_SetOutputAddress(3, 1);
  LCD_SendToMemory('k');
  Rec().gone = true;
  LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
  EXPECT_EQ(Rec().calls, (std::vector<std::string>{"PlatformPortWrite 4", "PlatformPortClearError",
                                                   "PlatformPortClose"}));
  EXPECT_EQ(Rec().open_ports, 0);
  EXPECT_EQ(g_state.port, kNoPort);
  EXPECT_EQ(g_state.link.mode, kLinkGone);
  EXPECT_NE(Trace().find(kLost), std::string::npos);

  // Gone for 2.5 s of host calls every 100 ms: two attempts to open it.
  Rec().calls.clear();
  for (int i = 0; i < 25; ++i) {
    Rec().now_ms += 100;
    LCD_SendToMemory('x');
    LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
  }
  EXPECT_EQ(Rec().calls, std::vector<std::string>(2, "PlatformPortOpen COM1"));
  EXPECT_EQ(Rec().slept_ms + Rec().write_waited_ms, 0u);

  // A fresh board: the next attempt opens it as LCD_Init does; the calls
  // after it bring the display back within their budget, the picture among
  // it, with no graphics call, and the driver's own time-outs once the board
  // shows it keeps up.
  Rec().gone = false;
  Rec().calls.clear();
  Rec().transfers.clear();
  Rec().now_ms += 1000;
  LCD_SendToMemory('y');
  EXPECT_EQ(Rec().calls.at(0), "PlatformPortOpen COM1");
  EXPECT_TRUE(Rec().message_boxes.empty());
  EXPECT_NE(Trace().find(kBack), std::string::npos);
  for (int i = 0; i < 12; ++i) {
    Rec().now_ms += 100;
    LCD_SendToMemory('y');
  }
  EXPECT_EQ(g_state.link.mode, kLinkUp);
  EXPECT_EQ(Rec().timeouts_applied.write_total_constant, 1000u);
  const BoardModel fresh = Shown(RecWire(), DisplayConfig());
  EXPECT_EQ(fresh.graphics[5], 1);  // the one pixel the host set, (5, 0)
  EXPECT_EQ(std::count(fresh.graphics.begin(), fresh.graphics.end(), 1),
            std::count(picture.begin(), picture.end(), 1));
}

// The same, end to end: what a fresh board shows equals what a board that
// never went away shows; and LCD_CleanUp and LCD_Init behave as ever while
// the port is gone.
TEST_F(DriverTest, AFreshBoardShowsWhatTheOldOneShowed) {
  auto session = [this](bool unplug, std::vector<size_t>* fresh_at) {
    RecReset();
    ResetDriverState();
    Setting("LogFile", "1");
    Setting("GfxForceFlush", "1");
    LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 240, 64, 1, 200, 0, 30, 0, 0, 0);
    LCD_Init();
    std::vector<uint8_t> picture(240 * 64, 0);
    for (int i = 0; i < 40; ++i) {
      if (unplug && i == 10) Rec().gone = true;
      if (unplug && i == 30) {
        Rec().gone = false;
        fresh_at->push_back(RecWire().size());
      }
      Rec().now_ms += 100;
      const uint32_t dot = (uint32_t)i * 311 % (uint32_t)picture.size();
      picture[dot] = 1;
      LCD_SetOutputAddress(i % 40, i % 8);
      LCD_SendToMemory((uint32_t)('0' + i % 10));
      CgramCharRecord record = {};
      record.position = (uint8_t)(i % 4);
      record.matrix[i] = 1;
      LCD_SetCGRAMChar(record);
      LCD_SendToGfxMemory(picture.data(), dot % 240, dot / 240, dot % 240 + 12, dot / 240 + 1, 0);
    }
    LCD_SendToGfxMemory(picture.data(), 0, 0, 0, 0, 0);
    return RecWire();
  };
  std::vector<size_t> fresh_at;
  const Bytes clean = session(false, nullptr);
  const Bytes replugged = session(true, &fresh_at);
  ExpectSameDisplay(Shown(replugged, DisplayConfig(), fresh_at), Shown(clean, DisplayConfig()));
  EXPECT_EQ(Count(Rec().calls, "PlatformPortOpen"), 3u);  // LCD_Init, one failed try, the reopen
  EXPECT_TRUE(Rec().message_boxes.empty());

  // Gone again: LCD_CleanUp closes nothing more but logs and closes the
  // trace as ever. LCD_Init opens the port anew and, in place of its reset,
  // sends 64 zeros for a cut command, the reset and what the board may have
  // missed that a reset keeps: light and contrast as the clean-up left them,
  // the custom characters.
  Rec().gone = true;
  LCD_SendToMemory('q');
  LCD_SendToGfxMemory(nullptr, 0, 0, 0, 0, 0);
  ASSERT_EQ(g_state.link.mode, kLinkGone);
  Rec().calls.clear();
  LCD_CleanUp();
  EXPECT_TRUE(Rec().calls.empty());
  const std::string tail = "\nLCD_CleanUp()\n\nLCD_CleanUp() porth=closed\n";
  EXPECT_EQ(Trace().substr(Trace().size() - tail.size()), tail);
  EXPECT_EQ(Rec().open_traces, 0);
  EXPECT_FALSE(LinkIsOpen());
  Rec().gone = false;
  Rec().transfers.clear();
  LCD_Init();
  const Bytes wire = RecWire();
  ASSERT_GT(wire.size(), 71u);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 70), Concat({Zeros(64), Hex("B0 B4 00 B3 00 B5")}));
  const BoardModel after = Shown(wire, DisplayConfig()), before = Shown(clean, DisplayConfig());
  for (int code = 0; code < 8; ++code) {
    EXPECT_EQ(after.custom[code].defined, before.custom[code].defined) << code;
    EXPECT_EQ(after.custom[code].rows, before.custom[code].rows) << code;
  }
  EXPECT_EQ(Rec().open_ports, 1);
  LCD_CleanUp();
  EXPECT_EQ(Rec().open_ports, 0);
}

// ----------------------------------------- any loss, anywhere: a property

// Random host calls on random settings, on each kind of serial driver, with
// every kind of loss at random moments: a board that stops reading or
// trickles, a port unplugged (with each error code drivers report) and a
// fresh board plugged in, a resume from sleep that leaves the handle dead
// (and the board fresh), line errors that fail a write twice, writes that
// fail with a time-out error; pictures sent whole or as their changes only.
// The faults stop some seconds before the session ends; the session's
// own calls (on the double's clock) are the driver's chances to recover, and
// at the end only the clock runs, so that what the port holds drains. The
// board then shows exactly what a board that never lost a byte shows.
struct DriverCase {
  const char* name;
  RecDriver driver;
};

class LossTest : public DriverTest, public ::testing::WithParamInterface<DriverCase> {
 protected:
  // A fresh machine on the driver this row names, and a session's settings.
  void Start(std::initializer_list<std::pair<const char*, std::string>> settings) {
    RecReset();
    ResetDriverState();
    Rec().driver = GetParam().driver;
    Setting("GfxForceFlush", "1");
    for (const auto& setting : settings) Setting(setting.first, setting.second);
  }
};

TEST_P(LossTest, AfterAnyLossTheBoardShowsWhatTheHostDrew) {
  const int kCalls = 140, kFaultCalls = 80;  // the last 60 calls, about 9 s, have none
  for (uint32_t seed = 1; seed <= 15; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 setup(seed);
    const bool ks108 = setup() % 3 == 0;
    const int pitch = ks108 || setup() % 2 ? 8 : 6;
    const int width = ks108 ? 128 : 240, height = 64;
    const std::string text_size = std::to_string(std::vector<int>{1, 7, 16, 256}[setup() % 4]);
    const std::string gfx_size = std::to_string(std::vector<int>{1, 64, 300, 4096}[setup() % 4]);
    const std::string baud = std::to_string(std::vector<int>{9600, 19200, 115200}[setup() % 3]);

    const bool pushes_back = GetParam().driver == kRecDriverPlain || GetParam().driver == kRecDriverUsbCdc;
    // How the CDC driver answers a write that ran out of time.
    const uint32_t timeout_error = std::vector<uint32_t>{121, 0, 995, 31}[setup() % 4];
    const std::string changes_only = setup() % 2 ? "1" : "0";
    auto session = [&](bool faults) {
      // The host's calls and the faults draw from streams of their own, so
      // that both sessions make the same calls.
      std::mt19937 rng(seed * 7919), chaos(seed * 104729);
      Start({{"LCD_Controller", ks108 ? "108" : "6963"},
             {"LCD_FontPitch", std::to_string(pitch)},
             {"TextBufferSize", text_size},
             {"GfxBufferSize", gfx_size},
             {"BaudRate", baud},
             {"LCD_UseOutPorts", "1"},
             {"GfxChangesOnly", changes_only}});
      Rec().cdc_timeout_error = timeout_error;
      LCD_SetIOPropertys("COM1", 0, 0, 0, 0, width, height, 1, 0, 0, 0, 0, 0, 0);
      LCD_Init();
      std::vector<uint8_t> picture((size_t)width * height, 0);
      const int columns = width / pitch, rows = height / 8;
      uint64_t plug_back_at = 0;
      for (int i = 0; i < kCalls; ++i) {
        Rec().now_ms += rng() % 300;
        const uint32_t fault = chaos() % 30, how_long = chaos() % 3000;
        if (faults && i < kFaultCalls) {
          // Only a board behind a driver that pushes back makes writes wait;
          // behind a UART or a bridge it would lose bytes unseen.
          if (fault == 0 && pushes_back) RecStall(how_long);
          if (fault == 1 && pushes_back) RecTrickle(how_long, 20 + how_long % 900);
          if (fault == 2 && !Rec().gone) {
            RecUnplug(std::vector<uint32_t>{22, 31, 1617}[how_long % 3]);
            plug_back_at = Rec().now_ms + how_long;
          }
          if (fault == 3 && !Rec().gone) RecResume();
          if (fault == 4) Rec().write_plan = {kPlanLineError, kPlanLineError};
          if (fault == 5) Rec().write_plan = {(int64_t)(how_long % 9), kPlanTimeoutError};
        }
        if (Rec().gone && Rec().now_ms >= plug_back_at) RecPlugIn();
        // Now and then, while faults come, the host restarts the display, and
        // sets backlight and contrast again (the clean-up turned them off). A
        // port that was gone is back by then with a fresh board.
        if (i < kFaultCalls && rng() % 25 == 0) {
          if (Rec().gone) RecPlugIn();
          LCD_Init();
          // The display starts blank; so does the host's picture.
          std::fill(picture.begin(), picture.end(), 0);
          LCD_SetIOPropertys("COM1", 0, 0, 0, 0, width, height, 1, 1 + rng() % 255, 0,
                             1 + rng() % 255, 0, 0, 0);
          continue;
        }
        // The session ends with a drawing, which sends what waits in the
        // text buffer too.
        switch (i + 1 == kCalls ? 4 : rng() % 5) {
          case 0: {
            LCD_SetOutputAddress((int32_t)(rng() % columns), (int32_t)(rng() % rows));
            for (uint32_t n = rng() % 12; n > 0; --n) {
              // Printable text and the custom characters' codes 0 to 7.
              LCD_SendToMemory(rng() % 4 == 0 ? rng() % 8 : 0x20 + rng() % 0x5F);
            }
            break;
          }
          case 1: {
            CgramCharRecord record;
            record.position = (uint8_t)(rng() % 8);
            for (uint8_t& dot : record.matrix) dot = (uint8_t)(rng() % 2);
            LCD_SetCGRAMChar(record);
            break;
          }
          case 2:
            LCD_SetIOPropertys("COM1", 0, 0, 0, 0, width, height, 1, rng() % 256, 0, rng() % 256,
                               rng() % 2 ? rng() : 0, 0, 0);
            break;
          default: {
            // A changed rectangle of the host's picture, sent as such.
            const uint32_t x1 = rng() % width, x2 = rng() % width;
            const uint32_t y1 = rng() % height, y2 = rng() % height;
            for (uint32_t y = std::min(y1, y2); y <= std::max(y1, y2); ++y)
              for (uint32_t x = std::min(x1, x2); x <= std::max(x1, x2); ++x)
                picture[y * width + x] = (uint8_t)(rng() % 2);
            const uint32_t p = (uint32_t)(ks108 ? 1 : pitch);
            // The rectangle as the driver widens it, so that no pixel changes
            // outside what goes out.
            LCD_SendToGfxMemory(picture.data(), std::min(x1, x2) / p * p, y1,
                                std::max(x1, x2) / p * p + p - 1, y2, 0);
            break;
          }
        }
      }
      EXPECT_FALSE(Rec().gone);
      EXPECT_EQ(g_state.link.mode, kLinkUp);
      EXPECT_LE(Rec().open_ports, 1);
      RecRunClock(60000);  // what the port holds drains
      return Rec().received;
    };
    DisplayConfig config;
    config.controller = ks108 ? board::Controller::KS108 : board::Controller::T6963;
    config.pitch = pitch;
    config.width = width;
    config.height = height;
    const Bytes clean = session(false);
    const Bytes lossy = session(true);
    ExpectSameDisplay(Shown(lossy, config, Rec().fresh_at), Shown(clean, config));
    if (HasFailure()) break;
  }
}

// The board is unplugged and a fresh one plugged in while the host no longer
// redraws its picture: it writes only text, as hosts do when the picture does
// not change, or, with GfxChangesOnly=1, it sends the same picture again and
// again, so that nothing is written and no write fails (the driver asks the
// port instead). The fresh board shows the picture all the same.
TEST_P(LossTest, AFreshBoardGetsThePictureTheHostNoLongerRedraws) {
  struct Case {
    const char* name;
    bool ks108;
    bool same_picture;  // else text only
    int plug_in_at;     // the call; the board goes at call 20
  };
  for (const Case& c : {Case{"text only", false, false, 35},
                        Case{"the same picture, T6963", false, true, 20},
                        Case{"the same picture, KS108", true, true, 20}}) {
    SCOPED_TRACE(c.name);
    const int width = c.ks108 ? 128 : 240;
    auto session = [&](bool replug) {
      Start({{"TextBufferSize", "1"},
             {"GfxChangesOnly", c.same_picture ? "1" : "0"},
             {"LCD_Controller", c.ks108 ? "108" : "6963"}});
      LCD_SetIOPropertys("COM1", 0, 0, 0, 0, width, 64, 1, 200, 0, 30, 0, 0, 0);
      LCD_Init();
      std::vector<uint8_t> picture((size_t)width * 64, 0);
      for (size_t i = 0; i < picture.size(); i += 7) picture[i] = 1;
      LCD_SendToGfxMemory(picture.data(), 0, 0, width - 1, 63, 0);
      for (int i = 0; i < 60; ++i) {
        Rec().now_ms += 100;
        if (replug && i == 20) RecUnplug(1617);
        if (replug && i == c.plug_in_at) RecPlugIn();
        if (c.same_picture) {
          LCD_SendToGfxMemory(picture.data(), 0, 0, width - 1, 63, 0);
        } else {
          LCD_SetOutputAddress(i % 40, i % 8);
          LCD_SendToMemory((uint32_t)('0' + i % 10));
        }
      }
      RecRunClock(60000);
      return Rec().received;
    };
    DisplayConfig config;
    config.controller = c.ks108 ? board::Controller::KS108 : board::Controller::T6963;
    config.pitch = c.ks108 ? 8 : 6;
    config.width = width;
    const BoardModel clean = Shown(session(false), config);
    const Bytes replugged = session(true);
    ExpectSameDisplay(Shown(replugged, config, Rec().fresh_at), clean);
  }
}

const DriverCase kDrivers[] = {
    {"Plain", kRecDriverPlain},
    {"WindowsTimeOuts", kRecDriverWinTimeouts},
    {"UsbBridge", kRecDriverUsbBridge},
    {"UsbCdc", kRecDriverUsbCdc},
};

INSTANTIATE_TEST_SUITE_P(Drivers, LossTest, ::testing::ValuesIn(kDrivers),
                         [](const auto& info) { return std::string(info.param.name); });

// A board that passes 100 bytes a second for 8 s, behind a driver that
// takes writes at once while the board reads (a bridge, CDC), while the host
// writes text four times a second and a whole picture (the kit's
// GfxBufferSize of 4096: one transfer) every other second. No call waits
// much longer than the 1.3 s a stopped board may cost (the bytes that do go
// take their time: 16 bytes of text are 160 ms), and the display converges.
class TrickleTest : public LossTest {};

TEST_P(TrickleTest, NoCallWaitsLongAndTheDisplayConverges) {
  uint64_t inside_ms = 0, longest_ms = 0;
  const uint64_t kFrom = 5000, kTo = kFrom + 8000;
  auto session = [&](bool trickle) {
    Start({{"GfxBufferSize", "4096"}});
    LCD_Init();
    std::vector<uint8_t> picture(240 * 64, 0);
    // 24 s of calls, the last a picture (which sends the text before it).
    for (int i = 0; i <= 96; ++i) {
      if (trickle && Rec().now_ms >= kFrom && Rec().trickle_until_ms == 0) RecTrickle(kTo - Rec().now_ms, 100);
      const uint64_t before = Rec().now_ms;
      if (i % 8 == 0) {
        picture[(size_t)(i * 37) % picture.size()] ^= 1;
        LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
      } else {
        LCD_SetOutputAddress(i % 40, i % 8);
        LCD_SendToMemory((uint32_t)('A' + i % 26));
      }
      const uint64_t from = std::max(before, kFrom), to = std::min(Rec().now_ms, kTo);
      if (trickle && from < to) {
        inside_ms += to - from;
        longest_ms = std::max(longest_ms, to - from);
      }
      Rec().now_ms += 250;
    }
    RecRunClock(60000);
    return Rec().received;
  };
  const Bytes clean = session(false);
  const Bytes trickled = session(true);
  printf("%s: %llu ms inside driver calls in 8000 ms of a board taking 100 bytes a second, the "
         "longest call %llu ms\n",
         GetParam().name, (unsigned long long)inside_ms, (unsigned long long)longest_ms);
  EXPECT_LE(longest_ms, 1500u);
  ExpectSameDisplay(Shown(trickled, DisplayConfig()), Shown(clean, DisplayConfig()));
}

INSTANTIATE_TEST_SUITE_P(Drivers, TrickleTest,
                         ::testing::Values(DriverCase{"UsbCdc", kRecDriverUsbCdc}),
                         [](const auto& info) { return std::string(info.param.name); });

// 300 closes in a row on a USB bridge, each LCD_Init, a line of text and
// LCD_CleanUp every 20 ms, the host faster than the line (some 47 bytes a
// close, the line 38 at 19200 baud): every byte the driver wrote
// reaches the board, the closing commands (reset, contrast 0, light 0) of
// each close among them.
TEST_F(DriverTest, ClosingBytesArriveOverThreeHundredClosesOnABridge) {
  const int kCloses = 300;
  Rec().driver = kRecDriverUsbBridge;
  LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 240, 64, 1, 0, 0, 0, 0, 0, 0);
  for (int i = 0; i < kCloses; ++i) {
    LCD_Init();
    Rec().now_ms += 10;
    char text[48];
    snprintf(text, sizeof text, "Close %03d of three hundred on a bridge", i);
    LCD_SetOutputAddress(0, 0);
    for (const char* p = text; *p; ++p) LCD_SendToMemory((uint8_t)*p);
    Rec().now_ms += 10;
    LCD_CleanUp();
  }
  RecRunClock(60000);
  board::Decoder decoder;
  board::DecoderInit(decoder, DisplayConfig());
  std::vector<board::Command> commands;
  std::vector<board::Anomaly> anomalies;
  board::DecoderFeed(decoder, Rec().received.data(), Rec().received.size(), commands, anomalies);
  size_t closes = 0;
  for (size_t i = 0; i + 2 < commands.size(); ++i) {
    closes += commands[i].kind == board::CommandKind::ResetDisplay &&
              commands[i + 1].kind == board::CommandKind::SetContrast &&
              commands[i + 1].operands == Bytes{0} &&
              commands[i + 2].kind == board::CommandKind::SetLight && commands[i + 2].operands == Bytes{0};
  }
  printf("%zu of %d closes arrived, %zu of %zu bytes\n", closes, kCloses, Rec().received.size(),
         RecWire().size());
  EXPECT_EQ(closes, (size_t)kCloses);
  EXPECT_EQ(Rec().received, RecWire());
}

}  // namespace
