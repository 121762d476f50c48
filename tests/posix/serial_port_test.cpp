// The termios serial port against a real pty pair: the test holds the master
// end and plays the board.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/termios_rules.h"
#include "case_name.h"
#include "test_files.h"

namespace {

// Reads from the master until `count` bytes came or nothing more arrives
// for a few seconds (a generous bound: this is no timing test).
std::vector<uint8_t> ReadFromMaster(int master, size_t count) {
  std::vector<uint8_t> got;
  uint8_t buffer[4096];
  while (got.size() < count) {
    struct pollfd waiting = {master, POLLIN, 0};
    if (poll(&waiting, 1, 5000) <= 0) break;
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      break;
    }
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 8) * 13);
  return bytes;
}

class SerialPortTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[256];
    int slave = -1;
    ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0) << strerror(errno);
    slave_path_ = name;
    // Keep the pty's cooked defaults (ONLCR, ICANON, ECHO) until the port is
    // configured: applying the line settings must take them off.
    close(slave);
  }

  void TearDown() override {
    if (PortIsOpen(port_)) PlatformPortClose(port_);
    if (master_ >= 0) close(master_);
  }

  // Opens the slave end and configures it the way the driver's OpenPort does.
  void OpenAsDriver(uint32_t baud_rate, uint32_t write_multiplier, uint32_t write_constant) {
    port_ = PlatformPortOpen(slave_path_.c_str());
    ASSERT_TRUE(PortIsOpen(port_)) << "errno " << PlatformLastError();
    ASSERT_TRUE(PlatformPortSetupQueues(port_, 4096, 4096));
    PortLineSettings line;
    ASSERT_TRUE(PlatformPortGetLineSettings(port_, &line));
    ConfigureLine(&line, baud_rate);
    ASSERT_TRUE(PlatformPortSetLineSettings(port_, &line)) << "errno " << PlatformLastError();
    PortTimeouts timeouts;
    ASSERT_TRUE(PlatformPortGetTimeouts(port_, &timeouts));
    timeouts = PortTimeouts{1000, 1000, 1000, write_multiplier, write_constant};
    ASSERT_TRUE(PlatformPortSetTimeouts(port_, &timeouts));
    // The driver does not examine these; a pty has no modem lines.
    PlatformPortPurge(port_, kPurgeReceive);
    PlatformPortPurge(port_, kPurgeTransmit);
    PlatformPortLine(port_, kSetDtr);
    PlatformPortLine(port_, kSetRts);
  }

  int master_ = -1;
  std::string slave_path_;
  PortHandle port_ = kNoPort;
};

TEST_F(SerialPortTest, EveryByteValueArrivesUnchanged) {
  ASSERT_NO_FATAL_FAILURE(OpenAsDriver(19200, 1, 1000));
  // All 256 values, line feed, carriage return, XON/XOFF and ^C included.
  std::vector<uint8_t> bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
  uint32_t written = 12345;
  ASSERT_TRUE(PlatformPortWrite(port_, bytes.data(), 256, &written));
  EXPECT_EQ(written, 256u);
  EXPECT_EQ(ReadFromMaster(master_, 256), bytes);
}

TEST_F(SerialPortTest, TransfersArriveInOrder) {
  ASSERT_NO_FATAL_FAILURE(OpenAsDriver(19200, 1, 1000));
  const uint8_t reset = 0xB0;
  const uint8_t text[] = {0xB1, 0x01, 0x01, 'H', 'i', '\n'};
  uint32_t written = 0;
  ASSERT_TRUE(PlatformPortWrite(port_, &reset, 1, &written));
  EXPECT_EQ(written, 1u);
  ASSERT_TRUE(PlatformPortWrite(port_, text, sizeof text, &written));
  EXPECT_EQ(written, sizeof text);
  const std::vector<uint8_t> expected = {0xB0, 0xB1, 0x01, 0x01, 'H', 'i', '\n'};
  EXPECT_EQ(ReadFromMaster(master_, expected.size()), expected);
}

TEST_F(SerialPortTest, A4096ByteTransferArrivesWhole) {
  ASSERT_NO_FATAL_FAILURE(OpenAsDriver(19200, 1, 1000));
  const std::vector<uint8_t> bytes = Pattern(4096);
  std::vector<uint8_t> got;
  std::thread board([&] { got = ReadFromMaster(master_, bytes.size()); });
  uint32_t written = 0;
  const bool ok = PlatformPortWrite(port_, bytes.data(), 4096, &written);
  board.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(written, 4096u);
  EXPECT_EQ(got, bytes);
}

TEST_F(SerialPortTest, LargerWritesWaitForRoomAndStayWhole) {
  // Far more than a pty buffers: the write has to wait for the reader.
  ASSERT_NO_FATAL_FAILURE(OpenAsDriver(115200, 1, 1000));
  const std::vector<uint8_t> bytes = Pattern(256 * 1024);
  std::vector<uint8_t> got;
  std::thread board([&] { got = ReadFromMaster(master_, bytes.size()); });
  uint32_t written = 0;
  const bool ok = PlatformPortWrite(port_, bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
  board.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(written, bytes.size());
  EXPECT_TRUE(got == bytes) << "received " << got.size() << " bytes";
}

TEST_F(SerialPortTest, AStalledReaderEndsTheWriteAtItsTimeout) {
  // Nobody reads the master: the write gives up when its time-out runs out
  // and reports what went out; those bytes are intact.
  ASSERT_NO_FATAL_FAILURE(OpenAsDriver(19200, 0, 300));
  const std::vector<uint8_t> bytes = Pattern(4 * 1024 * 1024);
  uint32_t written = 0;
  EXPECT_TRUE(PlatformPortWrite(port_, bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
  EXPECT_GT(written, 0u);
  ASSERT_LT(written, bytes.size());
  const std::vector<uint8_t> got = ReadFromMaster(master_, written);
  EXPECT_TRUE(got == std::vector<uint8_t>(bytes.begin(), bytes.begin() + written))
      << "received " << got.size() << " of " << written << " bytes";
}

TEST_F(SerialPortTest, AWriteAfterTheOtherEndWentAwayFails) {
  ASSERT_NO_FATAL_FAILURE(OpenAsDriver(19200, 1, 1000));
  close(master_);
  master_ = -1;
  const uint8_t bytes[4] = {1, 2, 3, 4};
  uint32_t written = 99;
  EXPECT_FALSE(PlatformPortWrite(port_, bytes, sizeof bytes, &written));
  EXPECT_EQ(PlatformLastError(), static_cast<uint32_t>(EIO));
  EXPECT_EQ(written, 0u);
  PlatformPortClearError(port_);
  EXPECT_TRUE(PlatformPortClose(port_));
  port_ = kNoPort;
}

TEST_F(SerialPortTest, AnEmptyWriteSucceeds) {
  ASSERT_NO_FATAL_FAILURE(OpenAsDriver(19200, 1, 1000));
  uint32_t written = 99;
  EXPECT_TRUE(PlatformPortWrite(port_, nullptr, 0, &written));
  EXPECT_EQ(written, 0u);
}

TEST_F(SerialPortTest, TheConfiguredLineIsRawAt8N1) {
  ASSERT_NO_FATAL_FAILURE(OpenAsDriver(19200, 1, 1000));
  PortLineSettings line;
  ASSERT_TRUE(PlatformPortGetLineSettings(port_, &line));
  EXPECT_EQ(line.baud_rate, 19200u);
  EXPECT_EQ(line.data_bits, 8);
  EXPECT_EQ(line.parity, kParityNone);
  EXPECT_EQ(line.stop_bits, kOneStopBit);
  EXPECT_FALSE(line.out_cts_flow);
  EXPECT_FALSE(line.out_dsr_flow);
  EXPECT_FALSE(line.out_xon);
  EXPECT_FALSE(line.in_xon);
  EXPECT_TRUE(line.abort_on_error);
  struct termios t;
  memcpy(&t, line.native, sizeof t);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IXON | IXOFF | ISTRIP), 0u);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
}

struct LineCase {
  const char* what;
  uint32_t baud_rate;
  uint8_t data_bits;
  uint8_t parity;
  uint8_t stop_bits;
  bool out_cts_flow;
  uint8_t rts_control;
  bool out_xon;
  bool in_xon;
  speed_t speed;
  tcflag_t cflag;  // under kLineBits
  tcflag_t iflag;  // under IXON | IXOFF
};

const tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

PortLineSettings SettingsFor(const LineCase& c, const struct termios& native) {
  PortLineSettings line;
  memset(&line, 0, sizeof line);
  memcpy(line.native, &native, sizeof native);
  line.baud_rate = c.baud_rate;
  line.data_bits = c.data_bits;
  line.parity = c.parity;
  line.stop_bits = c.stop_bits;
  line.out_cts_flow = c.out_cts_flow;
  line.rts_control = c.rts_control;
  line.out_xon = c.out_xon;
  line.in_xon = c.in_xon;
  return line;
}

// A cooked record as a fresh tty has it, with a few settings of its own.
struct termios CookedTermios() {
  struct termios t;
  memset(&t, 0, sizeof t);
  t.c_iflag = ICRNL | IXON | IXANY | ISTRIP | BRKINT;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS7 | PARENB | CSTOPB | HUPCL | CRTSCTS;
  t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  t.c_cc[VSTART] = 0x42;
  t.c_cc[VSTOP] = 0x43;
  cfsetspeed(&t, B2400);
  return t;
}

class LineRulesTest : public testing::TestWithParam<LineCase> {};

TEST_P(LineRulesTest, NamedFieldsMapOntoTermiosAndBack) {
  const LineCase& c = GetParam();
  const PortLineSettings line = SettingsFor(c, CookedTermios());
  struct termios t;
  ASSERT_TRUE(TermiosFromLineSettings(&line, &t)) << c.what;
  EXPECT_EQ(cfgetospeed(&t), c.speed) << c.what;
  EXPECT_EQ(cfgetispeed(&t), c.speed) << c.what;
  EXPECT_EQ(t.c_cflag & kLineBits, c.cflag) << c.what;
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), c.iflag) << c.what;
  // Raw, local, receiving; the rest of the record as it was.
  EXPECT_EQ(t.c_oflag & OPOST, 0u) << c.what;
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << c.what;
  EXPECT_EQ(t.c_iflag & (ICRNL | ISTRIP | BRKINT), 0u) << c.what;
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | HUPCL), static_cast<tcflag_t>(CLOCAL | CREAD | HUPCL))
      << c.what;
  EXPECT_EQ(t.c_cc[VSTART], 0x42) << c.what;
  EXPECT_EQ(t.c_cc[VSTOP], 0x43) << c.what;
  EXPECT_EQ(t.c_cc[VMIN], 1) << c.what;
  EXPECT_EQ(t.c_cc[VTIME], 0) << c.what;

  PortLineSettings read;
  LineSettingsFromTermios(&t, nullptr, &read);
  EXPECT_EQ(memcmp(read.native, &t, sizeof t), 0) << c.what;
  EXPECT_EQ(read.baud_rate, c.baud_rate) << c.what;
  EXPECT_EQ(read.data_bits, c.data_bits) << c.what;
  EXPECT_EQ(read.parity, c.parity) << c.what;
  EXPECT_EQ(read.stop_bits, c.stop_bits) << c.what;
  EXPECT_EQ(read.out_cts_flow, c.out_cts_flow || c.rts_control == 2) << c.what;
  EXPECT_EQ(read.out_xon, c.out_xon) << c.what;
  EXPECT_EQ(read.in_xon, c.in_xon) << c.what;
  EXPECT_FALSE(read.out_dsr_flow) << c.what;
  EXPECT_FALSE(read.abort_on_error) << c.what;
}

const LineCase kLineCases[] = {
    {"driver_8N1_19200", 19200, 8, 0, 0, false, 0, false, false, B19200, CS8, 0},
    {"rate_9600", 9600, 8, 0, 0, false, 0, false, false, B9600, CS8, 0},
    {"even_7E2", 115200, 7, 2, 2, false, 0, false, false, B115200, CS7 | PARENB | CSTOPB, 0},
    {"odd_7O1_xon", 38400, 7, 1, 0, false, 0, true, false, B38400, CS7 | PARENB | PARODD, IXON},
    {"space_5S1_5", 300, 5, 4, 1, false, 0, false, true, B300, CS5 | PARENB | CMSPAR | CSTOPB,
     IXOFF},
    {"mark_6M1_cts", 57600, 6, 3, 0, true, 0, true, true, B57600,
     CS6 | PARENB | PARODD | CMSPAR | CRTSCTS, IXON | IXOFF},
    {"rts_handshake", 1200, 8, 0, 0, false, 2, false, false, B1200, CS8 | CRTSCTS, 0},
    {"rate_4000000", 4000000, 8, 0, 2, false, 0, false, false, B4000000, CS8 | CSTOPB, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, LineRulesTest, testing::ValuesIn(kLineCases),
                         [](const testing::TestParamInfo<LineCase>& info) {
                           return std::string(info.param.what);
                         });

TEST(LineRules, ModemLinesGiveTheLineControls) {
  struct termios t = CookedTermios();
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  PortLineSettings read;
  const int dtr = TIOCM_DTR;
  LineSettingsFromTermios(&t, &dtr, &read);
  EXPECT_EQ(read.dtr_control, kLineControlEnable);
  EXPECT_EQ(read.rts_control, kLineControlDisable);
  const int rts = TIOCM_RTS;
  LineSettingsFromTermios(&t, &rts, &read);
  EXPECT_EQ(read.dtr_control, kLineControlDisable);
  EXPECT_EQ(read.rts_control, kLineControlEnable);
  LineSettingsFromTermios(&t, nullptr, &read);
  EXPECT_EQ(read.dtr_control, kLineControlDisable);
  EXPECT_EQ(read.rts_control, kLineControlDisable);
  t.c_cflag |= CRTSCTS;
  LineSettingsFromTermios(&t, &rts, &read);
  EXPECT_EQ(read.rts_control, 2);  // handshake
  EXPECT_TRUE(read.out_cts_flow);
  // An unknown speed reads as 0.
  cfsetspeed(&t, B0);
  LineSettingsFromTermios(&t, nullptr, &read);
  EXPECT_EQ(read.baud_rate, 0u);
}

// A pty keeps the speed, the stop bits and the flow control it is given
// (it forces 8 data bits and no parity): check those on the real thing.
class PtyLineTest : public SerialPortTest, public testing::WithParamInterface<LineCase> {};

TEST_P(PtyLineTest, ThePtyHoldsWhatWasApplied) {
  const LineCase& c = GetParam();
  port_ = PlatformPortOpen(slave_path_.c_str());
  ASSERT_TRUE(PortIsOpen(port_));
  PortLineSettings line;
  ASSERT_TRUE(PlatformPortGetLineSettings(port_, &line));
  struct termios native;
  memcpy(&native, line.native, sizeof native);
  line = SettingsFor(c, native);
  ASSERT_TRUE(PlatformPortSetLineSettings(port_, &line)) << "errno " << PlatformLastError();

  PortLineSettings read;
  ASSERT_TRUE(PlatformPortGetLineSettings(port_, &read));
  EXPECT_EQ(read.baud_rate, c.baud_rate);
  EXPECT_EQ(read.stop_bits, c.stop_bits);
  EXPECT_EQ(read.out_cts_flow, c.out_cts_flow);
  EXPECT_EQ(read.out_xon, c.out_xon);
  EXPECT_EQ(read.in_xon, c.in_xon);
  struct termios t;
  memcpy(&t, read.native, sizeof t);
  EXPECT_EQ(cfgetospeed(&t), c.speed);
  EXPECT_EQ(t.c_cflag & kLineBits, c.cflag);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iflag);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
}

const LineCase kPtyCases[] = {
    {"driver_8N1_19200", 19200, 8, 0, 0, false, 0, false, false, B19200, CS8, 0},
    {"two_stop_bits_xon", 115200, 8, 0, 2, false, 0, true, true, B115200, CS8 | CSTOPB,
     IXON | IXOFF},
    {"cts_flow_300", 300, 8, 0, 0, true, 0, false, true, B300, CS8 | CRTSCTS, IXOFF},
};

INSTANTIATE_TEST_SUITE_P(Table, PtyLineTest, testing::ValuesIn(kPtyCases),
                         [](const testing::TestParamInfo<LineCase>& info) {
                           return std::string(info.param.what);
                         });

struct RefusedCase {
  const char* what;
  uint32_t baud_rate;
  uint8_t data_bits;
  uint8_t parity;
  uint8_t stop_bits;
  bool out_dsr_flow;
  uint8_t dtr_control;
};

class RefusedSettingsTest : public SerialPortTest,
                            public testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedSettingsTest, FailWithEinvalAndLeaveTheLineAsItWas) {
  const RefusedCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(OpenAsDriver(19200, 1, 1000));
  PortLineSettings line;
  ASSERT_TRUE(PlatformPortGetLineSettings(port_, &line));
  line.baud_rate = c.baud_rate;
  line.data_bits = c.data_bits;
  line.parity = c.parity;
  line.stop_bits = c.stop_bits;
  line.out_dsr_flow = c.out_dsr_flow;
  line.dtr_control = c.dtr_control;
  EXPECT_FALSE(PlatformPortSetLineSettings(port_, &line)) << c.what;
  EXPECT_EQ(PlatformLastError(), static_cast<uint32_t>(EINVAL)) << c.what;
  PortLineSettings after;
  ASSERT_TRUE(PlatformPortGetLineSettings(port_, &after));
  EXPECT_EQ(after.baud_rate, 19200u) << c.what;
  EXPECT_EQ(after.data_bits, 8) << c.what;
  EXPECT_EQ(after.parity, kParityNone) << c.what;
  EXPECT_EQ(after.stop_bits, kOneStopBit) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, RefusedSettingsTest,
                         testing::Values(RefusedCase{"rate 0", 0, 7, 2, 0, false, 0},
                                         RefusedCase{"rate 12345", 12345, 7, 2, 0, false, 0},
                                         RefusedCase{"rate 250000", 250000, 8, 0, 0, false, 0},
                                         RefusedCase{"4 data bits", 9600, 4, 0, 0, false, 0},
                                         RefusedCase{"9 data bits", 9600, 9, 0, 0, false, 0},
                                         RefusedCase{"parity 5", 9600, 8, 5, 0, false, 0},
                                         RefusedCase{"1.5 stop bits at 8", 9600, 8, 0, 1, false, 0},
                                         RefusedCase{"2 stop bits at 5", 9600, 5, 0, 2, false, 0},
                                         RefusedCase{"stop bits 3", 9600, 8, 0, 3, false, 0},
                                         RefusedCase{"DSR flow", 9600, 8, 0, 0, true, 0},
                                         RefusedCase{"DTR handshake", 9600, 8, 0, 0, false, 2}),
                         test_names::ByWhat());

TEST_F(SerialPortTest, TheOpenIsExclusiveUntilClosed) {
  port_ = PlatformPortOpen(slave_path_.c_str());
  ASSERT_TRUE(PortIsOpen(port_));
  EXPECT_NE(port_, kNoPort);
  EXPECT_NE(port_, kInvalidPort);
  EXPECT_EQ(PlatformPortOpen(slave_path_.c_str()), kInvalidPort);
  EXPECT_EQ(PlatformLastError(), static_cast<uint32_t>(EBUSY));
  ASSERT_TRUE(PlatformPortClose(port_));
  port_ = PlatformPortOpen(slave_path_.c_str());
  EXPECT_TRUE(PortIsOpen(port_)) << "errno " << PlatformLastError();
}

TEST_F(SerialPortTest, ClosingLiftsTheExclusiveFlagForOtherUsers) {
  // The flag stays on the pty while its master is open; an unprivileged user
  // would be refused the next open if closing left it set.
  if (geteuid() != 0) GTEST_SKIP() << "needs a second user: run as root";
  ASSERT_EQ(chmod(slave_path_.c_str(), 0666), 0);
  port_ = PlatformPortOpen(slave_path_.c_str());
  ASSERT_TRUE(PortIsOpen(port_));
  const std::string path = slave_path_;
  // Kept out while it is open: our own open (flock) and a plain one (TIOCEXCL).
  auto kept_out = [&] {
    test_files::DropRoot();
    if (PortIsOpen(PlatformPortOpen(path.c_str()))) _exit(1);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd < 0 && errno == EBUSY ? 0 : 2);
  };
  EXPECT_EXIT(kept_out(), testing::ExitedWithCode(0), "");
  ASSERT_TRUE(PlatformPortClose(port_));
  port_ = kNoPort;
  auto let_in = [&] {
    test_files::DropRoot();
    const PortHandle port = PlatformPortOpen(path.c_str());
    _exit(PortIsOpen(port) && PlatformPortClose(port) ? 0 : 1);
  };
  EXPECT_EXIT(let_in(), testing::ExitedWithCode(0), "");
}

TEST_F(SerialPortTest, TimeoutsAreKeptPerHandle) {
  port_ = PlatformPortOpen(slave_path_.c_str());
  ASSERT_TRUE(PortIsOpen(port_));
  const PortTimeouts set = {1, 2, 3, 4, 5};
  ASSERT_TRUE(PlatformPortSetTimeouts(port_, &set));
  PortTimeouts got = {};
  ASSERT_TRUE(PlatformPortGetTimeouts(port_, &got));
  EXPECT_EQ(got.read_interval, 1u);
  EXPECT_EQ(got.read_total_multiplier, 2u);
  EXPECT_EQ(got.read_total_constant, 3u);
  EXPECT_EQ(got.write_total_multiplier, 4u);
  EXPECT_EQ(got.write_total_constant, 5u);
  // A fresh open starts with none.
  ASSERT_TRUE(PlatformPortClose(port_));
  port_ = PlatformPortOpen(slave_path_.c_str());
  ASSERT_TRUE(PortIsOpen(port_));
  ASSERT_TRUE(PlatformPortGetTimeouts(port_, &got));
  EXPECT_EQ(got.write_total_multiplier, 0u);
  EXPECT_EQ(got.write_total_constant, 0u);
}

TEST(SerialPort, OpensOnlyExistingDevices) {
  const std::string dir = test_files::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string missing = dir + "/ttyMissing0";
  EXPECT_EQ(PlatformPortOpen(missing.c_str()), kInvalidPort);
  EXPECT_EQ(PlatformLastError(), static_cast<uint32_t>(ENOENT));
  EXPECT_FALSE(test_files::Exists(missing));
  test_files::RemoveTree(dir);
}

TEST(SerialPort, APlainFileOpensButHasNoLineSettings) {
  const std::string dir = test_files::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string path = dir + "/not-a-port";
  test_files::WriteFile(path, "");
  const PortHandle port = PlatformPortOpen(path.c_str());
  ASSERT_TRUE(PortIsOpen(port));
  PortLineSettings line;
  EXPECT_FALSE(PlatformPortGetLineSettings(port, &line));
  EXPECT_EQ(PlatformLastError(), static_cast<uint32_t>(ENOTTY));
  EXPECT_TRUE(PlatformPortClose(port));
  test_files::RemoveTree(dir);
}

TEST(SerialPort, HandlesThatAreNotOpenAreRefused) {
  const PortHandle handles[] = {kNoPort, kInvalidPort, 4242};
  for (PortHandle port : handles) {
    PortTimeouts timeouts = {};
    PortLineSettings line;
    const uint8_t byte = 0xB0;
    uint32_t written = 7;
    EXPECT_FALSE(PlatformPortSetupQueues(port, 4096, 4096)) << port;
    EXPECT_FALSE(PlatformPortGetLineSettings(port, &line)) << port;
    EXPECT_FALSE(PlatformPortSetTimeouts(port, &timeouts)) << port;
    EXPECT_FALSE(PlatformPortGetTimeouts(port, &timeouts)) << port;
    EXPECT_FALSE(PlatformPortPurge(port, kPurgeTransmit)) << port;
    EXPECT_FALSE(PlatformPortLine(port, kSetDtr)) << port;
    EXPECT_FALSE(PlatformPortWrite(port, &byte, 1, &written)) << port;
    EXPECT_EQ(written, 0u) << port;
    EXPECT_FALSE(PlatformPortClose(port)) << port;
    EXPECT_EQ(PlatformLastError(), static_cast<uint32_t>(EBADF)) << port;
  }
}

}  // namespace
