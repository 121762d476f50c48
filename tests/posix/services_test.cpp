// Message box, current directory and trace file of the POSIX layer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "case_name.h"
#include "test_files.h"

namespace {

// Runs `show` with standard error going to a file; returns what it printed.
template <typename Show>
std::string CaptureStderr(const std::string& dir, Show show) {
  const std::string path = dir + "/stderr.txt";
  fflush(stderr);
  const int saved = dup(2);
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(file, 2);
  close(file);
  show();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  return test_files::ReadFile(path);
}

class ServicesTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test_files::MakeTempDir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { test_files::RemoveTree(dir_); }
  std::string dir_;
};

struct BoxCase {
  const char* text;
  const char* caption;
  const char* printed;
};

class MessageBoxTest : public ServicesTest, public testing::WithParamInterface<BoxCase> {};

TEST_P(MessageBoxTest, PrintsCaptionAndTextToStandardError) {
  const BoxCase& c = GetParam();
  int result = 0;
  const std::string printed =
      CaptureStderr(dir_, [&] { result = PlatformShowMessageBox(c.text, c.caption); });
  EXPECT_EQ(result, 1);  // IDOK
  EXPECT_EQ(printed, c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MessageBoxTest,
    testing::Values(
        BoxCase{"##################### CreateFile() for COM9 , Baudrate 19200 failed ! Error 2 "
                "#####################",
                nullptr,
                "Error: ##################### CreateFile() for COM9 , Baudrate 19200 failed ! "
                "Error 2 #####################\n"},
        BoxCase{"Baudrate 19200\nTextBufferSize 16\nGfxBufferSize 64\nLCD_FontPitch 6\n",
                "Settings",
                "Settings: Baudrate 19200\nTextBufferSize 16\nGfxBufferSize 64\nLCD_FontPitch 6\n"},
        BoxCase{"100% done", "Settings", "Settings: 100% done\n"},
        BoxCase{"", nullptr, "Error: \n"}),
    [](const testing::TestParamInfo<BoxCase>& info) {
      return test_names::CaseName(info.param.caption, info.index);
    });

TEST_F(ServicesTest, GetCurrentDirGivesTheWorkingDirectory) {
  char expected[PATH_MAX];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  char buffer[PATH_MAX];
  ASSERT_TRUE(PlatformGetCurrentDir(buffer, sizeof buffer));
  EXPECT_STREQ(buffer, expected);
}

TEST_F(ServicesTest, GetCurrentDirFailsWhenTheDirectoryDoesNotFit) {
  char expected[PATH_MAX];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  const size_t length = strlen(expected);
  char buffer[PATH_MAX];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_FALSE(PlatformGetCurrentDir(buffer, length));  // no room for the terminator
  EXPECT_STREQ(buffer, "");
  EXPECT_TRUE(PlatformGetCurrentDir(buffer, length + 1));
  EXPECT_STREQ(buffer, expected);
  EXPECT_FALSE(PlatformGetCurrentDir(buffer, 0));
}

TEST_F(ServicesTest, TheTraceAppendsWithLineFeedsThroughItsSlot) {
  const std::string path = dir_ + "/debug.log";
  test_files::WriteFile(path, "earlier\n");
  TraceFile trace = nullptr;
  PlatformTraceOpen(&trace, path.c_str());
  ASSERT_NE(trace, nullptr);
  EXPECT_TRUE(PlatformTraceWrite(&trace, "\nLCD_Init()", 11));
  EXPECT_TRUE(PlatformTraceWrite(&trace, "\nOpenPort() 100%", 16));
  EXPECT_TRUE(PlatformTraceWrite(&trace, "", 0));
  PlatformTraceClose(&trace);
  EXPECT_EQ(trace, nullptr);
  // A closed slot takes no writes and closes again harmlessly.
  EXPECT_FALSE(PlatformTraceWrite(&trace, "x", 1));
  PlatformTraceClose(&trace);
  PlatformTraceOpen(&trace, path.c_str());
  ASSERT_NE(trace, nullptr);
  EXPECT_TRUE(PlatformTraceWrite(&trace, "\nagain\n", 7));
  PlatformTraceClose(&trace);
  EXPECT_EQ(test_files::ReadFile(path), "earlier\n\nLCD_Init()\nOpenPort() 100%\nagain\n");

  PlatformTraceOpen(&trace, (dir_ + "/missing/debug.log").c_str());
  EXPECT_EQ(trace, nullptr);
  EXPECT_FALSE(test_files::Exists(dir_ + "/missing"));
}

}  // namespace
