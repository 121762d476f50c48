// The recording double's model of Windows' serial drivers, where a fault of
// the model itself could hide: the write time-out, what a write takes, what
// cbOutQue counts, what a purge and a close do, and a port that died.
#include "test_support.h"

namespace {

PortHandle OpenAt(RecDriver driver, uint32_t baud, uint32_t multiplier, uint32_t constant) {
  RecReset();
  Rec().driver = driver;
  const PortHandle port = PlatformPortOpen("COM1");
  PortLineSettings line{};
  line.baud_rate = baud;
  PlatformPortSetLineSettings(port, &line);
  const PortTimeouts t = {0, 0, 0, multiplier, constant};
  PlatformPortSetTimeouts(port, &t);
  return port;
}

struct WriteCase {
  const char* name;
  RecDriver driver;
  uint32_t baud, multiplier, constant;
  uint64_t stall_ms, trickle_ms;  // the board before the write (100 B/s)
  uint32_t size;
  uint32_t written;
  uint64_t took_ms;
};

class ModelWriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ModelWriteTest, TakesWhatWentAndTheTimeItTook) {
  const WriteCase& c = GetParam();
  const PortHandle port = OpenAt(c.driver, c.baud, c.multiplier, c.constant);
  if (c.stall_ms) RecStall(c.stall_ms);
  if (c.trickle_ms) RecTrickle(c.trickle_ms, 100);
  const Bytes data(c.size, 0x41);
  uint32_t written = 0;
  EXPECT_TRUE(PlatformPortWrite(port, data.data(), c.size, &written));  // a time-out is no failure
  EXPECT_EQ(written, c.written);
  EXPECT_EQ(Rec().now_ms, c.took_ms);
  EXPECT_EQ(RecWire().size(), c.written);
  RecReset();
}

const WriteCase kWrites[] = {
    // A UART sends at baud/10 bytes a second: 1920 bytes at 19200 are a second.
    {"UartAtTheLineRate", kRecDriverWinTimeouts, 19200, 1, 1000, 0, 0, 1920, 1920, 1000},
    // Multiplier x size + constant, then the count that went: 2 x 4096 + 1000.
    {"UartTimesOutOnAStoppedBoard", kRecDriverWinTimeouts, 9600, 2, 1000, 20000, 0, 4096, 0, 9192},
    {"UartGoesOnWhenTheBoardReadsAgain", kRecDriverWinTimeouts, 19200, 1, 1000, 500, 0, 1920, 1920,
     1500},
    {"UartTimesOutOnATrickle", kRecDriverWinTimeouts, 19200, 1, 1000, 0, 60000, 4096, 509, 5096},
    {"CdcIgnoresTheSpeed", kRecDriverUsbCdc, 300, 34, 1000, 0, 0, 4096, 4096, 0},
    {"CdcTimesOutOnAStoppedBoard", kRecDriverUsbCdc, 300, 0, 20, 5000, 0, 64, 0, 20},
    // Queue and FIFO take 4480 at once; 520 more wait for room at 1920 B/s.
    {"BridgeFillsQueueAndFifoAtOnce", kRecDriverUsbBridge, 19200, 1, 1000, 0, 0, 4480, 4480, 0},
    {"BridgeWaitsForRoom", kRecDriverUsbBridge, 19200, 1, 1000, 0, 0, 5000, 5000, 271},
    {"BridgeTimesOutOnAStoppedBoard", kRecDriverUsbBridge, 19200, 1, 1000, 20000, 0, 5000, 4480,
     6000},
};

INSTANTIATE_TEST_SUITE_P(Model, ModelWriteTest, ::testing::ValuesIn(kWrites),
                         [](const auto& info) { return std::string(info.param.name); });

// On a bridge, cbOutQue counts the driver's queue, not the chip's FIFO; a
// transmit purge discards both; a close discards nothing.
TEST(ModelBridgeTest, QueueFifoPurgeAndClose) {
  PortHandle port = OpenAt(kRecDriverUsbBridge, 19200, 1, 1000);
  RecStall(1000);
  const Bytes data(1000, 0x41);
  uint32_t written = 0, queued = 0;
  PlatformPortWrite(port, data.data(), 1000, &written);
  ASSERT_TRUE(RecPortQueuedOutput(port, &queued));
  EXPECT_EQ(queued, 1000u - kRecFifoBytes);
  PlatformPortPurge(port, kPurgeTransmit);
  RecRunClock(5000);
  EXPECT_TRUE(Rec().received.empty());
  PlatformPortWrite(port, data.data(), 1000, &written);
  PlatformPortClose(port);
  RecRunClock(520);  // 1000 bytes at 1920 a second
  EXPECT_EQ(Rec().received.size(), 998u);
  RecRunClock(1);
  EXPECT_EQ(Rec().received, data);
  RecReset();
}

// A handle that died: unplugged (each error code drivers report), or the PC
// resumed from sleep, where ClearCommError still answers. A new open works
// after a resume at once, after an unplug once a fresh board is plugged in.
struct DeadCase {
  const char* name;
  uint32_t error;  // 0: a resume
};

class ModelDeadTest : public ::testing::TestWithParam<DeadCase> {};

TEST_P(ModelDeadTest, WritesFailAndQueriesAnswerOnlyAfterASleep) {
  const DeadCase& c = GetParam();
  const PortHandle port = OpenAt(kRecDriverUsbBridge, 19200, 1, 1000);
  const bool resume = c.error == 0;
  if (resume) {
    RecResume();
  } else {
    RecUnplug(c.error);
  }
  uint32_t written = 1, queued = 0;
  const uint8_t byte = 0x41;
  EXPECT_FALSE(PlatformPortWrite(port, &byte, 1, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(PlatformLastError(), resume ? 31u : c.error);
  EXPECT_EQ(PlatformPortClearError(port), resume ? kPortNoError : kPortQueryFailed);
  EXPECT_EQ(RecPortQueuedOutput(port, &queued), resume);
  const PortTimeouts t = {};
  EXPECT_EQ(PlatformPortSetTimeouts(port, &t), resume);
  EXPECT_EQ(PlatformPortOpen("COM1") == kInvalidPort, !resume);
  if (!resume) {
    EXPECT_EQ(PlatformLastError(), 2u);
    RecPlugIn();
  }
  const PortHandle again = PlatformPortOpen("COM1");
  EXPECT_TRUE(PlatformPortWrite(again, &byte, 1, &written));
  EXPECT_FALSE(PlatformPortWrite(port, &byte, 1, &written));  // the old handle stays dead
  EXPECT_EQ(Rec().fresh_at, std::vector<size_t>{0});
  RecReset();
}

const DeadCase kDeads[] = {{"Unplugged22", 22}, {"Unplugged31", 31}, {"Unplugged1617", 1617},
                           {"Resumed", 0}};

INSTANTIATE_TEST_SUITE_P(Model, ModelDeadTest, ::testing::ValuesIn(kDeads),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
