// GfxChangesOnly: the same sessions with the key off and on end in the same
// display, the board's decoder and model reading the wire, and the key never
// sends more; the planner's choices at its cost boundaries, byte for byte;
// the key in config.ini.
#include <algorithm>
#include <random>
#include <sstream>

#include "display/changes.h"
#include "link/buffers.h"
#include "test_support.h"
#include "tools/board/decoder.h"
#include "tools/board/model.h"

namespace {

// ------------------------------------------------ the same display, fewer bytes

struct Session {
  int controller, pitch, width, height;
  uint32_t seed;
};

// One call of a session, as it is played in both modes.
struct Step {
  enum Kind { kGraphics, kText, kInit } kind;
  std::vector<uint8_t> picture;  // empty: a null picture
  uint32_t x1, y1, x2, y2;
  uint8_t character;
};

// A picture that changes the way a host's does: small patches, lines, now and
// then nothing or everything; rectangles around the change, anywhere or whole.
// A ResetDisplay in the text only where no graphics wait in the buffer
// (`resets`): graphics that do reach the board after it, and there the key
// off sends bytes of its rectangle that the key on knew the board showed.
std::vector<Step> MakeSteps(const Session& s, std::mt19937& rng, bool resets) {
  auto below = [&](int n) { return (int)(rng() % (uint32_t)n); };
  std::vector<Step> steps;
  std::vector<uint8_t> picture((size_t)s.width * s.height, 0);
  for (int n = 0; n < 40; ++n) {
    Step step{};
    const int kind = below(20);
    if (kind == 0) {
      step.kind = Step::kInit;
    } else if (kind < 3) {
      step.kind = Step::kText;
      // The board reads any command byte among the text; other commands
      // than ResetDisplay would take what follows as operands.
      step.character = resets && below(4) == 0 ? 0xB0 : (uint8_t)(0x20 + below(0x90));
    } else {
      step.kind = Step::kGraphics;
      int x0 = below(s.width), y0 = below(s.height);
      int w = 1 + below(std::min(40, s.width - x0)), h = 1 + below(std::min(20, s.height - y0));
      const int change = below(10);
      if (change == 0) {
        for (uint8_t& p : picture) p = below(3) == 0 ? (uint8_t)(1 + below(255)) : 0;
      } else if (change < 8) {
        for (int y = y0; y < y0 + h; ++y) {
          for (int x = x0; x < x0 + w; ++x) {
            if (below(3) == 0) picture[(size_t)y * s.width + x] = (uint8_t)below(2);
          }
        }
      }
      const int rect = below(6);
      if (rect == 0) {
        x0 = below(s.width), y0 = below(s.height);
        w = 1 + below(s.width - x0), h = 1 + below(s.height - y0);
      } else if (rect == 1) {
        x0 = 0, y0 = 0, w = s.width, h = s.height;
      }
      step.x1 = (uint32_t)x0, step.y1 = (uint32_t)y0;
      step.x2 = (uint32_t)(x0 + w - 1), step.y2 = (uint32_t)(y0 + h - 1);
      if (below(4) == 0) std::swap(step.x1, step.x2);
      if (below(20) != 0) step.picture = picture;
    }
    steps.push_back(step);
  }
  return steps;
}

struct Played {
  std::vector<Bytes> wire;  // written by each step
  std::vector<size_t> put;  // bytes each step put, written or still buffered
};

Played Play(const Session& s, const std::vector<Step>& steps, bool changes_only,
            const char* force_flush, const char* gfx_buffer) {
  RecReset();
  ResetDriverState();
  Rec().profile["LCD_Controller"] = std::to_string(s.controller);
  Rec().profile["LCD_FontPitch"] = std::to_string(s.pitch);
  Rec().profile["GfxForceFlush"] = force_flush;
  Rec().profile["GfxBufferSize"] = gfx_buffer;
  Rec().profile["TextBufferSize"] = "5";
  Rec().profile["GfxChangesOnly"] = changes_only ? "1" : "0";
  LCD_SetIOPropertys("COM1", 0, 0, 0, 0, s.width, s.height, 1, 0, 0, 0, 0, 0, 0);
  Played played;
  size_t seen = 0;  // transfers already taken
  auto written = [&seen] {
    Bytes bytes;
    for (; seen < Rec().transfers.size(); ++seen) {
      bytes.insert(bytes.end(), Rec().transfers[seen].begin(), Rec().transfers[seen].end());
    }
    return bytes;
  };
  LCD_Init();
  played.wire.push_back(written());
  played.put.push_back(0);
  for (const Step& step : steps) {
    const size_t held = g_state.gfx_count + g_state.text_count;
    if (step.kind == Step::kInit) LCD_Init();
    if (step.kind == Step::kText) LCD_SendToMemory(step.character);
    if (step.kind == Step::kGraphics) {
      LCD_SendToGfxMemory(step.picture.empty() ? nullptr : step.picture.data(), step.x1, step.y1,
                          step.x2, step.y2, 0);
    }
    played.wire.push_back(written());
    played.put.push_back(played.wire.back().size() + g_state.gfx_count + g_state.text_count -
                         held);
  }
  // What a next graphics call would write first: the text, then the graphics.
  FlushTextBuffer();
  FlushGfxBuffer();
  played.wire.push_back(written());
  played.put.push_back(0);
  return played;
}

struct Board {
  board::Decoder decoder;
  board::BoardModel model;
  void Start(const board::DisplayConfig& config) {
    board::DecoderInit(decoder, config);
    board::ModelInit(model, config);
  }
  void Feed(const Bytes& bytes) {
    std::vector<board::Command> commands;
    std::vector<board::Anomaly> anomalies;
    board::DecoderFeed(decoder, bytes.data(), bytes.size(), commands, anomalies);
    for (const board::Command& c : commands) board::ModelApply(model, c);
  }
};

void PrintTo(const Session& s, std::ostream* os) {
  *os << s.controller << " pitch " << s.pitch << " " << s.width << "x" << s.height;
}

class ChangesOnlyProperty : public ::testing::TestWithParam<Session> {
 protected:
  void TearDown() override {
    ResetDriverState();
    RecReset();
  }
};

TEST_P(ChangesOnlyProperty, SameDisplayNeverMoreBytes) {
  const Session& s = GetParam();
  std::mt19937 rng(s.seed);
  const char* kForce[] = {"1", "0"};
  const char* kBuffers[] = {"64", "3", "1", "4096"};
  size_t total_off = 0, total_on = 0;
  for (int round = 0; round < 24; ++round) {
    const char* force = kForce[round % 2];
    const std::vector<Step> steps = MakeSteps(s, rng, force[0] == '1');
    const char* buffer = kBuffers[(round / 2) % 4];
    const Played off = Play(s, steps, false, force, buffer);
    const Played on = Play(s, steps, true, force, buffer);
    board::DisplayConfig config;
    config.controller = s.controller == 108 ? board::Controller::KS108 : board::Controller::T6963;
    config.pitch = s.pitch;
    config.width = s.width;
    config.height = s.height;
    Board a, b;
    a.Start(config);
    b.Start(config);
    ASSERT_EQ(off.wire.size(), on.wire.size());
    for (size_t i = 0; i < off.wire.size(); ++i) {
      a.Feed(off.wire[i]);
      b.Feed(on.wire[i]);
      EXPECT_LE(on.put[i], off.put[i]) << "round " << round << " step " << i;
      total_off += off.put[i];
      total_on += on.put[i];
      // Bytes still buffered have not reached either board: compare where
      // nothing waits (every call with GfxForceFlush=1, and at the end).
      if (force[0] == '0' && i + 1 < off.wire.size()) continue;
      ASSERT_TRUE(a.model.graphics == b.model.graphics)
          << "round " << round << " step " << i << " force " << force << " buffer " << buffer;
      ASSERT_EQ(a.model.text, b.model.text) << "round " << round << " step " << i;
    }
  }
  // The sessions change little per call: the key must save bytes, not only
  // match them.
  EXPECT_LT(total_on, total_off);
}

INSTANTIATE_TEST_SUITE_P(Sessions, ChangesOnlyProperty,
                         ::testing::Values(Session{6963, 6, 240, 64, 1},
                                           Session{6963, 8, 240, 128, 2},
                                           Session{6963, 6, 101, 37, 3},
                                           Session{6963, 8, 255, 255, 4},
                                           Session{108, 8, 128, 64, 5},
                                           Session{108, 8, 130, 60, 6}),
                         [](const auto& info) {
                           const Session& s = info.param;
                           return "C" + std::to_string(s.controller) + "P" +
                                  std::to_string(s.pitch) + "W" + std::to_string(s.width) + "H" +
                                  std::to_string(s.height);
                         });

// ------------------------------------------------ the planner's choices

typedef std::vector<std::pair<int, int>> Pixels;  // set pixels (x, y)

struct ChoiceCase {
  const char* name;
  Pixels pixels;  // drawn on a clear board
  uint32_t x1, y1, x2, y2;
  const char* gfx_buffer;
  std::vector<Bytes> transfers;
  const char* trace;  // after the call's first line
};

void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }

class ChoiceTest : public DriverTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(ChoiceTest, SendsTheCheapestCommands) {
  const ChoiceCase& c = GetParam();
  Setting("LogFile", "1");
  Setting("GfxChangesOnly", "1");
  Setting("GfxBufferSize", c.gfx_buffer);
  Setting("GfxForceFlush", c.gfx_buffer[0] == '4' ? "1" : "0");
  InitAndClear();
  std::vector<uint8_t> picture(240 * 64, 0);
  for (const auto& p : c.pixels) picture.at((size_t)p.second * 240 + p.first) = 1;
  LCD_SendToGfxMemory(picture.data(), c.x1, c.y1, c.x2, c.y2, 0);
  EXPECT_EQ(Rec().transfers, c.transfers);
  char first[128];
  snprintf(first, sizeof first, "\nLCD_SendToGfxMemory() x1=%03u x2=%03u y1=%03u y2=%03u\n", c.x1,
           c.x2, c.y1, c.y2);
  EXPECT_EQ(Trace(), std::string(first) + c.trace);
  EXPECT_EQ(g_state.gfx_count, 0u);
  // The same call again finds the board showing it all: nothing goes out.
  Rec().transfers.clear();
  LCD_SendToGfxMemory(picture.data(), c.x1, c.y1, c.x2, c.y2, 0);
  EXPECT_TRUE(Rec().transfers.empty());
}

// Pitch 6 on a clear board: bit 5 of a byte is its leftmost pixel (0x20).
const ChoiceCase kChoiceCases[] = {
    // Two single bytes two apart: one SetGfxMulti of 4 costs 8, as two
    // SetGfxSingle do; the tie goes to one command.
    {"GapOfTwoBridged", {{0, 5}, {18, 5}}, 0, 5, 59, 5, "4096",
     {Hex("BA 00 05 04 20 00 00 20")}, "SetGfxMulti() x=000 y=005 bytes=004\n"},
    // Three apart: 9 against 8.
    {"GapOfThreeNotBridged", {{0, 5}, {24, 5}}, 0, 5, 59, 5, "4096",
     {Hex("B7 00 05 20 B7 18 05 20")},
     "SetGfxSingle() x=000 y=005 by=0x20\nSetGfxSingle() x=024 y=005 by=0x20\n"},
    // Runs of two with a gap of four: 4 + 8 bridged, 6 + 6 apart; tie, bridged.
    {"RunsGapOfFourBridged", {{0, 7}, {6, 7}, {36, 7}, {42, 7}}, 0, 7, 239, 7, "4096",
     {Hex("BA 00 07 08 20 20 00 00 00 00 20 20")}, "SetGfxMulti() x=000 y=007 bytes=008\n"},
    // A gap of five: 13 against 12.
    {"RunsGapOfFiveNotBridged", {{0, 7}, {6, 7}, {42, 7}, {48, 7}}, 0, 7, 239, 7, "4096",
     {Hex("BA 00 07 02 20 20 BA 2A 07 02 20 20")},
     "SetGfxMulti() x=000 y=007 bytes=002\nSetGfxMulti() x=042 y=007 bytes=002\n"},
    // Rows 5 and 6 change bytes 0 to 2, row 7 bytes 0 to 5: the equal spans
    // of rows 5 and 6 go out as one block (11), row 7 as a SetGfxMulti (10);
    // the box around them all would cost 23.
    {"EqualSpansStackIntoABlock",
     {{0, 5}, {6, 5}, {12, 5}, {0, 6}, {6, 6}, {12, 6},
      {0, 7}, {6, 7}, {12, 7}, {18, 7}, {24, 7}, {30, 7}},
     0, 0, 239, 63, "4096",
     {Hex("BB 00 05 03 02 20 20 20 20 20 20 BA 00 07 06 20 20 20 20 20 20")},
     "SetBitmap() x=000 y=005 width=003 bytes height=002 pixels\n"
     "SetGfxMulti() x=000 y=007 bytes=006\n"},
    // A bar one byte wide over ten rows: one block down the column.
    {"ColumnIsOneBlock",
     {{60, 10}, {60, 11}, {60, 12}, {60, 13}, {60, 14}, {60, 15}, {60, 16}, {60, 17}, {60, 18},
      {60, 19}, {120, 30}},
     0, 0, 239, 63, "4096",
     {Hex("BB 3C 0A 01 0A 20 20 20 20 20 20 20 20 20 20 B7 78 1E 20")},
     "SetBitmap() x=060 y=010 width=001 bytes height=010 pixels\n"
     "SetGfxSingle() x=120 y=030 by=0x20\n"},
    // Every byte of the rectangle differs: the rectangle as without the key.
    {"AllChangedIsTheRectangle", {{0, 1}, {6, 1}, {0, 2}, {6, 2}}, 0, 1, 11, 2, "4096",
     {Hex("BB 00 01 02 02 20 20 20 20")},
     "SetBitmap() x=000 y=001 width=002 bytes height=002 pixels\n"},
    // Nothing differs: nothing goes out, no command is traced.
    {"NothingChanged", {}, 0, 0, 239, 63, "4096", {}, ""},
    // Buffers of 3: each command's header check holds on its own; the call
    // ends with a flush.
    {"HeaderCheckPerCommand", {{0, 5}, {24, 5}}, 0, 5, 59, 5, "3",
     {Hex("B7 00 05"), Hex("20 B7 18"), Hex("05 20")},
     "SetGfxSingle() x=000 y=005 by=0x20\nSetGfxSingle() x=024 y=005 by=0x20\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, ChoiceTest, ::testing::ValuesIn(kChoiceCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The wire bytes of the command that sends a box of w x h bytes: SetBitmap
// (command, x, y, width, height, then the bytes) for more than one row,
// SetGfxMulti (command, x, y, count, bytes) for a row, SetGfxSingle (command,
// x, y, byte) for one byte.
uint32_t WireCost(uint32_t w, uint32_t h) { return h > 1 ? 5 + w * h : w == 1 ? 4 : 4 + w; }

// The cheapest cover of the marked bytes by boxes, whatever the boxes: every
// box of the map tried, over the sets of marked bytes already covered.
uint32_t CheapestCover(const std::vector<std::vector<bool>>& marked) {
  const uint32_t rows = (uint32_t)marked.size(), columns = (uint32_t)marked[0].size();
  std::vector<std::pair<uint32_t, uint32_t>> cells;  // (column, row) of each mark
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t c = 0; c < columns; ++c)
      if (marked[r][c]) cells.push_back({c, r});
  struct Box {
    uint32_t covers, cost;
  };
  std::vector<Box> boxes;
  for (uint32_t c0 = 0; c0 < columns; ++c0)
    for (uint32_t c1 = c0; c1 < columns; ++c1)
      for (uint32_t r0 = 0; r0 < rows; ++r0)
        for (uint32_t r1 = r0; r1 < rows; ++r1) {
          Box box = {0, WireCost(c1 - c0 + 1, r1 - r0 + 1)};
          for (size_t i = 0; i < cells.size(); ++i) {
            const auto& cell = cells[i];
            if (cell.first >= c0 && cell.first <= c1 && cell.second >= r0 && cell.second <= r1)
              box.covers |= 1u << i;
          }
          if (box.covers != 0) boxes.push_back(box);
        }
  const uint32_t all = (1u << cells.size()) - 1;
  std::vector<uint32_t> best(all + 1, UINT32_MAX);
  best[0] = 0;
  for (uint32_t covered = 0; covered < all; ++covered) {
    if (best[covered] == UINT32_MAX) continue;
    uint32_t first = 0;  // the first mark still open: some box must cover it
    while (covered & (1u << first)) ++first;
    for (const Box& box : boxes) {
      if (!(box.covers & (1u << first))) continue;
      uint32_t& next = best[covered | box.covers];
      next = std::min(next, best[covered] + box.cost);
    }
  }
  return best[all];
}

// The planner alone. On small maps against the cheapest cover found by trying
// every set of boxes; on maps up to the widest rectangle against the box
// around the changes sent whole. Its plan covers every change and costs what
// its boxes cost on the wire.
TEST(PlanChanges, WithinTwoBytesOfTheCheapestCover) {
  std::mt19937 rng(7);
  int cheapest = 0, small = 0;
  for (int n = 0; n < 3400; ++n) {
    const bool is_small = n < 3000;
    const uint32_t columns = 1 + rng() % (is_small ? 6 : kChangeColumns);
    const uint32_t rows = 1 + rng() % (is_small ? 4 : kChangeRows);
    const uint32_t density = 1 + rng() % (is_small ? 4 : 16);
    ChangeMap map;
    ClearChanges(&map, columns, rows);
    std::vector<std::vector<bool>> marked(rows, std::vector<bool>(columns, false));
    int marks = 0;
    uint32_t c0 = columns, c1 = 0, r0 = rows, r1 = 0;
    for (uint32_t r = 0; r < rows; ++r) {
      for (uint32_t c = 0; c < columns; ++c) {
        if (rng() % density != 0 || (is_small && marks == 16)) continue;
        MarkChange(&map, c, r);
        marked[r][c] = true;
        ++marks;
        c0 = std::min(c0, c), c1 = std::max(c1, c), r0 = std::min(r0, r), r1 = std::max(r1, r);
      }
    }
    struct Cover {
      std::vector<std::vector<bool>> covered;
      uint32_t cost = 0;
    } cover;
    cover.covered.assign(rows, std::vector<bool>(columns, false));
    const BoxSink sink = {[](void* context, const ChangeBox& box) {
                            Cover& k = *(Cover*)context;
                            k.cost += WireCost(box.columns, box.rows);
                            for (uint32_t r = box.row; r < box.row + box.rows; ++r)
                              for (uint32_t c = box.column; c < box.column + box.columns; ++c)
                                k.covered.at(r).at(c) = true;
                          },
                          &cover};
    const uint32_t cost = PlanChanges(map, &sink);
    std::ostringstream shown;
    for (const auto& row : marked) {
      for (bool m : row) shown << (m ? '#' : '.');
      shown << '\n';
    }
    ASSERT_EQ(cost, cover.cost) << shown.str();
    for (uint32_t r = 0; r < rows; ++r)
      for (uint32_t c = 0; c < columns; ++c)
        ASSERT_TRUE(!marked[r][c] || cover.covered[r][c]) << "a change left out\n" << shown.str();
    if (marks == 0) {
      EXPECT_EQ(cost, 0u);
    } else if (is_small) {
      // The planner tries splits and lines, not every cover: a few maps cost
      // a byte or two more than the cheapest.
      const uint32_t best = CheapestCover(marked);
      ASSERT_GE(cost, best) << shown.str();
      ASSERT_LE(cost, best + 2) << shown.str();
      cheapest += cost == best;
      ++small;
    } else {
      EXPECT_LE(cost, WireCost(c1 - c0 + 1, r1 - r0 + 1)) << shown.str();
    }
  }
  // Most small maps get the cheapest cover.
  EXPECT_GT(cheapest, small * 9 / 10);
  printf("%d of %d small maps planned at the cheapest cover\n", cheapest, small);
}

// A ResetDisplay among the text reaches the board before the graphics that
// wait in the buffer: those stay known as shown, and clearing them again
// sends them.
TEST_F(DriverTest, GraphicsBufferedBeforeAResetInTheTextStayKnown) {
  Setting("GfxChangesOnly", "1");
  InitAndClear();
  std::vector<uint8_t> picture(240 * 64, 0);
  picture[0] = 1;
  LCD_SendToGfxMemory(picture.data(), 0, 0, 5, 0, 0);
  LCD_SendToMemory(0xB0);
  picture[0] = 0;
  LCD_SendToGfxMemory(picture.data(), 0, 0, 5, 0, 0);
  FlushGfxBuffer();
  EXPECT_EQ(RecWire(), Hex("B0 B7 00 00 20 B7 00 00 00"));
}

// ------------------------------------------------ KS108

TEST_F(DriverTest, Ks108SendsAPictureOnlyWhenItDiffers) {
  Setting("LCD_Controller", "108");
  Setting("GfxChangesOnly", "1");
  Setting("GfxForceFlush", "1");
  Setting("GfxBufferSize", "4096");
  LCD_SetIOPropertys("COM1", 0, 0, 0, 0, 128, 64, 1, 0, 0, 0, 0, 0, 0);
  InitAndClear();
  std::vector<uint8_t> picture(128 * 64, 0);
  picture[3] = 1;
  const size_t whole = 5 + 1024;
  const struct {
    int pixel;  // set before the call, -1 for none
    size_t bytes;
  } calls[] = {{-1, whole}, {-1, 0}, {128 * 63 + 127, whole}, {-1, 0}};
  for (const auto& call : calls) {
    if (call.pixel >= 0) picture[(size_t)call.pixel] = 1;
    LCD_SendToGfxMemory(picture.data(), 0, 0, 0, 0, 0);
    EXPECT_EQ(RecWire().size(), call.bytes);
    Rec().transfers.clear();
  }
  // A reset clears the board: the same picture goes out again.
  LCD_Init();
  Rec().transfers.clear();
  LCD_SendToGfxMemory(picture.data(), 0, 0, 0, 0, 0);
  EXPECT_EQ(RecWire().size(), whole);
}

// ------------------------------------------------ config.ini

struct KeyCase {
  const char* name;
  const char* in_file;  // nullptr: no such key
  const char* written;  // nullptr: not written
  int32_t value;
};

class KeyTest : public DriverTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyTest, ReadCheckedAndWrittenOnlyWhereItWas) {
  const KeyCase& c = GetParam();
  if (c.in_file != nullptr) Setting("GfxChangesOnly", c.in_file);
  LCD_Init();
  EXPECT_EQ(g_state.gfx_changes_only, c.value);
  const std::string p = "C:\\Host\\config.ini|Korvex|";
  std::vector<std::string> expected = {p + "BaudRate=19200", p + "TextBufferSize=16",
                                       p + "GfxBufferSize=64", p + "GfxForceFlush=0"};
  if (c.written != nullptr) expected.push_back(p + "GfxChangesOnly=" + c.written);
  for (const char* rest : {"LCD_FontPitch=6", "LCD_UseOutPorts=0", "LCD_Controller=6963",
                           "LogFile=0"}) {
    expected.push_back(p + rest);
  }
  EXPECT_EQ(Rec().profile_writes, expected);
}

const KeyCase kKeyCases[] = {
    {"Missing", nullptr, nullptr, 0},
    {"Empty", "", nullptr, 0},
    {"On", "1", "1", 1},
    {"Off", "0", "0", 0},
    {"TwoIsOff", "2", "0", 0},
    {"MinusOneIsOff", "-1", "0", 0},
    {"HexOne", "0x1", "1", 1},
    {"Words", "yes", "0", 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, KeyTest, ::testing::ValuesIn(kKeyCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
