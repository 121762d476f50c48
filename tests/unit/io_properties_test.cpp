#include <string.h>

#include <memory>

#include "test_support.h"

namespace {

void SetIO(const char* port, int32_t w, int32_t h, uint32_t allow, uint32_t light,
           uint32_t contrast, uint32_t ports) {
  LCD_SetIOPropertys(port, 11, 12, 13, 14, w, h, allow, light, 15, contrast, ports, 16, 17);
}

const char kCalled[] = "\nPylora called LCD_SetIOPropertys()\n";

struct IoStep {
  uint32_t allow, light, contrast, ports;
  const char* text_bytes;  // what the call put on the text stream
  std::string trace;
};

struct IoCase {
  const char* name;
  const char* use_out_ports;
  std::vector<IoStep> steps;
};

class IoTest : public DriverTest, public ::testing::WithParamInterface<IoCase> {};

TEST_P(IoTest, SendsOnlyWhatChanged) {
  const IoCase& c = GetParam();
  Setting("LogFile", "1");
  Setting("TextBufferSize", "256");
  Setting("LCD_UseOutPorts", c.use_out_ports);
  InitAndClear();
  for (const IoStep& step : c.steps) {
    Rec().transfers.clear();
    for (auto& f : Rec().files) f.second.clear();
    uint32_t before = g_state.text_count;
    SetIO("COM1", 240, 64, step.allow, step.light, step.contrast, step.ports);
    Bytes put(g_state.text_buf + before, g_state.text_buf + g_state.text_count);
    if (!Rec().transfers.empty()) {  // flushed: the whole buffer went out
      ASSERT_EQ(Rec().transfers.size(), 1u);
      put = Bytes(Rec().transfers[0].begin() + before, Rec().transfers[0].end());
    }
    EXPECT_EQ(put, Hex(step.text_bytes)) << step.trace;
    EXPECT_EQ(Trace(), kCalled + step.trace);
  }
}

const IoCase kIoCases[] = {
    {"FirstCallWithNothingToChange", "0", {{1, 0, 0, 0, "", ""}}},
    {"DisallowedSendsLightOffEveryCall",
     "0",
     {{0, 0, 0, 0, "B4 00", "\nLCD_SetIOPropertys() Light=0\n"},
      {0, 99, 0, 0, "B4 00", "\nLCD_SetIOPropertys() Light=0\n"}}},
    // Switched off and on again: the board was told 0, so the light goes out again.
    {"LightBackOnAfterDisallowed",
     "0",
     {{1, 200, 0, 0, "B4 C8", "\nLCD_SetIOPropertys() Light=200\n"},
      {0, 200, 0, 0, "B4 00", "\nLCD_SetIOPropertys() Light=0\n"},
      {1, 200, 0, 0, "B4 C8", "\nLCD_SetIOPropertys() Light=200\n"}}},
    {"Light200Twice",
     "0",
     {{1, 200, 0, 0, "B4 C8", "\nLCD_SetIOPropertys() Light=200\n"}, {1, 200, 0, 0, "", ""}}},
    {"LightLowByteOnly", "0", {{0x100, 0x1C8, 0, 0, "B4 00", "\nLCD_SetIOPropertys() Light=0\n"}}},
    {"Contrast",
     "0",
     {{1, 0, 30, 0, "B3 1E", "\nLCD_SetIOPropertys() SetContrast=30\n"},
      {1, 0, 0x11E, 0, "", ""},
      {1, 0, 255, 0, "B3 FF", "\nLCD_SetIOPropertys() SetContrast=255\n"}}},
    {"PortsIgnoredWhenNotUsed", "0", {{1, 0, 0, 0x00FF0001, "", ""}}},
    {"PortsChangedAreSentAndFlushed",
     "1",
     {{1, 200, 30, 0x00FF0001, "B4 C8 B3 1E BE 00 01 BE 02 FF",
       "\nLCD_SetIOPropertys() Light=200\n\nLCD_SetIOPropertys() SetContrast=30\n"
       "\nLCD_SetIOPropertys() Port0=0x01\n\nLCD_SetIOPropertys() Port2=0xFF\n"},
      {1, 200, 30, 0x00FF0001, "", ""},
      {1, 200, 30, 0xAAFF0001, "BE 03 AA", "\nLCD_SetIOPropertys() Port3=0xAA\n"},
      {1, 200, 30, 0xAAFF1101, "BE 01 11", "\nLCD_SetIOPropertys() Port1=0x11\n"}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, IoTest, ::testing::ValuesIn(kIoCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, PortChangeFlushesEverythingQueuedBefore) {
  Setting("LCD_UseOutPorts", "1");
  InitAndClear();
  LCD_SendToMemory('a');
  SetIO("COM1", 240, 64, 1, 200, 30, 0);
  EXPECT_TRUE(Rec().transfers.empty());
  SetIO("COM1", 240, 64, 1, 200, 30, 0x00FF0001);
  EXPECT_EQ(Rec().transfers,
            std::vector<Bytes>{Hex("61 B4 C8 B3 1E BE 00 01 BE 02 FF")});
  EXPECT_EQ(g_state.out_ports, 0x00FF0001u);
}

TEST_F(DriverTest, PortsAreNotRememberedWhileUnused) {
  InitAndClear();
  SetIO("COM1", 240, 64, 1, 0, 0, 0x01);
  EXPECT_EQ(g_state.out_ports, 0u);
  Setting("LCD_UseOutPorts", "1");
  LCD_Init();
  Rec().transfers.clear();
  SetIO("COM1", 240, 64, 1, 0, 0, 0x01);
  EXPECT_EQ(Rec().transfers, std::vector<Bytes>{Hex("BE 00 01")});
}

TEST_F(DriverTest, LightAndContrastAreSentAgainAfterCleanUpAndInit) {
  Setting("TextBufferSize", "1");
  InitAndClear();
  SetIO("COM1", 240, 64, 1, 200, 30, 0);
  LCD_CleanUp();
  LCD_Init();
  Rec().transfers.clear();
  SetIO("COM1", 240, 64, 1, 200, 30, 0);
  EXPECT_EQ(RecWire(), Hex("B4 C8 B3 1E"));
}

TEST_F(DriverTest, ValuesChangeWhileThePortIsClosed) {
  SetIO("COM1", 240, 64, 1, 200, 30, 0);
  Setting("TextBufferSize", "1");
  InitAndClear();
  SetIO("COM1", 240, 64, 1, 200, 30, 0);
  EXPECT_TRUE(Rec().transfers.empty());
}

TEST_F(DriverTest, TakesSizeAndLeavesReadyAlone) {
  g_state.ready = 0;
  SetIO("COM1", 128, -3, 0x5501, 0, 0, 0);
  EXPECT_EQ(g_state.gfx_width, 128);
  EXPECT_EQ(g_state.gfx_height, -3);
  EXPECT_EQ(g_state.light_enable, 1);
  EXPECT_EQ(g_state.ready.load(), 0);
}

TEST_F(DriverTest, PortNames) {
  // A null name keeps the previous one.
  SetIO("COM7", 240, 64, 1, 0, 0, 0);
  SetIO(nullptr, 240, 64, 1, 0, 0, 0);
  LCD_Init();
  EXPECT_EQ(Rec().calls.at(0), "PlatformPortOpen COM7");
  LCD_CleanUp();

  // 31 characters fit.
  std::string longest = "\\\\.\\" + std::string(27, 'P');
  SetIO(longest.c_str(), 240, 64, 1, 0, 0, 0);
  Rec().calls.clear();
  LCD_Init();
  EXPECT_EQ(Rec().calls.at(0), "PlatformPortOpen " + longest);
  LCD_CleanUp();

  // 32 bytes with no terminator among them: read no further, open nothing,
  // and say so at LCD_Init.
  std::unique_ptr<char[]> unterminated(new char[32]);
  memset(unterminated.get(), 'Q', 32);
  SetIO(unterminated.get(), 240, 64, 1, 0, 0, 0);
  Rec().calls.clear();
  Rec().message_boxes.clear();
  LCD_Init();
  EXPECT_EQ(Rec().calls, std::vector<std::string>{"MessageBox"});
  ASSERT_EQ(Rec().message_boxes.size(), 1u);
  EXPECT_EQ(Rec().message_boxes[0].text,
            "##################### CreateFile() for " + std::string(28, 'Q') +
                "... , Baudrate 19200 failed ! Error 206 #####################");
  EXPECT_EQ(g_state.port, kNoPort);

  // A fitting name afterwards opens again.
  SetIO("COM2", 240, 64, 1, 0, 0, 0);
  Rec().calls.clear();
  LCD_Init();
  EXPECT_EQ(Rec().calls.at(0), "PlatformPortOpen COM2");
  EXPECT_TRUE(PortIsOpen(g_state.port));
}

}  // namespace
