// The Win32 layer for real: a Korvex.dll (through korvex-wine-probe) and the
// Win32 platform layer on its own (korvex-platform-probe) run under Wine, the
// win64 build under 64-bit Wine and, as the i686.wine suite, the deliverable
// i686 build under 32-bit Wine. COM7 and COM12 of the build tree's prefix
// lead to a pty of this test, so every byte the real WriteFile sends is read
// back from the master; config.ini and debug.log are the files the real
// Win32 and C runtime calls leave in the probe's current directory.
//
// Without Wine the tests skip, except under CI=true, where they fail.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/wine/pty_line.h"
#include "tests/wine/wine_run.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// ------------------------------------------------------------------ helpers

using namespace wine_run;

const std::string kPrefix = KORVEX_WINE_PREFIX;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The lines that begin with `tag` followed by a space.
std::vector<std::string> Tagged(const std::vector<std::string>& lines, const std::string& tag) {
  std::vector<std::string> found;
  for (const std::string& line : lines)
    if (line.compare(0, tag.size() + 1, tag + " ") == 0) found.push_back(line);
  return found;
}

Bytes Hex(const std::string& text) {
  Bytes bytes;
  std::istringstream in(text);
  std::string pair;
  while (in >> pair) bytes.push_back(static_cast<unsigned char>(std::stoul(pair, nullptr, 16)));
  return bytes;
}

std::string ToHex(const Bytes& bytes) {
  std::string text;
  char pair[4];
  for (unsigned char b : bytes) {
    snprintf(pair, sizeof pair, "%s%02X", text.empty() ? "" : " ", b);
    text += pair;
  }
  return text;
}

// A port name as part of a test name: "\\.\COM12" becomes "DeviceCOM12",
// "COM12:" "COM12Colon".
std::string TestName(const std::string& port) {
  std::string name = port.compare(0, 4, "\\\\.\\") == 0 ? "Device" : "";
  for (char c : port) {
    if (isalnum(static_cast<unsigned char>(c))) name += c;
    if (c == ':') name += "Colon";
  }
  return name;
}

RunResult RunBounded(const std::vector<std::string>& argv, const std::string& cwd, int timeout) {
  return RunInPrefix(kPrefix, argv, cwd, timeout);
}

// ------------------------------------------------------------------ fixture

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = CannotRun(kPrefix, {});
    if (!why.empty()) {
      if (FailUnderCi(why)) FAIL() << "the Wine tests cannot run under CI: " << why;
      GTEST_SKIP() << why;
    }
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
      if (c == '/') c = '_';
    work_ = std::string(KORVEX_WINE_WORK) + "/" + Arch() + "/" + name;
    ASSERT_TRUE(FreshFolder(work_));

    // The board's end of the line: a raw pty, its slave behind COM7 and COM12.
    ASSERT_EQ("", pty_line::OpenRawPty(pty_));
    for (const char* com : {"com7", "com12"}) ASSERT_EQ("", pty_line::LinkPort(kPrefix, com, pty_.name));
    // COM9 is the port that is not there.
    pty_line::UnlinkPort(kPrefix, "com9");
  }

  void TearDown() override {
    for (const char* com : {"com7", "com12"}) pty_line::UnlinkPort(kPrefix, com);
    pty_line::ClosePty(pty_);
  }

  // Skips (or, under CI, fails) when a program of the build is missing.
  bool Need(const std::string& file) {
    std::string reason = CannotRun(kPrefix, {file});
    if (reason.empty()) return true;
    if (FailUnderCi(reason)) {
      ADD_FAILURE() << reason;
    } else {
      skip_reason_ = reason;
    }
    return false;
  }

  // Runs the DLL probe on the build's Korvex.dll in this test's folder (or
  // in `cwd`, with `env`).
  RunResult Driver(const std::vector<std::string>& args, const std::string& cwd = "",
                   const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {WinePath(), WinDir() + "/korvex-wine-probe.exe",
                                     WindowsPath(WinDir() + "/Korvex.dll")};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = RunInPrefix(kPrefix, argv, cwd.empty() ? work_ : cwd, 60, env);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    return r;
  }

  RunResult Platform(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {WinePath(), WinDir() + "/korvex-platform-probe.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = RunBounded(argv, work_, 60);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    return r;
  }

  // Everything that reached the board's end so far. The writer has exited by
  // now; the wait only lets the pty hand over what it still holds.
  Bytes Wire() { return pty_line::Drain(pty_.master, 500); }

  std::string File(const char* name) { return ReadFile(work_ + "/" + name); }
  void Preset(const char* name, const std::string& content) {
    WriteFile(work_ + "/" + name, content);
  }

  std::string work_;
  std::string skip_reason_;
  pty_line::Pty pty_;
};

// Leaves the test when a program of the build is missing.
#define NEED(file)                                             \
  do {                                                         \
    if (!Need(file)) {                                         \
      if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_; \
      return;                                                  \
    }                                                          \
  } while (0)

const char kDefaultIni[] =
    "[Korvex]\r\n"
    "BaudRate=19200\r\n"
    "TextBufferSize=16\r\n"
    "GfxBufferSize=64\r\n"
    "GfxForceFlush=0\r\n"
    "LCD_FontPitch=6\r\n"
    "LCD_UseOutPorts=0\r\n"
    "LCD_Controller=6963\r\n"
    "LogFile=0\r\n";

const char kCreateFileFlags[] =
    " access=0xC0000000 share=0 security=none disposition=3 flags=0x0 template=none";

// ------------------------------------------------------ the Win32 layer alone

TEST_F(WineTest, PlatformSerialPortCallsSucceedAndBytesArriveUnchanged) {
  NEED("korvex-platform-probe.exe");
  // Line feed and carriage return must pass untranslated: the line is raw.
  RunResult r = Platform({"serial", "COM7", "19200", "B00A0D41FF00"});
  std::vector<std::string> expected = {
      "open ok", "queues ok", "getstate ok", "setstate ok", "getstate-again ok",
      // Wine reports DTR and RTS control as enabled and does not keep
      // abort-on-error, whatever was applied.
      "state baud=19200 bits=8 parity=0 stop=0 cts=0 dsr=0 dtr=1 rts=1 outx=0 inx=0 abort=0",
      "gettimeouts ok", "settimeouts ok", "gettimeouts-again ok", "timeouts 1000 1000 1000 2 1000",
      "purge-rx ok", "purge-tx ok",
      // A pty has no modem lines: Wine answers ERROR_NOT_SUPPORTED.
      "setdtr fail error=50", "setrts fail error=50", "write ok", "written 6 of 6", "purge-rx ok",
      "clrdtr fail error=50", "clrrts fail error=50", "close ok"};
  EXPECT_EQ(expected, Lines(r.out));
  EXPECT_EQ(Hex("B0 0A 0D 41 FF 00"), Wire());
}

struct OpenCase {
  const char* port;
  const char* result;
};

class WinePlatformOpen : public WineTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(WinePlatformOpen, OpensThroughTheDeviceNamespace) {
  NEED("korvex-platform-probe.exe");
  RunResult r = Platform({"open", GetParam().port});
  EXPECT_EQ(std::vector<std::string>{GetParam().result}, Lines(r.out));
}

INSTANTIATE_TEST_SUITE_P(Ports, WinePlatformOpen,
                         ::testing::Values(OpenCase{"COM7", "open ok"},
                                           OpenCase{"COM12", "open ok"},
                                           OpenCase{"\\\\.\\COM12", "open ok"},
                                           OpenCase{"COM12:", "open ok"},
                                           // A device that is not there: ERROR_FILE_NOT_FOUND.
                                           OpenCase{"COM9", "open fail handle=-1 error=2"}),
                         [](const ::testing::TestParamInfo<OpenCase>& info) {
                           return TestName(info.param.port);
                         });

TEST_F(WineTest, PlatformProfileWritesAndReadsTheDriversKeys) {
  NEED("korvex-platform-probe.exe");
  std::string path = WindowsPath(work_ + "/config.ini");
  RunResult r = Platform({"profile", path});
  std::vector<std::string> lines = Lines(r.out);
  // The fallback -7 of a missing key comes back as its low 32 bits.
  EXPECT_EQ(8u, Tagged(lines, "read-missing").size());
  for (const std::string& line : Tagged(lines, "read-missing"))
    EXPECT_EQ("4294967289", line.substr(line.rfind(' ') + 1)) << line;
  std::vector<std::string> read = {"read BaudRate 19200",      "read TextBufferSize 16",
                                   "read GfxBufferSize 64",    "read GfxForceFlush 0",
                                   "read LCD_FontPitch 6",     "read LCD_UseOutPorts 0",
                                   "read LCD_Controller 6963", "read LogFile 0"};
  EXPECT_EQ(read, Tagged(lines, "read"));
  // The reader's own rule, which the POSIX layer follows.
  std::vector<std::string> odd = {"read-odd '-1' 4294967295", "read-odd '12abc' 12",
                                  "read-odd '0x1F' 31",       "read-odd '  42' 42",
                                  "read-odd '' 99",           "read-odd 'abc' 0"};
  EXPECT_EQ(odd, Tagged(lines, "read-odd"));
  EXPECT_EQ(std::string(kDefaultIni) + "[Odd]\r\nKey=abc\r\n", File("config.ini"));
}

TEST_F(WineTest, PlatformTraceAppendsInTextMode) {
  NEED("korvex-platform-probe.exe");
  std::string path = WindowsPath(work_ + "/debug.log");
  Platform({"trace", path, "\\nfirst\\n"});
  Platform({"trace", path, "second\\n"});
  EXPECT_EQ("\r\nfirst\r\nsecond\r\n", File("debug.log"));
}

// Four threads write while a fifth closes and reopens the stream: the program
// survives, and every line that arrives is whole (one written while the slot
// was closed is dropped).
TEST_F(WineTest, PlatformTraceLockKeepsWritesOffAClosingStream) {
  NEED("korvex-platform-probe.exe");
  const int kLines = 2000;
  RunResult r = Platform({"trace-threads", WindowsPath(work_ + "/debug.log"), std::to_string(kLines)});
  EXPECT_EQ(std::vector<std::string>{"trace-threads ok reopened=yes"}, Lines(r.out));
  std::map<std::string, int> counts;
  std::istringstream log(File("debug.log"));
  for (std::string line; std::getline(log, line);) ++counts[line];
  ASSERT_EQ(4u, counts.size()) << File("debug.log").substr(0, 400);
  for (int t = 0; t < 4; ++t) {
    const int count = counts["writer " + std::to_string(t) + "\r"];
    EXPECT_GT(count, 0) << t;
    EXPECT_LE(count, kLines) << t;
  }
}

TEST_F(WineTest, PlatformClockIsGetTickCountExtended) {
  NEED("korvex-platform-probe.exe");
  RunResult r = Platform({"clock"});
  EXPECT_EQ((std::vector<std::string>{"clock-first ok", "clock-sleep ok"}), Lines(r.out));
}

TEST_F(WineTest, PlatformCurrentDirectoryFitsOrIsEmpty) {
  NEED("korvex-platform-probe.exe");
  RunResult r = Platform({"cwd"});
  std::vector<std::string> expected = {"cwd ok " + WindowsPath(work_), "cwd-tiny fail len=0"};
  EXPECT_EQ(expected, Lines(r.out));
}

TEST_F(WineTest, PlatformMessageBoxHasNoOwnerAndOnlyOk) {
  NEED("korvex-platform-probe.exe");
  RunResult r = Platform({"messagebox", "port trouble", "-"});
  std::vector<std::string> expected = {
      "MESSAGEBOX owner=none type=0x0 caption=(null) text=port trouble", "result 1"};
  EXPECT_EQ(expected, Lines(r.out));
  r = Platform({"messagebox", "values", "Settings"});
  expected = {"MESSAGEBOX owner=none type=0x0 caption=Settings text=values", "result 1"};
  EXPECT_EQ(expected, Lines(r.out));
}

// ---------------------------------------------------------- the real library

TEST_F(WineTest, DriverInitAndCleanUpSendTheirBytesAndWriteTheSettings) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  RunResult r = Driver({"init-cleanup", "COM7"});
  std::vector<std::string> expected = {
      "CREATEFILE \\\\.\\COM7" + std::string(kCreateFileFlags),
      "SETCOMMTIMEOUTS 1000 1000 1000 1 1000", "COMMTIMEOUTS 1000 1000 1000 1 1000",
      // Receive side (abort, clear). On a pseudo-terminal Wine's transmit
      // purge would discard what the board has not read yet; it is not made.
      "PURGECOMM 0xA",
      // A pty has no modem lines; the driver carries on regardless.
      "ESCAPE SETDTR fail", "ESCAPE SETRTS fail",
      // Any line error from before the open is cleared, with what the board
      // sent.
      "CLEARCOMMERROR", "PURGECOMM 0x8",
      // ResetDisplay from LCD_Init; ResetDisplay, contrast 0, light 0 from
      // LCD_CleanUp, one byte a write.
      "WRITEFILE 1 -> 1", "WRITEFILE 1 -> 1", "WRITEFILE 1 -> 1", "WRITEFILE 1 -> 1",
      "WRITEFILE 1 -> 1", "WRITEFILE 1 -> 1", "PURGECOMM 0xA",
      "ESCAPE CLRDTR fail", "ESCAPE CLRRTS fail", "DONE"};
  EXPECT_EQ(expected, Lines(r.out));
  EXPECT_EQ(Hex("B0 B0 B3 00 B4 00"), Wire());
  EXPECT_EQ(kDefaultIni, File("config.ini"));
  EXPECT_FALSE(Exists(work_ + "/debug.log"));
}

// In code page 932 a directory ending in U+8868 reads 0x95 0x5C: its last
// byte is a backslash, its last character is not. The files land in it.
TEST_F(WineTest, DriverFilesLandInADoubleByteDirectory) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  const std::string folder = work_ + "/\xE8\xA1\xA8";  // U+8868 in UTF-8
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  WriteFile(folder + "/config.ini", "[Korvex]\r\nLogFile=1\r\n");
  // Wine takes the ANSI code page from the locale, and the file names' code
  // from the C library's: a Japanese UTF-8 locale of our own, made once.
  const std::string locales = std::string(KORVEX_WINE_WORK) + "/locale";
  if (!Exists(locales + "/ja_JP.UTF-8")) {
    ASSERT_EQ(0, system(("mkdir -p '" + locales + "' && localedef -i ja_JP -f UTF-8 '" + locales +
                         "/ja_JP.UTF-8'")
                            .c_str()))
        << "localedef (Debian's locales package) makes the ja_JP.UTF-8 locale";
  }
  RunResult r = Driver({"init-cleanup", "COM7"}, folder, {"LOCPATH=" + locales, "LC_ALL=ja_JP.UTF-8"});
  EXPECT_EQ(Hex("B0 B0 B3 00 B4 00"), Wire());
  std::string ini = ReadFile(folder + "/config.ini");
  EXPECT_NE(std::string::npos, ini.find("LogFile=1\r\n")) << ini;
  EXPECT_NE(std::string::npos, ini.find("LCD_Controller=6963\r\n")) << ini;
  EXPECT_NE(std::string::npos, ReadFile(folder + "/debug.log").find("LCD_Init() porth=open"));
  // Not beside it, under a name that swallowed the separator.
  EXPECT_FALSE(Exists(work_ + "/\xE8\xA1\xA8" "config.ini"));
  EXPECT_FALSE(Exists(work_ + "/\xE8\xA1\xA8" "debug.log"));
}

TEST_F(WineTest, DriverTwoInitsInARowCloseAndReopenThePort) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  Preset("config.ini", "[Korvex]\r\nLogFile=1\r\n");
  RunResult r = Driver({"init-twice", "COM7"});
  EXPECT_EQ(2u, Tagged(Lines(r.out), "CREATEFILE").size()) << r.out;
  EXPECT_EQ(Hex("B0  B0 B3 00 B4 00  B0  B0 B3 00 B4 00"), Wire());
  EXPECT_EQ(
      "\r\nLCD_Init() porth=closed\r\nLCD_Init() porth=open\r\n"
      "\r\nLCD_Init()\r\n\r\nLCD_CleanUp()\r\n\r\nLCD_CleanUp() porth=closed\r\n"
      "\r\nLCD_Init() porth=closed\r\nLCD_Init() porth=open\r\n"
      "\r\nLCD_CleanUp()\r\n\r\nLCD_CleanUp() porth=closed\r\n",
      File("debug.log"));
}

TEST_F(WineTest, DriverTraceHasCrLfLineEndsAndIsAppended) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  Preset("config.ini", "[Korvex]\r\nLogFile=1\r\n");
  const std::string one_run =
      "\r\nLCD_Init() porth=closed\r\nLCD_Init() porth=open\r\n"
      "\r\nLCD_CleanUp()\r\n\r\nLCD_CleanUp() porth=closed\r\n";
  Driver({"init-cleanup", "COM7"});
  EXPECT_EQ(one_run, File("debug.log"));
  Driver({"init-cleanup", "COM7"});
  std::string log = File("debug.log");
  EXPECT_EQ(one_run + one_run, log);
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i] == '\n') EXPECT_TRUE(i > 0 && log[i - 1] == '\r') << "bare line feed at " << i;
  EXPECT_EQ(Hex("B0 B0 B3 00 B4 00 B0 B0 B3 00 B4 00"), Wire());
}

TEST_F(WineTest, DriverShowsTheCreateFileMessageWhenThePortIsMissing) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  // The message names the port as the host gave it, colon and all.
  for (const std::string port : {"COM9", "COM9:"}) {
    RunResult r = Driver({"init-cleanup", port});
    std::vector<std::string> lines = Lines(r.out);
    EXPECT_EQ(std::vector<std::string>{"CREATEFILE \\\\.\\COM9" + std::string(kCreateFileFlags)},
              Tagged(lines, "CREATEFILE"));
    // Wine's code for a device that is not there is ERROR_FILE_NOT_FOUND, 2.
    EXPECT_EQ(std::vector<std::string>{"MESSAGEBOX owner=none type=0x0 caption=(null) "
                                       "text=##################### CreateFile() for " + port +
                                       " , Baudrate 19200 failed ! Error 2 #####################"},
              Tagged(lines, "MESSAGEBOX"));
    EXPECT_TRUE(Tagged(lines, "WRITEFILE").empty()) << r.out;
    EXPECT_TRUE(Tagged(lines, "SETCOMMTIMEOUTS").empty()) << r.out;
  }
  EXPECT_TRUE(Wire().empty());
  EXPECT_EQ(kDefaultIni, File("config.ini"));
}

struct PortCase {
  const char* given;
  const char* opened;
};

class WineDriverPort : public WineTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(WineDriverPort, OpensEveryNameThroughTheDeviceNamespace) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  RunResult r = Driver({"init-cleanup", GetParam().given});
  std::vector<std::string> lines = Lines(r.out);
  EXPECT_EQ(
      std::vector<std::string>{"CREATEFILE " + std::string(GetParam().opened) + kCreateFileFlags},
      Tagged(lines, "CREATEFILE"));
  EXPECT_TRUE(Tagged(lines, "MESSAGEBOX").empty()) << r.out;
  EXPECT_EQ(Hex("B0 B0 B3 00 B4 00"), Wire());
}

INSTANTIATE_TEST_SUITE_P(Names, WineDriverPort,
                         ::testing::Values(PortCase{"COM12", "\\\\.\\COM12"},
                                           // as plain CreateFile reads it
                                           PortCase{"COM12:", "\\\\.\\COM12"},
                                           PortCase{"\\\\.\\COM12", "\\\\.\\COM12"},
                                           PortCase{"\\\\.\\COM7", "\\\\.\\COM7"}),
                         [](const ::testing::TestParamInfo<PortCase>& info) {
                           return TestName(info.param.given);
                         });

struct BaudCase {
  int baud;
  unsigned multiplier;  // ms per byte: 10 bits at that speed, rounded up
};

class WineDriverTimeouts : public WineTest, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(WineDriverTimeouts, WriteTimeoutFollowsTheLineSpeed) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  Preset("config.ini", "[Korvex]\r\nBaudRate=" + std::to_string(GetParam().baud) + "\r\n");
  RunResult r = Driver({"init-cleanup", "COM7"});
  std::vector<std::string> lines = Lines(r.out);
  std::string applied = "1000 1000 1000 " + std::to_string(GetParam().multiplier) + " 1000";
  EXPECT_EQ(std::vector<std::string>{"SETCOMMTIMEOUTS " + applied},
            Tagged(lines, "SETCOMMTIMEOUTS"));
  // As the port holds them afterwards.
  EXPECT_EQ(std::vector<std::string>{"COMMTIMEOUTS " + applied}, Tagged(lines, "COMMTIMEOUTS"));
  EXPECT_EQ(Hex("B0 B0 B3 00 B4 00"), Wire());
}

INSTANTIATE_TEST_SUITE_P(Speeds, WineDriverTimeouts,
                         ::testing::Values(BaudCase{300, 34}, BaudCase{9600, 2}, BaudCase{9999, 2},
                                           BaudCase{10000, 1}, BaudCase{19200, 1}, BaudCase{0, 1}),
                         [](const ::testing::TestParamInfo<BaudCase>& info) {
                           return "Baud" + std::to_string(info.param.baud);
                         });

struct WriteCase {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::string> writes;  // all of them, or up to "..." where later ones vary
  std::string wire;
};

class WineDriverWrites : public WineTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WineDriverWrites, TextTransfersSurviveShortAndFailedWrites) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  Preset("config.ini", "[Korvex]\r\nTextBufferSize=4\r\n");
  std::vector<std::string> args = {"text", "COM7", "4142434445464748"};
  args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
  RunResult r = Driver(args);
  std::vector<std::string> lines = Lines(r.out);
  std::vector<std::string> writes;
  for (const std::string& line : lines)
    if (line.compare(0, 10, "WRITEFILE ") == 0 || line == "CLEARCOMMERROR") writes.push_back(line);
  std::vector<std::string> want = GetParam().writes;
  if (want.back() == "...") {
    // The writes after a loss are sized by the rate the driver measures.
    want.pop_back();
    writes.resize(std::min(writes.size(), want.size()));
  }
  EXPECT_EQ(want, writes);
  EXPECT_EQ(Hex(GetParam().wire), Wire());
}

const std::vector<std::string> kCleanUpWrites(5, "WRITEFILE 1 -> 1");
// After a lost transfer the text that followed goes only into the driver's
// display, and the clean-up a second and a half later (its time budget
// full) finishes whatever the board may stand in with 64 zeros, resets it
// and sends what it lacks of the closing display: light 0, contrast 0.
const std::string kLostThenClosed = [] {
  std::string wire = "B0";
  for (int i = 0; i < 64; ++i) wire += " 00";
  return wire + " B0 B4 00 B3 00";
}();

// The error cleared once after the open, the writes, then the clean-up's.
std::vector<std::string> Writes(std::vector<std::string> first) {
  first.insert(first.begin(), "CLEARCOMMERROR");
  first.insert(first.end(), kCleanUpWrites.begin(), kCleanUpWrites.end());
  return first;
}

// The writes up to the second one's failure and the clearing after it.
const std::vector<std::string> kFailsAtTheSecond = {"CLEARCOMMERROR", "WRITEFILE 1 -> 1",
                                                    "WRITEFILE 4 -> fail", "CLEARCOMMERROR", "..."};

INSTANTIATE_TEST_SUITE_P(
    Transfers, WineDriverWrites,
    ::testing::Values(WriteCase{"Whole",
                                {},
                                Writes({"WRITEFILE 1 -> 1", "WRITEFILE 4 -> 4",
                                        "WRITEFILE 4 -> 4"}),
                                "B0 41 42 43 44 45 46 47 48 B0 B3 00 B4 00"},
                      // Each short write is followed by one for the rest.
                      WriteCase{"Short",
                                {"--short-writes"},
                                Writes({"WRITEFILE 1 -> 1", "WRITEFILE 4 -> 2", "WRITEFILE 2 -> 1",
                                        "WRITEFILE 1 -> 1", "WRITEFILE 4 -> 2", "WRITEFILE 2 -> 1",
                                        "WRITEFILE 1 -> 1"}),
                                "B0 41 42 43 44 45 46 47 48 B0 B3 00 B4 00"},
                      // A write failed by a line error may have sent any part
                      // of its bytes: it never goes again, nor when the next
                      // write fails too, when there was no line error to clear,
                      // or when the failure was a time-out.
                      WriteCase{"Failed", {"--fail-write", "2", "--pause", "1500"},
                                kFailsAtTheSecond, kLostThenClosed},
                      WriteCase{"FailedTwice", {"--fail-write", "2,3", "--pause", "1500"},
                                kFailsAtTheSecond, kLostThenClosed},
                      WriteCase{"FailedWithNothingToClear",
                                {"--drop-write", "2", "--pause", "1500"}, kFailsAtTheSecond,
                                kLostThenClosed},
                      WriteCase{"FailedWithATimeOut", {"--time-out-write", "2", "--pause", "1500"},
                                kFailsAtTheSecond, kLostThenClosed}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

// Every export called through a thunk that pushes raw argument words and
// compares ESP, EBX, ESI, EDI and EBP before and after: the standard-call
// clean-up (68 bytes for the record by value, 4 for DLL_GetInfo's hidden
// address) and the values that arrive. Registered for the i686 build only.
TEST_F(WineTest, I686ExportsRemoveTheirArgumentsAndKeepTheRegisters) {
  NEED("korvex-thunk-probe.exe");
  NEED("Korvex.dll");
  RunResult r = RunBounded({WinePath(), WinDir() + "/korvex-thunk-probe.exe",
                            WindowsPath(WinDir() + "/Korvex.dll"), "COM7"},
                           work_, 60);
  std::vector<std::string> expected = {
      "LCD_SetIOPropertys ok",
      "MESSAGEBOX owner=none type=0x0 caption=(null) text=##################### CreateFile() for "
      "COM99 , Baudrate 19200 failed ! Error 2 #####################",
      "LCD_Init ok", "LCD_IsReadyToReceive ok", "DLL_GetInfo ok",
      "MESSAGEBOX owner=none type=0x0 caption=Settings text=Baudrate 19200\\nTextBufferSize "
      "16\\nGfxBufferSize 64\\nLCD_FontPitch 6\\n",
      "LCD_ConfigDialog ok", "LCD_SendToController ok", "LCD_Customize ok",
      "LCD_SetIOPropertys ok", "LCD_Init ok", "LCD_SendToMemory ok", "LCD_SetOutputAddress ok",
      "LCD_SetCGRAMChar ok", "LCD_GetCGRAMChar ok", "LCD_SendToGfxMemory ok",
      "LCD_SetIOPropertys ok", "LCD_CleanUp ok", "DONE"};
  EXPECT_EQ(expected, Lines(r.out)) << r.err;
  EXPECT_EQ(0, r.status);
  // The values arrived where they belong: the cursor, the record's position
  // and rows, the rectangle's corners, light and contrast.
  const std::string trace = File("debug.log");
  for (const char* line :
       {"\r\nPylora called DLL_GetInfo()\r\n", "porth=open\r\nQ\r\nSetTextCursor() x=005 y=006\r\n",
        "\r\nSetCGRAMChar() pos=007 0x20,0x00,0x00,0x00,0x00,0x00,0x00,0x01,\r\n",
        "\r\nLCD_SendToGfxMemory() x1=001 x2=003 y1=002 y2=004\r\n"
        "SetBitmap() x=000 y=002 width=001 bytes height=003 pixels\r\n",
        "\r\nLCD_SetIOPropertys() Light=201\r\n", "\r\nLCD_SetIOPropertys() SetContrast=31\r\n",
        "\r\nLCD_CleanUp() porth=closed\r\n"})
    EXPECT_NE(std::string::npos, trace.find(line)) << line << "\nin\n" << trace;
  // The character, the cursor, the glyph, light 201 and contrast 31 (200 and
  // 30 were taken while the port was closed), then the rectangle's bytes
  // from the graphics buffer, pixel (1, 2) in bit 4.
  EXPECT_EQ(Hex("B0 51 B1 06 07 B5 07 20 00 00 00 00 00 00 01 B4 C9 B3 1F "
                "BB 00 02 01 03 10 00 00 B0 B3 00 B4 00"),
            Wire());
}

TEST_F(WineTest, DriverConfigDialogBeforeInitShowsTheValuesAtLoad) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  RunResult r = Driver({"config-dialog"});
  std::vector<std::string> expected = {
      "MESSAGEBOX owner=none type=0x0 caption=Settings text=Baudrate 9600\\nTextBufferSize "
      "1\\nGfxBufferSize 64\\nLCD_FontPitch 6\\n",
      "RESULT 1", "DONE"};
  EXPECT_EQ(expected, Lines(r.out));
  EXPECT_FALSE(Exists(work_ + "/config.ini"));
}

TEST_F(WineTest, DriverCorrectsTheSettingsFileInPlace) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  Preset("config.ini",
         "[Korvex]\r\nBaudRate=1200\r\nTextBufferSize=300\r\nGfxBufferSize=4096\r\n"
         "GfxForceFlush=2\r\nLCD_FontPitch=6\r\nLCD_UseOutPorts=0\r\nLCD_Controller=108\r\n"
         "LogFile=0\r\n");
  RunResult r = Driver({"config-after-init", "COM7"});
  EXPECT_EQ(std::vector<std::string>{"MESSAGEBOX owner=none type=0x0 caption=Settings "
                                     "text=Baudrate 1200\\nTextBufferSize 16\\nGfxBufferSize "
                                     "4096\\nLCD_FontPitch 8\\n"},
            Tagged(Lines(r.out), "MESSAGEBOX"));
  EXPECT_EQ(
      "[Korvex]\r\nBaudRate=1200\r\nTextBufferSize=16\r\nGfxBufferSize=4096\r\n"
      "GfxForceFlush=0\r\nLCD_FontPitch=8\r\nLCD_UseOutPorts=0\r\nLCD_Controller=108\r\n"
      "LogFile=0\r\n",
      File("config.ini"));
  EXPECT_EQ(Hex("B0 B0 B3 00 B4 00"), Wire());
}

TEST_F(WineTest, DriverGetInfoFillsTheCallersRecord) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  RunResult r = Driver({"info"});
  std::string text = "Wrenlo's Korvex Display Driver V1.09b";
  Bytes expected(text.begin(), text.end());
  expected.resize(256, 0);
  for (unsigned char b : {1, 1, 1, 1, 1, 6, 8, 6}) expected.push_back(b);
  std::string hex;
  for (unsigned char b : expected) {
    char pair[3];
    snprintf(pair, sizeof pair, "%02X", b);
    hex += pair;
  }
  EXPECT_EQ((std::vector<std::string>{"INFO same=1 " + hex, "DONE"}), Lines(r.out))
      << ToHex(expected);
}

TEST_F(WineTest, DriverVersionResourceNamesTheDriver) {
  NEED("korvex-wine-probe.exe");
  NEED("Korvex.dll");
  RunResult r = Driver({"version"});
  std::vector<std::string> expected = {
      "VERSION file=1.0.9.2 product=1.0.9.2 type=2 os=0x40004",
      "TRANSLATION 040904E4",
      "STRING FileDescription=Wrenlo's Korvex Display Driver V1.09b",
      "STRING FileVersion=1.0.9.2",
      "STRING InternalName=Korvex",
      "STRING OriginalFilename=Korvex.dll",
      "STRING ProductName=Korvex",
      "STRING ProductVersion=1.0.9.2",
      "DONE"};
  EXPECT_EQ(expected, Lines(r.out));
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  if (HandlePrefixRequest(argc, argv, kPrefix, &status)) return status;
  SelectBuild(&argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
