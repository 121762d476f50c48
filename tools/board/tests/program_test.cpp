// The korvex-board program as a user runs it: on files, on standard input and
// on a real pty written to by another process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tools/board/render.h"
#include "tools/board/tests/helpers.h"

namespace {

using namespace board;
using namespace board_test;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "korvex_board_XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    const std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  void WriteFile(const std::string& name, const Bytes& bytes) {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

  std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Starts the program with stdin from the named file (or /dev/null) and
  // stdout and stderr into files of the test folder.
  void Start(const std::vector<std::string>& args, const std::string& stdin_name = "") {
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      const std::string in = stdin_name.empty() ? "/dev/null" : Path(stdin_name);
      const int fd_in = open(in.c_str(), O_RDONLY);
      const int fd_out = open(Path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int fd_err = open(Path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd_in < 0 || fd_out < 0 || fd_err < 0) _exit(127);
      dup2(fd_in, 0);
      dup2(fd_out, 1);
      dup2(fd_err, 2);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(KORVEX_BOARD_PROGRAM));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(KORVEX_BOARD_PROGRAM, argv.data());
      _exit(127);
    }
  }

  // Waits for the program to end by itself and returns its exit code.
  int Wait() {
    int status = 0;
    EXPECT_EQ(waitpid(pid_, &status, 0), pid_);
    pid_ = -1;
    EXPECT_TRUE(WIFEXITED(status));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int Run(const std::vector<std::string>& args, const std::string& stdin_name = "") {
    Start(args, stdin_name);
    return Wait();
  }

  // Polls a condition that another process makes true, for at most 20 s.
  template <typename Condition>
  bool Eventually(Condition condition) {
    for (int i = 0; i < 2000; ++i) {
      if (condition()) return true;
      usleep(10000);
    }
    return condition();
  }

  static off_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
  }

  std::string dir_;
  pid_t pid_ = -1;
};

const char kSceneLog[] =
    "ResetDisplay()\n"
    "SetLight() light=200\n"
    "SetContrast() contrast=64\n"
    "Text \"A\"\n"
    "SetGfxSingle() x=006 y=007 by=0x2A\n"
    "SetOutPort() port=0 value=0x81\n"
    "SetOutPort() port=3 value=0x01\n";

void ExpectScenePicture(const std::string& path) {
  Image image;
  std::string error;
  ASSERT_TRUE(ReadPng(path, &image, &error)) << error;
  BoardModel model;
  ModelInit(model, T6963(6, 12, 8));
  model.light = 200;
  model.contrast = 64;
  EXPECT_EQ(Dots(image, model, 1), SceneArt());
  const RenderLayout layout = ComputeLayout(model.config, 1);
  EXPECT_EQ(ImagePixel(image, layout.lamp_x[0] + 1, layout.lamps_y + 1), LampOnColour());
  EXPECT_EQ(ImagePixel(image, layout.lamp_x[1] + 1, layout.lamps_y + 1), LampOffColour());
  EXPECT_EQ(ImagePixel(image, layout.lamp_x[31] + 1, layout.lamps_y + 1), LampOnColour());
}

TEST_F(ProgramTest, ReplaysACaptureFileIntoALogAndAPicture) {
  WriteFile("capture", SceneBytes());
  ASSERT_EQ(Run({"--input", Path("capture"), "--width", "12", "--height", "8", "--log",
                 Path("log"), "--png", Path("out.png"), "--scale", "1"}),
            0);
  EXPECT_EQ(ReadFile(Path("log")), kSceneLog);
  ExpectScenePicture(Path("out.png"));
  EXPECT_EQ(ReadFile(Path("stdout")),
            "korvex-board: 16 bytes, 7 commands (1 characters), 0 anomalies (0 errors, 0 "
            "warnings)\n");
  EXPECT_EQ(ReadFile(Path("stderr")), "");
  EXPECT_EQ(FileSize(Path("out.png.tmp")), -1);
}

TEST_F(ProgramTest, ReadsStandardInputAndReportsAnomalies) {
  WriteFile("stdin", Concat({Text("x"), {0xB2, 0xBE, 0x09, 0x00, 0xBB, 0x01}}));
  ASSERT_EQ(Run({"--input", "-", "--controller", "6963", "--pitch", "8"}, "stdin"), 0);
  EXPECT_EQ(ReadFile(Path("stderr")),
            "korvex-board: warning at byte 1: character 0xB2 lies in the command range "
            "0xB0-0xBE: with no escape byte, the codes there that are commands reach the "
            "board as commands\n"
            "korvex-board: error at byte 2: SetOutPort port 9 does not exist (0 to 3)\n"
            "korvex-board: error at byte 5: the stream ends inside SetBitmap after 1 of 4 "
            "operand bytes\n");
  EXPECT_EQ(ReadFile(Path("stdout")),
            "korvex-board: 7 bytes, 3 commands (2 characters), 3 anomalies (2 errors, 1 "
            "warnings)\n");
}

TEST_F(ProgramTest, QuietPrintsNothing) {
  WriteFile("stdin", {0xBE, 0x09, 0x00});
  ASSERT_EQ(Run({"--input", "-", "--quiet", "--capture", Path("copy")}, "stdin"), 0);
  EXPECT_EQ(ReadFile(Path("stdout")), "");
  EXPECT_EQ(ReadFile(Path("stderr")), "");
  EXPECT_EQ(ReadFile(Path("copy")), std::string("\xBE\x09\x00", 3));
}

TEST_F(ProgramTest, Ks108BoardDecodesColumnBytes) {
  Bytes payload(1024, 0);
  payload[0] = 0x01;     // (0, 0)
  payload[1023] = 0x80;  // (127, 63)
  WriteFile("capture", Concat({{0xBB, 0, 0, 16, 64}, payload}));
  ASSERT_EQ(Run({"--input", Path("capture"), "--controller", "108", "--width", "128",
                 "--log", Path("log"), "--png", Path("out.png"), "--scale", "2"}),
            0);
  EXPECT_EQ(ReadFile(Path("log")),
            "SetBitmap() x=000 y=000 width=016 bytes height=064 pixels\n");
  Image image;
  std::string error;
  ASSERT_TRUE(ReadPng(Path("out.png"), &image, &error)) << error;
  BoardModel model;
  ModelInit(model, KS108(128, 64));
  const std::vector<std::string> dots = Dots(image, model, 2);
  int set = 0;
  for (const std::string& row : dots) set += std::count(row.begin(), row.end(), '#');
  EXPECT_EQ(set, 2);
  EXPECT_EQ(dots[0][0], '#');
  EXPECT_EQ(dots[63][127], '#');
}

TEST_F(ProgramTest, TakesEveryByteFromAPtyUnchanged) {
  Start({"--link", Path("port"), "--width", "12", "--height", "8", "--capture",
         Path("capture"), "--log", Path("log"), "--png", Path("out.png"), "--scale", "1"});
  ASSERT_TRUE(Eventually([&] {
    struct stat st;
    return lstat(Path("port").c_str(), &st) == 0;
  }));
  // Control characters a terminal would act on, then the scene.
  Bytes control;
  for (int b = 0; b < 0x20; ++b) control.push_back(static_cast<uint8_t>(b));
  control.push_back(0x7F);
  control.push_back(0xFF);
  const Bytes bytes = Concat({control, SceneBytes()});
  const int fd = open(Path("port").c_str(), O_WRONLY | O_NOCTTY);
  ASSERT_GE(fd, 0);
  // In two writes, so the scene may arrive in separate reads.
  ASSERT_EQ(write(fd, bytes.data(), 20), 20);
  ASSERT_EQ(write(fd, bytes.data() + 20, bytes.size() - 20),
            static_cast<ssize_t>(bytes.size() - 20));
  close(fd);
  ASSERT_TRUE(Eventually([&] { return FileSize(Path("capture")) == off_t(bytes.size()); }));

  kill(pid_, SIGUSR1);
  ASSERT_TRUE(Eventually([&] { return FileSize(Path("out.png")) > 0; }));
  ExpectScenePicture(Path("out.png"));

  kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(), 0);
  EXPECT_EQ(ReadFile(Path("capture")), std::string(bytes.begin(), bytes.end()));
  std::string text_line = "Text \"";
  for (uint8_t b : control) {
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02X", b);
    text_line += hex;
  }
  EXPECT_EQ(ReadFile(Path("log")), text_line + "\"\n" + kSceneLog);
  ExpectScenePicture(Path("out.png"));
  struct stat st;
  EXPECT_NE(lstat(Path("port").c_str(), &st), 0) << "the link is removed on exit";
  const std::string out = ReadFile(Path("stdout"));
  EXPECT_EQ(out.rfind("korvex-board: pty /dev/pts/", 0), 0u) << out;
  EXPECT_NE(out.find(" linked at " + Path("port") + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("korvex-board: 50 bytes, 41 commands (35 characters), 0 anomalies"),
            std::string::npos)
      << out;
}

TEST_F(ProgramTest, StopsAfterTheIdleTimeOnAPty) {
  Start({"--link", Path("port"), "--idle-exit", "0.2"});
  ASSERT_TRUE(Eventually([&] {
    struct stat st;
    return lstat(Path("port").c_str(), &st) == 0;
  }));
  const int fd = open(Path("port").c_str(), O_WRONLY | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "ok", 2), 2);
  close(fd);
  EXPECT_EQ(Wait(), 0);
  EXPECT_NE(ReadFile(Path("stdout")).find("korvex-board: 2 bytes, 2 commands"),
            std::string::npos);
}

TEST_F(ProgramTest, RefusesBadOptions) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--pitch", "7"}, "korvex-board: bad value '7' for --pitch\n"},
      {{"--controller", "1234"}, "korvex-board: bad value '1234' for --controller\n"},
      {{"--width", "256"}, "korvex-board: bad value '256' for --width\n"},
      {{"--height", "0"}, "korvex-board: bad value '0' for --height\n"},
      {{"--scale", "x"}, "korvex-board: bad value 'x' for --scale\n"},
      {{"--live-style", "ascii"}, "korvex-board: bad value 'ascii' for --live-style\n"},
      {{"--idle-exit", "-1"}, "korvex-board: bad value '-1' for --idle-exit\n"},
      {{"--input", "-", "--link", "x"},
       "korvex-board: --link applies to the pty, not to --input\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.args), 2) << c.message;
    EXPECT_EQ(ReadFile(Path("stderr")), c.message);
  }
  EXPECT_EQ(Run({"--input", Path("missing")}), 1);
  EXPECT_EQ(ReadFile(Path("stderr")).rfind("korvex-board: cannot read ", 0), 0u);
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_EQ(ReadFile(Path("stdout")).rfind("usage: korvex-board", 0), 0u);
}

}  // namespace
