#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "tools/board/png_writer.h"
#include "tools/board/render.h"
#include "tools/board/tests/png_reader.h"
#include "tools/board/tests/helpers.h"

namespace {

using namespace board;
using namespace board_test;

using Art = std::vector<std::string>;

std::string TempPath(const char* name) {
  return ::testing::TempDir() + "korvex_board_" + std::to_string(getpid()) + "_" + name;
}

// Renders, writes the PNG, and reads it back with libpng.
Image RoundTrip(const BoardModel& model, int scale, const char* name) {
  const std::string path = TempPath(name);
  std::string error;
  EXPECT_TRUE(WritePng(RenderImage(model, scale), path, &error)) << error;
  Image image;
  EXPECT_TRUE(ReadPng(path, &image, &error)) << error;
  unlink(path.c_str());
  return image;
}

BoardModel Scene() { return Show(T6963(6, 12, 8), SceneBytes()); }

const Art kSceneArt = SceneArt();

TEST(RenderTest, ScaleOnePngHasOnePixelPerDotWithTheGoldenPicture) {
  const BoardModel model = Scene();
  const Image image = RoundTrip(model, 1, "scale1.png");
  const RenderLayout layout = ComputeLayout(model.config, 1);
  ASSERT_EQ(image.width, layout.width);
  ASSERT_EQ(image.height, layout.height);
  EXPECT_EQ(layout.gap, 0);
  EXPECT_EQ(Dots(image, model, 1), kSceneArt);
  // Every pixel of the display area is a dot: no glass between them at scale 1.
  int glass = 0;
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 12; ++x) {
      if (ImagePixel(image, layout.display_x + x, layout.display_y + y) ==
          GlassColour(model.light)) {
        ++glass;
      }
    }
  }
  EXPECT_EQ(glass, 0);
  EXPECT_EQ(ImagePixel(image, 0, 0), BezelColour());
}

TEST(RenderTest, LampsShowThePortBitsPortZeroFirstAndBitSevenLeft) {
  const BoardModel model = Scene();
  for (int scale : {1, 3}) {
    const Image image = RoundTrip(model, scale, "lamps.png");
    const RenderLayout layout = ComputeLayout(model.config, scale);
    std::string lamps;
    for (int i = 0; i < 32; ++i) {
      const Rgb c = ImagePixel(image, layout.lamp_x[i] + layout.lamp_size / 2,
                               layout.lamps_y + layout.lamp_size / 2);
      lamps += c == LampOnColour() ? '1' : c == LampOffColour() ? '0' : '?';
    }
    EXPECT_EQ(lamps, "10000001" "00000000" "00000000" "00000001") << "scale " << scale;
  }
}

TEST(RenderTest, LargerScalesLeaveGlassBetweenTheDots) {
  const BoardModel model = Scene();
  const int scale = 4;
  const Image image = RoundTrip(model, scale, "scale4.png");
  const RenderLayout layout = ComputeLayout(model.config, scale);
  EXPECT_EQ(layout.gap, 1);
  EXPECT_EQ(image.width, layout.width);
  EXPECT_EQ(Dots(image, model, scale), kSceneArt);
  // Within a dot's cell: the dot fills 3 x 3, the last column and row are glass.
  const Rgb glass = GlassColour(model.light);
  const Rgb on = DotOnColour(model.light, model.contrast);
  const int x0 = layout.display_x + 1 * scale, y0 = layout.display_y;  // dot (1, 0), set
  for (int j = 0; j < scale; ++j) {
    for (int i = 0; i < scale; ++i) {
      const bool gap = i == scale - 1 || j == scale - 1;
      EXPECT_EQ(ImagePixel(image, x0 + i, y0 + j), gap ? glass : on) << i << "," << j;
    }
  }
}

TEST(RenderTest, LayoutKeepsDisplayAndLampsApartAndInside) {
  for (const DisplayConfig& config : {T6963(6, 240, 64), KS108(128, 64), T6963(8, 12, 8)}) {
    for (int scale : {1, 2, 4, 7}) {
      const RenderLayout l = ComputeLayout(config, scale);
      // The display sits on the glass, with a bezel all round the glass.
      EXPECT_GT(l.glass_x, 0);
      EXPECT_GT(l.glass_y, 0);
      EXPECT_GT(l.display_x, l.glass_x);
      EXPECT_GT(l.display_y, l.glass_y);
      EXPECT_LT(l.display_x + config.width * scale, l.glass_x + l.glass_width);
      EXPECT_LT(l.display_y + config.height * scale, l.glass_y + l.glass_height);
      EXPECT_LT(l.glass_x + l.glass_width, l.width);
      EXPECT_GE(l.lamps_y, l.glass_y + l.glass_height);  // the lamps below the glass
      EXPECT_LE(l.lamps_y + l.lamp_size, l.height);
      for (int i = 1; i < 32; ++i) EXPECT_GT(l.lamp_x[i], l.lamp_x[i - 1] + l.lamp_size - 1);
      EXPECT_GE(l.lamp_x[0], 0);
      EXPECT_LE(l.lamp_x[31] + l.lamp_size, l.width);
    }
  }
}

TEST(RenderTest, AMarginOfGlassSetsColumnZeroApartFromTheBezel) {
  const BoardModel model = Scene();
  for (int scale : {1, 4}) {
    const Image image = RoundTrip(model, scale, "margin.png");
    const RenderLayout l = ComputeLayout(model.config, scale);
    const Rgb glass = GlassColour(model.light);
    // Left of dot (0, 1), which is set: two dots of glass, then the bezel.
    const int y = l.display_y + scale + (scale - l.gap) / 2;
    for (int x = l.glass_x; x < l.display_x; ++x) EXPECT_EQ(ImagePixel(image, x, y), glass);
    EXPECT_EQ(ImagePixel(image, l.glass_x - 1, y), BezelColour());
    EXPECT_EQ(ImagePixel(image, l.display_x, y), DotOnColour(model.light, model.contrast));
    // Above row 0 likewise.
    const int x = l.display_x + scale + (scale - l.gap) / 2;
    for (int j = l.glass_y; j < l.display_y; ++j) EXPECT_EQ(ImagePixel(image, x, j), glass);
    EXPECT_EQ(ImagePixel(image, x, l.glass_y - 1), BezelColour());
  }
}

TEST(RenderTest, TheLampRowStaysWithinTheGlassOfTheUsualDisplays) {
  for (const DisplayConfig& config : {KS108(128, 64), T6963(6, 240, 64), T6963(8, 240, 128)}) {
    for (int scale = 1; scale <= 8; ++scale) {
      const RenderLayout l = ComputeLayout(config, scale);
      EXPECT_GE(l.lamp_x[0], l.glass_x) << config.width << " at " << scale;
      EXPECT_LE(l.lamp_x[31] + l.lamp_size, l.glass_x + l.glass_width)
          << config.width << " at " << scale;
      EXPECT_EQ(l.width, l.glass_width + 8 * scale) << "only the bezel beside the glass";
    }
  }
}

int Brightness(const Rgb& c) { return c.r + c.g + c.b; }

TEST(RenderTest, SetDotsAreFarDarkerThanTheBezel) {
  for (int light : {0, 128, 255}) {
    // From the host tool's default contrast (160) up, less than half as bright.
    EXPECT_LT(2 * Brightness(DotOnColour(light, 160)), Brightness(BezelColour())) << light;
    EXPECT_LT(Brightness(DotOnColour(light, 0)), Brightness(BezelColour())) << light;
  }
}

TEST(RenderTest, BacklightBrightensTheGlassAndContrastDarkensTheDots) {
  EXPECT_LT(Brightness(GlassColour(0)), Brightness(GlassColour(128)));
  EXPECT_LT(Brightness(GlassColour(128)), Brightness(GlassColour(255)));
  for (int light : {0, 255}) {
    EXPECT_GT(Brightness(DotOnColour(light, 0)), Brightness(DotOnColour(light, 128)));
    EXPECT_GT(Brightness(DotOnColour(light, 128)), Brightness(DotOnColour(light, 255)));
    // Readable even with contrast 0, as after the driver's shut-down.
    EXPECT_GT(Brightness(DotOffColour(light)) - Brightness(DotOnColour(light, 0)), 60);
    EXPECT_LT(Brightness(DotOffColour(light)), Brightness(GlassColour(light)));
  }
}

TEST(RenderTest, WritePngSaysWhyItCannotWrite) {
  std::string error;
  EXPECT_FALSE(WritePng(RenderImage(Scene(), 1), TempPath("no/such/dir.png"), &error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_TRUE(EncodePng(0, 0, {}).empty());
}

TEST(TerminalTest, BrailleShowsTwoByFourDotsACharacter) {
  // 4 x 4: (0,0) (1,1) (2,2) (3,3) and (0,3).
  const Bytes payload = {0x09, 0x02, 0x04, 0x08};
  const BoardModel model = Show(KS108(4, 4), Concat({{0xBB, 0, 0, 0, 4}, payload,
                                                     {0xBE, 0x02, 0x80, 0xB4, 0x07}}));
  const std::vector<std::string> lines = TerminalFrame(model, TerminalStyle::Braille);
  ASSERT_EQ(lines.size(), 3u);
  // Left cell: (0,0) dot 1, (1,1) dot 5, (0,3) dot 7 -> U+2851; right cell:
  // (2,2) dot 3, (3,3) dot 8 -> U+2884.
  EXPECT_EQ(lines[0], "\u2851\u2884");
  EXPECT_EQ(lines[1],
            "\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB  "
            "\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB  "
            "\u25CF\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB  "
            "\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB\u25CB");
  EXPECT_EQ(lines[2], "light   7  contrast   0  ports 0x00 0x00 0x80 0x00");
}

TEST(TerminalTest, AWideDisplayIsScaledDownToTheColumnsGiven) {
  // One pixel at the right end of a 240 x 64 display; 40 columns of braille
  // take 80 dots, so each dot stands for 3 x 3 pixels.
  const BoardModel model = Show(T6963(6, 240, 64), {0xB7, 234, 63, 0x01});
  EXPECT_EQ(TerminalFactor(model.config, TerminalStyle::Braille, 40), 3);
  EXPECT_EQ(TerminalFactor(model.config, TerminalStyle::Braille, 120), 1);
  EXPECT_EQ(TerminalFactor(model.config, TerminalStyle::HalfBlocks, 79), 4);
  const std::vector<std::string> lines = TerminalFrame(model, TerminalStyle::Braille, 40);
  ASSERT_EQ(lines.size(), 6u + 2u);  // 22 dots high in rows of 4, the lamps, the status
  // Pixel (239, 63) is dot (79, 21): the right column of the last character
  // of row 5, its second row: braille dot 5, U+2810.
  std::string last_row;
  for (int i = 0; i < 39; ++i) last_row += "\u2800";
  EXPECT_EQ(lines[5], last_row + "\u2810");
  for (const std::string& line : lines) EXPECT_EQ(FitUtf8(line, 40), line);
  EXPECT_EQ(TerminalFrame(model, TerminalStyle::Braille, 20).back(), "light   0  contrast ");
}

TEST(TerminalTest, HalfBlocksShowTwoRowsACharacter) {
  const Bytes payload = {0x09, 0x02, 0x04, 0x08};
  const BoardModel model = Show(KS108(4, 4), Concat({{0xBB, 0, 0, 0, 4}, payload}));
  const std::vector<std::string> lines = TerminalFrame(model, TerminalStyle::HalfBlocks);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "\u2580\u2584  ");
  EXPECT_EQ(lines[1], "\u2584 \u2580\u2584");
}

}  // namespace
