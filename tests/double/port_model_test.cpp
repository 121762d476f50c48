// A self-test of the recording double: its serial-driver families against
// what Windows documents, with every expected figure worked out by hand from
// those rules. 8N1 is 10 bits a byte, so 9600 baud is 960 bytes a second.
// - COMMTIMEOUTS: a write's total time-out is WriteTotalTimeoutMultiplier x
//   its bytes + WriteTotalTimeoutConstant; both zero: no total time-out.
// - serial.sys: a write that times out completes with success and a short
//   count (WriteFile TRUE, fewer bytes written than asked).
// - No flow control: a UART sends at the line rate whether the board reads or
//   not; a board's full receive buffer loses what comes (64 bytes here).
// - A USB bridge's write completes once its bytes are in the chip (a FIFO of
//   384 here); PurgeComm(PURGE_TXCLEAR) clears what the chip holds.
// - USB CDC: the board's pace sets the write's; a CDC driver fails a write
//   that timed out (121 by default) and reports 0 bytes, though a part went.
#include <gtest/gtest.h>

#include "platform/recording/recording.h"

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

const uint32_t kKeeps = kRecBoardKeepsUp;
const RecDriver kUart = kRecDriverWinTimeouts, kBridge = kRecDriverUsbBridge,
                kCdc = kRecDriverUsbCdc;

struct WriteCase {
  const char* name;
  RecDriver driver;
  uint32_t baud, multiplier, constant, board_per_s, cdc_error, size;
  bool ok;
  uint32_t written, error;
  uint64_t took_ms;
  size_t on_board;  // what the board took when the write returned
  size_t in_end;    // all the board ever gets, once the line is idle
  size_t slack;     // bytes a millisecond's step may round away
};

const WriteCase kWrites[] = {
    // 960 bytes at 960 B/s: one second, with no total time-out.
    {"UartAtTheLineRate", kUart, 9600, 0, 0, kKeeps, 0, 960, true, 960, 0, 1000, 960, 960, 0},
    // 0 x 960 + 500 ms: 480 bytes left; the rest never does.
    {"UartConstantCuts", kUart, 9600, 0, 500, kKeeps, 0, 960, true, 480, 0, 500, 480, 480, 0},
    // 1 x 960 + 0 = 960 ms: 960 x 0.96 = 921.6 bytes left.
    {"UartMultiplierCuts", kUart, 9600, 1, 0, kKeeps, 0, 960, true, 921, 0, 960, 921, 921, 0},
    // A board that reads nothing holds the line up not at all: its buffer
    // keeps the first 64 bytes, the other 896 are lost.
    {"UartIntoAStoppedBoard", kUart, 9600, 0, 0, 0, 0, 960, true, 960, 0, 1000, 0, 64, 0},
    // A board at 480 B/s takes 480 in that second, 64 wait in its buffer.
    {"UartHalfSpeedBoard", kUart, 9600, 0, 0, 480, 0, 960, true, 960, 0, 1000, 480, 544, 1},
    // 300 bytes fit in the chip: the write is done at once.
    {"BridgeDoneAtTheChip", kBridge, 9600, 1, 1000, 0, 0, 300, true, 300, 0, 0, 0, 64, 0},
    // 384 at once, then 960 as the line frees room: one second.
    {"BridgeWaitsForRoom", kBridge, 9600, 0, 0, kKeeps, 0, 1344, true, 1344, 0, 1000, 960, 1344, 0},
    // 500 ms free room for 480: the chip took 864, and the write succeeds.
    {"BridgeTimesOutShort", kBridge, 9600, 0, 500, kKeeps, 0, 1344, true, 864, 0, 500, 480, 864, 0},
    {"CdcIgnoresTheLineSpeed", kCdc, 300, 0, 0, kKeeps, 121, 1000, true, 1000, 0, 0, 1000, 1000, 0},
    // 1000 bytes at the board's 500 B/s: two seconds.
    {"CdcAtTheBoardsPace", kCdc, 300, 0, 0, 500, 121, 1000, true, 1000, 0, 2000, 1000, 1000, 0},
    // After 1000 ms the board has 500 bytes; the driver is told 0.
    {"CdcTimeOutFails121", kCdc, 300, 0, 1000, 500, 121, 1000, false, 0, 121, 1000, 500, 500, 0},
    {"CdcTimeOutFails995", kCdc, 300, 0, 1000, 500, 995, 1000, false, 0, 995, 1000, 500, 500, 0},
    {"CdcTimeOutSucceedsShort", kCdc, 300, 0, 1000, 500, 0, 1000, true, 500, 0, 1000, 500, 500, 0},
    // 2 x 64 + 100 = 228 ms on a board that takes nothing.
    {"CdcStoppedBoard", kCdc, 300, 2, 100, 0, 121, 64, false, 0, 121, 228, 0, 0, 0},
};

class DoubleWriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(DoubleWriteTest, FollowsWindowsRules) {
  const WriteCase& c = GetParam();
  const PortHandle port = OpenAt(c.driver, c.baud, c.multiplier, c.constant);
  RecBoardRate(c.board_per_s);
  Rec().cdc_timeout_error = c.cdc_error;
  std::vector<uint8_t> data(c.size);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)(i * 7 + i / 256);
  uint32_t written = 12345;
  EXPECT_EQ(PlatformPortWrite(port, data.data(), c.size, &written), c.ok);
  EXPECT_EQ(written, c.written);
  if (!c.ok) EXPECT_EQ(PlatformLastError(), c.error);
  EXPECT_EQ(Rec().now_ms, c.took_ms);
  EXPECT_NEAR((double)Rec().received.size(), (double)c.on_board, (double)c.slack);
  ASSERT_EQ(Rec().port_writes.size(), 1u);
  EXPECT_EQ(Rec().port_writes[0].written, c.written);
  EXPECT_EQ(Rec().port_writes[0].took_ms, c.took_ms);
  // The line runs dry at the board's own rate, then the board reads its buffer.
  RecRunClock(60000);
  RecBoardRate(kRecBoardKeepsUp);
  RecRunClock(1);
  const std::vector<uint8_t>& got = Rec().received;
  EXPECT_NEAR((double)got.size(), (double)c.in_end, (double)c.slack);
  // What went is a prefix of the write, and what it did not get was lost on
  // the board (a direct driver's unsent rest never left the host).
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + (ptrdiff_t)std::min<size_t>(got.size(), 64),
                         data.begin()));
  EXPECT_EQ(Rec().port_writes[0].went, got.size() + Rec().dropped);
  EXPECT_EQ(Rec().endless_writes, 0u);
  RecReset();
}

INSTANTIATE_TEST_SUITE_P(Families, DoubleWriteTest, ::testing::ValuesIn(kWrites),
                         [](const auto& info) { return std::string(info.param.name); });

// PURGE_TXCLEAR clears what the bridge chip holds; what is in the chip at a
// close still goes out.
TEST(DoubleBridgeTest, PurgeClearsTheChipACloseDoesNot) {
  const PortHandle port = OpenAt(kRecDriverUsbBridge, 9600, 0, 0);
  const std::vector<uint8_t> data(300, 0x41);
  uint32_t written = 0;
  ASSERT_TRUE(PlatformPortWrite(port, data.data(), 300, &written));
  PlatformPortPurge(port, kPurgeTransmit);
  RecRunClock(10000);
  EXPECT_TRUE(Rec().received.empty());
  ASSERT_TRUE(PlatformPortWrite(port, data.data(), 300, &written));
  PlatformPortClose(port);
  RecRunClock(10000);
  EXPECT_EQ(Rec().received, data);
  RecReset();
}

// A handle that died: unplugged (each code drivers report), or the PC resumed
// from sleep, where ClearCommError still answers. A new open works after a
// resume at once, after an unplug once a board is plugged in again; the new
// board has lost what the old one held unread.
TEST(DoubleDeadTest, WritesFailAndQueriesAnswerOnlyAfterASleep) {
  for (uint32_t error : {22u, 31u, 1617u, 0u}) {
    SCOPED_TRACE(error);
    const PortHandle port = OpenAt(kRecDriverUsbBridge, 19200, 1, 1000);
    RecBoardRate(0);
    const std::vector<uint8_t> unread(10, 0x42);
    uint32_t written = 1;
    ASSERT_TRUE(PlatformPortWrite(port, unread.data(), 10, &written));
    RecRunClock(100);
    const bool resume = error == 0;
    resume ? RecResume() : RecUnplug(error);
    RecBoardRate(kRecBoardKeepsUp);
    const uint8_t byte = 0x41;
    EXPECT_FALSE(PlatformPortWrite(port, &byte, 1, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(PlatformLastError(), resume ? 31u : error);
    EXPECT_EQ(PlatformPortClearError(port), resume ? kPortNoError : kPortQueryFailed);
    EXPECT_EQ(PlatformPortOpen("COM1") == kInvalidPort, !resume);
    if (!resume) {
      EXPECT_EQ(PlatformLastError(), 2u);  // ERROR_FILE_NOT_FOUND
      RecPlugIn();
    }
    const PortHandle again = PlatformPortOpen("COM1");
    EXPECT_TRUE(PlatformPortWrite(again, &byte, 1, &written));
    EXPECT_FALSE(PlatformPortWrite(port, &byte, 1, &written));  // the old handle stays dead
    RecRunClock(100);
    EXPECT_EQ(Rec().received, std::vector<uint8_t>{byte});
    RecReset();
  }
}

}  // namespace
