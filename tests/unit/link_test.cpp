#include <algorithm>

#include "link/buffers.h"
#include "link/link.h"
#include "link/port.h"
#include "test_support.h"

namespace {

Bytes Sequence(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = (uint8_t)(i * 7 + 1);
  return bytes;
}

// The port writes of `transfers`, each handed over in pieces of at most
// `piece` bytes.
std::vector<size_t> InPieces(const std::vector<size_t>& transfers, size_t piece) {
  std::vector<size_t> writes;
  for (size_t left : transfers) {
    for (; left > piece; left -= piece) writes.push_back(piece);
    writes.push_back(left);
  }
  return writes;
}

// At 19200 baud and above a write's time-out is 1 ms a byte plus 1000 ms: a
// piece of 280 bytes waits at most 1.28 s for a board that does not read.
const size_t kPiece = 280;

struct BatchCase {
  bool gfx;
  uint32_t size;
};

class BatchTest : public DriverTest, public ::testing::WithParamInterface<BatchCase> {};

// Two full transfers and a remainder: the buffer writes exactly its transfer
// size each time it fills, holds the rest, and the flush writes the rest.
TEST_P(BatchTest, WritesWholeTransfersAndFlushesTheRest) {
  const BatchCase& c = GetParam();
  Setting(c.gfx ? "GfxBufferSize" : "TextBufferSize", std::to_string(c.size));
  InitAndClear();
  int (*put)(uint8_t) = c.gfx ? PutGfxByte : PutTextByte;
  int (*flush)() = c.gfx ? FlushGfxBuffer : FlushTextBuffer;
  uint32_t& count = c.gfx ? g_state.gfx_count : g_state.text_count;
  const size_t total = 2 * c.size + (c.size > 1 ? 3 : 0);
  Bytes bytes = Sequence(total);
  for (size_t i = 0; i < total; ++i) {
    EXPECT_EQ(put(bytes[i]), 0);
    if (i + 1 == c.size - 1 && c.size > 1) {
      EXPECT_TRUE(Rec().transfers.empty()) << "one short of a transfer writes nothing";
      EXPECT_EQ(count, c.size - 1);
    }
  }
  std::vector<size_t> expected = {c.size, c.size};
  EXPECT_EQ(RecTransferSizes(), InPieces(expected, kPiece));
  EXPECT_EQ(count, total - 2 * c.size);
  EXPECT_EQ(flush(), 0);
  if (total > 2 * c.size) expected.push_back(total - 2 * c.size);
  EXPECT_EQ(RecTransferSizes(), InPieces(expected, kPiece));
  EXPECT_EQ(RecWire(), bytes);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(flush(), 0);  // empty: writes nothing
  EXPECT_EQ(RecTransferSizes(), InPieces(expected, kPiece));
}

// Both buffers run the same put and flush: each is tried at its capacity,
// the text buffer at its default size and the graphics buffer at size 1.
INSTANTIATE_TEST_SUITE_P(Sizes, BatchTest,
                         ::testing::Values(BatchCase{false, 16}, BatchCase{false, 256},
                                           BatchCase{true, 1}, BatchCase{true, 4096}),
                         [](const auto& info) {
                           return std::string(info.param.gfx ? "Gfx" : "Text") +
                                  std::to_string(info.param.size);
                         });

TEST_F(DriverTest, ClosedPortDropsEverything) {
  EXPECT_EQ(PutTextByte(1), 1);
  EXPECT_EQ(PutGfxByte(2), 1);
  const uint8_t run[2] = {4, 5};
  EXPECT_EQ(PutGfxBytes(run, 2), 0);  // nothing was put, so nothing is left alone
  EXPECT_EQ(FlushTextBuffer(), 1);
  EXPECT_EQ(FlushGfxBuffer(), 1);
  WriteDirect(3);
  EXPECT_EQ(g_state.text_count, 0u);
  EXPECT_EQ(g_state.gfx_count, 0u);
  EXPECT_TRUE(Rec().calls.empty());
}

// PutGfxBytes against the byte-by-byte rule it stands for: the same port
// writes, the same bytes and count left in the buffer, and as its result
// whether the count was 1 after one of the puts.
TEST_F(DriverTest, PutGfxBytesActsAsThatManyPuts) {
  struct Outcome {
    std::vector<Bytes> transfers;
    Bytes buffered;
    int left_alone = 0;
  };
  const Bytes bytes = Sequence(3 * 64 + 2);
  auto run = [&](uint32_t size, uint32_t before, uint32_t n, bool together) {
    RecReset();
    ResetDriverState();
    Setting("GfxBufferSize", std::to_string(size));
    InitAndClear();
    for (uint32_t i = 0; i < before; ++i) PutGfxByte(0xEE);
    Outcome o;
    if (together) {
      o.left_alone = PutGfxBytes(bytes.data(), n);
    } else {
      for (uint32_t i = 0; i < n; ++i) {
        PutGfxByte(bytes[i]);
        if (g_state.gfx_count == 1) o.left_alone = 1;
      }
    }
    o.transfers = Rec().transfers;
    o.buffered.assign(g_state.gfx_buf, g_state.gfx_buf + g_state.gfx_count);
    return o;
  };
  for (uint32_t size : {1u, 2u, 3u, 64u}) {
    for (uint32_t before : {0u, 1u, size - 1}) {
      if (before >= size) continue;
      for (uint32_t n : {0u, 1u, 2u, size - 1, size, size + 1, 3 * size + 2}) {
        SCOPED_TRACE("size " + std::to_string(size) + ", " + std::to_string(before) +
                     " buffered, " + std::to_string(n) + " put");
        Outcome one_by_one = run(size, before, n, false);
        Outcome together = run(size, before, n, true);
        EXPECT_EQ(together.transfers, one_by_one.transfers);
        EXPECT_EQ(together.buffered, one_by_one.buffered);
        EXPECT_EQ(together.left_alone, one_by_one.left_alone);
      }
    }
  }
}

TEST_F(DriverTest, OpeningDiscardsBytesStillBuffered) {
  InitAndClear();
  PutTextByte('a');
  PutGfxByte(0x55);
  LCD_Init();  // clean-up flushes them, then the open empties both buffers
  EXPECT_EQ(RecWire(), Hex("61 55 B0 B3 00 B4 00 B0"));
  g_state.text_count = 5;
  g_state.gfx_count = 9;
  PortHandle port = OpenPort("COM1", 9600);
  EXPECT_TRUE(PortIsOpen(port));
  EXPECT_EQ(g_state.text_count, 0u);
  EXPECT_EQ(g_state.gfx_count, 0u);
}

struct ShortWriteCase {
  const char* name;
  std::vector<int64_t> plan;       // what each write takes
  std::vector<size_t> transfers;   // sizes that reached the wire
  std::vector<std::string> calls;  // the port calls of one 16-byte flush
  uint8_t mode;                    // the link afterwards
  bool short_writes_wait = false;
};

class ShortWriteTest : public DriverTest, public ::testing::WithParamInterface<ShortWriteCase> {};

// A board that keeps up gets the rest of a short write; one that does not,
// or a write that fails, leaves the board behind: the rest is dropped, and
// nothing more of the host's streams goes out in this call.
TEST_P(ShortWriteTest, WritesTheRestWhileTheBoardKeepsUp) {
  const ShortWriteCase& c = GetParam();
  Setting("GfxBufferSize", "4096");
  InitAndClear();
  Bytes bytes = Sequence(16);
  for (uint8_t b : bytes) PutGfxByte(b);
  Rec().write_plan.assign(c.plan.begin(), c.plan.end());
  Rec().short_writes_wait = c.short_writes_wait;
  FlushGfxBuffer();
  EXPECT_EQ(RecTransferSizes(), c.transfers);
  EXPECT_EQ(Rec().calls, c.calls);
  Bytes wire = RecWire();
  EXPECT_EQ(wire, Bytes(bytes.begin(), bytes.begin() + wire.size()));
  EXPECT_EQ(g_state.gfx_count, 0u);  // lost or not, the count is reset
  EXPECT_EQ(g_state.link.mode, c.mode);
  Rec().calls.clear();
  PutGfxByte(1);
  FlushGfxBuffer();
  EXPECT_EQ(Rec().calls.size(), c.mode == kLinkBehind ? 0u : 1u);
}

const std::string kW = "PlatformPortWrite ";
const std::string kClear = "PlatformPortClearError";

const ShortWriteCase kShortWrites[] = {
    {"Whole", {}, {16}, {kW + "16"}, kLinkUp},
    {"TwoShortThenRest", {3, 5}, {3, 5, 8}, {kW + "16", kW + "13", kW + "8"}, kLinkUp},
    {"StallsAfterProgress", {3, 0}, {3}, {kW + "16", kW + "13"}, kLinkBehind},
    // Short after waiting out its time-out: the rest would wait once more.
    {"ShortAfterItsTimeOut", {3}, {3}, {kW + "16"}, kLinkBehind, true},
    {"TimesOutAtOnce", {0}, {}, {kW + "16"}, kLinkBehind},
    // A time-out that the serial driver reports as a failure, and a line
    // error with abort-on-error, may each have sent any part of the write:
    // it is not written again, so the board never gets a byte twice.
    {"FailsWithATimeOutError", {kPlanTimeoutError}, {}, {kW + "16", kClear}, kLinkBehind},
    {"FailsWithALineError", {kPlanLineError}, {}, {kW + "16", kClear}, kLinkBehind},
    {"ShortThenFailsWithALineError", {4, kPlanLineError}, {4}, {kW + "16", kW + "12", kClear},
     kLinkBehind},
    {"ByteByByte",
     {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
     std::vector<size_t>(16, 1),
     {kW + "16", kW + "15", kW + "14", kW + "13", kW + "12", kW + "11", kW + "10", kW + "9",
      kW + "8", kW + "7", kW + "6", kW + "5", kW + "4", kW + "3", kW + "2", kW + "1"},
     kLinkUp},
};

INSTANTIATE_TEST_SUITE_P(Plans, ShortWriteTest, ::testing::ValuesIn(kShortWrites),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
