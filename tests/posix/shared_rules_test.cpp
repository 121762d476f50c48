// ParseProfileInt, DeviceNameForPort and ExtendTickCount, table by table.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/common/port_names.h"
#include "case_name.h"

namespace {

struct IntCase {
  const char* text;
  int32_t fallback;
  uint32_t expected;
};

class ParseProfileIntTest : public testing::TestWithParam<IntCase> {};

TEST_P(ParseProfileIntTest, ReadsAsTheWin32Reader) {
  const IntCase& c = GetParam();
  EXPECT_EQ(ParseProfileInt(c.text, c.fallback), c.expected) << "text \"" << c.text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseProfileIntTest,
    testing::Values(
        // plain decimals and signs
        IntCase{"0", 7, 0u}, IntCase{"19200", 7, 19200u}, IntCase{"+42", 7, 42u},
        IntCase{"-1", 7, 4294967295u}, IntCase{"-4096", 7, 0u - 4096u},
        IntCase{"007", 1, 7u},  // a leading zero is no octal prefix
        // leading blanks
        IntCase{"  0x1F", 7, 31u}, IntCase{"\t12", 7, 12u}, IntCase{" \t -3", 7, 0u - 3u},
        // prefixes, lower-case only
        IntCase{"0x1F", 7, 31u}, IntCase{"0xff", 7, 255u}, IntCase{"0xFFFFFFFF", 7, 4294967295u},
        IntCase{"0o17", 7, 15u}, IntCase{"0b101", 7, 5u}, IntCase{"-0x10", 7, 0u - 16u},
        IntCase{"0X1F", 7, 0u}, IntCase{"0O17", 7, 0u}, IntCase{"0B101", 7, 0u},
        IntCase{"0x", 7, 0u}, IntCase{"0xg", 7, 0u},
        // digits stop at the first one outside the base
        IntCase{"0o18", 7, 1u}, IntCase{"0b1012", 7, 5u}, IntCase{"0x1g2", 7, 1u},
        // trailing text
        IntCase{"12abc", 7, 12u}, IntCase{"8 9", 7, 8u}, IntCase{"6.5", 7, 6u},
        IntCase{"abc", 7, 0u}, IntCase{"- 5", 7, 0u}, IntCase{"-", 7, 0u}, IntCase{"+", 7, 0u},
        IntCase{"--1", 7, 0u},
        // beyond 32 bits: the low 32 bits, no saturation
        IntCase{"4294967295", 7, 4294967295u}, IntCase{"4294967296", 7, 0u},
        IntCase{"4294967297", 7, 1u}, IntCase{"99999999999", 7, 1215752191u},
        IntCase{"0x123456789", 7, 0x23456789u}, IntCase{"-4294967297", 7, 4294967295u},
        // empty gives the fallback, cast to unsigned
        IntCase{"", 7, 7u}, IntCase{"", -1, 4294967295u}, IntCase{"   ", 9, 9u},
        IntCase{nullptr, 5, 5u}),
    [](const testing::TestParamInfo<IntCase>& info) {
      return test_names::CaseName(info.param.text, info.index);
    });

struct NameCase {
  const char* name;
  size_t size;
  bool ok;
  const char* expected;
};

class DeviceNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(DeviceNameTest, UsesTheDeviceNamespace) {
  const NameCase& c = GetParam();
  char out[64];
  memset(out, 'x', sizeof out);
  ASSERT_LE(c.size, sizeof out);
  EXPECT_EQ(DeviceNameForPort(c.name, out, c.size), c.ok);
  EXPECT_EQ(std::string(out), std::string(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceNameTest,
    testing::Values(NameCase{"COM1", 64, true, "\\\\.\\COM1"},
                    NameCase{"COM10", 64, true, "\\\\.\\COM10"},
                    NameCase{"\\\\.\\COM10", 64, true, "\\\\.\\COM10"},
                    NameCase{"", 64, true, "\\\\.\\"},
                    // one trailing colon dropped, as plain CreateFile does;
                    // a prefixed name is the host's own and stays whole
                    NameCase{"COM3:", 64, true, "\\\\.\\COM3"},
                    NameCase{"COM12::", 64, true, "\\\\.\\COM12:"},
                    NameCase{":", 64, true, "\\\\.\\"},
                    NameCase{"\\\\.\\COM3:", 64, true, "\\\\.\\COM3:"},
                    // the colon does not count against the room
                    NameCase{"COM10:", 10, true, "\\\\.\\COM10"},
                    NameCase{"COM10:", 9, false, ""},
                    // exactly fitting, and one byte short: never shortened
                    NameCase{"COM10", 10, true, "\\\\.\\COM10"},
                    NameCase{"COM10", 9, false, ""},
                    NameCase{"\\\\.\\COM10", 10, true, "\\\\.\\COM10"},
                    NameCase{"\\\\.\\COM10", 9, false, ""},
                    NameCase{nullptr, 64, false, ""}),
    [](const testing::TestParamInfo<NameCase>& info) {
      return test_names::CaseName(info.param.name, info.index);
    });

TEST(DeviceNameForPort, RefusesAnEmptyBuffer) {
  char out[1] = {'x'};
  EXPECT_FALSE(DeviceNameForPort("COM1", out, 0));
  EXPECT_EQ(out[0], 'x');
  EXPECT_FALSE(DeviceNameForPort("COM1", nullptr, 16));
}


// ExtendTickCount over sequences of 32-bit readings, as PlatformTickMs feeds
// it GetTickCount: each result is the next call's `last`.
struct TickCase {
  const char* what;
  uint64_t start;
  std::vector<uint32_t> readings;
  std::vector<uint64_t> expected;
};

class TickCountTest : public testing::TestWithParam<TickCase> {};

TEST_P(TickCountTest, CountsOnAcrossTheWrap) {
  const TickCase& c = GetParam();
  ASSERT_EQ(c.readings.size(), c.expected.size());
  uint64_t last = c.start;
  for (size_t i = 0; i < c.readings.size(); ++i) {
    last = ExtendTickCount(last, c.readings[i]);
    EXPECT_EQ(last, c.expected[i]) << "reading " << i << ": " << c.readings[i];
  }
}

const uint64_t kWrap = 0x100000000ull;

INSTANTIATE_TEST_SUITE_P(
    Table, TickCountTest,
    testing::Values(
        TickCase{"first reading is taken as it is", 0, {123456}, {123456}},
        TickCase{"the same reading twice", 0, {7, 7}, {7, 7}},
        TickCase{"across the wrap in small steps",
                 0,
                 {0xFFFFFFF0u, 0xFFFFFFFFu, 0u, 0xFu},
                 {0xFFFFFFF0u, 0xFFFFFFFFu, kWrap, kWrap + 0xF}},
        TickCase{"steps of half the range and more, three wraps",
                 0,
                 {0x80000000u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0xFFFFFFFEu, 1u, 0u},
                 {0x80000000u, 0xFFFFFFFFu, kWrap + 0x7FFFFFFF, kWrap + 0xFFFFFFFE,
                  2 * kWrap + 1, 3 * kWrap}},
        TickCase{"a step just short of a whole round", 5, {4}, {5 + 0xFFFFFFFFull}},
        TickCase{"days into a later round", 3 * kWrap + 10, {20, 5}, {3 * kWrap + 20, 4 * kWrap + 5}}),
    [](const testing::TestParamInfo<TickCase>& info) {
      return test_names::CaseName(info.param.what, info.index);
    });

}  // namespace

// The tools' names for a port come from the same rule: the device name, and
// the plain name shown in lists and titles; a long name is never cut.
TEST(ToolPortNames, FollowTheDriversRule) {
  const std::string long_name = "COM" + std::string(300, '7');
  const struct {
    std::string name, device, plain;
  } cases[] = {
      {"COM3", "\\\\.\\COM3", "COM3"},
      {"COM21:", "\\\\.\\COM21", "COM21"},
      {"\\\\.\\COM9", "\\\\.\\COM9", "COM9"},
      {"\\\\.\\COM9:", "\\\\.\\COM9:", "COM9:"},
      {long_name + ":", "\\\\.\\" + long_name, long_name},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.device, tools_common::PortDeviceName(c.name)) << c.name;
    EXPECT_EQ(c.plain, tools_common::PortPlainName(c.name)) << c.name;
  }
}
