#include <string.h>

#include "settings/settings.h"
#include "test_support.h"

namespace {

struct SettingsCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> file;  // keys present before LCD_Init
  // Expected values written back, in key order.
  const char* baud;
  const char* text;
  const char* gfx;
  const char* force;
  const char* pitch;
  const char* out_ports;
  const char* controller;
  const char* log;
};

class SettingsTest : public DriverTest, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(SettingsTest, LoadsCorrectsAndWritesBack) {
  const SettingsCase& c = GetParam();
  for (const auto& kv : c.file) Setting(kv.first, kv.second);
  LCD_Init();
  const std::string p = "C:\\Host\\config.ini|Korvex|";
  std::vector<std::string> expected = {
      p + "BaudRate=" + c.baud,          p + "TextBufferSize=" + c.text,
      p + "GfxBufferSize=" + c.gfx,      p + "GfxForceFlush=" + c.force,
      p + "LCD_FontPitch=" + c.pitch,    p + "LCD_UseOutPorts=" + c.out_ports,
      p + "LCD_Controller=" + c.controller, p + "LogFile=" + c.log,
  };
  // The values written back are the ones the driver runs with: what they do
  // is for the tests of the buffers, the port and the display.
  EXPECT_EQ(Rec().profile_writes, expected);
}

const SettingsCase kSettingsCases[] = {
    {"NoFileGivesDefaults", {}, "19200", "16", "64", "0", "6", "0", "6963", "0"},
    {"TextBufferZero", {{"TextBufferSize", "0"}}, "19200", "16", "64", "0", "6", "0", "6963", "0"},
    {"TextBuffer300", {{"TextBufferSize", "300"}}, "19200", "16", "64", "0", "6", "0", "6963", "0"},
    {"TextBuffer256Stays", {{"TextBufferSize", "256"}}, "19200", "256", "64", "0", "6", "0", "6963",
     "0"},
    {"TextBufferNegative", {{"TextBufferSize", "-5"}}, "19200", "16", "64", "0", "6", "0", "6963",
     "0"},
    {"Gfx4096Stays", {{"GfxBufferSize", "4096"}}, "19200", "16", "4096", "0", "6", "0", "6963", "0"},
    {"Gfx4097", {{"GfxBufferSize", "4097"}}, "19200", "16", "64", "0", "6", "0", "6963", "0"},
    {"GfxNegative", {{"GfxBufferSize", "-1"}}, "19200", "16", "64", "0", "6", "0", "6963", "0"},
    {"Ks108ForcesPitch8",
     {{"LCD_Controller", "108"}, {"LCD_FontPitch", "6"}},
     "19200", "16", "64", "0", "8", "0", "108", "0"},
    {"Controller7", {{"LCD_Controller", "7"}, {"LCD_FontPitch", "8"}}, "19200", "16", "64", "0", "8",
     "0", "6963", "0"},
    {"Pitch7", {{"LCD_FontPitch", "7"}}, "19200", "16", "64", "0", "6", "0", "6963", "0"},
    {"ForceFlush2", {{"GfxForceFlush", "2"}, {"LogFile", "1"}}, "19200", "16", "64", "0", "6", "0",
     "6963", "1"},
    {"OutPorts1", {{"LCD_UseOutPorts", "1"}}, "19200", "16", "64", "0", "6", "1", "6963", "0"},
    {"OutPorts5", {{"LCD_UseOutPorts", "5"}}, "19200", "16", "64", "0", "6", "0", "6963", "0"},
    {"Baud0Stays", {{"BaudRate", "0"}}, "0", "16", "64", "0", "6", "0", "6963", "0"},
    {"BaudHexAndTrailing", {{"BaudRate", " 0x2580"}, {"TextBufferSize", "12abc"}}, "9600", "12",
     "64", "0", "6", "0", "6963", "0"},
    // -1 reads as 4294967295: kept as the signed field's -1.
    {"BaudMinusOne", {{"BaudRate", "-1"}}, "-1", "16", "64", "0", "6", "0", "6963", "0"},
};

INSTANTIATE_TEST_SUITE_P(Cases, SettingsTest, ::testing::ValuesIn(kSettingsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, BaudRateZeroReachesThePortUnchanged) {
  Setting("BaudRate", "0");
  LCD_Init();
  EXPECT_EQ(Rec().line_settings_applied.baud_rate, 0u);
}

TEST_F(DriverTest, ConfigDialogShowsTheFieldsHeldNow) {
  Rec().message_box_result = 7;
  EXPECT_EQ(LCD_ConfigDialog(), 7);
  Setting("BaudRate", "57600");
  Setting("LCD_Controller", "108");
  LCD_Init();
  LCD_ConfigDialog();
  ASSERT_EQ(Rec().message_boxes.size(), 2u);
  // Before any LCD_Init: the values held at load.
  EXPECT_EQ(Rec().message_boxes[0].text,
            "Baudrate 9600\nTextBufferSize 1\nGfxBufferSize 64\nLCD_FontPitch 6\n");
  EXPECT_EQ(Rec().message_boxes[1].text,
            "Baudrate 57600\nTextBufferSize 16\nGfxBufferSize 64\nLCD_FontPitch 8\n");
  for (const auto& box : Rec().message_boxes) {
    EXPECT_TRUE(box.has_caption);
    EXPECT_EQ(box.caption, "Settings");
  }
  EXPECT_EQ(g_state.ready.load(), 1);
}

}  // namespace
