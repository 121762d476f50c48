#include "tools/board/capture.h"

#include <gtest/gtest.h>

#include "tools/board/tests/helpers.h"

namespace {

using namespace board;
using namespace board_test;

TEST(CaptureTest, HeaderRecordsTheBoardAndReadsBack) {
  const std::string header = CaptureHeader(KS108(128, 64, 8));
  EXPECT_EQ(header, "KORVEX-CAPTURE 1 controller=108 pitch=8 width=128 height=64\n");
  const Bytes stream = Concat({Text(header), {0xB0, 0x41}});
  DisplayConfig config;
  size_t length = 0;
  std::string error;
  ASSERT_EQ(ScanCaptureHeader(stream.data(), stream.size(), &config, &length, &error),
            HeaderScan::kFound)
      << error;
  EXPECT_EQ(length, header.size());
  EXPECT_EQ(config.controller, Controller::KS108);
  EXPECT_EQ(config.pitch, 8);
  EXPECT_EQ(config.width, 128);
  EXPECT_EQ(config.height, 64);
}

TEST(CaptureTest, ScanTellsHeadersFromStreamsAndBadLines) {
  const struct {
    std::string start;
    HeaderScan scan;
    const char* error;
  } cases[] = {
      {"\xB0Hello", HeaderScan::kNone, ""},
      {"KORVEX", HeaderScan::kNeedMore, ""},
      {"KORVEX-CAPTURE 1 controller=6963", HeaderScan::kNeedMore, ""},
      {"KORVEXa", HeaderScan::kNone, ""},
      {"KORVEX-CAPTURE 1 controller=6963 pitch=6 width=240 height=64 later=1\n",
       HeaderScan::kFound, ""},
      {"KORVEX-CAPTURE 2 controller=6963\n", HeaderScan::kBad,
       "it is a KORVEX-CAPTURE of version '2', this program reads 1"},
      {"KORVEX-CAPTURE 1 controller=6963 pitch=7 width=240 height=64\n", HeaderScan::kBad,
       "its KORVEX-CAPTURE line has 'pitch=7'"},
      {"KORVEX-CAPTURE 1 controller=6963 width=240 width=240 height=64\n", HeaderScan::kBad,
       "its KORVEX-CAPTURE line lacks controller, pitch, width or height"},
      {"KORVEX-CAPTURE 1 " + std::string(300, 'x'), HeaderScan::kBad,
       "its KORVEX-CAPTURE line has no end"},
  };
  for (const auto& c : cases) {
    DisplayConfig config;
    size_t length = 0;
    std::string error;
    const Bytes bytes = Text(c.start);
    EXPECT_EQ(ScanCaptureHeader(bytes.data(), bytes.size(), &config, &length, &error), c.scan)
        << c.start;
    EXPECT_EQ(error, c.error) << c.start;
  }
}

}  // namespace
