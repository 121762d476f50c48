#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "tools/board/font.h"
#include "tools/board/model.h"
#include "tools/board/tests/helpers.h"

namespace {

using namespace board;
using namespace board_test;

using Art = std::vector<std::string>;

TEST(ModelTest, TextWithPitch6ShowsTheFontInCellsSixWide) {
  const BoardModel model = Show(T6963(6, 12, 8), Text("Ai"));
  EXPECT_EQ(Picture(model), (Art{
                                ".###....#...",
                                "#...#.......",
                                "#...#..##...",
                                "#####...#...",
                                "#...#...#...",
                                "#...#...#...",
                                "#...#..###..",
                                "............",
                            }));
  EXPECT_EQ(model.cursor_column, 0);  // two cells, wrapped back to the start
  EXPECT_EQ(model.cursor_row, 0);
}

TEST(ModelTest, TextWithPitch8ShowsTheFontOneColumnIn) {
  const BoardModel model = Show(T6963(8, 16, 8), Text("T_"));
  EXPECT_EQ(Picture(model), (Art{
                                ".#####..........",
                                "...#............",
                                "...#............",
                                "...#............",
                                "...#............",
                                "...#............",
                                "...#.....#####..",
                                "................",
                            }));
}

TEST(ModelTest, CursorIsOneBasedAndTextWrapsToTheNextRowAndBackToTheTop) {
  // 2 x 2 cells.
  const DisplayConfig config = T6963(6, 12, 16);
  BoardModel model = Show(config, Text("abcde"));
  EXPECT_EQ(model.text, (std::vector<int>{'e', 'b', 'c', 'd'}));
  EXPECT_EQ(model.cursor_column, 1);
  EXPECT_EQ(model.cursor_row, 0);

  model = Show(config, Concat({{0xB1, 2, 2}, Text("xy")}));
  EXPECT_EQ(model.text, (std::vector<int>{'y', kNoCharacter, kNoCharacter, 'x'}));

  // Outside the grid the cursor stays where it was.
  model = Show(config, Concat({{0xB1, 2, 1}, {0xB1, 3, 1}, {0xB1, 1, 0}, Text("z")}));
  EXPECT_EQ(model.text, (std::vector<int>{kNoCharacter, 'z', kNoCharacter, kNoCharacter}));
}

TEST(ModelTest, CustomCharacterIsShownForItsCodeAndBeforeTheFont) {
  const Bytes box = {0xB5, 0x80, 0x3F, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x3F};
  // Defined for 'A': bits 7 and 6 are not part of a pitch-6 row.
  const Bytes a = {0xB5, 'A', 0xC0, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0xCC};
  const BoardModel model = Show(T6963(6, 12, 8), Concat({box, a, {0x80}, Text("A")}));
  EXPECT_EQ(Picture(model), (Art{
                                "######......",
                                "#....#..##..",
                                "#....#..##..",
                                "#....#..##..",
                                "#....#..##..",
                                "#....#..##..",
                                "#....#..##..",
                                "######..##..",
                            }));
}

TEST(ModelTest, CustomCharacterWithPitch8UsesAllEightBits) {
  const Bytes def = {0xB5, 0x01, 0x81, 0x42, 0x24, 0x18, 0x18, 0x24, 0x42, 0x81};
  const BoardModel model = Show(T6963(8, 8, 8), Concat({def, {0x01}}));
  EXPECT_EQ(Picture(model), (Art{
                                "#......#",
                                ".#....#.",
                                "..#..#..",
                                "...##...",
                                "...##...",
                                "..#..#..",
                                ".#....#.",
                                "#......#",
                            }));
}

TEST(ModelTest, CodesOutsideTheFontShowAHollowBox) {
  for (uint8_t code : {0x00, 0x1F, 0x7F, 0x80, 0xB2, 0xFF}) {
    const BoardModel model = Show(T6963(6, 6, 8), {code});
    EXPECT_EQ(Picture(model), (Art{
                                  "#####.",
                                  "#...#.",
                                  "#...#.",
                                  "#...#.",
                                  "#...#.",
                                  "#...#.",
                                  "#####.",
                                  "......",
                              }))
        << "code " << int(code);
  }
}

TEST(ModelTest, SpaceAndEmptyCellsShowNothing) {
  BoardModel model = Show(T6963(6, 12, 8), Text(" "));
  EXPECT_EQ(model.text[0], ' ');
  EXPECT_EQ(model.text[1], kNoCharacter);
  for (const std::string& row : Picture(model)) EXPECT_EQ(row, "............");
}

TEST(ModelTest, T6963GraphicsAreRowBytesLeftmostPixelInTheTopUsedBit) {
  const Bytes bytes = Concat({
      {0xBB, 0x00, 0x00, 0x02, 0x02, 0x20, 0x01, 0x3F, 0x00},  // rows 0 and 1
      {0xBA, 0x06, 0x02, 0x01, 0x15},                          // row 2
      {0xB7, 0x00, 0x03, 0x12},                                // row 3
  });
  EXPECT_EQ(Picture(Show(T6963(6, 12, 4), bytes)), (Art{
                                                       "#..........#",
                                                       "######......",
                                                       ".......#.#.#",
                                                       ".#..#.......",
                                                   }));
  // Pitch 8: the single pixel (9, 3) travels as x = 8 with bit 6 set.
  EXPECT_EQ(Picture(Show(T6963(8, 16, 4), {0xB7, 0x08, 0x03, 0x40})), (Art{
                                                                         "................",
                                                                         "................",
                                                                         "................",
                                                                         ".........#......",
                                                                     }));
}

TEST(ModelTest, GraphicsPastTheEdgeAreDroppedNotWrapped) {
  const Bytes bytes = {0xB7, 16, 0, 0xFF, 0xBB, 8, 1, 2, 2, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Picture(Show(T6963(8, 20, 2), bytes)), (Art{
                                                      "................####",
                                                      "........############",
                                                  }));
}

TEST(ModelTest, Ks108GraphicsAreColumnBytesInBandsOfEightRows) {
  Bytes payload;
  for (int c = 0; c < 8; ++c) payload.push_back(static_cast<uint8_t>(1u << c));
  payload.push_back(0xFF);  // rows 8 to 15 of column 0; 12 to 15 are off the glass
  for (int c = 1; c < 8; ++c) payload.push_back(0x08);
  const Bytes bytes = Concat({{0xBB, 0x00, 0x00, 0x01, 0x0C}, payload});
  EXPECT_EQ(Picture(Show(KS108(8, 12), bytes)), (Art{
                                                   "#.......",
                                                   ".#......",
                                                   "..#.....",
                                                   "...#....",
                                                   "....#...",
                                                   ".....#..",
                                                   "......#.",
                                                   ".......#",
                                                   "#.......",
                                                   "#.......",
                                                   "#.......",
                                                   "########",
                                               }));
}

TEST(ModelTest, Ks108TakesTheDisplayWidthWhenItIsNoMultipleOfEight) {
  // 10 x 8: the header says 10 / 8 = 1, the payload has 10 columns.
  Bytes payload(10, 0x00);
  payload[9] = 0x81;
  const BoardModel model = Show(KS108(10, 8), Concat({{0xBB, 0, 0, 1, 8}, payload}));
  EXPECT_TRUE(GraphicsPixel(model, 9, 0));
  EXPECT_TRUE(GraphicsPixel(model, 9, 7));
  EXPECT_EQ(std::count(model.graphics.begin(), model.graphics.end(), 1), 2);
}

TEST(ModelTest, Ks108IgnoresTheT6963RowCommands) {
  const BoardModel model =
      Show(KS108(16, 8), {0xB7, 0, 0, 0x3F, 0xBA, 0, 1, 2, 0x3F, 0x3F});
  EXPECT_EQ(std::count(model.graphics.begin(), model.graphics.end(), 1), 0);
}

TEST(ModelTest, Ks108ShowsTextInPitchWideCellsLikeTheT6963) {
  EXPECT_EQ(Picture(Show(KS108(12, 8), Text("Ai"))),
            Picture(Show(T6963(6, 12, 8), Text("Ai"))));
  EXPECT_EQ(Picture(Show(KS108(16, 8, 8), Text("T_"))),
            Picture(Show(T6963(8, 16, 8), Text("T_"))));
}

TEST(ModelTest, TextAndGraphicsAreCombinedWithOr) {
  const Bytes bytes = Concat({Text("A"), {0xBA, 0, 0, 2, 0x3F, 0x3F}, {0xB7, 0, 1, 0x01}});
  EXPECT_EQ(Picture(Show(T6963(6, 12, 8), bytes)), (Art{
                                                      "############",
                                                      "#...##......",
                                                      "#...#.......",
                                                      "#####.......",
                                                      "#...#.......",
                                                      "#...#.......",
                                                      "#...#.......",
                                                      "............",
                                                  }));
}

TEST(ModelTest, ResetClearsTextGraphicsAndCursorButKeepsCustomCharactersAndLights) {
  const Bytes before = Concat({{0xB5, 0x90, 0x3F, 0, 0, 0, 0, 0, 0, 0x3F}, {0xB4, 0xC8},
                               {0xB3, 0x1E}, {0xBE, 0x01, 0x55}, {0xB1, 2, 1}, Text("AB"),
                               {0xBA, 0, 7, 2, 0x3F, 0x3F}});
  BoardModel model = Show(T6963(6, 12, 8), Concat({before, {0xB0}}));
  EXPECT_EQ(model.cursor_column, 0);
  EXPECT_EQ(model.cursor_row, 0);
  for (const std::string& row : Picture(model)) EXPECT_EQ(row, "............");
  EXPECT_TRUE(model.custom[0x90].defined);
  EXPECT_EQ(model.light, 0xC8);
  EXPECT_EQ(model.contrast, 0x1E);
  EXPECT_EQ(model.ports[1], 0x55);

  model = Show(T6963(6, 12, 8), Concat({before, {0xB0, 0x90}}));
  EXPECT_EQ(Picture(model)[0], "######......");
  EXPECT_EQ(Picture(model)[7], "######......");
}

TEST(ModelTest, LightContrastAndPortsAreKept) {
  const BoardModel model = Show(
      T6963(6, 12, 8),
      {0xB4, 0xC8, 0xB3, 0x1E, 0xBE, 0x00, 0x81, 0xBE, 0x03, 0x01, 0xBE, 0x05, 0xFF});
  EXPECT_EQ(model.light, 200);
  EXPECT_EQ(model.contrast, 30);
  EXPECT_EQ(model.ports, (std::array<uint8_t, 4>{0x81, 0x00, 0x00, 0x01}));
}

TEST(ModelTest, AsShownDrawsAGraphicsCommandAsFarAsItHasArrived) {
  // A 2-row SetBitmap of one byte a row and a SetGfxMulti of two bytes, each
  // cut before and after its first payload byte.
  const DisplayConfig config = T6963(6, 12, 8);
  const struct {
    Bytes bytes;
    size_t first_byte_in;  // the cut after which the first payload byte is in
  } cases[] = {{{0xBB, 0x00, 0x00, 0x01, 0x02, 0x3F, 0x3F}, 6}, {{0xBA, 0x00, 0x00, 0x02, 0x3F, 0x3F}, 5}};
  for (const auto& c : cases) {
    for (size_t cut = 4; cut <= c.first_byte_in; ++cut) {
      Decoder decoder;
      DecoderInit(decoder, config);
      BoardModel model;
      ModelInit(model, config);
      std::vector<Command> commands;
      std::vector<Anomaly> anomalies;
      DecoderFeed(decoder, c.bytes.data(), cut, commands, anomalies);
      ASSERT_TRUE(commands.empty());
      const Art art = Picture(ModelAsShown(model, decoder));
      EXPECT_EQ(art[0], cut == c.first_byte_in ? "######......" : "............") << cut;
      EXPECT_EQ(art[1], "............") << cut;
      EXPECT_EQ(Picture(model)[0], "............") << "the board itself is unchanged";
    }
  }
}

TEST(FontTest, EveryPrintableCodeHasItsOwnGlyphWithinFiveBySeven) {
  std::set<std::vector<uint8_t>> seen;
  for (int code = kFontFirst; code <= kFontLast; ++code) {
    ASSERT_TRUE(FontHasGlyph(code));
    std::vector<uint8_t> rows;
    int pixels = 0;
    for (int r = 0; r < kGlyphHeight; ++r) {
      const uint8_t row = FontRow(code, r);
      EXPECT_EQ(row & ~0x1F, 0) << "code " << code;
      rows.push_back(row);
      pixels += __builtin_popcount(row);
    }
    if (code != ' ') {
      EXPECT_GT(pixels, 0) << "code " << code;
    }
    EXPECT_TRUE(seen.insert(rows).second) << "code " << code << " looks like another";
  }
  EXPECT_FALSE(FontHasGlyph(0x1F));
  EXPECT_FALSE(FontHasGlyph(0x7F));
  EXPECT_EQ(FontRow(0x7F, 0), 0);
}

}  // namespace
