// The private-profile reader and writer of the POSIX layer, on real files in
// a temporary folder.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "platform/platform.h"
#include "case_name.h"
#include "test_files.h"

namespace {

using test_files::DropRoot;
using test_files::ListDir;
using test_files::ReadFile;
using test_files::WriteFile;

class ProfileFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test_files::MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    path_ = dir_ + "/config.ini";
  }
  void TearDown() override { test_files::RemoveTree(dir_); }

  bool Write(const char* key, const char* value, const char* section = "Korvex") {
    return PlatformProfileWriteString(section, key, value, path_.c_str());
  }
  uint32_t Read(const char* key, int32_t fallback, const char* section = "Korvex") {
    return PlatformProfileReadInt(section, key, fallback, path_.c_str());
  }

  std::string dir_;
  std::string path_;
};

// The whole file the driver makes at its first start is SessionTest's
// FreshFolderGetsTheDefaultFile.
TEST_F(ProfileFileTest, AMissingFileIsMadeWithTheUmask) {
  // A mask that leaves the group's write bit: the file is made writable by
  // all, and the mask alone takes bits away.
  const mode_t old_mask = umask(002);
  const bool ok = Write("BaudRate", "19200");
  umask(old_mask);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ReadFile(path_), "[Korvex]\nBaudRate=19200\n");
  EXPECT_EQ(Read("BaudRate", 1), 19200u);
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"config.ini"});
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0664u);
}

TEST_F(ProfileFileTest, ARewriteKeepsForeignSectionsCommentsAndBlankLines) {
  WriteFile(path_,
            "; display settings, edited by hand\n"
            "[Host]\n"
            "Driver = Korvex.dll\n"
            "BaudRate=300\n"
            "\n"
            "[Korvex]\n"
            "; line speed of the board\n"
            "BaudRate = 9600\n"
            "  TextBufferSize=16   \n"
            "GfxBufferSize=64 ; bytes per transfer\n"
            "\n"
            "; the next section is not ours\n"
            "[Other]\n"
            "LogFile=7\n"
            "\t\n");
  EXPECT_EQ(Read("GfxBufferSize", 1), 64u);
  EXPECT_EQ(Read("BaudRate", 1), 9600u);
  ASSERT_TRUE(Write("BaudRate", "19200"));
  ASSERT_TRUE(Write("TextBufferSize", "32"));
  ASSERT_TRUE(Write("GfxBufferSize", "4096"));
  ASSERT_TRUE(Write("LogFile", "1"));
  EXPECT_EQ(ReadFile(path_),
            "; display settings, edited by hand\n"
            "[Host]\n"
            "Driver = Korvex.dll\n"
            "BaudRate=300\n"
            "\n"
            "[Korvex]\n"
            "; line speed of the board\n"
            "BaudRate=19200\n"
            "TextBufferSize=32\n"
            "GfxBufferSize=4096\n"
            "LogFile=1\n"
            "\n"
            "; the next section is not ours\n"
            "[Other]\n"
            "LogFile=7\n"
            "\t\n");
  EXPECT_EQ(Read("BaudRate", 1, "Host"), 300u);
  EXPECT_EQ(Read("LogFile", 1, "Other"), 7u);
  EXPECT_EQ(Read("LogFile", 0), 1u);
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"config.ini"});
}

struct RewriteCase {
  const char* what;
  const char* before;
  const char* key;
  const char* value;
  const char* after;
};

class RewriteTest : public ProfileFileTest, public testing::WithParamInterface<RewriteCase> {};

TEST_P(RewriteTest, ChangesOnlyWhatItMust) {
  const RewriteCase& c = GetParam();
  WriteFile(path_, c.before);
  ASSERT_TRUE(Write(c.key, c.value)) << c.what;
  EXPECT_EQ(ReadFile(path_), c.after) << c.what;
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"config.ini"}) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RewriteTest,
    testing::Values(
        // missing keys go to the end of their own section
        RewriteCase{"another section follows", "[Korvex]\nBaudRate=1\n[Other]\nA=1\n", "LogFile",
                    "1", "[Korvex]\nBaudRate=1\nLogFile=1\n[Other]\nA=1\n"},
        RewriteCase{"before the section's trailing blank lines",
                    "[Korvex]\nBaudRate=1\n\n\n[Other]\n", "LogFile", "1",
                    "[Korvex]\nBaudRate=1\nLogFile=1\n\n\n[Other]\n"},
        RewriteCase{"before a trailing comment", "[Korvex]\nBaudRate=1\n; for Other\n[Other]\n",
                    "LogFile", "1", "[Korvex]\nBaudRate=1\nLogFile=1\n; for Other\n[Other]\n"},
        RewriteCase{"after comments between keys",
                    "[Korvex]\n; speed\nBaudRate=1\n# size\nTextBufferSize=2\n\n", "LogFile", "1",
                    "[Korvex]\n; speed\nBaudRate=1\n# size\nTextBufferSize=2\nLogFile=1\n\n"},
        RewriteCase{"a section without keys", "[Korvex]\n\n[Other]\nA=1\n", "LogFile", "1",
                    "[Korvex]\nLogFile=1\n\n[Other]\nA=1\n"},
        RewriteCase{"a commented-out key does not count", "[Korvex]\n;BaudRate=1\n", "BaudRate",
                    "2", "[Korvex]\nBaudRate=2\n;BaudRate=1\n"},
        RewriteCase{"the header is the last line, no line end", "[Korvex]", "LogFile", "1",
                    "[Korvex]\nLogFile=1\n"},
        RewriteCase{"the last key has no line end", "[Korvex]\nBaudRate=1", "LogFile", "1",
                    "[Korvex]\nBaudRate=1\nLogFile=1\n"},
        // existing keys are rewritten in place
        RewriteCase{"in place, no line end kept as none", "[Korvex]\nBaudRate=1", "BaudRate",
                    "19200", "[Korvex]\nBaudRate=19200"},
        RewriteCase{"the first of duplicate keys", "[Korvex]\nBaudRate=1\nBaudRate=2\n",
                    "BaudRate", "3", "[Korvex]\nBaudRate=3\nBaudRate=2\n"},
        RewriteCase{"names match without case and blanks", "[ korvex ]\n  baudrate\t =  1  \n",
                    "BaudRate", "2", "[ korvex ]\nBaudRate=2\n"},
        RewriteCase{"a key without '='", "[Korvex]\nBaudRate\nLogFile=0\n", "BaudRate", "5",
                    "[Korvex]\nBaudRate=5\nLogFile=0\n"},
        RewriteCase{"an empty value", "[Korvex]\nBaudRate=\n", "BaudRate", "5",
                    "[Korvex]\nBaudRate=5\n"},
        RewriteCase{"a header with a comment after it", "[Korvex] ; ours\nBaudRate=1\n",
                    "BaudRate", "2", "[Korvex] ; ours\nBaudRate=2\n"},
        RewriteCase{"a UTF-8 byte-order mark", "\xEF\xBB\xBF[Korvex]\nBaudRate=1\n", "BaudRate",
                    "2", "\xEF\xBB\xBF[Korvex]\nBaudRate=2\n"},
        RewriteCase{"only the first section of a name",
                    "[Korvex]\nA=1\n[Other]\n[Korvex]\nB=1\n", "B", "2",
                    "[Korvex]\nA=1\nB=2\n[Other]\n[Korvex]\nB=1\n"},
        RewriteCase{"keys before any header belong to no section", "BaudRate=1\n[Korvex]\n",
                    "BaudRate", "2", "BaudRate=1\n[Korvex]\nBaudRate=2\n"},
        RewriteCase{"a key of the same name in another section", "[Other]\nBaudRate=1\n",
                    "BaudRate", "2", "[Other]\nBaudRate=1\n\n[Korvex]\nBaudRate=2\n"},
        // missing sections are appended
        RewriteCase{"an empty file", "", "LogFile", "1", "[Korvex]\nLogFile=1\n"},
        RewriteCase{"after an empty line", "[Other]\nA=1\n", "LogFile", "1",
                    "[Other]\nA=1\n\n[Korvex]\nLogFile=1\n"},
        RewriteCase{"no second empty line", "[Other]\nA=1\n\n", "LogFile", "1",
                    "[Other]\nA=1\n\n[Korvex]\nLogFile=1\n"},
        RewriteCase{"a file without a final line end", "[Other]\nA=1", "LogFile", "1",
                    "[Other]\nA=1\n\n[Korvex]\nLogFile=1\n"},
        RewriteCase{"a header without ']' is no header", "[Korvex\nBaudRate=1\n", "BaudRate",
                    "2", "[Korvex\nBaudRate=1\n\n[Korvex]\nBaudRate=2\n"},
        // CR LF files stay CR LF
        RewriteCase{"CR LF in place", "[Korvex]\r\nBaudRate=1\r\nLogFile=0\r\n", "BaudRate",
                    "19200", "[Korvex]\r\nBaudRate=19200\r\nLogFile=0\r\n"},
        RewriteCase{"CR LF missing key", "[Korvex]\r\nBaudRate=1\r\n\r\n[Other]\r\n", "LogFile",
                    "1", "[Korvex]\r\nBaudRate=1\r\nLogFile=1\r\n\r\n[Other]\r\n"},
        RewriteCase{"CR LF missing section", "[Other]\r\nA=1\r\n", "LogFile", "1",
                    "[Other]\r\nA=1\r\n\r\n[Korvex]\r\nLogFile=1\r\n"},
        RewriteCase{"CR LF without a final line end", "[Korvex]\r\nBaudRate=1", "LogFile", "1",
                    "[Korvex]\r\nBaudRate=1\r\nLogFile=1\r\n"},
        RewriteCase{"the first line end decides", "[Other]\nA=1\r\n", "LogFile", "1",
                    "[Other]\nA=1\r\n\n[Korvex]\nLogFile=1\n"}),
    test_names::ByWhat());

struct ReadCase {
  const char* what;
  const char* content;
  const char* key;
  int32_t fallback;
  uint32_t expected;
};

class ReadTest : public ProfileFileTest, public testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTest, ReadsByTheIntegerRule) {
  const ReadCase& c = GetParam();
  WriteFile(path_, c.content);
  EXPECT_EQ(Read(c.key, c.fallback), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadTest,
    testing::Values(
        ReadCase{"plain", "[Korvex]\nBaudRate=19200\n", "BaudRate", 1, 19200u},
        ReadCase{"by the integer rule", "[Korvex]\nBaudRate=0x4B00 baud\n", "BaudRate", 1, 19200u},
        ReadCase{"blanks around", "[Korvex]\n\t BaudRate \t=\t 7 \t\n", "BaudRate", 1, 7u},
        ReadCase{"empty value", "[Korvex]\nBaudRate=\n", "BaudRate", 9, 9u},
        ReadCase{"blank value", "[Korvex]\nBaudRate=  \t\n", "BaudRate", 9, 9u},
        ReadCase{"no '='", "[Korvex]\nBaudRate\n", "BaudRate", 9, 9u},
        ReadCase{"CR LF", "[Korvex]\r\nBaudRate=42\r\n", "BaudRate", 9, 42u},
        ReadCase{"CR LF, empty value", "[Korvex]\r\nBaudRate=\r\n", "BaudRate", 9, 9u},
        ReadCase{"no final line end", "[Korvex]\nBaudRate=42", "BaudRate", 9, 42u},
        ReadCase{"case and blanks in names", "[  KORVEX\t]\nbaudRATE=5\n", "BaudRate", 9, 5u},
        ReadCase{"the first duplicate wins", "[Korvex]\nBaudRate=1\nBaudRate=2\n", "BaudRate", 9,
                 1u},
        ReadCase{"the first section wins", "[Korvex]\nA=1\n[Korvex]\nBaudRate=2\n", "BaudRate",
                 9, 9u},
        ReadCase{"missing key", "[Korvex]\nLogFile=1\n", "BaudRate", 9, 9u},
        ReadCase{"missing section", "[Other]\nBaudRate=1\n", "BaudRate", 9, 9u},
        ReadCase{"keys before any header", "BaudRate=1\n[Korvex]\n", "BaudRate", 9, 9u},
        ReadCase{"the section ends at the next header", "[Korvex]\n[Other]\nBaudRate=5\n",
                 "BaudRate", 9, 9u},
        ReadCase{"a commented-out key", "[Korvex]\n;BaudRate=5\n", "BaudRate", 9, 9u},
        ReadCase{"a byte-order mark", "\xEF\xBB\xBF[Korvex]\nBaudRate=3\n", "BaudRate", 9, 3u},
        ReadCase{"empty file", "", "BaudRate", 9, 9u}),
    test_names::ByWhat());

TEST_F(ProfileFileTest, AMissingFileGivesTheFallback) {
  EXPECT_EQ(Read("BaudRate", 19200), 19200u);
  EXPECT_EQ(Read("BaudRate", -1), 4294967295u);
  EXPECT_FALSE(test_files::Exists(path_));
  EXPECT_EQ(PlatformProfileReadInt("Korvex", "BaudRate", 3, dir_.c_str()), 3u);  // a folder
}

TEST_F(ProfileFileTest, LongLinesAndLargeFilesAreCopiedWhole) {
  std::string before = "[Other]\n";
  before += "Long=" + std::string(10000, 'x') + "\n";
  before += "[" + std::string(3000, 's') + "]\n";
  for (int i = 0; i < 20000; ++i) before += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  before += "\n[Korvex]\nBaudRate=1\n\n[Tail]\nA=" + std::string(5000, 'y') + "\n";
  ASSERT_GT(before.size(), 256u * 1024u);
  WriteFile(path_, before);
  EXPECT_EQ(Read("BaudRate", 9), 1u);
  EXPECT_EQ(Read("Key19999", 9, "Other"), 9u);  // behind the long header: another section
  ASSERT_TRUE(Write("BaudRate", "19200"));
  ASSERT_TRUE(Write("LogFile", "1"));
  std::string expected = before;
  const std::string old_keys = "[Korvex]\nBaudRate=1\n";
  expected.replace(expected.find(old_keys), old_keys.size(),
                   "[Korvex]\nBaudRate=19200\nLogFile=1\n");
  EXPECT_TRUE(ReadFile(path_) == expected);
  EXPECT_EQ(Read("BaudRate", 9), 19200u);
  EXPECT_EQ(Read("Key19999", 9, std::string(3000, 's').c_str()), 19999u);
}

TEST_F(ProfileFileTest, AFileLargerThanTheBufferIsNeitherReadNorRewritten) {
  std::string before = "[Korvex]\nBaudRate=1\n";
  before += std::string((1 << 20) - before.size(), ';');
  WriteFile(path_, before);
  EXPECT_EQ(Read("BaudRate", 9), 1u);  // 1 MiB exactly still fits
  WriteFile(path_, before + ";");
  EXPECT_EQ(Read("BaudRate", 9), 9u);
  EXPECT_FALSE(Write("BaudRate", "2"));
  EXPECT_EQ(errno, EFBIG);
  EXPECT_TRUE(ReadFile(path_) == before + ";");
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"config.ini"});
}

TEST_F(ProfileFileTest, TheFileIsReplacedNotOverwritten) {
  WriteFile(path_, "[Korvex]\nBaudRate=1\n");
  struct stat old_info;
  ASSERT_EQ(stat(path_.c_str(), &old_info), 0);
  const int old_file = open(path_.c_str(), O_RDONLY);
  ASSERT_GE(old_file, 0);
  ASSERT_TRUE(Write("BaudRate", "19200"));
  // Whoever still has the old file open reads it whole and unchanged.
  char buffer[64] = {};
  const ssize_t n = pread(old_file, buffer, sizeof buffer - 1, 0);
  close(old_file);
  EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "[Korvex]\nBaudRate=1\n");
  struct stat new_info;
  ASSERT_EQ(stat(path_.c_str(), &new_info), 0);
  EXPECT_NE(new_info.st_ino, old_info.st_ino);
  EXPECT_EQ(ReadFile(path_), "[Korvex]\nBaudRate=19200\n");
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"config.ini"});
}

TEST_F(ProfileFileTest, AReadOnlyFileIsNotWritten) {
  const std::string before = "[Korvex]\nBaudRate=1\n";
  WriteFile(path_, before);
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  EXPECT_FALSE(Write("BaudRate", "2"));
  EXPECT_EQ(errno, EACCES);
  EXPECT_FALSE(Write("LogFile", "1"));
  EXPECT_EQ(ReadFile(path_), before);
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"config.ini"});
}

TEST_F(ProfileFileTest, AReadOnlyFolderIsNotWritten) {
  const std::string folder = dir_ + "/ro";
  const std::string path = folder + "/config.ini";
  const std::string missing = folder + "/new.ini";
  const std::string before = "[Korvex]\nBaudRate=1\n";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  WriteFile(path, before);
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);  // only the folder stands in the way
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  auto as_nobody = [&] {
    DropRoot();
    const bool rewrite = PlatformProfileWriteString("Korvex", "BaudRate", "2", path.c_str());
    const bool create = PlatformProfileWriteString("Korvex", "BaudRate", "2", missing.c_str());
    _exit(rewrite || create ? 1 : 0);
  };
  EXPECT_EXIT(as_nobody(), testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(ListDir(folder), std::set<std::string>{"config.ini"});
}

TEST_F(ProfileFileTest, AFileOfAnotherUserIsNotWrittenEvenInAnOpenFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs a second user: run as root";
  const std::string before = "[Korvex]\nBaudRate=1\n";
  WriteFile(path_, before);
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);  // root's, readable by all
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);   // but anybody may rename in here
  auto as_nobody = [&] {
    DropRoot();
    _exit(PlatformProfileWriteString("Korvex", "BaudRate", "2", path_.c_str()) ? 1 : 0);
  };
  EXPECT_EXIT(as_nobody(), testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(path_), before);
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"config.ini"});
}

TEST_F(ProfileFileTest, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  // The copy runs out of room half-way (a file size limit stands in for a
  // full disk): the old file stays as it was.
  std::string before = "[Korvex]\nBaudRate=1\n";
  while (before.size() < 8192) before += "; padding padding padding padding\n";
  WriteFile(path_, before);
  auto with_size_limit = [&] {
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    if (PlatformProfileWriteString("Korvex", "BaudRate", "19200", path_.c_str())) _exit(1);
    _exit(errno == EFBIG ? 0 : 3);
  };
  EXPECT_EXIT(with_size_limit(), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(ReadFile(path_) == before);
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"config.ini"});
}

TEST_F(ProfileFileTest, NullArgumentsAndPathsThatAreNoFileAreRefused) {
  const std::string before = "[Korvex]\nBaudRate=1\n";
  WriteFile(path_, before);
  EXPECT_FALSE(PlatformProfileWriteString(nullptr, "BaudRate", "2", path_.c_str()));
  EXPECT_FALSE(PlatformProfileWriteString("Korvex", nullptr, "2", path_.c_str()));
  EXPECT_FALSE(PlatformProfileWriteString("Korvex", "BaudRate", nullptr, path_.c_str()));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(PlatformProfileWriteString("Korvex", "BaudRate", "1", nullptr));
  EXPECT_FALSE(PlatformProfileWriteString("Korvex", "BaudRate", "1", dir_.c_str()));
  const std::string in_missing_folder = dir_ + "/missing/config.ini";
  EXPECT_FALSE(PlatformProfileWriteString("Korvex", "BaudRate", "1", in_missing_folder.c_str()));
  EXPECT_EQ(ReadFile(path_), before);
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"config.ini"});
}

}  // namespace
