#include <gtest/gtest.h>

#include <vector>

#include "display/pack.h"

namespace {

TEST(RowByte, LeftmostPixelInTheHighestUsedBit) {
  // Row 0: columns 0, 5, 7 set; row 1: column 0 set.
  std::vector<uint8_t> px(16, 0);
  px[0] = 1;
  px[5] = 0xFF;
  px[7] = 2;
  px[8] = 1;
  Picture p = MakePicture(px.data(), 8, 2);
  EXPECT_EQ(RowByte(p, 0, 0, 6), 0x21);  // col 0 -> bit 5, col 5 -> bit 0
  EXPECT_EQ(RowByte(p, 0, 0, 8), 0x85);  // col 0 -> bit 7, 5 -> bit 2, 7 -> bit 0
  // Past the row's end: the next row's first pixels (no column test).
  EXPECT_EQ(RowByte(p, 6, 0, 6), 0x18);  // col 7 -> bit 4, next row col 0 -> bit 3
  // Past the picture's end: clear.
  EXPECT_EQ(RowByte(p, 4, 1, 8), 0x00);
  EXPECT_EQ(RowByte(p, 0, 2, 8), 0x00);
  EXPECT_EQ(RowByte(p, 0, 255, 8), 0x00);
}

TEST(RowByte, NullOrEmptyPictureReadsClear) {
  EXPECT_EQ(RowByte(MakePicture(nullptr, 240, 64), 0, 0, 8), 0);
  std::vector<uint8_t> px(8, 1);
  EXPECT_EQ(RowByte(MakePicture(px.data(), 0, 64), 0, 0, 8), 0);
  EXPECT_EQ(RowByte(MakePicture(px.data(), -8, 1), 0, 0, 8), 0);
  EXPECT_EQ(RowByte(MakePicture(px.data(), 8, -1), 0, 0, 8), 0);
}

TEST(RowByte, OffsetsAreComputedInSixtyFourBits) {
  // A declared size whose row offsets pass 2^32: row 4 of a 2^30-wide picture
  // of two rows lies past its end. In 32 bits 4 * 2^30 would wrap to offset 0
  // and read pixel (0, 0).
  std::vector<uint8_t> px(16, 1);
  Picture p = MakePicture(px.data(), 1 << 30, 2);
  EXPECT_EQ(p.size, (uint64_t)1 << 31);
  EXPECT_EQ(RowByte(p, 0, 4, 8), 0);
  EXPECT_EQ(ColumnByte(p, 0, 4), 0);
  EXPECT_EQ(RowByte(p, 0, 0, 8), 0xFF);
}

TEST(ColumnByte, TopPixelInBitZero) {
  // A 2 x 10 picture: column 0 rows 0, 3, 9 set; column 1 row 7 set.
  std::vector<uint8_t> px(20, 0);
  px[0] = 1;
  px[3 * 2] = 1;
  px[9 * 2] = 1;
  px[7 * 2 + 1] = 1;
  Picture p = MakePicture(px.data(), 2, 10);
  EXPECT_EQ(ColumnByte(p, 0, 0), 0x09);
  EXPECT_EQ(ColumnByte(p, 1, 0), 0x80);
  EXPECT_EQ(ColumnByte(p, 0, 8), 0x02);  // rows 8, 9; 10 to 15 are past the end
  EXPECT_EQ(ColumnByte(p, 1, 8), 0x00);
}

struct WidenCase {
  uint32_t x1, y1, x2, y2;
  int pitch;
  ByteRect expected;
};

TEST(WidenRect, OrdersWidensAndFits) {
  const WidenCase cases[] = {
      {10, 5, 20, 5, 6, {6, 5, 3, 1}},
      {20, 7, 14, 2, 6, {12, 2, 2, 6}},
      {14, 2, 20, 7, 6, {12, 2, 2, 6}},
      {9, 3, 9, 3, 8, {8, 3, 1, 1}},
      {0, 0, 239, 63, 8, {0, 0, 30, 64}},
      {0, 0, 239, 63, 6, {0, 0, 40, 64}},
      {0, 9, 0, 9, 6, {0, 9, 1, 1}},
      {5, 0, 5, 1, 6, {0, 0, 1, 2}},
      // Only the low 16 bits of each corner count.
      {0x10000 + 9, 0x20000 + 3, 9, 3, 8, {8, 3, 1, 1}},
      // Corners past 255 count as 255.
      {300, 0, 400, 0, 8, {248, 0, 1, 1}},
      {0, 256, 0, 300, 8, {0, 255, 1, 1}},
      {0xFFFF, 0, 0, 0, 8, {0, 0, 32, 1}},
      // A widened right edge past column 255 keeps its last byte.
      {250, 0, 255, 0, 6, {246, 0, 2, 1}},
      {0, 0, 255, 0, 6, {0, 0, 43, 1}},
      {0, 0, 255, 0, 8, {0, 0, 32, 1}},
      // 256 rows do not fit the height byte: the last row is dropped.
      {0, 0, 0, 255, 8, {0, 0, 1, 255}},
      {0, 1, 0, 255, 8, {0, 1, 1, 255}},
      {0, 250, 5, 255, 6, {0, 250, 1, 6}},
  };
  for (const WidenCase& c : cases) {
    ByteRect r = WidenRect(c.x1, c.y1, c.x2, c.y2, c.pitch);
    EXPECT_EQ(r.left, c.expected.left) << c.x1 << "," << c.y1 << "-" << c.x2 << "," << c.y2;
    EXPECT_EQ(r.top, c.expected.top) << c.x1 << "," << c.y1 << "-" << c.x2 << "," << c.y2;
    EXPECT_EQ(r.bytes, c.expected.bytes) << c.x1 << "," << c.y1 << "-" << c.x2 << "," << c.y2;
    EXPECT_EQ(r.rows, c.expected.rows) << c.x1 << "," << c.y1 << "-" << c.x2 << "," << c.y2;
  }
}

TEST(Ks108FrameFor, FitsThePictureToTheHeader) {
  struct Case {
    int32_t w, h;
    uint8_t width_byte, height;
    uint32_t columns, bands;
  } cases[] = {
      {128, 64, 16, 64, 128, 8}, {128, 60, 16, 60, 128, 8}, {122, 32, 15, 32, 122, 4},
      {255, 255, 31, 255, 255, 32}, {256, 256, 31, 255, 255, 32}, {4096, 9000, 31, 255, 255, 32},
      {0, 64, 0, 64, 0, 8},     {-5, -5, 0, 0, 0, 0},       {7, 1, 0, 1, 7, 1},
  };
  for (const Case& c : cases) {
    Ks108Frame f = Ks108FrameFor(c.w, c.h);
    EXPECT_EQ(f.width_byte, c.width_byte) << c.w << "x" << c.h;
    EXPECT_EQ(f.height, c.height) << c.w << "x" << c.h;
    EXPECT_EQ(f.columns, c.columns) << c.w << "x" << c.h;
    EXPECT_EQ(f.bands, c.bands) << c.w << "x" << c.h;
  }
}

TEST(CgramRowByte, UsesThePitchColumns) {
  CgramCharRecord r = {};
  // Row 0: every column set; row 1: column 0 only; row 2: columns 6 and 7 only.
  for (int c = 0; c < 8; ++c) r.matrix[8 * c + 0] = 1;
  r.matrix[8 * 0 + 1] = 9;
  r.matrix[8 * 6 + 2] = 1;
  r.matrix[8 * 7 + 2] = 1;
  EXPECT_EQ(CgramRowByte(r, 0, 6), 0x3F);
  EXPECT_EQ(CgramRowByte(r, 0, 8), 0xFF);
  EXPECT_EQ(CgramRowByte(r, 1, 6), 0x20);
  EXPECT_EQ(CgramRowByte(r, 1, 8), 0x80);
  EXPECT_EQ(CgramRowByte(r, 2, 6), 0x00);
  EXPECT_EQ(CgramRowByte(r, 2, 8), 0x03);
}

}  // namespace
