// The settings window's logic on the POSIX layer over real files: the file
// as the driver reads it, the values typed into the window, the rewrite, and
// which file the host really reads on made-up Windows machines.
#include "tools/settings/settings_core.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>
#include <string>

#include "tests/posix/test_files.h"

namespace {

using namespace settings_tool;

class SettingsCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test_files::MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    path_ = dir_ + "/config.ini";
  }
  void TearDown() override { test_files::RemoveTree(dir_); }
  Settings Read(const std::string& content) {
    test_files::WriteFile(path_, content);
    Settings s;
    EXPECT_TRUE(ReadSettings(path_, s));
    return s;
  }
  std::string dir_, path_;
};

TEST_F(SettingsCoreTest, AMissingFileGivesTheDriversDefaults) {
  Settings s;
  ASSERT_TRUE(ReadSettings(path_, s));
  const int32_t expected[kKeyCount] = {19200, 16, 64, 0, 0, 6, 0, 6963, 0};
  for (int k = 0; k < kKeyCount; ++k) {
    EXPECT_EQ(s.value[k], expected[k]) << Info(static_cast<Key>(k)).name;
    EXPECT_FALSE(s.in_file[k]) << Info(static_cast<Key>(k)).name;
  }
  const Settings d = Defaults();
  for (int k = 0; k < kKeyCount; ++k) EXPECT_EQ(d.value[k], expected[k]);
  EXPECT_FALSE(test_files::Exists(path_)) << "reading makes no file";
}

// The file as the driver reads it, and the lines that say what it replaces.
struct ReadCase {
  const char* content;
  int32_t expected[kKeyCount];
  std::vector<std::string> replaced;
};

TEST_F(SettingsCoreTest, ReadsAndCorrectsAsTheDriverDoes) {
  const ReadCase cases[] = {
      {"[Korvex]\nTextBufferSize=0\nGfxBufferSize=4096\n",
       {19200, 16, 4096, 0, 0, 6, 0, 6963, 0},
       {"TextBufferSize: the file says 0; the driver uses 16"}},
      {"[Korvex]\nTextBufferSize=300\nGfxBufferSize=4097\nGfxForceFlush=2\nLogFile=1\n",
       {19200, 16, 64, 0, 0, 6, 0, 6963, 1},
       {"TextBufferSize: the file says 300; the driver uses 16",
        "GfxBufferSize: the file says 4097; the driver uses 64",
        "GfxForceFlush: the file says 2; the driver uses 0"}},
      {"[Korvex]\nLCD_Controller=108\nLCD_FontPitch=6\n",
       {19200, 16, 64, 0, 0, 8, 0, 108, 0},
       {"LCD_FontPitch: the file says 6; the driver uses 8"}},
      {"[Korvex]\nLCD_Controller=7\nLCD_FontPitch=8\nBaudRate=0\n",
       {0, 16, 64, 0, 0, 8, 0, 6963, 0},
       {"LCD_Controller: the file says 7; the driver uses 6963"}},
      // The driver's number rule: hex, a number with a tail, a negative size.
      {"[Korvex]\nBaudRate=0x4B00\nTextBufferSize=12abc\nGfxBufferSize=-1\nGfxChangesOnly=1\n",
       {19200, 12, 64, 0, 1, 6, 0, 6963, 0},
       {"GfxBufferSize: the file says -1; the driver uses 64"}},
      {"[Other]\nTextBufferSize=300\n", {19200, 16, 64, 0, 0, 6, 0, 6963, 0}, {}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.content);
    const Settings s = Read(c.content);
    for (int k = 0; k < kKeyCount; ++k) {
      EXPECT_EQ(s.value[k], c.expected[k]) << Info(static_cast<Key>(k)).name;
    }
    EXPECT_EQ(Replacements(s), c.replaced);
  }
}

TEST_F(SettingsCoreTest, KnowsWhichKeysTheFileHas) {
  const Settings s = Read("[Korvex]\nBaudRate=9600\nGfxChangesOnly=\nLogFile=0\n");
  const bool expected[kKeyCount] = {true, false, false, false, false, false, false, false, true};
  for (int k = 0; k < kKeyCount; ++k) {
    EXPECT_EQ(s.in_file[k], expected[k]) << Info(static_cast<Key>(k)).name;
  }
}

// What the window lists as accepted is what the driver keeps: every listed
// choice or range end stays, the values just outside are replaced.
TEST_F(SettingsCoreTest, TheAcceptedValuesShownAreTheDriversRules) {
  const bool none[kKeyCount] = {};
  auto kept = [&](int key, int64_t v) {
    std::string text[kKeyCount];
    text[key] = std::to_string(v);
    // A KS108 forces pitch 8; the pitch is checked with the T6963.
    const Settings s = FromText(text, none);
    return static_cast<int64_t>(s.value[key]) == v;
  };
  for (int k = 0; k < kKeyCount; ++k) {
    const KeyInfo& info = Info(static_cast<Key>(k));
    SCOPED_TRACE(info.name);
    if (!info.choices.empty()) {
      std::set<int64_t> choices(info.choices.begin(), info.choices.end());
      std::string words;
      for (int32_t c : info.choices) {
        EXPECT_TRUE(kept(k, c)) << c;
        words += (words.empty() ? "" : " or ") + std::to_string(c);
      }
      EXPECT_EQ(words, info.accepted);
      for (int64_t v : {-1LL, 2LL, 7LL, 109LL, 6962LL, 6964LL}) {
        if (!choices.count(v)) {
          EXPECT_FALSE(kept(k, v)) << v;
        }
      }
      continue;
    }
    long low = 0, high = 0;
    if (sscanf(info.accepted, "%ld to %ld", &low, &high) == 2) {
      EXPECT_TRUE(kept(k, low));
      EXPECT_TRUE(kept(k, high));
      EXPECT_FALSE(kept(k, low - 1));
      EXPECT_FALSE(kept(k, high + 1));
      EXPECT_FALSE(kept(k, -1));
    } else {
      EXPECT_STREQ(info.accepted, "any whole number");
      for (int64_t v : {0LL, -1LL, 1LL, 115200LL}) EXPECT_TRUE(kept(k, v)) << v;
    }
  }
}

TEST_F(SettingsCoreTest, TypedValuesFollowTheDriversNumberRule) {
  const bool none[kKeyCount] = {};
  std::string text[kKeyCount] = {"0x2580", " 32", "", "1", "abc", "6", "1", "108", "01"};
  const Settings s = FromText(text, none);
  const int32_t expected[kKeyCount] = {9600, 32, 64, 1, 0, 8, 1, 108, 1};
  for (int k = 0; k < kKeyCount; ++k) {
    EXPECT_EQ(s.value[k], expected[k]) << Info(static_cast<Key>(k)).name;
  }
}

// The rewrite as LCD_Init does it: keys in place or added to the section,
// foreign sections, keys and comments kept, GfxChangesOnly only when set or
// already there.
TEST_F(SettingsCoreTest, WritesBackKeepingForeignContent) {
  const std::string before =
      "; my board\n"
      "[Other]\n"
      "Key=1\n"
      "\n"
      "[Korvex]\n"
      "; the speed of my board\n"
      "BaudRate=9600\n"
      "Mine=yes\n"
      "LogFile=1\n"
      "[Last]\n"
      "X=2\n";
  struct Case {
    const char* changes_only_line;  // in the file before, or null
    const char* typed;              // GfxChangesOnly as typed
    const char* expected_line;      // in the file after, or null
  } cases[] = {
      {nullptr, "0", nullptr},
      {nullptr, "1", "GfxChangesOnly=1\n"},
      {"GfxChangesOnly=1\n", "0", "GfxChangesOnly=0\n"},
      {"GfxChangesOnly=0\n", "0", "GfxChangesOnly=0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    std::string content = before;
    if (c.changes_only_line) {
      content.insert(content.find("Mine=yes\n"), c.changes_only_line);
    }
    Settings s = Read(content);
    std::string text[kKeyCount] = {"115200", "300", "4096", "1", c.typed, "8", "0", "6963", "0"};
    Settings typed = FromText(text, s.in_file);
    ASSERT_TRUE(WriteSettings(path_, typed));
    std::string changes_only = c.changes_only_line ? c.expected_line : "";
    std::string tail = (!c.changes_only_line && c.expected_line) ? c.expected_line : "";
    const std::string expected =
        "; my board\n"
        "[Other]\n"
        "Key=1\n"
        "\n"
        "[Korvex]\n"
        "; the speed of my board\n"
        "BaudRate=115200\n" +
        changes_only +
        "Mine=yes\n"
        "LogFile=0\n"
        "TextBufferSize=16\n"
        "GfxBufferSize=4096\n"
        "GfxForceFlush=1\n" +
        tail +
        "LCD_FontPitch=8\n"
        "LCD_UseOutPorts=0\n"
        "LCD_Controller=6963\n"
        "[Last]\n"
        "X=2\n";
    EXPECT_EQ(test_files::ReadFile(path_), expected);
  }
}

TEST_F(SettingsCoreTest, ANewFileIsTheDriversOwn) {
  const bool none[kKeyCount] = {};
  std::string text[kKeyCount];
  ASSERT_TRUE(WriteSettings(path_, FromText(text, none)));
  EXPECT_EQ(test_files::ReadFile(path_),
            "[Korvex]\nBaudRate=19200\nTextBufferSize=16\nGfxBufferSize=64\nGfxForceFlush=0\n"
            "LCD_FontPitch=6\nLCD_UseOutPorts=0\nLCD_Controller=6963\nLogFile=0\n");
}

TEST_F(SettingsCoreTest, APathLongerThanTheDriversIsRefused) {
  const std::string long_path = dir_ + "/" + std::string(300, 'x') + ".ini";
  Settings s;
  EXPECT_FALSE(ReadSettings(long_path, s));
  EXPECT_FALSE(WriteSettings(long_path, s));
}

// ---- which file the host reads

TEST(VirtualStore, PathsAndFolders) {
  const std::string local = "C:\\Users\\Ann\\AppData\\Local";
  EXPECT_EQ(VirtualStoreDir(local, "C:\\Program Files (x86)\\Host"),
            local + "\\VirtualStore\\Program Files (x86)\\Host");
  EXPECT_EQ(VirtualStoreDir(local, "D:\\Program Files\\Host\\"),
            local + "\\VirtualStore\\Program Files\\Host");
  EXPECT_EQ(VirtualStoreDir(local, "c:/Program Files/Host"),
            local + "\\VirtualStore\\Program Files\\Host");
  EXPECT_EQ(VirtualStoreDir(local, "\\\\server\\share\\Host"), "");
  EXPECT_TRUE(IsUnder("C:\\Program Files\\Host", "C:\\Program Files"));
  EXPECT_TRUE(IsUnder("c:\\program files\\host\\", "C:\\Program Files\\"));
  EXPECT_TRUE(IsUnder("C:\\Program Files", "C:\\Program Files"));
  EXPECT_FALSE(IsUnder("C:\\Program Files (x86)\\Host", "C:\\Program Files"));
  EXPECT_FALSE(IsUnder("C:\\Programs\\Host", "C:\\Program Files"));
  EXPECT_FALSE(IsUnder("C:\\Host", ""));
}

TEST(VirtualStore, ChoosesTheFileTheHostReads) {
  const std::string local = "C:\\Users\\Ann\\AppData\\Local";
  const std::string store = local + "\\VirtualStore\\Program Files (x86)\\Host\\config.ini";
  struct Case {
    const char* name;
    const char* host_dir;
    bool virtualises, copy_exists, writable;
    Where where;
    std::string path;
  } cases[] = {
      {"XP", "C:\\Program Files (x86)\\Host", false, true, false, Where::kHostFolder,
       "C:\\Program Files (x86)\\Host\\config.ini"},
      {"copy there", "C:\\Program Files (x86)\\Host", true, true, false, Where::kVirtualStore,
       store},
      {"copy there, writable", "C:\\Program Files (x86)\\Host\\", true, true, true,
       Where::kVirtualStore, store},
      {"no copy yet", "C:\\Program Files (x86)\\Host", true, false, false,
       Where::kVirtualStoreNext, store},
      {"writable", "C:\\Program Files (x86)\\Host", true, false, true, Where::kHostFolder,
       "C:\\Program Files (x86)\\Host\\config.ini"},
      {"own folder", "C:\\Host", true, true, false, Where::kHostFolder, "C:\\Host\\config.ini"},
      {"Windows folder", "C:\\Windows\\Host", true, false, false, Where::kVirtualStoreNext,
       local + "\\VirtualStore\\Windows\\Host\\config.ini"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.host_dir = c.host_dir;
    m.local_app_data = local;
    m.protected_dirs = {"C:\\Program Files", "C:\\Program Files (x86)", "C:\\Windows",
                        "C:\\ProgramData"};
    m.virtualises = c.virtualises;
    std::set<std::string> asked;
    m.file_exists = [&](const std::string& p) {
      asked.insert(p);
      return c.copy_exists && p.find("VirtualStore") != std::string::npos;
    };
    m.dir_writable = [&](const std::string&) { return c.writable; };
    const Location loc = LocateConfig(m);
    EXPECT_EQ(loc.where, c.where);
    EXPECT_EQ(loc.path, c.path);
    EXPECT_NE(loc.words.find(loc.path), std::string::npos) << loc.words;
    EXPECT_EQ(loc.host_file.substr(loc.host_file.size() - 11), "\\config.ini");
  }
}

}  // namespace
