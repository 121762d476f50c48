#include <gtest/gtest.h>

#include <tuple>

#include "tools/board/decoder.h"
#include "tools/board/log.h"
#include "tools/board/tests/helpers.h"

namespace {

using namespace board;
using namespace board_test;

Command Make(CommandKind kind, uint64_t offset, Bytes operands, Bytes payload = {}) {
  Command command;
  command.kind = kind;
  command.offset = offset;
  command.operands = std::move(operands);
  command.payload = std::move(payload);
  return command;
}

// Every command of the protocol once, with operands and payload bytes that are
// themselves command values, so a decoder that looks at them as commands fails.
struct Sample {
  DisplayConfig config;
  Bytes bytes;
  std::vector<Command> expected;
};

Sample T6963Sample() {
  Sample s;
  s.config = T6963(8, 240, 64);  // pitch 8: payload bytes may use all 8 bits
  s.bytes = Concat({
      {0xB0},                                            // 0 ResetDisplay
      {0xB1, 0x01, 0x01},                                // 1 SetTextCursor
      Text("Hi"),                                        // 4, 5
      {0xB3, 0xB3},                                      // 6 SetContrast
      {0xB4, 0xC8},                                      // 8 SetLight
      {0xB5, 0xB5, 0x0E, 0x11, 0xB0, 0x1F, 0x11, 0x11, 0x11, 0x00},  // 10
      {0xB7, 0x08, 0x03, 0x2A},                          // 20 SetGfxSingle
      {0xBA, 0x08, 0x05, 0x03, 0x3F, 0xBB, 0x01},        // 24 SetGfxMulti
      {0xBB, 0x10, 0x02, 0x02, 0x03, 0xB1, 0xBE, 0xB0, 0xB4, 0x21, 0x12},  // 31
      {0xBE, 0x02, 0xFF},                                // 42 SetOutPort
      Text("!"),                                         // 45
  });
  s.expected = {
      Make(CommandKind::ResetDisplay, 0, {}),
      Make(CommandKind::SetTextCursor, 1, {0x01, 0x01}),
      Make(CommandKind::Character, 4, {'H'}),
      Make(CommandKind::Character, 5, {'i'}),
      Make(CommandKind::SetContrast, 6, {0xB3}),
      Make(CommandKind::SetLight, 8, {0xC8}),
      Make(CommandKind::SetCGRAMChar, 10, {0xB5},
           {0x0E, 0x11, 0xB0, 0x1F, 0x11, 0x11, 0x11, 0x00}),
      Make(CommandKind::SetGfxSingle, 20, {0x08, 0x03}, {0x2A}),
      Make(CommandKind::SetGfxMulti, 24, {0x08, 0x05, 0x03}, {0x3F, 0xBB, 0x01}),
      Make(CommandKind::SetBitmap, 31, {0x10, 0x02, 0x02, 0x03},
           {0xB1, 0xBE, 0xB0, 0xB4, 0x21, 0x12}),
      Make(CommandKind::SetOutPort, 42, {0x02, 0xFF}),
      Make(CommandKind::Character, 45, {'!'}),
  };
  return s;
}

// KS108 20 x 12: the header says 20 / 8 = 2 bytes, the payload carries 20
// columns in each of 2 bands, as the driver sends it.
Sample Ks108Sample() {
  Sample s;
  s.config = KS108(20, 12);
  Bytes payload;
  for (int i = 0; i < 40; ++i) payload.push_back(static_cast<uint8_t>(0xB0 + i % 15));
  s.bytes = Concat({{0xB0}, {0xBB, 0x00, 0x00, 0x02, 0x0C}, payload, {0xB4, 0x10}});
  s.expected = {
      Make(CommandKind::ResetDisplay, 0, {}),
      Make(CommandKind::SetBitmap, 1, {0x00, 0x00, 0x02, 0x0C}, payload),
      Make(CommandKind::SetLight, 46, {0x10}),
  };
  return s;
}

class DecoderSplitTest : public ::testing::TestWithParam<Sample (*)()> {};

TEST_P(DecoderSplitTest, WholeStreamGivesTheExpectedCommands) {
  const Sample s = GetParam()();
  const Decoded d = Decode(s.config, s.bytes);
  EXPECT_EQ(d.commands, s.expected);
  EXPECT_TRUE(d.anomalies.empty()) << FormatAnomaly(d.anomalies[0]);
}

TEST_P(DecoderSplitTest, EverySplitIntoTwoChunksGivesTheSameCommands) {
  const Sample s = GetParam()();
  for (size_t cut = 0; cut <= s.bytes.size(); ++cut) {
    const Decoded d = DecodeSplit(s.config, s.bytes, {cut});
    EXPECT_EQ(d.commands, s.expected) << "split at " << cut;
    EXPECT_TRUE(d.anomalies.empty()) << "split at " << cut;
  }
}

TEST_P(DecoderSplitTest, EverySplitIntoThreeChunksGivesTheSameCommands) {
  const Sample s = GetParam()();
  for (size_t a = 0; a <= s.bytes.size(); ++a) {
    for (size_t b = a; b <= s.bytes.size(); ++b) {
      const Decoded d = DecodeSplit(s.config, s.bytes, {a, b});
      ASSERT_EQ(d.commands, s.expected) << "split at " << a << " and " << b;
    }
  }
}

TEST_P(DecoderSplitTest, ByteByByteGivesTheSameCommands) {
  const Sample s = GetParam()();
  std::vector<size_t> cuts;
  for (size_t i = 1; i < s.bytes.size(); ++i) cuts.push_back(i);
  const Decoded d = DecodeSplit(s.config, s.bytes, cuts);
  EXPECT_EQ(d.commands, s.expected);
  EXPECT_TRUE(d.anomalies.empty());
}

TEST_P(DecoderSplitTest, EachCommandIsReturnedByTheFeedThatCompletesIt) {
  const Sample s = GetParam()();
  Decoder decoder;
  DecoderInit(decoder, s.config);
  std::vector<Command> commands;
  std::vector<Anomaly> anomalies;
  size_t next = 0;
  for (size_t i = 0; i < s.bytes.size(); ++i) {
    DecoderFeed(decoder, &s.bytes[i], 1, commands, anomalies);
    // A command is out exactly when its last byte has gone in.
    const bool last_byte =
        next < s.expected.size() &&
        (next + 1 == s.expected.size() ? i + 1 == s.bytes.size()
                                       : i + 1 == s.expected[next + 1].offset);
    ASSERT_EQ(commands.size(), next + (last_byte ? 1 : 0)) << "after byte " << i;
    if (last_byte) ++next;
  }
  EXPECT_EQ(decoder.offset, s.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Streams, DecoderSplitTest,
                         ::testing::Values(&T6963Sample, &Ks108Sample),
                         [](const ::testing::TestParamInfo<Sample (*)()>& info) {
                           return std::string(info.index == 0 ? "T6963" : "KS108");
                         });

TEST(DecoderTest, BytesOutsideTheCommandSetAreCharacters) {
  Bytes bytes;
  for (int b = 0; b < 256; ++b) {
    const bool command = b == 0xB0 || b == 0xB1 || b == 0xB3 || b == 0xB4 || b == 0xB5 ||
                         b == 0xB7 || b == 0xBA || b == 0xBB || b == 0xBE;
    if (!command) bytes.push_back(static_cast<uint8_t>(b));
  }
  ASSERT_EQ(bytes.size(), 247u);
  const Decoded d = Decode(T6963(6, 240, 64), bytes);
  ASSERT_EQ(d.commands.size(), bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(d.commands[i], Make(CommandKind::Character, i, {bytes[i]}));
  }
}

struct PayloadCase {
  DisplayConfig config;
  uint8_t width_bytes;
  uint8_t height;
  size_t size;
};

TEST(DecoderTest, BitmapPayloadSizeFollowsTheController) {
  const PayloadCase cases[] = {
      {T6963(8, 240, 64), 30, 64, 1920},
      {T6963(6, 240, 64), 40, 64, 2560},
      {T6963(6, 240, 64), 0, 5, 0},
      {T6963(6, 240, 64), 2, 255, 510},
      {KS108(128, 64), 16, 64, 1024},   // the driver's full 128 x 64 picture
      {KS108(128, 60), 16, 60, 1024},   // 8 bands, the last one half past the edge
      {KS108(128, 64), 8, 64, 512},     // a 64-pixel picture on a wider board
      {KS108(128, 64), 16, 255, 4096},  // 32 bands
      {KS108(20, 12), 2, 12, 40},       // width not a multiple of 8
      {KS108(20, 12), 1, 12, 16},
  };
  for (const PayloadCase& c : cases) {
    EXPECT_EQ(BitmapPayloadSize(c.config, c.width_bytes, c.height), c.size)
        << "width bytes " << int(c.width_bytes) << " height " << int(c.height);
  }
}

TEST(DecoderTest, FinishWithoutAnUnfinishedCommandReportsNothing) {
  Decoder decoder;
  DecoderInit(decoder, T6963(6, 240, 64));
  std::vector<Command> commands;
  std::vector<Anomaly> anomalies;
  const Bytes bytes = {0xB4, 0x01, 'x'};
  DecoderFeed(decoder, bytes.data(), bytes.size(), commands, anomalies);
  DecoderFinish(decoder, anomalies);
  EXPECT_EQ(commands.size(), 2u);
  EXPECT_TRUE(anomalies.empty());
}

using Expected = std::tuple<AnomalyKind, Severity, uint64_t>;

struct AnomalyCase {
  const char* name;
  DisplayConfig config;
  Bytes bytes;
  std::vector<Expected> expected;
};

Bytes Zeros(size_t n) { return Bytes(n, 0); }

const AnomalyKind kTruncated = AnomalyKind::Truncated;
const AnomalyKind kOutside = AnomalyKind::OutsideDisplay;
const AnomalyKind kPastEdge = AnomalyKind::PastEdge;
const Severity kError = Severity::Error;
const Severity kWarning = Severity::Warning;

std::vector<AnomalyCase> AnomalyCases() {
  const DisplayConfig t6 = T6963(6, 240, 64);  // text grid 40 x 8
  const DisplayConfig t8 = T6963(8, 240, 64);  // text grid 30 x 8
  const DisplayConfig k = KS108(128, 64);
  return {
      {"ends after a command byte", t6, {'a', 0xB5}, {{kTruncated, kError, 1}}},
      {"ends inside operands", t6, {0xB1, 0x05}, {{kTruncated, kError, 0}}},
      {"ends inside a payload", t6, Concat({Text("AB"), {0xBB, 0, 0, 2, 2, 0x11, 0x22}}),
       {{kTruncated, kError, 2}}},
      {"ends inside SetCGRAMChar rows", t6, {0xB5, 0x80, 1, 2, 3}, {{kTruncated, kError, 0}}},
      {"cursor at the last cell", t6, {0xB1, 40, 8}, {}},
      {"cursor past the last column", t6, {0xB1, 41, 1},
       {{AnomalyKind::CursorOutsideGrid, kError, 0}}},
      {"cursor past the last row", t6, Concat({Text("x"), {0xB1, 1, 9}}),
       {{AnomalyKind::CursorOutsideGrid, kError, 1}}},
      {"cursor column 0", t6, {0xB1, 0, 1}, {{AnomalyKind::CursorOutsideGrid, kError, 0}}},
      {"pitch 8 grid is 30 wide", t8, {0xB1, 31, 1},
       {{AnomalyKind::CursorOutsideGrid, kError, 0}}},
      {"port 3", t6, {0xBE, 3, 0xFF}, {}},
      {"port 4", t6, {0xBE, 4, 0x01}, {{AnomalyKind::BadPort, kError, 0}}},
      {"characters in the command range", t6,
       Concat({Text("a"), {0xB2, 0xB6, 0xB8, 0xB9, 0xBC, 0xBD, 0xAF, 0xBF}}),
       {{AnomalyKind::CommandRangeCharacter, kWarning, 1},
        {AnomalyKind::CommandRangeCharacter, kWarning, 2},
        {AnomalyKind::CommandRangeCharacter, kWarning, 3},
        {AnomalyKind::CommandRangeCharacter, kWarning, 4},
        {AnomalyKind::CommandRangeCharacter, kWarning, 5},
        {AnomalyKind::CommandRangeCharacter, kWarning, 6}}},
      {"single byte at the last column", t6, {0xB7, 234, 63, 0x3F}, {}},
      {"single byte right of the display", t6, {0xB7, 240, 0, 0x01},
       {{kOutside, kError, 0}}},
      {"single byte below the display", t6, {0xB7, 0, 64, 0x01}, {{kOutside, kError, 0}}},
      {"single byte not on a byte boundary", t6, {0xB7, 3, 0, 0x01},
       {{AnomalyKind::Misaligned, kWarning, 0}}},
      {"single byte one column off a byte boundary", t6, {0xB7, 1, 0, 0x01},
       {{AnomalyKind::Misaligned, kWarning, 0}}},
      // 255 payload bytes, then a command that must be read as one.
      {"multi of 255 bytes", t8, Concat({{0xBA, 0, 0, 255}, Zeros(255), {0xB1, 0, 1}}),
       {{kPastEdge, kError, 0}, {AnomalyKind::CursorOutsideGrid, kError, 259}}},
      {"last byte partly past the edge", T6963(8, 20, 8), {0xB7, 16, 0, 0xFF},
       {{kPastEdge, kWarning, 0}}},
      {"multi whole bytes past the edge", t6, {0xBA, 228, 0, 3, 1, 2, 3},
       {{kPastEdge, kError, 0}}},
      {"multi reaching the edge", t6, {0xBA, 222, 0, 3, 1, 2, 3}, {}},
      {"multi with no bytes", t6, {0xBA, 0, 0, 0}, {{AnomalyKind::EmptyTransfer, kWarning, 0}}},
      {"bitmap with no rows", t6, {0xBB, 0, 0, 4, 0}, {{AnomalyKind::EmptyTransfer, kWarning, 0}}},
      {"bitmap past the bottom", t6, Concat({{0xBB, 0, 62, 1, 3}, Zeros(3)}),
       {{kPastEdge, kError, 0}}},
      {"bitmap past the right and the bottom", t6, Concat({{0xBB, 234, 60, 2, 5}, Zeros(10)}),
       {{kPastEdge, kError, 0}, {kPastEdge, kError, 0}}},
      {"bitmap of the whole display", t8, Concat({{0xBB, 0, 0, 30, 64}, Zeros(1920)}), {}},
      {"bits 7 and 6 with pitch 6", t6, {0xB7, 0, 0, 0x40},
       {{AnomalyKind::UnusedBits, kWarning, 0}}},
      {"bits 7 and 6 with pitch 8", t8, {0xB7, 0, 0, 0xC0}, {}},
      {"custom character row with bit 7, pitch 6", t6,
       {0xB5, 0x80, 0, 0, 0, 0x80, 0, 0, 0, 0}, {{AnomalyKind::UnusedBits, kWarning, 0}}},
      {"KS108 whole picture", k, Concat({{0xBB, 0, 0, 16, 64}, Zeros(1024)}), {}},
      {"KS108 60 rows on a 60-row board", KS108(128, 60),
       Concat({{0xBB, 0, 0, 16, 60}, Zeros(1024)}), {}},
      {"KS108 narrower picture", k, Concat({{0xBB, 0, 0, 8, 64}, Zeros(512)}),
       {{AnomalyKind::NotWholePicture, kWarning, 0}}},
      {"KS108 shorter picture", k, Concat({{0xBB, 0, 0, 16, 56}, Zeros(7 * 128)}),
       {{AnomalyKind::NotWholePicture, kWarning, 0}}},
      {"KS108 wider picture", k, Concat({{0xBB, 0, 0, 20, 64}, Zeros(8 * 160)}),
       {{kPastEdge, kError, 0}}},
      {"KS108 taller picture", k, Concat({{0xBB, 0, 0, 16, 72}, Zeros(9 * 128)}),
       {{kPastEdge, kError, 0}}},
      {"KS108 picture outside", k, Concat({{0xBB, 200, 0, 16, 64}, Zeros(1024)}),
       {{kOutside, kError, 0}}},
      {"KS108 SetGfxSingle", k, {0xB7, 0, 0, 1}, {{AnomalyKind::WrongController, kError, 0}}},
      {"KS108 SetGfxMulti", k, {0xBA, 0, 0, 2, 1, 1},
       {{AnomalyKind::WrongController, kError, 0}}},
  };
}

TEST(DecoderTest, ReportsEachAnomalyAtTheCommandThatHasIt) {
  for (const AnomalyCase& c : AnomalyCases()) {
    const Decoded d = Decode(c.config, c.bytes);
    std::vector<Expected> got;
    for (const Anomaly& a : d.anomalies) {
      got.emplace_back(a.kind, a.severity, a.offset);
      EXPECT_FALSE(a.message.empty()) << c.name;
    }
    EXPECT_EQ(got, c.expected) << c.name;
    // The same anomalies whatever the chunking.
    std::vector<size_t> cuts;
    for (size_t i = 1; i < c.bytes.size(); ++i) cuts.push_back(i);
    const Decoded bytewise = DecodeSplit(c.config, c.bytes, cuts);
    ASSERT_EQ(bytewise.anomalies.size(), d.anomalies.size()) << c.name;
    for (size_t i = 0; i < d.anomalies.size(); ++i) {
      EXPECT_EQ(bytewise.anomalies[i].message, d.anomalies[i].message) << c.name;
    }
  }
}

TEST(DecoderTest, TruncationSaysHowFarTheCommandGot) {
  const Decoded d = Decode(T6963(6, 240, 64), {0xBB, 0, 0, 2, 2, 0x11});
  ASSERT_EQ(d.anomalies.size(), 1u);
  EXPECT_EQ(d.anomalies[0].message,
            "the stream ends inside SetBitmap after 1 of 4 payload bytes");
  EXPECT_TRUE(d.commands.empty());
  const Decoded e = Decode(T6963(6, 240, 64), {0xBE, 0x01});
  ASSERT_EQ(e.anomalies.size(), 1u);
  EXPECT_EQ(e.anomalies[0].message,
            "the stream ends inside SetOutPort after 1 of 2 operand bytes");
}

TEST(DecoderTest, FormatsCommandsAsTheDriverTraceDoes) {
  const struct {
    Bytes bytes;
    const char* line;
  } cases[] = {
      {{0xB0}, "ResetDisplay()"},
      {{0xB1, 0x28, 0x08}, "SetTextCursor() x=039 y=007"},
      {{0xB3, 30}, "SetContrast() contrast=30"},
      {{0xB4, 200}, "SetLight() light=200"},
      {{0xB5, 0x80, 0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00},
       "SetCGRAMChar() pos=128 0x0E,0x11,0x11,0x1F,0x11,0x11,0x11,0x00,"},
      {{0xB7, 0x08, 0x03, 0x40}, "SetGfxSingle() x=008 y=003 by=0x40"},
      {{0xBA, 0x06, 0x05, 0x03, 1, 2, 3}, "SetGfxMulti() x=006 y=005 bytes=003"},
      {{0xBB, 0x0C, 0x02, 0x02, 0x01, 1, 2}, "SetBitmap() x=012 y=002 width=002 bytes height=001 pixels"},
      {{0xBE, 0x02, 0xFF}, "SetOutPort() port=2 value=0xFF"},
      {{'A'}, "Text \"A\""},
      {{0x0A}, "Text \"\\x0A\""},
      {{'"'}, "Text \"\\x22\""},
  };
  for (const auto& c : cases) {
    const Decoded d = Decode(T6963(6, 240, 64), c.bytes);
    ASSERT_EQ(d.commands.size(), 1u) << c.line;
    EXPECT_EQ(FormatCommand(d.commands[0]), c.line);
  }
}

TEST(LogTest, GathersCharactersIntoRunsAndPlacesAnomaliesAfterTheirCommand) {
  const Bytes bytes = Concat({{0xB0, 0xB1, 0x01, 0x02}, Text("Hello"), {0xB2},
                              Text("\\ok"), {0xB4, 0x10}, {0xBE, 0x07, 0x01},
                              Text("end"), {0xBB, 0x00}});
  const Decoded d = Decode(T6963(6, 240, 64), bytes);
  LogWriter log;
  LogBatch(log, d.commands, d.anomalies);
  LogFlush(log);
  EXPECT_EQ(log.out,
            "ResetDisplay()\n"
            "SetTextCursor() x=000 y=001\n"
            "Text \"Hello\\xB2\"\n"
            "! warning at byte 9: character 0xB2 lies in the command range 0xB0-0xBE: "
            "with no escape byte, the codes there that are commands reach the board as "
            "commands\n"
            "Text \"\\x5Cok\"\n"
            "SetLight() light=16\n"
            "SetOutPort() port=7 value=0x01\n"
            "! error at byte 15: SetOutPort port 7 does not exist (0 to 3)\n"
            "Text \"end\"\n"
            "! error at byte 21: the stream ends inside SetBitmap after 1 of 4 operand "
            "bytes\n");
}

TEST(LogTest, BreaksLongTextRuns) {
  const Bytes bytes(kLogRunLength + 3, 'x');
  const Decoded d = Decode(T6963(6, 240, 64), bytes);
  LogWriter log;
  LogBatch(log, d.commands, d.anomalies);
  LogFlush(log);
  EXPECT_EQ(log.out, "Text \"" + std::string(kLogRunLength, 'x') + "\"\nText \"xxx\"\n");
}

}  // namespace
