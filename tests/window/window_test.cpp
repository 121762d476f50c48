// korvex-board.exe's window under Wine, on a virtual X display of this test
// (Xvfb): what the X server shows in the window's client area is, pixel for
// pixel, the PNG the program writes at the same moment; closing the window
// ends the program as q does; without a display it says so and fails.
//
// The probe (window_probe.cpp) runs the program on a desktop of its own and
// plays its user: it finds the window by its title, types keys, says where
// the client area is on the screen, waits for the test's screenshot (xwd) and
// sends WM_CLOSE. Without Wine, Xvfb or xwd the tests skip, except under
// CI=true.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/wine/wine_run.h"
#include "tools/board/png_writer.h"
#include "tools/board/render.h"
#include "tools/board/tests/png_reader.h"

namespace {

using namespace wine_run;

const std::string kPrefix = KORVEX_WINE_PREFIX;
const std::string kWork = KORVEX_WINDOW_WORK;

// An X window dump (XWD, version 7) in ZPixmap form of a TrueColor or
// DirectColor visual (Xvfb's root has DirectColor, whose subfields index the
// colour map that the dump holds): the pixels of `width` x `height` at
// (x, y), as RGB. False with the reason.
bool ReadXwd(const std::string& path, int x, int y, int width, int height, board::Image* image,
             std::string* error) {
  const std::string file = ReadFile(path);
  if (file.size() < 100) {
    *error = path + ": no XWD header";
    return false;
  }
  auto field = [&](int i) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(file.data()) + 4 * i;
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
  };
  const uint32_t header_size = field(0), version = field(1), format = field(2);
  const uint32_t dump_width = field(4), dump_height = field(5), byte_order = field(7);
  const uint32_t bits = field(11), line = field(12), visual = field(13);
  const uint32_t masks[3] = {field(14), field(15), field(16)}, colours = field(19);
  if (version != 7 || format != 2 || (visual != 4 && visual != 5) || (bits != 24 && bits != 32)) {
    *error = path + ": not a 24- or 32-bit TrueColor or DirectColor ZPixmap dump (version " +
             std::to_string(version) + ", format " + std::to_string(format) + ", visual class " +
             std::to_string(visual) + ", " + std::to_string(bits) + " bits a pixel)";
    return false;
  }
  const size_t pixels = header_size + 12 * static_cast<size_t>(colours);
  if (x < 0 || y < 0 || static_cast<uint32_t>(x + width) > dump_width ||
      static_cast<uint32_t>(y + height) > dump_height ||
      file.size() < pixels + static_cast<size_t>(line) * dump_height) {
    *error = path + ": the area is not inside the dump, or the dump is cut short";
    return false;
  }
  auto shift = [](uint32_t mask) {
    int n = 0;
    while (mask != 0 && !(mask & 1)) {
      mask >>= 1;
      ++n;
    }
    return n;
  };
  // Each channel's value for each of its indexes: itself for TrueColor, the
  // colour map's entry (16 bits, of which the high 8) for DirectColor.
  std::vector<uint8_t> ramp[3];
  for (int c = 0; c < 3; ++c) {
    ramp[c].resize((masks[c] >> shift(masks[c])) + 1);
    for (size_t i = 0; i < ramp[c].size(); ++i) ramp[c][i] = static_cast<uint8_t>(i);
  }
  if (visual == 5) {
    for (uint32_t k = 0; k < colours; ++k) {
      const unsigned char* e =
          reinterpret_cast<const unsigned char*>(file.data()) + header_size + 12 * k;
      const uint32_t pixel = static_cast<uint32_t>(e[0]) << 24 | e[1] << 16 | e[2] << 8 | e[3];
      for (int c = 0; c < 3; ++c) {
        const uint32_t index = (pixel & masks[c]) >> shift(masks[c]);
        if (index < ramp[c].size()) ramp[c][index] = e[4 + 2 * c];
      }
    }
  }
  const int bytes = static_cast<int>(bits / 8);
  image->width = width;
  image->height = height;
  image->rgb.assign(static_cast<size_t>(width) * height * 3, 0);
  for (int j = 0; j < height; ++j) {
    for (int i = 0; i < width; ++i) {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(file.data()) + pixels +
                               static_cast<size_t>(line) * (y + j) +
                               static_cast<size_t>(bytes) * (x + i);
      uint32_t value = 0;
      for (int b = 0; b < bytes; ++b) {
        value |= static_cast<uint32_t>(p[b]) << (byte_order == 0 ? 8 * b : 8 * (bytes - 1 - b));
      }
      for (int c = 0; c < 3; ++c) {
        image->rgb[(static_cast<size_t>(j) * width + i) * 3 + c] =
            ramp[c][(value & masks[c]) >> shift(masks[c])];
      }
    }
  }
  return true;
}

size_t DifferingPixels(const board::Image& a, const board::Image& b) {
  if (a.width != b.width || a.height != b.height) return static_cast<size_t>(-1);
  size_t differ = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) differ += board::ImagePixel(a, x, y) != board::ImagePixel(b, x, y);
  return differ;
}

bool Eventually(const std::function<bool()>& condition, int seconds = 60) {
  for (int i = 0; i < seconds * 50; ++i) {
    if (condition()) return true;
    usleep(20000);
  }
  return condition();
}

// Waits at most `seconds` for the process; -1 when it did not end (it is
// then killed) or did not exit normally.
int WaitBounded(pid_t pid, int seconds) {
  int status = 0;
  for (int i = 0; i <= seconds * 50; ++i) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0 && errno != EINTR) return -1;
    usleep(20000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

class WindowUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason = CannotRun(kPrefix, {"korvex-board.exe", "korvex-window-probe.exe"});
    if (reason.empty() && system("command -v Xvfb >/dev/null && command -v xwd >/dev/null") != 0)
      reason = "Xvfb or xwd is not installed (scripts/ensure-deps.sh installs xvfb and x11-apps)";
    if (!reason.empty()) {
      if (FailUnderCi(reason)) FAIL() << reason;
      GTEST_SKIP() << reason;
    }
    work_ = kWork + "/" + Arch() + "/" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(FreshFolder(work_));
    // A board with text, a character the protocol cannot escape (one
    // anomaly), graphics, light, contrast and lamps.
    std::string capture = "KORVEX-CAPTURE 1 controller=6963 pitch=6 width=240 height=64\n";
    capture += "\xB0\xB4\xC8\xB3\xA0\xB1\x02\x02Hello window\xB2";
    capture += std::string("\xBA\x06\x28\x05\x3F\x21\x21\x21\x3F", 9);
    capture += std::string("\xBE\x00\xA5\xBE\x03\x0F", 6);
    WriteFile(work_ + "/cap.bin", capture);
  }

  void TearDown() override {
    if (probe_ > 0) {
      kill(probe_, SIGTERM);
      WaitBounded(probe_, 15);
    }
    // Whatever Wine still shows on the display ends with it.
    if (xvfb_ > 0) {
      kill(xvfb_, SIGTERM);
      WaitBounded(xvfb_, 10);
    }
  }

  // Xvfb on a display number it finds free (-displayfd), so that suites
  // running at once never meet.
  void StartDisplay() {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    xvfb_ = fork();
    ASSERT_GE(xvfb_, 0);
    if (xvfb_ == 0) {
      close(ready[0]);
      const std::string fd = std::to_string(ready[1]);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
             "-nolisten", "tcp", nullptr);
      _exit(127);
    }
    close(ready[1]);
    std::string number;
    pollfd wait = {ready[0], POLLIN, 0};
    char c;
    while (poll(&wait, 1, 10000) == 1 && read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    close(ready[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb gave no display number within 10 s";
    display_ = ":" + number;
  }

  // The probe under Wine in the test's folder, left running, its output in
  // probe.txt; `display` empty: no DISPLAY.
  void StartProbe(const std::vector<std::string>& args, const std::string& display) {
    std::vector<std::string> argv = {"timeout", "-k", "5", "90", WinePath(),
                                     WinDir() + "/korvex-window-probe.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    EnsureWineServer(kPrefix);
    probe_ = fork();
    ASSERT_GE(probe_, 0);
    if (probe_ == 0) {
      std::vector<char*> list;
      for (std::string& a : argv) list.push_back(&a[0]);
      list.push_back(nullptr);
      EnterPrefix(kPrefix);
      if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
      int in = open("/dev/null", O_RDONLY);
      int out = open((work_ + "/probe.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (chdir(work_.c_str()) != 0 || in < 0 || out < 0) _exit(126);
      dup2(in, 0);
      dup2(out, 1);
      dup2(out, 2);
      execvp(list[0], list.data());
      _exit(127);
    }
  }

  int ProbeStatus() {
    const int status = WaitBounded(probe_, 100);
    probe_ = -1;
    return status;
  }

  std::string Output() {
    return "probe: " + ReadFile(work_ + "/probe.txt") + "board's output: " +
           ReadFile(work_ + "/board-stdout.txt") + ReadFile(work_ + "/board-stderr.txt");
  }

  std::string work_;
  std::string display_;
  pid_t xvfb_ = -1;
  pid_t probe_ = -1;
};

// At scales 1 and 3 as given, and at 2 reached with the - key from 4: the
// client area's picture equals the snapshot the s key writes, pixel for
// pixel, and the picture written when WM_CLOSE ends the program.
TEST_F(WindowUnderWine, ShowsWhatThePngShows) {
  const struct {
    int scale;
    const char* keys;
    int shown;  // the scale it ends at
  } cases[] = {{1, "s", 1}, {3, "s", 3}, {4, "--s", 2}};
  StartDisplay();
  board::DisplayConfig config;  // the capture's: T6963, pitch 6, 240 x 64
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE("scale " + std::to_string(c.scale) + ", keys " + c.keys);
    for (const char* name : {"shot.png", "shot-1.png", "go", "screen.xwd", "probe.txt",
                             "board-stdout.txt", "board-stderr.txt"})
      unlink((work_ + "/" + name).c_str());
    const board::RenderLayout layout = board::ComputeLayout(config, c.shown);
    StartProbe({"korvex-window-" + std::to_string(getpid()) + "-" + std::to_string(++row),
                "cap.bin - stopped, 1 anomaly - korvex-board", c.keys,
                std::to_string(layout.width), std::to_string(layout.height), "--",
                WinDir() + "\\korvex-board.exe", "--window", "--input", "cap.bin", "--png",
                "shot.png", "--scale", std::to_string(c.scale)},
               display_);
    int x = 0, y = 0, width = 0, height = 0;
    ASSERT_TRUE(Eventually([&] {
      const std::string out = ReadFile(work_ + "/probe.txt");
      const size_t at = out.find("client ");
      return (at != std::string::npos &&
              sscanf(out.c_str() + at, "client %d %d %d %d", &x, &y, &width, &height) == 4) ||
             waitpid(probe_, nullptr, WNOHANG) != 0;
    })) << Output();
    ASSERT_EQ(layout.width, width) << Output();
    ASSERT_TRUE(Eventually([&] { return Exists(work_ + "/shot-1.png"); })) << Output();
    board::Image snapshot, screen;
    std::string error;
    ASSERT_TRUE(board_test::ReadPng(work_ + "/shot-1.png", &snapshot, &error)) << error;
    ASSERT_EQ(layout.width, snapshot.width);
    ASSERT_EQ(layout.height, snapshot.height);
    // X draws what Wine sends it a moment later: the screen is taken again
    // until it shows the picture, for at most 5 s.
    size_t differ = 0;
    int screenshots = 0;
    const std::string xwd = "timeout 10 xwd -silent -root -display " + display_ + " -out '" +
                            work_ + "/screen.xwd'";
    do {
      if (screenshots > 0) usleep(100000);
      ++screenshots;
      ASSERT_EQ(0, system(xwd.c_str()));
      ASSERT_TRUE(ReadXwd(work_ + "/screen.xwd", x, y, snapshot.width, snapshot.height, &screen,
                          &error))
          << error;
      differ = DifferingPixels(snapshot, screen);
    } while (differ != 0 && screenshots < 50);
    EXPECT_EQ(0u, differ) << "of " << snapshot.width * snapshot.height;
    printf("scale %d (keys %s): client area %dx%d at (%d,%d); its picture, %dx%d = %d pixels, "
           "against the PNG: %zu differ (screenshot %d)\n",
           c.shown, c.keys, width, height, x, y, snapshot.width, snapshot.height,
           snapshot.width * snapshot.height, differ, screenshots);
    // Below the picture, the status line. The whole client area is kept as
    // window-SCALE.png, the guide's picture of the window.
    EXPECT_GT(height, snapshot.height);
    board::Image client;
    ASSERT_TRUE(ReadXwd(work_ + "/screen.xwd", x, y, width, height, &client, &error)) << error;
    const std::vector<uint8_t> png = board::EncodePng(client.width, client.height, client.rgb);
    WriteFile(work_ + "/window-" + std::to_string(c.shown) + ".png",
              std::string(png.begin(), png.end()));

    WriteFile(work_ + "/go", "");
    EXPECT_EQ(0, ProbeStatus()) << Output();
    // Closed as by q: the picture written (the same), the summary printed.
    board::Image closing;
    ASSERT_TRUE(board_test::ReadPng(work_ + "/shot.png", &closing, &error)) << error;
    EXPECT_EQ(0u, DifferingPixels(closing, screen));
    EXPECT_NE(std::string::npos,
              ReadFile(work_ + "/board-stdout.txt")
                  .find("korvex-board: 36 bytes, 20 commands (13 characters), 1 anomalies"))
        << Output();
  }
}

// No X display: the program says why and fails, at once, writing nothing.
TEST_F(WindowUnderWine, WithoutADisplayItSaysSoAndFails) {
  StartProbe({"korvex-window-" + std::to_string(getpid()) + "-none", "--",
              WinDir() + "\\korvex-board.exe", "--window", "--input", "cap.bin", "--png",
              "shot.png"},
             "");
  EXPECT_EQ(1, ProbeStatus()) << Output();
  const std::string err = ReadFile(work_ + "/board-stderr.txt");
  EXPECT_EQ(0u, err.find("korvex-board: cannot open the window: there is no desktop to show it "
                         "on ("))
      << err;
  EXPECT_NE(std::string::npos, err.find("under Wine, DISPLAY must name an X display")) << err;
  EXPECT_FALSE(Exists(work_ + "/shot.png"));
}

}  // namespace

int main(int argc, char** argv) {
  SelectBuild(&argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
