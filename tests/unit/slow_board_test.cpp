// A board slower than its line, behind the one kind of serial driver that
// makes the host wait for it: USB CDC, where the board pushes back. (A UART
// or a USB bridge sends at the line rate whatever the board does; a board
// that cannot keep up there loses bytes where no driver that never reads can
// see it.) The host draws a whole new 240 x 64 picture every 400 ms with the
// kit's config.ini, then only a clock ticks each second. On the double's
// clock: no call after the first slow one holds the host longer than the
// budget allows, and the board ends showing what the host drew.
#include <algorithm>
#include <string>

#include "board_view.h"
#include "link/buffers.h"
#include "test_support.h"

namespace {

struct SlowCase {
  const char* name;
  uint32_t per_s;   // the board's rate; kRecBoardKeepsUp for the line's
  uint32_t answer;  // how the CDC driver answers a write that ran out of time
};

struct Figures {
  uint64_t first_ms = 0;    // the first call longer than the budget's 250 ms
  uint64_t longest_ms = 0;  // the longest call after it
  uint64_t inside_ms = 0;   // all calls after it, while the host drew
  uint64_t drawing_ms = 0;  // the time from that call to the last picture
  int64_t converged_ms = -1;  // from the last picture until the board shows the host's display
  bool behind_seen = false;
};

const int kFrames = 50;
const uint64_t kFrameMs = 400;

void KitSettings() {
  Rec().profile = {{"BaudRate", "19200"},      {"TextBufferSize", "16"},  {"GfxBufferSize", "4096"},
                   {"GfxForceFlush", "1"},     {"GfxChangesOnly", "1"},   {"LCD_FontPitch", "6"},
                   {"LCD_UseOutPorts", "0"},   {"LCD_Controller", "6963"}, {"LogFile", "0"}};
}

// A picture that differs from the last one nearly everywhere.
void Frame(std::vector<uint8_t>& picture, int f) {
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 240; ++x) picture[(size_t)y * 240 + x] = (uint8_t)((x + 3 * y + 7 * f) % 11 < 4);
}

void Tick(int second) {
  char text[9];
  snprintf(text, sizeof text, "%02d:%02d:%02d", 12 + second / 3600, second / 60 % 60, second % 60);
  LCD_SetOutputAddress(30, 0);
  for (const char* p = text; *p; ++p) LCD_SendToMemory((uint8_t)*p);
}

// What the board shows now, read from the bytes it took since the last look.
struct Watch {
  board::DisplayConfig config;
  board::Decoder decoder;
  board::BoardModel model;
  size_t fed = 0;
  Watch() {
    board::DecoderInit(decoder, config);
    board::ModelInit(model, config);
  }
  const board::BoardModel& Now() {
    std::vector<board::Command> commands;
    std::vector<board::Anomaly> anomalies;
    const Bytes& got = Rec().received;
    board::DecoderFeed(decoder, got.data() + fed, got.size() - fed, commands, anomalies);
    fed = got.size();
    for (const board::Command& c : commands) board::ModelApply(model, c);
    return model;
  }
};

bool SameDisplay(const board::BoardModel& a, const board::BoardModel& b) {
  return a.text == b.text && a.cursor_column == b.cursor_column && a.cursor_row == b.cursor_row &&
         a.graphics == b.graphics && a.light == b.light && a.contrast == b.contrast;
}

// The session: pictures, then `ticks` seconds of a clock. `clean` holds the
// display after each tick of a board that keeps up; a slow run fills in
// when it first equals it.
Figures Session(const SlowCase& c, int ticks, std::vector<board::BoardModel>* clean) {
  RecReset();
  ResetDriverState();
  Rec().driver = kRecDriverUsbCdc;
  Rec().cdc_timeout_error = c.answer;
  KitSettings();
  LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 240, 64, 1, 200, 0, 30, 0, 0, 0);
  LCD_Init();
  RecBoardRate(c.per_s);
  Figures run;
  Watch watch;
  std::vector<uint8_t> picture(240 * 64);
  uint64_t first_at = 0;
  for (int f = 0; f < kFrames; ++f) {
    Frame(picture, f);
    const uint64_t before = Rec().now_ms;
    LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
    const uint64_t took = Rec().now_ms - before;
    run.behind_seen |= g_state.link.mode != kLinkUp;
    if (run.first_ms == 0 && took > 250) {
      run.first_ms = took;
      first_at = Rec().now_ms;
    } else if (run.first_ms != 0) {
      run.longest_ms = std::max(run.longest_ms, took);
      run.inside_ms += took;
    }
    Rec().now_ms = std::max(Rec().now_ms, before + kFrameMs);
  }
  run.drawing_ms = first_at ? Rec().now_ms - first_at : 0;
  const uint64_t last_picture = Rec().now_ms;
  for (int t = 0; t < ticks; ++t) {
    Rec().now_ms += 1000;
    Tick(t);
    FlushTextBuffer();  // the time goes out with this tick, not with the next
    const board::BoardModel& now = watch.Now();
    if (clean == nullptr) continue;
    if (c.per_s == kRecBoardKeepsUp) {
      clean->push_back(now);
    } else if (SameDisplay(now, (*clean)[(size_t)t])) {
      if (run.converged_ms < 0) run.converged_ms = (int64_t)(Rec().now_ms - last_picture);
    } else {
      run.converged_ms = -1;  // it must stay so
    }
  }
  return run;
}

class SlowBoardTest : public ::testing::TestWithParam<SlowCase> {};

TEST_P(SlowBoardTest, KeepsToItsBudgetAndTheDisplayCatchesUp) {
  const SlowCase& c = GetParam();
  // Enough seconds of clock for a fifth of the board's rate to carry the
  // cut picture's rest, the reset and the display.
  const int ticks = c.per_s < 100 || c.per_s == kRecBoardKeepsUp ? 20 : (int)(30 + 5 * 6000 / c.per_s);
  std::vector<board::BoardModel> clean;
  Session({"clean", kRecBoardKeepsUp, c.answer}, ticks, &clean);
  const Figures run = Session(c, ticks, &clean);
  printf("%s: first call %llu ms, then the longest %llu ms, %.1f %% of the time inside calls; the "
         "board shows the host's display %lld ms after the last picture\n",
         c.name, (unsigned long long)run.first_ms, (unsigned long long)run.longest_ms,
         run.drawing_ms ? 100.0 * (double)run.inside_ms / (double)run.drawing_ms : 0.0,
         (long long)run.converged_ms);
  if (c.per_s == kRecBoardKeepsUp) {
    // A board at the line's pace gets the host's stream as it is.
    EXPECT_FALSE(run.behind_seen);
    return;
  }
  EXPECT_TRUE(run.behind_seen);
  EXPECT_GT(run.first_ms, 0u);
  EXPECT_LE(run.first_ms, 1300u);
  EXPECT_LE(run.longest_ms, 250u);
  EXPECT_LE(run.inside_ms, run.drawing_ms / 5 + 250);
  // A fifth of 20 bytes a second carries less than the clock changes in a
  // second: such a board shows a clock that lags, never the host's own.
  if (c.per_s >= 100) EXPECT_GE(run.converged_ms, 0) << "the board never showed the host's display";
}

const SlowCase kSlowCases[] = {
    {"Stopped", 0, 121},
    {"StoppedAnsweringWithThePart", 0, 0},
    {"At20", 20, 0},
    {"At20Answering121", 20, 121},
    {"At250", 250, 0},
    {"At250Answering121", 250, 121},
    {"At250Answering995", 250, 995},
    {"At250Answering31", 250, 31},
    {"At500", 500, 121},
    {"At800", 800, 0},
    {"AtTheLineRate", kRecBoardKeepsUp, 121},
};

INSTANTIATE_TEST_SUITE_P(Cdc, SlowBoardTest, ::testing::ValuesIn(kSlowCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A board slower than the line, but not by half, takes the host's stream as
// it is; if it stops inside a long call, or the call runs late by a write
// time-out, the call has held the host one time-out beyond the line time of
// what went, in all: not one on top of what it was late already.
TEST(SlowBoardStop, ALateCallWaitsOneTimeOutInAll) {
  const struct {
    uint32_t per_s;     // 19200 baud carries 1920 a second
    uint64_t reads_ms;  // then it stops
    bool keeps_up;      // the picture (about 5.2 KB, 2.7 s of line) goes out as it is
  } cases[] = {{1440, 2000, false}, {1100, 2500, false}, {1100, 1200, false},
               {1800, 2500, false}, {1100, 60000, false}, {1700, 60000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.per_s << " B/s for " << c.reads_ms << " ms");
    RecReset();
    ResetDriverState();
    Rec().driver = kRecDriverUsbCdc;
    KitSettings();
    Rec().profile["GfxBufferSize"] = "8192";
    LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 240, 128, 1, 200, 0, 30, 0, 0, 0);
    LCD_Init();
    RecBoardRate(0);
    RecTrickle(c.reads_ms, c.per_s);
    std::vector<uint8_t> picture(240 * 128);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = (uint8_t)(i % 7 < 3);
    const uint64_t before = Rec().now_ms;
    const size_t writes = Rec().port_writes.size();
    LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 127, 0);
    uint64_t went = 0;
    for (size_t i = writes; i < Rec().port_writes.size(); ++i) went += Rec().port_writes[i].went;
    const uint64_t line_ms = went * 10000 / 19200;
    const uint64_t took = Rec().now_ms - before;
    printf("%u B/s for %llu ms: %llu bytes in %llu ms, %llu ms beyond their line time\n", c.per_s,
           (unsigned long long)c.reads_ms, (unsigned long long)went, (unsigned long long)took,
           (unsigned long long)(took - line_ms));
    EXPECT_LE(took, line_ms + 1300);
    EXPECT_EQ(g_state.link.mode, c.keeps_up ? kLinkUp : kLinkBehind);
  }
}

// LCD_Init on a board that stopped reading: the clean-up's flush meets it
// (one write time-out at the most), and the new port starts behind, within
// the budget: about a second and a quarter, not two time-outs.
TEST(SlowBoardInit, OnAStalledBoardCostsOneTimeOut) {
  for (bool behind_first : {false, true}) {
    SCOPED_TRACE(behind_first ? "already behind" : "up until the clean-up");
    RecReset();
    ResetDriverState();
    Rec().driver = kRecDriverUsbCdc;
    KitSettings();
    LCD_Init();
    std::vector<uint8_t> picture(240 * 64);
    Frame(picture, 1);
    RecBoardRate(0);
    if (behind_first) {
      LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
      ASSERT_EQ(g_state.link.mode, kLinkBehind);
      Rec().now_ms += 2000;
    }
    for (int i = 0; i < 40; ++i) LCD_SendToMemory('x');  // waits in the text buffer
    const uint64_t before = Rec().now_ms;
    LCD_Init();
    const uint64_t took = Rec().now_ms - before;
    printf("LCD_Init on a stalled board, %s: %llu ms\n", behind_first ? "behind" : "up",
           (unsigned long long)took);
    EXPECT_LE(took, 1300u);
    EXPECT_EQ(g_state.link.mode, kLinkBehind);
    EXPECT_EQ(g_state.ready.load(), 1);
  }
}

}  // namespace
