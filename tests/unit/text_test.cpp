#include <string.h>

#include "test_support.h"

namespace {

const std::string kCleanUpTrace = "\nLCD_CleanUp()\n\nLCD_CleanUp() porth=closed\n";

TEST_F(DriverTest, CharactersGoOutAsThemselvesAndBatchAtSixteen) {
  Setting("LogFile", "1");
  InitAndClear();
  const uint8_t codes[16] = {'%', 'd', 0x01, 0xB1, ' ', 'x', 0x1F, 0xFF,
                             'a', 'b', 'c',  'd',  'e', 'f', 'g',  'h'};
  for (int i = 0; i < 15; ++i) LCD_SendToMemory(0x1200 | codes[i]);  // only the low byte counts
  EXPECT_TRUE(Rec().transfers.empty());
  LCD_SendToMemory(codes[15]);
  EXPECT_EQ(Rec().transfers, std::vector<Bytes>{Bytes(codes, codes + 16)});
  EXPECT_EQ(Trace(), std::string("%d0x01\xB1 x0x1F\xFF") + "abcdefgh");
  EXPECT_EQ(g_state.text_count, 0u);
}

TEST_F(DriverTest, CursorIsOneBasedOnTheWire) {
  Setting("LogFile", "1");
  Setting("TextBufferSize", "1");
  InitAndClear();
  LCD_SetOutputAddress(0, 0);
  LCD_SetOutputAddress(39, 7);
  LCD_SetOutputAddress(-1, 255);  // operands cut to a byte, trace as received
  LCD_SetOutputAddress(INT32_MAX, INT32_MIN);
  EXPECT_EQ(RecWire(), Hex("B1 01 01  B1 28 08  B1 00 00  B1 00 01"));
  EXPECT_EQ(Trace(),
            "\nSetTextCursor() x=000 y=000\n"
            "\nSetTextCursor() x=039 y=007\n"
            "\nSetTextCursor() x=-01 y=255\n"
            "\nSetTextCursor() x=2147483647 y=-2147483648\n");
}

TEST_F(DriverTest, CustomCharacterSendsTenBytes) {
  for (int pitch : {6, 8}) {
    RecReset();
    ResetDriverState();
    Setting("LogFile", "1");
    Setting("LCD_FontPitch", std::to_string(pitch));
    Setting("TextBufferSize", "256");
    InitAndClear();
    CgramCharRecord record;
    memset(&record, 0, sizeof record);
    record.position = 5;
    // Row r: column r set (a diagonal), and columns 6 and 7 always set.
    for (int r = 0; r < 8; ++r) {
      record.matrix[8 * r + r] = 1;
      record.matrix[8 * 6 + r] = 1;
      record.matrix[8 * 7 + r] = 1;
    }
    LCD_SetCGRAMChar(record);
    EXPECT_TRUE(Rec().transfers.empty());  // text stays buffered
    LCD_CleanUp();
    if (pitch == 6) {
      // Columns 6 and 7 are ignored; bits 7 and 6 stay clear.
      EXPECT_EQ(Rec().transfers.at(0), Hex("B5 05 20 10 08 04 02 01 00 00"));
      EXPECT_EQ(Trace(), "\nSetCGRAMChar() pos=005 0x20,0x10,0x08,0x04,0x02,0x01,0x00,0x00,\n" +
                             kCleanUpTrace);
    } else {
      EXPECT_EQ(Rec().transfers.at(0), Hex("B5 05 83 43 23 13 0B 07 03 03"));
      EXPECT_EQ(Trace(), "\nSetCGRAMChar() pos=005 0x83,0x43,0x23,0x13,0x0B,0x07,0x03,0x03,\n" +
                             kCleanUpTrace);
    }
  }
}

TEST_F(DriverTest, GetCGRAMCharReturnsItsArgument) {
  Setting("LogFile", "1");
  InitAndClear();
  g_state.ready = 0;
  EXPECT_EQ(LCD_GetCGRAMChar(5), 5);
  EXPECT_EQ(LCD_GetCGRAMChar(0x1FF), 0xFF);
  EXPECT_EQ(g_state.ready.load(), 0);
  EXPECT_EQ(Trace(), "");
}

}  // namespace
