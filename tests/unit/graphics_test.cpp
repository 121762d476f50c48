#include <functional>
#include <random>

#include "test_support.h"

namespace {

typedef std::vector<std::pair<int, int>> Pixels;  // set pixels (x, y)

struct GfxCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> settings;
  int32_t width, height;
  Pixels pixels;
  bool all_set;
  uint32_t x1, y1, x2, y2;
  std::vector<Bytes> transfers;  // written during the call
  const char* trace;             // the call's trace, after the common first line
  uint32_t left_buffered;        // gfx_count after the call
};

Bytes Filled(size_t n, uint8_t value) { return Bytes(n, value); }

// A transfer as the port takes it: in pieces of 280 bytes at 19200 baud.
std::vector<Bytes> InPieces(const Bytes& transfer) {
  std::vector<Bytes> pieces;
  for (size_t at = 0; at < transfer.size(); at += 280) {
    pieces.emplace_back(transfer.begin() + at, transfer.begin() + std::min(at + 280, transfer.size()));
  }
  return pieces;
}

class GfxCaseTest : public DriverTest, public ::testing::WithParamInterface<GfxCase> {};

TEST_P(GfxCaseTest, SendsTheCommandInItsTransfers) {
  const GfxCase& c = GetParam();
  Setting("LogFile", "1");
  for (const auto& kv : c.settings) Setting(kv.first, kv.second);
  InitAndClear();
  LCD_SetIOPropertys("COM1", 0, 0, 0, 0, c.width, c.height, 1, 0, 0, 0, 0, 0, 0);
  for (auto& f : Rec().files) f.second.clear();
  std::vector<uint8_t> picture((size_t)c.width * c.height, c.all_set ? 1 : 0);
  for (const auto& p : c.pixels) picture.at((size_t)p.second * c.width + p.first) = 0x80;
  LCD_SendToGfxMemory(picture.data(), c.x1, c.y1, c.x2, c.y2, 0xDEAD);
  EXPECT_EQ(Rec().transfers, c.transfers);
  char first[128];
  snprintf(first, sizeof first, "\nLCD_SendToGfxMemory() x1=%03u x2=%03u y1=%03u y2=%03u\n",
           c.x1 & 0xFFFF, c.x2 & 0xFFFF, c.y1 & 0xFFFF, c.y2 & 0xFFFF);
  EXPECT_EQ(Trace(), std::string(first) + c.trace);
  EXPECT_EQ(g_state.gfx_count, c.left_buffered);
  EXPECT_EQ(g_state.flush_pending, 0);
  EXPECT_EQ(g_state.ready.load(), 1);
}

const std::pair<const char*, const char*> kForce = {"GfxForceFlush", "1"};
const std::pair<const char*, const char*> kPitch8 = {"LCD_FontPitch", "8"};
const std::pair<const char*, const char*> kKs108 = {"LCD_Controller", "108"};

const GfxCase kGfxCases[] = {
    {"MultiPitch6", {kForce}, 240, 64, {{6, 5}, {11, 5}, {12, 5}, {23, 5}, {24, 5}, {5, 5}}, false,
     10, 5, 20, 5, {Hex("BA 06 05 03  21 20 01")}, "SetGfxMulti() x=006 y=005 bytes=003\n", 0},
    {"ReverseCornersBlock", {kForce}, 240, 64, {{12, 2}, {23, 7}}, false, 20, 7, 14, 2,
     {Hex("BB 0C 02 02 06  20 00 00 00 00 00 00 00 00 00 00 01")},
     "SetBitmap() x=012 y=002 width=002 bytes height=006 pixels\n", 0},
    {"ForwardCornersBlock", {kForce}, 240, 64, {{12, 2}, {23, 7}}, false, 14, 2, 20, 7,
     {Hex("BB 0C 02 02 06  20 00 00 00 00 00 00 00 00 00 00 01")},
     "SetBitmap() x=012 y=002 width=002 bytes height=006 pixels\n", 0},
    {"SinglePixelPitch8", {kForce, kPitch8}, 240, 64, {{9, 3}}, false, 9, 3, 9, 3,
     {Hex("B7 08 03 40")}, "SetGfxSingle() x=008 y=003 by=0x40\n", 0},
    {"SinglePixelPitch6Column0", {kForce}, 240, 64, {{0, 9}, {5, 9}, {6, 9}}, false, 0, 9, 0, 9,
     {Hex("B7 00 09 21")}, "SetGfxSingle() x=000 y=009 by=0x21\n", 0},
    {"OneRowOneByteIsSingle", {kForce}, 240, 64, {}, true, 0, 0, 5, 0, {Hex("B7 00 00 3F")},
     "SetGfxSingle() x=000 y=000 by=0x3F\n", 0},
    {"TwoRowsOneByteIsBitmap", {kForce}, 240, 64, {}, true, 3, 0, 3, 1,
     {Hex("BB 00 00 01 02 3F 3F")}, "SetBitmap() x=000 y=000 width=001 bytes height=002 pixels\n",
     0},
    // 1925 bytes at 64 a transfer: the last write came before the last byte,
    // so the call ends by flushing the 5 left over.
    {"FullFramePitch8", {kPitch8}, 240, 64, {}, true, 0, 0, 239, 63,
     [] {
       Bytes all = Concat({Hex("BB 00 00 1E 40"), Filled(1920, 0xFF)});
       std::vector<Bytes> t;
       for (size_t i = 0; i < all.size(); i += 64)
         t.emplace_back(all.begin() + i, all.begin() + std::min(all.size(), i + 64));
       return t;
     }(),
     "SetBitmap() x=000 y=000 width=030 bytes height=064 pixels\n", 0},
    // With three bytes a transfer the header straddles a write.
    {"HeaderStraddlesBufferOf3", {{"GfxBufferSize", "3"}}, 240, 64, {}, true, 0, 0, 5, 1,
     {Hex("BB 00 00"), Hex("01 02 3F"), Hex("3F")},
     "SetBitmap() x=000 y=000 width=001 bytes height=002 pixels\n", 0},
    {"SmallUpdateStaysBuffered", {}, 240, 64, {}, true, 10, 5, 20, 5, {},
     "SetGfxMulti() x=006 y=005 bytes=003\n", 7},
    {"Ks108Height60", {kKs108, kForce, {"GfxBufferSize", "4096"}}, 128, 60, {}, true, 0, 0, 0, 0,
     InPieces(Concat({Hex("BB 00 00 10 3C"), Filled(7 * 128, 0xFF), Filled(128, 0x0F)})),
     "SetBitmap() x=000 y=000 width=016 bytes height=060 pixels\n", 0},
    {"Ks108ColumnBytes", {kKs108, kForce, {"GfxBufferSize", "4096"}}, 16, 16,
     {{0, 0}, {0, 7}, {1, 8}, {15, 15}}, false, 5, 5, 6, 6,
     {Concat({Hex("BB 00 00 02 10  81"), Filled(15, 0), Hex("00 01"), Filled(13, 0), Hex("80")})},
     "SetBitmap() x=000 y=000 width=002 bytes height=016 pixels\n", 0},
    {"BottomRow255", {kForce, {"GfxBufferSize", "4096"}}, 8, 256, {{0, 255}, {7, 250}}, false, 0,
     250, 5, 255, {Hex("BB 00 FA 01 06  00 00 00 00 00 20")},
     "SetBitmap() x=000 y=250 width=001 bytes height=006 pixels\n", 0},
    // Columns 20 to 23 of row 0 are columns 0 to 3 of row 1.
    {"WidthTwentyWrapsIntoNextRow", {kForce, kPitch8}, 20, 2, {{16, 0}, {0, 1}, {3, 1}}, false, 16,
     0, 19, 0, {Hex("B7 10 00 89")}, "SetGfxSingle() x=016 y=000 by=0x89\n", 0},
    {"CornersPast255", {kForce, kPitch8}, 240, 64, {}, false, 300, 0, 400, 0, {Hex("B7 F8 00 00")},
     "SetGfxSingle() x=248 y=000 by=0x00\n", 0},
    // The trace shows the corners' low 16 bits, as received.
    {"CornersOfSixteenBits", {kForce, kPitch8}, 240, 64, {}, false, 0x11234, 0, 0xFFFF, 0,
     {Hex("B7 F8 00 00")}, "SetGfxSingle() x=248 y=000 by=0x00\n", 0},
    {"RightEdgePast255", {kForce}, 300, 2, {{246, 0}, {257, 0}}, false, 250, 0, 255, 0,
     {Hex("BA F6 00 02 20 01")}, "SetGfxMulti() x=246 y=000 bytes=002\n", 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, GfxCaseTest, ::testing::ValuesIn(kGfxCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, LaterUpdateFillsTheBufferAndFlushesTheRest) {
  InitAndClear();
  std::vector<uint8_t> picture(240 * 64, 1);
  LCD_SendToGfxMemory(picture.data(), 10, 5, 20, 5, 0);  // 7 bytes, stay
  EXPECT_TRUE(Rec().transfers.empty());
  LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 1, 0);  // 5 + 80 bytes
  Bytes all = Concat({Hex("BA 06 05 03 3F 3F 3F BB 00 00 28 02"), Filled(80, 0x3F)});
  EXPECT_EQ(Rec().transfers, (std::vector<Bytes>{Bytes(all.begin(), all.begin() + 64),
                                                 Bytes(all.begin() + 64, all.end())}));
  EXPECT_EQ(g_state.gfx_count, 0u);
}

TEST_F(DriverTest, UpdateEndingExactlyOnATransferLeavesNothingPending) {
  InitAndClear();
  std::vector<uint8_t> picture(240 * 64, 1);
  LCD_SendToGfxMemory(picture.data(), 10, 5, 20, 5, 0);  // 7 bytes
  LCD_SendToGfxMemory(picture.data(), 0, 0, 77, 3, 0);   // 5 + 13 x 4 = 57 bytes
  EXPECT_EQ(RecTransferSizes(), std::vector<size_t>{64});
  EXPECT_EQ(g_state.gfx_count, 0u);
  EXPECT_EQ(g_state.flush_pending, 0);
  LCD_SendToGfxMemory(picture.data(), 0, 0, 0, 0, 0);  // stays buffered again
  EXPECT_EQ(RecTransferSizes(), std::vector<size_t>{64});
  EXPECT_EQ(g_state.gfx_count, 4u);
}

TEST_F(DriverTest, ForceFlushEmptiesTheBufferAfterEveryCall) {
  Setting("GfxForceFlush", "1");
  InitAndClear();
  std::vector<uint8_t> picture(240 * 64, 1);
  const uint32_t rects[][4] = {{0, 0, 0, 0}, {0, 0, 239, 63}, {5, 5, 100, 5}, {0, 0, 47, 1}};
  for (const auto& r : rects) {
    LCD_SendToGfxMemory(picture.data(), r[0], r[1], r[2], r[3], 0);
    EXPECT_EQ(g_state.gfx_count, 0u);
  }
  EXPECT_EQ(RecWire().size(), 4u + (5 + 40 * 64) + (4 + 17) + (5 + 16));
}

TEST_F(DriverTest, TextQueuedBeforeGraphicsGoesFirst) {
  Setting("GfxForceFlush", "1");
  InitAndClear();
  LCD_SendToMemory('H');
  LCD_SendToMemory('i');
  EXPECT_TRUE(Rec().transfers.empty());
  std::vector<uint8_t> picture(240 * 64, 0);
  LCD_SendToGfxMemory(picture.data(), 0, 0, 0, 0, 0);
  EXPECT_EQ(Rec().transfers, (std::vector<Bytes>{Hex("48 69"), Hex("B7 00 00 00")}));
}

TEST_F(DriverTest, NullPictureSendsAClearCommand) {
  Setting("GfxForceFlush", "1");
  InitAndClear();
  LCD_SendToGfxMemory(nullptr, 0, 0, 11, 1, 0);
  EXPECT_EQ(RecWire(), Hex("BB 00 00 02 02 00 00 00 00"));
  g_state.controller = kControllerKS108;
  g_state.gfx_width = 16;
  g_state.gfx_height = 8;
  Rec().transfers.clear();
  LCD_SendToGfxMemory(nullptr, 0, 0, 0, 0, 0);
  EXPECT_EQ(RecWire(), Concat({Hex("BB 00 00 02 08"), Filled(16, 0)}));
}

TEST_F(DriverTest, ClosedPortStillTracesAndReturns) {
  Setting("LogFile", "1");
  RecFail(kRecPortOpen, 2);
  LCD_Init();
  for (auto& f : Rec().files) f.second.clear();
  std::vector<uint8_t> picture(240 * 64, 1);
  LCD_SendToGfxMemory(picture.data(), 0, 0, 7, 0, 0);
  EXPECT_TRUE(Rec().transfers.empty());
  EXPECT_EQ(Trace(),
            "\nLCD_SendToGfxMemory() x1=000 x2=007 y1=000 y2=000\n"
            "SetGfxMulti() x=000 y=000 bytes=002\n");
  EXPECT_EQ(g_state.flush_pending, 0);
  EXPECT_EQ(g_state.ready.load(), 1);
}

// ------------------------------------------------ against a plain reference

struct RefPicture {
  const std::vector<uint8_t>& px;
  int64_t w, h;
  bool At(int64_t x, int64_t y) const {
    int64_t off = y * w + x;
    return off >= 0 && off < w * h && px[(size_t)off] != 0;
  }
};

Bytes ReferenceT6963(const RefPicture& p, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2,
                     int pitch) {
  auto fit = [](uint32_t v) { return std::min<uint32_t>(v & 0xFFFF, 255); };
  uint32_t left = std::min(fit(x1), fit(x2)), right = std::max(fit(x1), fit(x2));
  uint32_t top = std::min(fit(y1), fit(y2)), bottom = std::max(fit(y1), fit(y2));
  left = left / pitch * pitch;
  right = (right / pitch + 1) * pitch - 1;
  uint32_t n = (right - left + 1) / pitch;
  uint32_t h = std::min<uint32_t>(bottom - top + 1, 255);
  auto row_byte = [&](int64_t x, int64_t y) {
    uint8_t b = 0;
    for (int i = 0; i < pitch; ++i)
      if (p.At(x + i, y)) b |= (uint8_t)(1 << (pitch - 1 - i));
    return b;
  };
  Bytes out;
  if (h > 1) {
    out = {0xBB, (uint8_t)left, (uint8_t)top, (uint8_t)n, (uint8_t)h};
  } else if (n == 1) {
    return {0xB7, (uint8_t)left, (uint8_t)top, row_byte(left, top)};
  } else {
    out = {0xBA, (uint8_t)left, (uint8_t)top, (uint8_t)n};
  }
  for (uint32_t y = top; y < top + h; ++y)
    for (uint32_t i = 0; i < n; ++i) out.push_back(row_byte(left + i * pitch, y));
  return out;
}

Bytes ReferenceKs108(const RefPicture& p) {
  int64_t w = std::min<int64_t>(std::max<int64_t>(p.w, 0), 255);
  int64_t h = std::min<int64_t>(std::max<int64_t>(p.h, 0), 255);
  Bytes out = {0xBB, 0, 0, (uint8_t)(w / 8), (uint8_t)h};
  for (int64_t band = 0; band < (h + 7) / 8; ++band)
    for (int64_t c = 0; c < w; ++c) {
      uint8_t b = 0;
      for (int i = 0; i < 8; ++i)
        if (p.At(c, band * 8 + i)) b |= (uint8_t)(1 << i);
      out.push_back(b);
    }
  return out;
}

TEST_F(DriverTest, PackingMatchesAPlainReferenceOnRandomPictures) {
  std::mt19937 rng(20261208);
  for (int controller : {kControllerT6963, kControllerKS108}) {
    for (int pitch : {6, 8}) {
      if (controller == kControllerKS108 && pitch == 6) continue;
      RecReset();
      ResetDriverState();
      Setting("LCD_Controller", std::to_string(controller));
      Setting("LCD_FontPitch", std::to_string(pitch));
      Setting("GfxForceFlush", "1");
      Setting("GfxBufferSize", std::to_string(1 + rng() % 4096));
      LCD_Init();
      for (int round = 0; round < 300; ++round) {
        int32_t w = 1 + (int32_t)(rng() % (round % 10 == 0 ? 320 : 260));
        int32_t h = 1 + (int32_t)(rng() % (round % 10 == 1 ? 300 : 70));
        std::vector<uint8_t> px((size_t)w * h);
        unsigned density = rng() % 4;
        for (auto& v : px) v = (rng() % 4 < density) ? (uint8_t)(1 + rng() % 255) : 0;
        LCD_SetIOPropertys("COM1", 0, 0, 0, 0, w, h, 1, 0, 0, 0, 0, 0, 0);
        // Mostly inside the picture, sometimes anywhere in 16 bits and beyond.
        auto coord = [&](int32_t limit) -> uint32_t {
          return round % 7 == 0 ? rng() : (uint32_t)(rng() % (uint32_t)limit);
        };
        uint32_t x1 = coord(w), y1 = coord(h), x2 = coord(w), y2 = coord(h);
        Rec().transfers.clear();
        LCD_SendToGfxMemory(px.data(), x1, y1, x2, y2, 0);
        RefPicture ref{px, w, h};
        Bytes expected = controller == kControllerKS108 ? ReferenceKs108(ref)
                                                        : ReferenceT6963(ref, x1, y1, x2, y2, pitch);
        ASSERT_EQ(RecWire(), expected) << "controller " << controller << " pitch " << pitch
                                       << " " << w << "x" << h << " (" << x1 << "," << y1
                                       << ")-(" << x2 << "," << y2 << ")";
      }
      LCD_CleanUp();
    }
  }
}

}  // namespace
