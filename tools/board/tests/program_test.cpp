// The korvex-board program as a user runs it: on files, on standard input and
// on a real pty written to by another process.
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tools/board/capture.h"
#include "tools/board/render.h"
#include "tools/board/tests/png_reader.h"
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

  static bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }

  static off_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
  }

  std::string dir_;
  pid_t pid_ = -1;
};

const char kDefaultHeader[] = "KORVEX-CAPTURE 1 controller=6963 pitch=6 width=240 height=64\n";

const char kSceneLog[] =
    "ResetDisplay()\n"
    "SetLight() light=200\n"
    "SetContrast() contrast=64\n"
    "Text \"A\"\n"
    "SetGfxSingle() x=006 y=007 by=0x2A\n"
    "SetOutPort() port=0 value=0x81\n"
    "SetOutPort() port=3 value=0x01\n";

void ExpectScenePicture(const std::string& path, int scale = 1) {
  Image image;
  std::string error;
  ASSERT_TRUE(ReadPng(path, &image, &error)) << error;
  BoardModel model;
  ModelInit(model, T6963(6, 12, 8));
  model.light = 200;
  model.contrast = 64;
  EXPECT_EQ(Dots(image, model, scale), SceneArt());
  const RenderLayout layout = ComputeLayout(model.config, scale);
  const int middle = layout.lamp_size / 2;
  EXPECT_EQ(ImagePixel(image, layout.lamp_x[0] + middle, layout.lamps_y + middle), LampOnColour());
  EXPECT_EQ(ImagePixel(image, layout.lamp_x[1] + middle, layout.lamps_y + middle), LampOffColour());
  EXPECT_EQ(ImagePixel(image, layout.lamp_x[31] + middle, layout.lamps_y + middle), LampOnColour());
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

// The driver's shut-down resets the display: --png-before-reset keeps the
// picture it ended, and the reset at the start (nothing drawn yet) writes none.
TEST_F(ProgramTest, KeepsThePictureTheShutDownResets) {
  WriteFile("capture", Concat({SceneBytes(), {0xB0, 0xB3, 0x00, 0xB4, 0x00}}));
  ASSERT_EQ(Run({"--input", Path("capture"), "--width", "12", "--height", "8", "--png-before-reset",
                 Path("shown.png"), "--scale", "1"}),
            0);
  ExpectScenePicture(Path("shown.png"));
  WriteFile("reset only", {0xB0, 0xB0});
  ASSERT_EQ(Run({"--input", Path("reset only"), "--png-before-reset", Path("none.png")}), 0);
  EXPECT_FALSE(FileExists(Path("none.png")));
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
  EXPECT_EQ(ReadFile(Path("copy")), std::string(kDefaultHeader) + std::string("\xBE\x09\x00", 3));
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
  const off_t header = static_cast<off_t>(CaptureHeader(T6963(6, 12, 8)).size());
  ASSERT_TRUE(
      Eventually([&] { return FileSize(Path("capture")) == header + off_t(bytes.size()); }));

  kill(pid_, SIGUSR1);
  ASSERT_TRUE(Eventually([&] { return FileSize(Path("out.png")) > 0; }));
  ExpectScenePicture(Path("out.png"));

  kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(), 0);
  EXPECT_EQ(ReadFile(Path("capture")), CaptureHeader(T6963(6, 12, 8)) +
                                          std::string(bytes.begin(), bytes.end()));
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

// Every way the program ends by itself, with its exact message. "@" stands
// for the test's folder, which holds a one-byte capture "in" and a file
// "header" with a capture line it cannot read.
TEST_F(ProgramTest, ExitCodesAndMessages) {
  WriteFile("in", {0xB0});
  WriteFile("header", Text("KORVEX-CAPTURE 1 controller=6963 pitch=7 width=240 height=64\n"));
  const struct {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"--pitch", "7"}, 2, "korvex-board: bad value '7' for --pitch\n"},
      {{"--controller", "1234"}, 2, "korvex-board: bad value '1234' for --controller\n"},
      {{"--width", "256"}, 2, "korvex-board: bad value '256' for --width\n"},
      {{"--height", "0"}, 2, "korvex-board: bad value '0' for --height\n"},
      {{"--scale", "x"}, 2, "korvex-board: bad value 'x' for --scale\n"},
      {{"--live-style", "ascii"}, 2, "korvex-board: bad value 'ascii' for --live-style\n"},
      {{"--idle-exit", "-1"}, 2, "korvex-board: bad value '-1' for --idle-exit\n"},
      {{"--baud", "9"}, 2, "korvex-board: bad value '9' for --baud\n"},
      {{"--png-every", "0"}, 2, "korvex-board: bad value '0' for --png-every\n"},
      {{"--input", "-", "--link", "x"}, 2,
       "korvex-board: --link applies to the pty, not to --input or --port\n"},
      {{"--input", "-", "--port", "x"}, 2, "korvex-board: --input and --port exclude each other\n"},
      {{"--png-every", "5"}, 2, "korvex-board: --png-every needs --png FILE\n"},
      {{"--window"}, 2,
       "korvex-board: --window is for Windows (korvex-board.exe); here --live shows the display "
       "in the terminal and --png as a picture\n"},
      {{"--input", "@/missing"}, 1, "korvex-board: cannot read @/missing: No such file or directory\n"},
      {{"--input", "@"}, 1, "korvex-board: cannot read @: Is a directory\n"},
      {{"--input", "@/header"}, 1,
       "korvex-board: cannot read @/header: its KORVEX-CAPTURE line has 'pitch=7'\n"},
      {{"--port", "@/missing"}, 1, "korvex-board: cannot open @/missing: No such file or directory\n"},
      {{"--input", "@/in", "--log", "@/no/log"}, 1,
       "korvex-board: cannot write @/no/log: No such file or directory\n"},
      {{"--input", "@/in", "--capture", "@/no/capture"}, 1,
       "korvex-board: cannot write @/no/capture: No such file or directory\n"},
      {{"--input", "@/in", "--png", "@/no/shot.png", "--quiet"}, 1,
       "korvex-board: cannot write @/no/shot.png: No such file or directory\n"},
      {{"--input", "@/in", "--png", "@/shot.png", "--quiet"}, 0, ""},
      {{"--help"}, 0, ""},
  };
  auto here = [&](std::string text) {
    for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, dir_);
    return text;
  };
  for (const auto& c : cases) {
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(here(a));
    EXPECT_EQ(Run(args), c.status) << c.message;
    EXPECT_EQ(ReadFile(Path("stderr")), here(c.message));
  }
  EXPECT_EQ(ReadFile(Path("stdout")).rfind("usage: korvex-board", 0), 0u);
  EXPECT_GT(FileSize(Path("shot.png")), 0);
}

TEST_F(ProgramTest, ReplaysACaptureWithTheBoardItWasRecordedOn) {
  // A KS108 frame recorded from a 128 x 64 board: only with its own settings
  // does it decode without anomalies.
  Bytes payload(1024, 0);
  payload[0] = 0x01;
  payload[1023] = 0x80;
  const Bytes stream = Concat({{0xB0, 0xB5, 0x00, 0xFF, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0xFF},
                               {0xBB, 0, 0, 16, 64}, payload});
  WriteFile("capture", Concat({Text(CaptureHeader(KS108(128, 64, 8))), stream}));
  ASSERT_EQ(Run({"--input", Path("capture"), "--png", Path("out.png"), "--capture",
                 Path("again")}),
            0);
  EXPECT_EQ(ReadFile(Path("stderr")), "");
  EXPECT_EQ(ReadFile(Path("stdout")),
            "korvex-board: 1040 bytes, 3 commands (0 characters), 0 anomalies (0 errors, 0 "
            "warnings)\n");
  Image image;
  std::string error;
  ASSERT_TRUE(ReadPng(Path("out.png"), &image, &error)) << error;
  EXPECT_EQ(image.width, ComputeLayout(KS108(128, 64, 8), 4).width);
  // Replayed again, the copy says the same.
  EXPECT_EQ(ReadFile(Path("again")), ReadFile(Path("capture")));

  // An option given on the command line wins, and the program says so.
  ASSERT_EQ(Run({"--input", Path("capture"), "--width", "120"}), 0);
  EXPECT_EQ(ReadFile(Path("stderr")).rfind("korvex-board: " + Path("capture") +
                                               " was recorded with width 128; --width 120 "
                                               "applies\n",
                                           0),
            0u);
}

TEST_F(ProgramTest, PacedByTheBaudRateTheLineHoldsBackWhatItHasNotCarried) {
  // 2000 bytes at 50 baud take 400 s: stopped once they are all in, the
  // board has taken only the first few.
  Start({"--link", Path("port"), "--baud", "50", "--capture", Path("capture")});
  ASSERT_TRUE(Eventually([&] { return FileExists(Path("port")); }));
  const int fd = open(Path("port").c_str(), O_WRONLY | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const Bytes text(2000, 'x');
  ASSERT_EQ(write(fd, text.data(), text.size()), 2000);
  close(fd);
  const off_t header = static_cast<off_t>(CaptureHeader(T6963(6, 240, 64)).size());
  ASSERT_TRUE(Eventually([&] { return FileSize(Path("capture")) == header + 2000; }));
  kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(), 0);
  const std::string out = ReadFile(Path("stdout"));
  unsigned long long taken = 0, held = 0;
  const size_t at = out.find("korvex-board: ", out.find('\n') + 1);
  ASSERT_EQ(sscanf(out.c_str() + at,
                   "korvex-board: %llu bytes, %*s commands (%*s characters), 0 anomalies (0 "
                   "errors, 0 warnings); %llu more received, not yet through the line at 50 "
                   "baud\n",
                   &taken, &held),
            2)
      << out;
  EXPECT_EQ(taken + held, 2000u);
  EXPECT_GT(held, 1000u);
}

// Keys from the terminal the program runs in: a pty made its controlling
// terminal, so the program is in that terminal's foreground.
TEST_F(ProgramTest, KeysTakeNumberedSnapshotsAndStop) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  WriteFile("shot-1.png", Text("an earlier one"));
  pid_ = fork();
  ASSERT_GE(pid_, 0);
  if (pid_ == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    const int out = open(Path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(slave, 0);
    dup2(out, 1);
    dup2(out, 2);
    execl(KORVEX_BOARD_PROGRAM, KORVEX_BOARD_PROGRAM, "--link", Path("port").c_str(), "--png",
          Path("shot.png").c_str(), "--width", "12", "--height", "8", nullptr);
    _exit(127);
  }
  close(slave);
  ASSERT_TRUE(Eventually([&] {
    return ReadFile(Path("stdout")).find("keys: s snapshot, q stop") != std::string::npos;
  }));
  const int fd = open(Path("port").c_str(), O_WRONLY | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const Bytes scene = SceneBytes();
  ASSERT_EQ(write(fd, scene.data(), scene.size()), static_cast<ssize_t>(scene.size()));
  close(fd);
  // Once the scene is in (it shows in the snapshot), a key takes the next
  // free number, and q ends the run with the picture on exit.
  ASSERT_TRUE(Eventually([&] {
    if (write(master, "s", 1) != 1) return false;
    if (!Eventually([&] { return FileExists(Path("shot-2.png")); })) return false;
    Image image;
    if (!ReadPng(Path("shot-2.png"), &image, nullptr)) return false;
    BoardModel model;
    ModelInit(model, T6963(6, 12, 8));
    model.light = 200;
    model.contrast = 64;
    if (Dots(image, model, 4) == SceneArt()) return true;
    unlink(Path("shot-2.png").c_str());
    return false;
  }));
  EXPECT_EQ(ReadFile(Path("shot-1.png")), "an earlier one");
  ASSERT_EQ(write(master, "q", 1), 1);
  EXPECT_EQ(Wait(), 0);
  close(master);
  EXPECT_NE(ReadFile(Path("stdout")).find("korvex-board: snapshot " + Path("shot-2.png") + "\n"),
            std::string::npos);
  ExpectScenePicture(Path("shot.png"), 4);
}

TEST_F(ProgramTest, WritesThePictureEveryInterval) {
  Start({"--link", Path("port"), "--png", Path("shot.png"), "--png-every", "0.1"});
  ASSERT_TRUE(Eventually([&] { return FileSize(Path("shot.png")) > 0; }));
  kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(), 0);
}

}  // namespace
