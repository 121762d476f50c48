// The driver on the POSIX layer, from the host's calls to the board's view.
#include <gtest/gtest.h>
#include <string.h>

#include "core/driver_state.h"
#include "core/exports.h"
#include "session_support.h"
#include "tools/board/decoder.h"

namespace {

using board::CommandKind;

std::vector<board::Command> Decode(const std::vector<uint8_t>& wire, board::DisplayConfig config,
                                   std::vector<board::Anomaly>* anomalies) {
  board::Decoder decoder;
  board::DecoderInit(decoder, config);
  std::vector<board::Command> commands;
  board::DecoderFeed(decoder, wire.data(), wire.size(), commands, *anomalies);
  board::DecoderFinish(decoder, *anomalies);
  return commands;
}

board::Command Cmd(CommandKind kind, std::vector<uint8_t> operands,
                   std::vector<uint8_t> payload = {}) {
  board::Command c;
  c.kind = kind;
  c.operands = operands;
  c.payload = payload;
  return c;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDriverState();
    dir_ = EnterTempDir();
    pty_ = OpenPty();
  }
  void TearDown() override {
    LCD_CleanUp();
    ClosePty(pty_);
    LeaveTempDir(dir_);
    ResetDriverState();
  }
  void WriteConfig(const std::string& text) {
    std::ofstream out("config.ini", std::ios::binary);
    out << text;
  }
  SessionDir dir_;
  Pty pty_;
};

TEST_F(SessionTest, HostCallsReachTheBoardAndTheFilesReadAsExpected) {
  WriteConfig(
      "; kept as it is\n"
      "[Other]\n"
      "Colour=blue\n"
      "\n"
      "[Korvex]\n"
      "LogFile=1\n"
      "TextBufferSize=300\n"
      "LCD_UseOutPorts=1\n"
      "\n"
      "[Tail]\n"
      "x=1\n");
  LCD_SetIOPropertys(pty_.name.c_str(), 0, 0, 0, 0, 240, 64, 1, 0, 0, 0, 0, 0, 0);
  LCD_Init();
  ASSERT_TRUE(PortIsOpen(g_state.port)) << pty_.name;
  LCD_SetIOPropertys(pty_.name.c_str(), 0, 0, 0, 0, 240, 64, 1, 200, 0, 30, 0x0300, 0, 0);
  LCD_SetOutputAddress(2, 1);
  LCD_SendToMemory('H');
  LCD_SendToMemory('i');
  CgramCharRecord record = {};
  record.position = 2;
  for (int c = 0; c < 6; ++c) record.matrix[8 * c + 7] = 1;  // bottom row
  LCD_SetCGRAMChar(record);
  std::vector<uint8_t> picture(240 * 64, 0);
  picture[3 * 240 + 9] = 1;
  LCD_SendToGfxMemory(picture.data(), 9, 3, 9, 3, 0);
  LCD_SendToGfxMemory(picture.data(), 0, 2, 11, 3, 0);
  LCD_CleanUp();

  std::vector<board::Anomaly> anomalies;
  auto commands = Decode(Drain(pty_), board::DisplayConfig(), &anomalies);
  std::vector<board::Command> expected = {
      Cmd(CommandKind::ResetDisplay, {}),
      Cmd(CommandKind::SetLight, {200}),
      Cmd(CommandKind::SetContrast, {30}),
      Cmd(CommandKind::SetOutPort, {1, 3}),
      Cmd(CommandKind::SetTextCursor, {3, 2}),
      Cmd(CommandKind::Character, {'H'}),
      Cmd(CommandKind::Character, {'i'}),
      Cmd(CommandKind::SetCGRAMChar, {2}, {0, 0, 0, 0, 0, 0, 0, 0x3F}),
      Cmd(CommandKind::SetGfxSingle, {6, 3}, {0x04}),
      Cmd(CommandKind::SetBitmap, {0, 2, 2, 2}, {0, 0, 0, 0x04}),
      Cmd(CommandKind::ResetDisplay, {}),
      Cmd(CommandKind::SetContrast, {0}),
      Cmd(CommandKind::SetLight, {0}),
  };
  ASSERT_EQ(commands.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(commands[i].kind, expected[i].kind) << i;
    EXPECT_EQ(commands[i].operands, expected[i].operands) << i;
    EXPECT_EQ(commands[i].payload, expected[i].payload) << i;
  }
  EXPECT_TRUE(anomalies.empty());

  // The section is rewritten in place with every key; the rest is untouched.
  EXPECT_EQ(ReadFile("config.ini"),
            "; kept as it is\n"
            "[Other]\n"
            "Colour=blue\n"
            "\n"
            "[Korvex]\n"
            "LogFile=1\n"
            "TextBufferSize=16\n"
            "LCD_UseOutPorts=1\n"
            "BaudRate=19200\n"
            "GfxBufferSize=64\n"
            "GfxForceFlush=0\n"
            "LCD_FontPitch=6\n"
            "LCD_Controller=6963\n"
            "\n"
            "[Tail]\n"
            "x=1\n");
  EXPECT_EQ(ReadFile("debug.log"),
            "\nLCD_Init() porth=closed\nLCD_Init() porth=open\n"
            "\nPylora called LCD_SetIOPropertys()\n"
            "\nLCD_SetIOPropertys() Light=200\n"
            "\nLCD_SetIOPropertys() SetContrast=30\n"
            "\nLCD_SetIOPropertys() Port1=0x03\n"
            "\nSetTextCursor() x=002 y=001\n"
            "Hi"
            "\nSetCGRAMChar() pos=002 0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x3F,\n"
            "\nLCD_SendToGfxMemory() x1=009 x2=009 y1=003 y2=003\n"
            "SetGfxSingle() x=006 y=003 by=0x04\n"
            "\nLCD_SendToGfxMemory() x1=000 x2=011 y1=002 y2=003\n"
            "SetBitmap() x=000 y=002 width=002 bytes height=002 pixels\n"
            "\nLCD_CleanUp()\n"
            "\nLCD_CleanUp() porth=closed\n");
}

TEST_F(SessionTest, FreshFolderGetsTheDefaultFile) {
  LCD_SetIOPropertys(pty_.name.c_str(), 0, 0, 0, 0, 240, 64, 1, 0, 0, 0, 0, 0, 0);
  LCD_Init();
  EXPECT_EQ(ReadFile("config.ini"),
            "[Korvex]\n"
            "BaudRate=19200\n"
            "TextBufferSize=16\n"
            "GfxBufferSize=64\n"
            "GfxForceFlush=0\n"
            "LCD_FontPitch=6\n"
            "LCD_UseOutPorts=0\n"
            "LCD_Controller=6963\n"
            "LogFile=0\n");
  EXPECT_EQ(Drain(pty_), std::vector<uint8_t>{0xB0});
}

TEST_F(SessionTest, Ks108FullFrameArrivesWhole) {
  WriteConfig("[Korvex]\nLCD_Controller=108\nGfxBufferSize=100\n");
  LCD_SetIOPropertys(pty_.name.c_str(), 0, 0, 0, 0, 128, 64, 1, 0, 0, 0, 0, 0, 0);
  LCD_Init();
  std::vector<uint8_t> picture(128 * 64, 0);
  for (int x = 0; x < 128; ++x) picture[(size_t)(x % 64) * 128 + x] = 1;  // a diagonal
  LCD_SendToGfxMemory(picture.data(), 0, 0, 0, 0, 0);
  std::vector<board::Anomaly> anomalies;
  board::DisplayConfig config;
  config.controller = board::Controller::KS108;
  config.pitch = 8;
  config.width = 128;
  auto commands = Decode(Drain(pty_), config, &anomalies);
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[1].kind, CommandKind::SetBitmap);
  EXPECT_EQ(commands[1].operands, (std::vector<uint8_t>{0, 0, 16, 64}));
  ASSERT_EQ(commands[1].payload.size(), 1024u);
  for (int band = 0; band < 8; ++band)
    for (int x = 0; x < 128; ++x) {
      int row = x % 64;
      uint8_t expected = row / 8 == band ? (uint8_t)(1 << (row % 8)) : 0;
      ASSERT_EQ(commands[1].payload[(size_t)band * 128 + x], expected) << band << "," << x;
    }
  EXPECT_TRUE(anomalies.empty());
}

// The message as the POSIX layer reports a device that does not exist. That
// nothing is written without a port is for the recording double to see
// (DriverTest.ClosedPortDropsEverything, OpenFailureTest): a write on no
// handle reaches no device here.
TEST_F(SessionTest, MissingPortShowsTheMessage) {
  LCD_SetIOPropertys("/dev/korvex-no-such-port", 0, 0, 0, 0, 240, 64, 1, 0, 0, 0, 0, 0, 0);
  testing::internal::CaptureStderr();
  LCD_Init();
  std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_NE(shown.find("##################### CreateFile() for /dev/korvex-no-such-port , "
                       "Baudrate 19200 failed ! Error 2 #####################"),
            std::string::npos)
      << shown;
  EXPECT_FALSE(PortIsOpen(g_state.port));
}

}  // namespace
