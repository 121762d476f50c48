// End to end: korvex-host runs a scenario script under Wine and drives the
// real Korvex.dll of the same build (win64, and as i686.e2e the deliverable
// i686 one); the driver writes to COM5, which the prefix maps to a pty the
// test opened; what arrives on the master side goes through the board's
// decoder, and the decoded commands must be exactly the scenario's, kind,
// operands and payload, up to the closing commands of LCD_CleanUp.
//
// Without Wine the tests skip, except under CI=true, where they fail.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/driver_state.h"
#include "core/exports.h"
#include "platform/recording/recording.h"
#include "tests/wine/expected_commands.h"
#include "tests/wine/pty_line.h"
#include "tests/wine/wine_run.h"
#include "tools/board/decoder.h"

namespace {

using namespace wine_run;
using board::Command;
using board::CommandKind;
using board::Controller;
using board::DisplayConfig;

using namespace expected_commands;

using pty_line::PtyReader;
using pty_line::StartReading;
using pty_line::StopReading;

const std::string kPrefix = KORVEX_WINE_PREFIX;
const std::string kScenarios = KORVEX_E2E_SCENARIOS;
const std::string kWork = KORVEX_E2E_WORK;

// ----------------------------------------------------------- the expectation

// A shorter way to write the expectations.
Expected OutPort(uint8_t port, uint8_t v) { return {CommandKind::SetOutPort, {port, v}, {}}; }
Expected Cursor(uint8_t column, uint8_t row) {
  return {CommandKind::SetTextCursor, {column, row}, {}};
}
Expected Char(uint8_t code) { return {CommandKind::Character, {code}, {}}; }
Expected Cgram(uint8_t pos, const Bytes& rows) { return {CommandKind::SetCGRAMChar, {pos}, rows}; }
Expected Single(uint8_t x, uint8_t y, uint8_t b) { return {CommandKind::SetGfxSingle, {x, y}, {b}}; }
Expected Multi(uint8_t x, uint8_t y, const Bytes& row) {
  return {CommandKind::SetGfxMulti, {x, y, static_cast<uint8_t>(row.size())}, row};
}
Expected Bitmap(uint8_t x, uint8_t y, uint8_t width_bytes, uint8_t height, const Bytes& pixels) {
  return {CommandKind::SetBitmap, {x, y, width_bytes, height}, pixels};
}

// A KS108 payload of `bands` bands of `columns` column bytes, all clear but
// the ones given as {band, column, byte}.
struct ColumnByte {
  int band, column;
  uint8_t value;
};
Bytes Columns(int bands, int columns, const std::vector<ColumnByte>& set) {
  Bytes payload(static_cast<size_t>(bands * columns), 0);
  for (const ColumnByte& c : set) payload[static_cast<size_t>(c.band * columns + c.column)] = c.value;
  return payload;
}

struct Scenario {
  const char* name;    // the test's name and the script tests/e2e/scenarios/NAME.txt
  const char* config;  // config.ini in the host's folder before the run
  DisplayConfig board;
  std::vector<Expected> expected;
};

// Test names are enough in gtest's messages.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

std::vector<Scenario> ScenarioCommands() {
  return {
      {"t6963_pitch6",
       "[Korvex]\r\nLCD_UseOutPorts=1\r\nGfxForceFlush=1\r\n",
       {Controller::T6963, 6, 240, 64},
       {
           Reset(),
           Light(200), Contrast(30), OutPort(0, 0x01), OutPort(2, 0xFF),
           Cursor(1, 1), Char('H'), Char('i'),
           Cursor(4, 2), Char('o'), Char('k'),
           Cgram(2, {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00}), Char(2),
           Light(0), Light(0),
           Light(200), Contrast(40), OutPort(1, 0x01),
           // Column 9 is the fourth of the byte of columns 6-11: bit 2.
           Single(6, 3, 0x04),
           Char('!'),
           // Columns 10-20 of row 5 in the bytes of columns 6-11, 12-17, 18-23.
           Multi(6, 5, {0x03, 0x3F, 0x38}),
           // Rows 2-7, columns 12-17 and 18-23: the diagonal, row 5 from the
           // fill, and column 23 in bit 0.
           Bitmap(12, 2, 2, 6,
                  {0x08, 0x00, 0x04, 0x00, 0x02, 0x00, 0x3F, 0x38, 0x00, 0x20, 0x00, 0x01}),
       }},
      {"t6963_pitch8",
       "[Korvex]\r\nLCD_FontPitch=8\r\nGfxForceFlush=1\r\n",
       {Controller::T6963, 8, 240, 64},
       {
           Reset(),
           Light(120), Contrast(60),
           Cursor(30, 8), Char('Z'),
           Cgram(7, {0x81, 0x42, 0x24, 0x18, 0x18, 0x24, 0x42, 0x81}), Char(7),
           // Column 9 is the second of the byte of columns 8-15: bit 6.
           Single(8, 3, 0x40),
           Multi(8, 5, {0x3F, 0xF8}),
           Bitmap(8, 2, 2, 6,
                  {0x02, 0x00, 0x40, 0x00, 0x00, 0x80, 0x3F, 0xF8, 0x00, 0x00, 0x00, 0x01}),
       }},
      {"ks108_20x12",
       "[Korvex]\r\nLCD_Controller=108\r\nGfxForceFlush=1\r\n",
       {Controller::KS108, 8, 20, 12},
       {
           Reset(),
           Light(255),
           Cursor(1, 1), Char('H'), Char('i'),
           Cgram(0, {0xFF, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0xFF}), Char(0),
           // Header width 20 / 8 = 2; two bands of 20 columns, top pixel in
           // bit 0; rows 12-15 of the second band lie past the picture.
           Bitmap(0, 0, 2, 12,
                  Columns(2, 20, {{0, 0, 0x01}, {0, 3, 0x80}, {1, 5, 0x08}, {1, 19, 0x01}})),
           Bitmap(0, 0, 2, 12,
                  Columns(2, 20,
                          {{0, 3, 0x80}, {0, 10, 0xFF}, {0, 11, 0xFF}, {1, 5, 0x08},
                           {1, 10, 0x0F}, {1, 11, 0x0F}, {1, 19, 0x01}})),
       }},
      {"ks108_128x64",
       "[Korvex]\r\nLCD_Controller=108\r\nGfxForceFlush=1\r\n",
       {Controller::KS108, 8, 128, 64},
       {
           Reset(),
           Contrast(90),
           Bitmap(0, 0, 16, 64, Columns(8, 128, {{0, 0, 0x01}, {7, 127, 0x80}})),
       }},
  };
}

// Every scenario ends with LCD_CleanUp: the reset, contrast 0 and light 0
// must reach the board too.
std::vector<Scenario> Scenarios() {
  std::vector<Scenario> scenarios = ScenarioCommands();
  for (Scenario& s : scenarios) {
    s.expected.push_back(Reset());
    s.expected.push_back(Contrast(0));
    s.expected.push_back(Light(0));
  }
  return scenarios;
}

// ------------------------------------------------------------------ fixture

// The board's end of the line: a raw pty whose slave is COM5.
class WineLine {
 protected:
  // Skips or, under CI, fails; true when the test may go on.
  bool Ready(const std::string& work) {
    skip_ = CannotRun(kPrefix, {"korvex-host.exe", "Korvex.dll"});
    if (!skip_.empty()) {
      if (FailUnderCi(skip_)) ADD_FAILURE() << "the end-to-end tests cannot run under CI: " << skip_;
      return false;
    }
    work_ = kWork + "/" + Arch() + "/" + work;
    EXPECT_TRUE(FreshFolder(work_));
    std::string why = pty_line::OpenRawPty(pty_);
    if (why.empty()) why = pty_line::LinkPort(kPrefix, "com5", pty_.name);
    EXPECT_EQ("", why);
    return why.empty();
  }

  void Release() {
    if (reader_.thread.joinable()) StopReading(reader_);
    pty_line::UnlinkPort(kPrefix, "com5");
    pty_line::ClosePty(pty_);
  }

  // korvex-host of the suite's build on its Korvex.dll, with `args`, in the
  // work folder, while the board's end is read.
  RunResult Host(const std::vector<std::string>& args, std::vector<Bytes>* chunks,
                 size_t bytes_per_second = 0) {
    std::vector<std::string> argv = {WinePath(), WinDir() + "/korvex-host.exe", "--dll",
                                     WindowsPath(WinDir() + "/Korvex.dll")};
    argv.insert(argv.end(), args.begin(), args.end());
    reader_.chunks.clear();
    reader_.total = 0;
    reader_.bytes_per_second = bytes_per_second;
    StartReading(reader_, pty_.master);
    RunResult run = RunInPrefix(kPrefix, argv, work_, 120);
    *chunks = StopReading(reader_);
    return run;
  }

  std::string work_;
  std::string skip_;
  pty_line::Pty pty_;
  PtyReader reader_;
};

class EndToEnd : public ::testing::TestWithParam<Scenario>, public WineLine {
 protected:
  void SetUp() override {
    if (!Ready(GetParam().name)) GTEST_SKIP() << skip_;
  }
  void TearDown() override { Release(); }
};

// The host's count of the bytes the driver should have written, from its
// report, or -1.
long ExpectedOnTheWire(const std::string& out) {
  size_t at = out.find("expected on the wire: ");
  if (at == std::string::npos) return -1;
  return strtol(out.c_str() + at + strlen("expected on the wire: "), nullptr, 10);
}

TEST_P(EndToEnd, DecodedCommandsAreTheScenarios) {
  const Scenario& scenario = GetParam();
  WriteFile(work_ + "/config.ini", scenario.config);
  std::string script = kScenarios + "/" + scenario.name + ".txt";
  ASSERT_TRUE(Exists(script)) << script;

  std::vector<Bytes> chunks;
  RunResult run = Host({"--script", WindowsPath(script), "--quiet"}, &chunks);
  ASSERT_EQ(0, run.status) << run.out << run.err;

  Decoded d = Decode(chunks, scenario.board);
  EXPECT_EQ(Describe(scenario.expected), Describe(d.commands));
  EXPECT_EQ(std::vector<std::string>{}, Anomalies(d));

  // The host's own count of what the driver should have written agrees.
  EXPECT_EQ((long)pty_line::Joined(chunks).size(), ExpectedOnTheWire(run.out)) << run.out;
}

// Under Wine the transmit purge of a pseudo-terminal would discard what the
// board has not read yet, at a close and at the open that follows it; the
// driver's platform layer makes none there. With a board that takes the
// bytes at the line's pace (a little faster, as a board with a UART does),
// every byte arrives, the closing commands last, run after run and close
// after close.
class WholeStream : public ::testing::Test, public WineLine {
 protected:
  void SetUp() override {
    if (!Ready(::testing::UnitTest::GetInstance()->current_test_info()->name()))
      GTEST_SKIP() << skip_;
  }
  void TearDown() override { Release(); }
};

TEST_F(WholeStream, ClosingBytesArriveInTwentyRunsInARow) {
  const std::vector<std::string> kClosing = Describe({Reset(), Contrast(0), Light(0)});
  const int kBaud = 921600;
  WriteFile(work_ + "/config.ini", "[Korvex]\r\nBaudRate=" + std::to_string(kBaud) + "\r\n");
  for (int run_number = 1; run_number <= 20; ++run_number) {
    std::vector<Bytes> chunks;
    RunResult run =
        Host({"--port", "COM5", "--demo", "all", "--quiet"}, &chunks, kBaud / 10 * 5 / 4);
    ASSERT_EQ(0, run.status) << run.out << run.err;
    ASSERT_EQ((long)pty_line::Joined(chunks).size(), ExpectedOnTheWire(run.out))
        << "run " << run_number;
    Decoded d = Decode(chunks);
    ASSERT_GE(d.commands.size(), 3u);
    std::vector<Command> last(d.commands.end() - 3, d.commands.end());
    ASSERT_EQ(kClosing, Describe(last)) << "run " << run_number;
    ASSERT_TRUE(d.anomalies.empty()) << "run " << run_number;
  }
}

// Three hundred closes in a row at 1,000,000 baud, each inside an LCD_Init
// (which runs the clean-up of the port it finds open, then opens it again):
// every closing reset, contrast 0 and light 0 arrives, and the text before it.
TEST_F(WholeStream, ClosingBytesArriveInThreeHundredClosesAtOneMegabaud) {
  const int kBaud = 1000000;
  const int kCloses = 300;
  WriteFile(work_ + "/config.ini", "[Korvex]\r\nBaudRate=" + std::to_string(kBaud) + "\r\n");
  std::string script = "io COM5 240 64 1 0 0 0\ninit\n";
  std::vector<Expected> expected = {Reset()};
  const std::vector<Expected> closing = {Reset(), Contrast(0), Light(0)};
  for (int i = 0; i < kCloses; ++i) {
    char text[48];
    snprintf(text, sizeof text, "Close %03d of three hundred at one megabaud", i);
    script += std::string("text 0 0 ") + text + "\n" + (i + 1 < kCloses ? "init\n" : "cleanup\n");
    expected.push_back({CommandKind::SetTextCursor, {1, 1}, {}});
    for (const char* p = text; *p; ++p) expected.push_back({CommandKind::Character, {(uint8_t)*p}, {}});
    expected.insert(expected.end(), closing.begin(), closing.end());
    if (i + 1 < kCloses) expected.push_back(Reset());
  }
  WriteFile(work_ + "/closes.txt", script);
  std::vector<Bytes> chunks;
  // A board slower than the host: more bytes wait in the pty than its
  // reading side holds while the port closes and opens again.
  RunResult run =
      Host({"--script", WindowsPath(work_ + "/closes.txt"), "--quiet"}, &chunks, 3000);
  ASSERT_EQ(0, run.status) << run.out << run.err;
  Decoded d = Decode(chunks);
  EXPECT_EQ(std::vector<std::string>{}, Anomalies(d));
  size_t closes = 0;
  for (size_t i = 0; i + 2 < d.commands.size(); ++i) {
    const std::vector<Command> three(d.commands.begin() + (long)i, d.commands.begin() + (long)i + 3);
    if (Describe(three) == Describe(closing)) ++closes;
  }
  printf("%zu of %d closes arrived whole, %zu bytes in all\n", closes, kCloses,
         pty_line::Joined(chunks).size());
  EXPECT_EQ((size_t)kCloses, closes);
  EXPECT_EQ(Describe(expected), Describe(d.commands));
}

// A script's "flush": the text the driver holds reaches the board before
// the script goes on, with nothing else (the graphics call it makes, on the
// picture's clear top left byte, changes nothing with GfxChangesOnly=1). The
// script starts the driver itself and never stops it, so nothing else
// empties the buffers. And the report counts a whole frame with a 4096-byte
// buffer as one transfer of ten port writes: the driver writes at most 280
// bytes at a time at 19200 baud (strace counts 1, 4, 9 x 280 and 45 bytes).
TEST_F(WholeStream, FlushSendsTheHeldTextAndTheReportCountsPortWrites) {
  WriteFile(work_ + "/config.ini",
            "[Korvex]\r\nBaudRate=19200\r\nGfxBufferSize=4096\r\nGfxForceFlush=1\r\n"
            "GfxChangesOnly=1\r\n");
  WriteFile(work_ + "/flush.txt", "io COM5 240 64 1 0 0 0\ninit\ntext 0 0 Held\nflush\n");
  std::vector<Bytes> chunks;
  RunResult run = Host({"--script", WindowsPath(work_ + "/flush.txt"), "--quiet"}, &chunks);
  ASSERT_EQ(0, run.status) << run.out << run.err;
  EXPECT_EQ(Describe({Reset(), Cursor(1, 1), Char('H'), Char('e'), Char('l'), Char('d')}),
            Describe(Decode(chunks).commands));
  EXPECT_NE(std::string::npos,
            run.out.find("expected on the wire: 8 bytes in 2 transfers (2 port writes of up to "
                         "280 bytes), 0.0 s at 19200 baud, 0 left in the driver's buffers"))
      << run.out;

  WriteFile(work_ + "/frame.txt",
            "io COM5 240 64 1 0 0 0\ninit\nfill 0 0 239 63 1\nframe\n");
  run = Host({"--script", WindowsPath(work_ + "/frame.txt"), "--quiet"}, &chunks);
  ASSERT_EQ(0, run.status) << run.out << run.err;
  EXPECT_EQ(2566, (long)pty_line::Joined(chunks).size());
  EXPECT_NE(std::string::npos,
            run.out.find("expected on the wire: 2566 bytes in 2 transfers (11 port writes of up "
                         "to 280 bytes)"))
      << run.out;
}

// A board that talks back: it keeps sending bytes into the port, which the
// driver never reads, while the frames go out. The stream arrives whole.
TEST_F(WholeStream, ArrivesWhileTheBoardTalksBack) {
  WriteFile(work_ + "/config.ini", "[Korvex]\r\nBaudRate=921600\r\n");
  // The board's writes must not wait for a receive side nobody reads.
  fcntl(pty_.master, F_SETFL, fcntl(pty_.master, F_GETFL) | O_NONBLOCK);
  std::atomic<bool> talking{true};
  std::atomic<size_t> sent{0};
  // Fast enough to fill the driver's 4096-byte receive queue within the run,
  // which no longer waits at its close.
  std::thread board([&] {
    const uint8_t noise[512] = {0x55, 0xAA, 0xFF, 0x00};
    while (talking) {
      ssize_t n = write(pty_.master, noise, sizeof noise);
      if (n > 0) sent += (size_t)n;
      usleep(2000);
    }
  });
  std::vector<Bytes> chunks;
  RunResult run =
      Host({"--port", "COM5", "--demo", "graphics", "--frames", "40", "--quiet"}, &chunks);
  talking = false;
  board.join();
  ASSERT_EQ(0, run.status) << run.out << run.err;
  EXPECT_GT(sent.load(), 4096u) << "the board did not fill the receive side";
  const size_t received = pty_line::Joined(chunks).size();
  printf("the board sent %zu bytes; %zu came from the driver\n", sent.load(), received);
  EXPECT_EQ((long)received, ExpectedOnTheWire(run.out));
  Decoded d = Decode(chunks);
  EXPECT_TRUE(d.anomalies.empty());
  ASSERT_GE(d.commands.size(), 4u);
  EXPECT_EQ(Describe({Reset()}),
            Describe(std::vector<Command>(d.commands.begin(), d.commands.begin() + 1)));
  EXPECT_EQ(Describe({Reset(), Contrast(0), Light(0)}),
            Describe(std::vector<Command>(d.commands.end() - 3, d.commands.end())));
}

// The same scenario table against the native build of the same sources on the
// recording platform: a small runner for the script commands the scenarios
// use, the host's steps for each, and the bytes the platform recorded.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

uint32_t Number(const std::string& text) { return (uint32_t)strtoul(text.c_str(), nullptr, 0); }

// The text after the first `skip` words of a line.
std::string Rest(const std::string& line, int skip) {
  size_t at = 0;
  for (int i = 0; i < skip; ++i) {
    at = line.find_first_not_of(' ', at);
    at = line.find(' ', at);
    if (at == std::string::npos) return "";
  }
  return line.substr(at + 1);
}

Bytes RunNative(const Scenario& scenario, const std::string& script_path) {
  RecReset();
  ResetDriverState();
  std::istringstream config(scenario.config);
  for (std::string line; std::getline(config, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq != std::string::npos) Rec().profile[line.substr(0, eq)] = line.substr(eq + 1);
  }
  std::ifstream script(script_path);
  int32_t width = 0, height = 0;
  std::vector<uint8_t> picture;
  for (std::string line; std::getline(script, line);) {
    std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#') continue;
    const std::string& op = w[0];
    if (op == "io") {
      int32_t new_width = (int32_t)Number(w[2]), new_height = (int32_t)Number(w[3]);
      if (new_width != width || new_height != height) {
        width = new_width;
        height = new_height;
        picture.assign((size_t)width * height, 0);
      }
      LCD_SetIOPropertys(w[1].c_str(), 0, 0, 0, 0, width, height, Number(w[4]), Number(w[5]), 0,
                         Number(w[6]), Number(w[7]), 0, 0);
    } else if (op == "init") {
      LCD_Init();
    } else if (op == "cleanup") {
      LCD_CleanUp();
    } else if (op == "cursor") {
      LCD_SetOutputAddress((int32_t)Number(w[1]), (int32_t)Number(w[2]));
    } else if (op == "print") {
      for (char c : Rest(line, 1)) LCD_SendToMemory((uint8_t)c);
    } else if (op == "text") {
      LCD_SetOutputAddress((int32_t)Number(w[1]), (int32_t)Number(w[2]));
      for (char c : Rest(line, 3)) LCD_SendToMemory((uint8_t)c);
    } else if (op == "char") {
      for (size_t i = 1; i < w.size(); ++i) LCD_SendToMemory(Number(w[i]));
    } else if (op == "cgram") {
      CgramCharRecord record = {};
      record.position = (uint8_t)Number(w[1]);
      const int pitch = g_state.font_pitch;
      for (int row = 0; row < 8; ++row) {
        uint32_t bits = Number(w[2 + row]);
        for (int column = 0; column < pitch; ++column)
          record.matrix[8 * column + row] = (uint8_t)((bits >> (pitch - 1 - column)) & 1);
      }
      LCD_SetCGRAMChar(record);
    } else if (op == "pixel") {
      picture.at(Number(w[2]) * (size_t)width + Number(w[1])) = (uint8_t)Number(w[3]);
    } else if (op == "fill") {
      for (uint32_t y = Number(w[2]); y <= Number(w[4]); ++y)
        for (uint32_t x = Number(w[1]); x <= Number(w[3]); ++x)
          picture.at(y * (size_t)width + x) = (uint8_t)Number(w[5]);
    } else if (op == "rect") {
      LCD_SendToGfxMemory(picture.data(), Number(w[1]), Number(w[2]), Number(w[3]), Number(w[4]),
                          0);
    } else if (op == "frame") {
      LCD_SendToGfxMemory(picture.data(), 0, 0, (uint32_t)width - 1, (uint32_t)height - 1, 0);
    } else {
      ADD_FAILURE() << "the native runner does not know: " << line;
    }
  }
  Bytes wire = RecWire();
  ResetDriverState();
  return wire;
}

class SameOnNative : public ::testing::TestWithParam<Scenario> {};

TEST_P(SameOnNative, NativeBuildSendsTheSameCommands) {
  const Scenario& scenario = GetParam();
  Decoded d = Decode({RunNative(scenario, kScenarios + "/" + scenario.name + ".txt")},
                     scenario.board);
  EXPECT_EQ(Describe(scenario.expected), Describe(d.commands));
  EXPECT_TRUE(d.anomalies.empty());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, SameOnNative, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.name);
                         });

INSTANTIATE_TEST_SUITE_P(Scenarios, EndToEnd, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

int main(int argc, char** argv) {
  SelectBuild(&argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
