#include <algorithm>

#include "link/buffers.h"
#include "link/port.h"
#include "test_support.h"

namespace {

Bytes Sequence(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = (uint8_t)(i * 7 + 1);
  return bytes;
}

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
  EXPECT_EQ(RecTransferSizes(), expected);
  EXPECT_EQ(count, total - 2 * c.size);
  EXPECT_EQ(flush(), 0);
  if (total > 2 * c.size) expected.push_back(total - 2 * c.size);
  EXPECT_EQ(RecTransferSizes(), expected);
  EXPECT_EQ(RecWire(), bytes);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(flush(), 0);  // empty: writes nothing
  EXPECT_EQ(RecTransferSizes(), expected);
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
  std::vector<int64_t> plan;             // what each write takes
  std::vector<size_t> transfers;         // sizes that reached the wire
  std::vector<std::string> calls;        // the port calls of one 16-byte flush
};

class ShortWriteTest : public DriverTest, public ::testing::WithParamInterface<ShortWriteCase> {};

TEST_P(ShortWriteTest, WritesTheRestWhileWritesProgress) {
  const ShortWriteCase& c = GetParam();
  Setting("GfxBufferSize", "4096");
  InitAndClear();
  Bytes bytes = Sequence(16);
  for (uint8_t b : bytes) PutGfxByte(b);
  Rec().write_plan.assign(c.plan.begin(), c.plan.end());
  FlushGfxBuffer();
  EXPECT_EQ(RecTransferSizes(), c.transfers);
  EXPECT_EQ(Rec().calls, c.calls);
  Bytes wire = RecWire();
  EXPECT_EQ(wire, Bytes(bytes.begin(), bytes.begin() + wire.size()));
  EXPECT_EQ(g_state.gfx_count, 0u);  // lost or not, the count is reset
}

const ShortWriteCase kShortWrites[] = {
    {"Whole", {}, {16}, {"PlatformPortWrite 16"}},
    {"TwoShortThenRest", {3, 5}, {3, 5, 8}, {"PlatformPortWrite 16", "PlatformPortWrite 13", "PlatformPortWrite 8"}},
    {"StallsAfterProgress", {3, 0}, {3}, {"PlatformPortWrite 16", "PlatformPortWrite 13"}},
    {"TimesOutAtOnce", {0}, {}, {"PlatformPortWrite 16"}},
    // A failed write clears the port's error and goes once more; a second
    // failure loses the rest.
    {"FailsThenWritesAgain", {-1}, {16}, {"PlatformPortWrite 16", "PlatformPortClearError", "PlatformPortWrite 16"}},
    {"FailsTwice", {-1, -1}, {}, {"PlatformPortWrite 16", "PlatformPortClearError", "PlatformPortWrite 16", "PlatformPortClearError"}},
    {"ShortThenFailsTwice", {4, -1, -1}, {4}, {"PlatformPortWrite 16", "PlatformPortWrite 12", "PlatformPortClearError", "PlatformPortWrite 12", "PlatformPortClearError"}},
    {"ByteByByte",
     {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
     std::vector<size_t>(16, 1),
     {"PlatformPortWrite 16", "PlatformPortWrite 15", "PlatformPortWrite 14", "PlatformPortWrite 13", "PlatformPortWrite 12",
      "PlatformPortWrite 11", "PlatformPortWrite 10", "PlatformPortWrite 9", "PlatformPortWrite 8", "PlatformPortWrite 7", "PlatformPortWrite 6",
      "PlatformPortWrite 5", "PlatformPortWrite 4", "PlatformPortWrite 3", "PlatformPortWrite 2", "PlatformPortWrite 1"}},
};

INSTANTIATE_TEST_SUITE_P(Plans, ShortWriteTest, ::testing::ValuesIn(kShortWrites),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, AFailedWriteDoesNotStopLaterWrites) {
  InitAndClear();
  Rec().write_plan = {-1, -1};
  WriteDirect(0xB0);
  WriteDirect(0xB3);
  EXPECT_EQ(Rec().calls, (std::vector<std::string>{"PlatformPortWrite 1", "PlatformPortClearError", "PlatformPortWrite 1", "PlatformPortClearError", "PlatformPortWrite 1"}));
  EXPECT_EQ(RecWire(), Hex("B3"));
}

}  // namespace

namespace {

// A board that stops reading: the first write of a call that times out with
// nothing written ends that call's writing; the next call tries again.
TEST_F(DriverTest, StalledBoardCostsOneTimeOutPerCall) {
  InitAndClear();
  std::vector<uint8_t> picture(240 * 64, 1);
  Rec().write_plan = {0};
  LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);  // 41 transfers of 64
  EXPECT_EQ(Rec().calls, std::vector<std::string>{"PlatformPortWrite 64"});
  EXPECT_TRUE(Rec().transfers.empty());
  EXPECT_EQ(g_state.gfx_count, 0u);
  EXPECT_EQ(g_state.ready.load(), 1);

  // A write that fails outright (not a time-out) does not stop the call.
  Rec().calls.clear();
  Rec().write_plan = {-1, -1};
  LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 1, 0);  // 85 bytes: 64 + 21
  EXPECT_EQ(Rec().calls,
            (std::vector<std::string>{"PlatformPortWrite 64", "PlatformPortClearError", "PlatformPortWrite 64", "PlatformPortClearError", "PlatformPortWrite 21"}));

  // The board reads again: the next call goes out whole.
  Rec().calls.clear();
  Rec().transfers.clear();
  Setting("GfxForceFlush", "1");
  g_state.gfx_force_flush = 1;
  LCD_SendToGfxMemory(picture.data(), 0, 0, 47, 0, 0);
  EXPECT_EQ(RecWire(), Concat({Hex("BA 00 00 08"), Bytes(8, 0x3F)}));

  // Clean-up waits once, not once per closing command.
  Rec().calls.clear();
  Rec().write_plan = {0};
  LCD_CleanUp();
  EXPECT_EQ(std::count_if(Rec().calls.begin(), Rec().calls.end(),
                          [](const std::string& c) { return c.rfind("PlatformPortWrite", 0) == 0; }),
            1);
  EXPECT_EQ(Rec().open_ports, 0);
}

}  // namespace

namespace {

// Before its transmit purge, the close waits while the port still holds
// bytes, bounded by their line time plus the write time-out constant; where
// the port cannot tell, it waits out the line time of what was written, at
// most that of the 32768 bytes a port may hold.
struct DrainCase {
  const char* name;
  bool queue_known;
  uint64_t drain_per_ms;  // how fast the board takes the queued bytes
  uint32_t written;       // in writes of at most 4096
  uint64_t elapsed_ms;    // between the last write and the close
  uint64_t slept_ms;
  std::vector<int64_t> last_write;  // the plan of the last write
};

class DrainTest : public DriverTest, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(DrainTest, WaitsForTheQueueBeforeThePurge) {
  const DrainCase& c = GetParam();
  InitAndClear();  // 19200 baud
  Rec().queue_known = c.queue_known;
  Rec().queue_fills = true;
  Rec().drain_per_ms = c.drain_per_ms;
  const Bytes bytes = Sequence(4096);
  for (uint32_t left = c.written; left > 0;) {
    uint32_t n = left < 4096 ? left : 4096;
    if (n == left) Rec().write_plan.assign(c.last_write.begin(), c.last_write.end());
    WriteAll(g_state.port, bytes.data(), n);
    left -= n;
  }
  Rec().now_ms += c.elapsed_ms;
  Rec().calls.clear();
  ClosePort();
  EXPECT_EQ(Rec().slept_ms, c.slept_ms);
  EXPECT_EQ(Rec().calls.front(), "PlatformPortPurge rx");
  EXPECT_EQ(Rec().open_ports, 0);
}

const DrainCase kDrains[] = {
    {"NothingQueued", true, 0, 0, 0, 0},
    {"BoardTakesIt", true, 2, 3000, 0, 1500},
    // 3000 bytes are 1563 ms at 19200 baud; with the constant, 2563.
    {"StalledBoardCostsTheBound", true, 0, 3000, 0, 2563},
    // After the 1 ms of the opening ResetDisplay.
    {"UnknownQueueWaitsTheLineTime", false, 0, 3000, 0, 1564},
    {"UnknownQueuePartlySent", false, 0, 3000, 500, 1064},
    {"UnknownQueueLongSent", false, 0, 3000, 5000, 0},
    // The port holds at most 32768 bytes: 17067 ms.
    {"UnknownQueueAtMostWhatAPortHolds", false, 0, 40000, 0, 17067},
    // A board that is gone or stopped reading takes nothing more: no wait.
    {"UnknownQueueAfterALostTransfer", false, 0, 3000, 0, 0, {-1, -1}},
    {"UnknownQueueAfterAStall", false, 0, 3000, 0, 0, {0}},
};

INSTANTIATE_TEST_SUITE_P(Closes, DrainTest, ::testing::ValuesIn(kDrains),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
