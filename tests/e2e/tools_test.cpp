// The Windows tools as a user meets them, under Wine in the build tree's
// prefix: korvex-host's exit statuses and messages, and korvex-board.exe
// reading a COM port while the driver writes to another, the two joined by a
// socat pty pair as a virtual null-modem cable joins them on Windows. The
// board's pictures and logs must be those of the Linux build, byte for byte.
//
// Without Wine (or socat) the tests skip, except under CI=true.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/wine/wine_run.h"
#include "tools/board/capture.h"

namespace {

using namespace wine_run;

const std::string kPrefix = KORVEX_WINE_PREFIX;
const std::string kWin64Dir = KORVEX_WIN64_DIR;
const std::string kWin32Dir = KORVEX_WIN32_DIR;
const std::string kWork = KORVEX_E2E_WORK;
const std::string kLinuxBoard = KORVEX_BOARD_PROGRAM;

std::string WithoutCarriageReturns(std::string text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// A process started in `cwd` and left running, its output in files: the
// same environment as RunInPrefix gives, bounded by `timeout` seconds.
pid_t StartInPrefix(const std::vector<std::string>& argv, const std::string& cwd,
                    const std::string& out_path, int timeout) {
  std::vector<std::string> full = {"timeout", "-k", "10", std::to_string(timeout)};
  full.insert(full.end(), argv.begin(), argv.end());
  EnsureWineServer(kPrefix);
  pid_t pid = fork();
  if (pid != 0) return pid;
  std::vector<char*> args;
  for (std::string& a : full) args.push_back(&a[0]);
  args.push_back(nullptr);
  if (chdir(cwd.c_str()) != 0) _exit(126);
  EnterPrefix(kPrefix);
  int in = open("/dev/null", O_RDONLY);
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
  execvp(args[0], args.data());
  _exit(127);
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 3000; ++i) {
    if (condition()) return true;
    usleep(10000);
  }
  return condition();
}

class ToolsUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason = CannotRun(kPrefix, {kWin64Dir + "/korvex-host.exe",
                                             kWin64Dir + "/korvex-board.exe",
                                             kWin64Dir + "/Korvex.dll", kWin32Dir + "/Korvex.dll"});
    if (!reason.empty()) {
      if (FailUnderCi(reason)) FAIL() << reason;
      GTEST_SKIP() << reason;
    }
    work_ = kWork + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(FreshFolder(work_));
  }

  void TearDown() override {
    // The ports go first, so no later Wine process opens them.
    for (const char* com : {"com15", "com16"}) unlink((kPrefix + "/dosdevices/" + com).c_str());
    if (socat_ > 0) {
      kill(socat_, SIGTERM);
      WaitFor(socat_);
    }
  }

  // Two ptys joined by socat, the first as COM15, the second as COM16.
  void NullModem() {
    if (system("command -v socat >/dev/null") != 0) {
      if (UnderCi()) FAIL() << "socat is not installed";
      GTEST_SKIP() << "socat is not installed";
    }
    const std::string a = work_ + "/com5.pty", b = work_ + "/com6.pty";
    socat_ = fork();
    ASSERT_GE(socat_, 0);
    if (socat_ == 0) {
      execlp("socat", "socat", ("pty,raw,echo=0,link=" + a).c_str(),
             ("pty,raw,echo=0,link=" + b).c_str(), nullptr);
      _exit(127);
    }
    ASSERT_TRUE(Eventually([&] { return Exists(a) && Exists(b); }));
    for (const auto& [com, pty] : {std::pair<std::string, std::string>{"com15", a}, {"com16", b}}) {
      const std::string link = kPrefix + "/dosdevices/" + com;
      unlink(link.c_str());
      ASSERT_EQ(0, symlink(pty.c_str(), link.c_str())) << link;
    }
  }

  RunResult Host(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {WinePath(), kWin64Dir + "/korvex-host.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult run = RunInPrefix(kPrefix, argv, work_, 120);
    run.out = WithoutCarriageReturns(run.out);
    run.err = WithoutCarriageReturns(run.err);
    return run;
  }

  std::string work_;
  pid_t socat_ = -1;
};

// Every way korvex-host ends that a user meets, with its message. In the
// table "@" is the test's folder as Windows names it, "@64" and "@32" the
// folders of the two builds.
TEST_F(ToolsUnderWine, HostExitStatusesAndMessages) {
  WriteFile(work_ + "/outside.txt", "text 0 0 fine\npixel 250 0 1\n");
  WriteFile(work_ + "/binary.txt", std::string("MZ\x90\0\3\0", 6));
  WriteFile(work_ + "/unicode.txt", std::string("\xFF\xFEi\0n\0i\0t\0", 10));
  WriteFile(work_ + "/demo.txt", "init\ncleanup\ndemo text\n");
  WriteFile(work_ + "/word.txt", "\xEF\xBB\xBFtext 0 0 ok\nprint\x01x\n");
  const std::string dll = "@64\\Korvex.dll";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string out;  // a line the output must hold, if any
  } cases[] = {
      {{"--frames", "0"}, 1, "korvex-host: --frames takes a number from 1 to 1000000, not '0'\n", ""},
      {{"--dll", "@\\none.dll"}, 2,
       "korvex-host: cannot load @\\none.dll: error 126: Module not found\n", ""},
      {{"--dll", "@32\\Korvex.dll"}, 2,
       "korvex-host: cannot load @32\\Korvex.dll: it is a 32-bit library and this "
       "korvex-host.exe is a 64-bit program, which cannot load it (error 193); use the 32-bit "
       "korvex-host.exe (the one in the kit, or build/win32/korvex-host.exe)\n",
       ""},
      {{"--dll", "@\\outside.txt"}, 2,
       "korvex-host: cannot load @\\outside.txt: it is no Windows library (error 193)\n", ""},
      {{"--dll", "C:\\windows\\system32\\kernel32.dll"}, 3,
       "korvex-host: C:\\windows\\system32\\kernel32.dll: export DLL_GetInfo is missing\n", ""},
      {{"--dll", dll, "--script", "outside.txt"}, 4,
       "korvex-host: outside.txt:2: pixel outside the 240x64 picture\n", ""},
      {{"--dll", dll, "--port", "COM15", "--script", "outside.txt", "--width", "255",
        "--height", "255", "--no-cleanup"},
       0, "", ""},
      {{"--dll", dll, "--script", "binary.txt"}, 4,
       "korvex-host: binary.txt: this is no script: it holds binary data (a zero byte at offset "
       "3); a script is text, one command a line\n",
       ""},
      {{"--dll", dll, "--script", "unicode.txt"}, 4,
       "korvex-host: unicode.txt: the script is saved as UTF-16 (\"Unicode\"); save it as ANSI "
       "or UTF-8\n",
       ""},
      {{"--dll", dll, "--script", "demo.txt"}, 4,
       "korvex-host: demo.txt:3: demo needs the driver started (init)\n", ""},
      {{"--dll", dll, "--script", "word.txt"}, 4,
       "korvex-host: word.txt:2: unknown command 'print\\x01x'\n", ""},
      {{"--probe"}, 1, "korvex-host: --probe goes with --list-ports\n", ""},
      // The driver's rule drops one trailing colon; the tool's check keeps it.
      {{"--dll", dll, "--port", "COM15:", "--demo", "text", "--no-cleanup"}, 0, "",
       "expected on the wire: 2914 bytes in 64 transfers (64 port writes of up to 280 "
       "bytes)"},
      {{"--dll", dll, "--port", "COM99", "--demo", "text"}, 6,
       "korvex-host: there is no port COM99: the driver could not open it (its message box "
       "says Error 2) and nothing reaches the display\n",
       ""},
      {{"--dll", dll, "--port", "COM15", "--demo", "text", "--ports", "0x0100", "--config-dialog",
        "--no-cleanup"},
       0,
       "korvex-host: --ports is not sent: @\\config.ini has LCD_UseOutPorts=0; set it to 1 for "
       "the driver to send the output ports\n",
       "LCD_ConfigDialog: -1 (the settings box could not be shown: there is no desktop to show it "
       "on, as under Wine without a display; config.ini holds the same values)\n"},
  };
  NullModem();
  const std::string here = WindowsPath(work_);
  for (const auto& c : cases) {
    std::vector<std::string> args;
    for (const std::string& a : c.args)
      args.push_back(Replace(Replace(Replace(a, "@64", WindowsPath(kWin64Dir)), "@32",
                                     WindowsPath(kWin32Dir)),
                             "@", here));
    unlink((work_ + "/config.ini").c_str());
    RunResult run = Host(args);
    const std::string what = c.args.back();
    EXPECT_EQ(c.status, run.status) << what << "\n" << run.out << run.err;
    EXPECT_EQ(Replace(Replace(c.err, "@32", WindowsPath(kWin32Dir)), "@", here), run.err)
        << what;
    if (!c.out.empty()) {
      EXPECT_NE(std::string::npos, run.out.find(c.out)) << run.out;
    }
    // A script refused is refused before the driver is touched: LCD_Init
    // would have written config.ini.
    if (c.status == 4) {
      EXPECT_FALSE(Exists(work_ + "/config.ini")) << what;
    }
  }
}

// The serial ports a user lists to find the board, and a port that another
// program holds. Wine fills HARDWARE\DEVICEMAP\SERIALCOMM only when its
// wineserver starts, from /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* and
// HKLM\Software\Wine\Ports; a comN link made in dosdevices later opens but is
// never entered there. So the test enters its ports itself, as a port driver
// does on Windows, with the prefix's own reg.exe. Wine keeps the sharing rules
// of Windows for files but not for devices, so the held port is a file that
// the platform probe opens without sharing, as the driver opens a port.
TEST_F(ToolsUnderWine, ListPortsAndAHeldPort) {
  const std::string probe = kWin64Dir + "/korvex-platform-probe.exe";
  if (!Exists(probe)) GTEST_SKIP() << probe << " is not built";
  NullModem();
  const std::string held = work_ + "/com17.file";
  WriteFile(held, "");
  const std::string link = kPrefix + "/dosdevices/com17";
  unlink(link.c_str());
  ASSERT_EQ(0, symlink(held.c_str(), link.c_str()));
  const std::string map = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
  auto reg = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {WinePath(), "reg"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult run = RunInPrefix(kPrefix, argv, work_, 60);
    return run.status;
  };
  for (const char* port : {"COM15", "COM16", "COM17"}) {
    ASSERT_EQ(0, reg({"add", map, "/v", std::string("\\Device\\KorvexTest") + port, "/t",
                      "REG_SZ", "/d", port, "/f"}));
  }
  const pid_t holder =
      StartInPrefix({WinePath(), probe, "hold", "COM17", "30000"}, work_, work_ + "/hold.out", 60);
  ASSERT_TRUE(Eventually([&] { return ReadFile(work_ + "/hold.out").find("held") != std::string::npos; }))
      << ReadFile(work_ + "/hold.out");

  // The ports in the map, by number (COM1 and others the machine's own may
  // be there too), each with the device's name for want of a friendly one.
  RunResult list = Host({"--list-ports"});
  EXPECT_EQ(0, list.status) << list.out << list.err;
  EXPECT_EQ("", list.err);
  const std::string listed = "COM15  \\Device\\KorvexTestCOM15\n"
                             "COM16  \\Device\\KorvexTestCOM16\n"
                             "COM17  \\Device\\KorvexTestCOM17\n";
  EXPECT_NE(std::string::npos, list.out.find(listed)) << list.out;

  RunResult probed = Host({"--list-ports", "--probe"});
  EXPECT_EQ(0, probed.status) << probed.out << probed.err;
  EXPECT_NE(std::string::npos,
            probed.out.find("COM15  \\Device\\KorvexTestCOM15: free\n"
                            "COM16  \\Device\\KorvexTestCOM16: free\n"
                            "COM17  \\Device\\KorvexTestCOM17: held by another program\n"))
      << probed.out;

  // The driver cannot open the held port: nothing may count as sent.
  RunResult run = Host({"--dll", WindowsPath(kWin64Dir) + "\\Korvex.dll", "--port", "COM17",
                        "--demo", "text"});
  EXPECT_EQ(7, run.status) << run.out << run.err;
  EXPECT_EQ("korvex-host: port COM17 is held by another program: the driver could not open it "
            "(its message box said so at LCD_Init) and nothing reached the display; close the "
            "other program (a terminal, the host application, korvex-board on this end) and run "
            "again\n",
            run.err);
  EXPECT_NE(std::string::npos,
            run.out.find("expected on the wire: 0 bytes in 0 transfers (0 port writes"))
      << run.out;
  kill(holder, SIGTERM);
  WaitFor(holder);
  unlink(link.c_str());

  // No map at all (no serial port since Windows started): a status of its
  // own and a sentence. Wine makes the key again at its next start.
  ASSERT_EQ(0, reg({"delete", map, "/f"}));
  RunResult none = Host({"--list-ports"});
  EXPECT_EQ(8, none.status) << none.out << none.err;
  EXPECT_EQ("", none.out);
  EXPECT_EQ("korvex-host: Windows lists no serial port: plug the board in, wait until Windows "
            "has set it up (a few seconds the first time), and list again\n",
            none.err);
}

// The example scripts of the kit run clean: status 0 and nothing on
// standard error; and, for those the tool starts and ends itself (here
// without LCD_CleanUp, whose purge can cut what a pty has not handed over
// yet), a stream the Linux board on the other end of the pair reads without
// an anomaly.
TEST_F(ToolsUnderWine, ExampleScriptsRunClean) {
  NullModem();
  const struct {
    const char* name;
    bool whole_stream;
  } examples[] = {{"hello.txt", true}, {"lights.txt", true}, {"replug.txt", false}};
  for (const auto& example : examples) {
    const std::string name = example.name;
    WriteFile(work_ + "/config.ini", "[Korvex]\r\nLCD_UseOutPorts=1\r\n");
    pid_t board = fork();
    ASSERT_GE(board, 0);
    if (board == 0) {
      const int out = open((work_ + "/board.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      execl(kLinuxBoard.c_str(), kLinuxBoard.c_str(), "--port", (work_ + "/com6.pty").c_str(),
            "--idle-exit", "1", nullptr);
      _exit(127);
    }
    ASSERT_TRUE(Eventually([&] {
      return ReadFile(work_ + "/board.txt").find("reading") != std::string::npos;
    }));
    RunResult run = Host({"--port", "COM15", "--no-cleanup", "--quiet", "--script",
                          WindowsPath(std::string(KORVEX_HOST_EXAMPLES) + "/" + name)});
    EXPECT_EQ(0, run.status) << name << "\n" << run.out << run.err;
    EXPECT_EQ("", run.err) << name;
    EXPECT_EQ(0, WaitFor(board)) << name;
    if (example.whole_stream) {
      EXPECT_NE(std::string::npos, ReadFile(work_ + "/board.txt").find(" 0 anomalies"))
          << name << ": " << ReadFile(work_ + "/board.txt");
    }
  }
}

// The custom characters of hello.txt (pitch 6, the driver's default) take
// the bits the board's font takes, 5 to 1: none sits a column off.
TEST(ExampleScripts, HelloGlyphsSitWhereTheFontDoes) {
  std::istringstream script(ReadFile(std::string(KORVEX_HOST_EXAMPLES) + "/hello.txt"));
  int rows = 0, used = 0;
  for (std::string line; std::getline(script, line);) {
    if (line.rfind("cgram ", 0) != 0) continue;
    std::istringstream words(line.substr(6));
    std::string position, row;
    words >> position;
    while (words >> row) {
      const unsigned bits = static_cast<unsigned>(strtoul(row.c_str(), nullptr, 0));
      EXPECT_EQ(0u, bits & ~0x3Eu) << line;
      used |= static_cast<int>(bits);
      ++rows;
    }
  }
  EXPECT_EQ(16, rows);
  EXPECT_EQ(0x3E, used) << "the glyphs span the font's five columns";
}

// The example scripts' lines as their words, with their line numbers;
// comments and blank lines left out.
struct ExampleLine {
  int number;
  std::vector<std::string> words;
};

std::vector<ExampleLine> ExampleLines(const std::string& name) {
  std::istringstream script(ReadFile(std::string(KORVEX_HOST_EXAMPLES) + "/" + name));
  std::vector<ExampleLine> lines;
  int number = 0;
  for (std::string line; std::getline(script, line);) {
    ++number;
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (!words.empty() && words[0][0] != '#') lines.push_back({number, words});
  }
  return lines;
}

// The driver keeps text, cursor, custom characters, light and contrast in
// its text buffer until a graphics call: an example that pauses (sleep,
// wait) with such bytes put since its last graphics call would show them
// only after the pause.
TEST(ExampleScripts, NothingWaitsInTheTextBufferDuringAPause) {
  for (const char* name : {"hello.txt", "lights.txt", "replug.txt"}) {
    bool held = false;
    for (const ExampleLine& line : ExampleLines(name)) {
      const std::string& c = line.words[0];
      if (c == "text" || c == "print" || c == "char" || c == "cursor" || c == "cgram" ||
          c == "io") {
        held = true;
      } else if (c == "rect" || c == "frame" || c == "flush") {
        held = false;
      } else if (c == "sleep" || c == "wait") {
        EXPECT_FALSE(held) << name << ":" << line.number << ": " << c
                           << " pauses with bytes in the text buffer";
      }
    }
  }
}

// Text and graphics are ORed on the display: no text the examples write
// lies under a rectangle they fill (pitch 6, 8-pixel rows).
TEST(ExampleScripts, NoTextUnderTheirOwnFilledRectangles) {
  for (const char* name : {"hello.txt", "lights.txt", "replug.txt"}) {
    struct Box {
      long x1, y1, x2, y2;
    };
    std::vector<Box> texts, fills;
    for (const ExampleLine& line : ExampleLines(name)) {
      const std::vector<std::string>& words = line.words;
      auto n = [&](size_t i) { return strtol(words[i].c_str(), nullptr, 0); };
      if (words[0] == "text" && words.size() > 3) {
        size_t length = 0;
        for (size_t i = 3; i < words.size(); ++i) length += words[i].size() + (i > 3);
        texts.push_back({n(1) * 6, n(2) * 8, (n(1) + (long)length) * 6 - 1, n(2) * 8 + 7});
      } else if (words[0] == "fill" && words.size() == 6 && n(5) != 0) {
        fills.push_back({std::min(n(1), n(3)), std::min(n(2), n(4)), std::max(n(1), n(3)),
                         std::max(n(2), n(4))});
      }
    }
    for (const Box& a : texts) {
      for (const Box& b : fills) {
        EXPECT_TRUE(a.x2 < b.x1 || b.x2 < a.x1 || a.y2 < b.y1 || b.y2 < a.y1)
            << name << ": text at pixel row " << a.y1 << " lies under the fill of rows " << b.y1
            << "-" << b.y2;
      }
    }
  }
}

// Which programs a run uses: the win64 build's under 64-bit Wine, or the
// kit's own (32-bit) under 32-bit Wine.
struct Programs {
  std::string wine;
  std::string board;  // korvex-board.exe
  std::string host;   // korvex-host.exe, with Korvex.dll beside it
};

struct BoardCase {
  const char* name;
  const char* config;  // the driver's config.ini; null: the kit's sample
  std::vector<std::string> host;
  std::vector<std::string> board;
  bool kit;  // the zip of make dist, unpacked, rather than the build
};

class BoardUnderWine : public ToolsUnderWine,
                       public ::testing::WithParamInterface<BoardCase> {
 protected:
  // The kit as make dist makes it, unpacked into the test's folder; its
  // programs run under 32-bit Wine, as on a user's Windows.
  Programs UnpackKit() {
    const std::string wine32 = Env("KORVEX_WINE32", "/usr/lib/wine/wine");
    if (!IsExecutable(wine32)) {
      if (UnderCi()) ADD_FAILURE() << "32-bit Wine not found at " << wine32;
      return {};
    }
    if (!KernelRefuses32Bit(wine32).empty()) return {};
    const std::string dist = work_ + "/dist", kit = work_ + "/kit";
    const std::string make = "KORVEX_DIST_DIR='" + dist + "' '" KORVEX_SOURCE_DIR
                             "/scripts/dist.sh' >'" + work_ + "/dist.txt' 2>&1";
    if (system(make.c_str()) != 0) {
      ADD_FAILURE() << "scripts/dist.sh failed: " << ReadFile(work_ + "/dist.txt");
      return {};
    }
    const std::string unpack = "python3 -m zipfile -e '" + dist + "'/korvex-*.zip '" + kit + "'";
    if (system(unpack.c_str()) != 0) {
      ADD_FAILURE() << "cannot unpack the kit";
      return {};
    }
    return {wine32, kit + "/korvex-board.exe", kit + "/korvex-host.exe"};
  }
};

void PrintTo(const BoardCase& c, std::ostream* out) { *out << c.name; }

TEST_P(BoardUnderWine, ShowsTheDemosFromAComPortAsTheLinuxBuildDoes) {
  const BoardCase& c = GetParam();
  Programs programs = {WinePath(), kWin64Dir + "/korvex-board.exe",
                       kWin64Dir + "/korvex-host.exe"};
  if (c.kit) {
    programs = UnpackKit();
    if (programs.wine.empty()) {
      if (!HasFailure()) {
        GTEST_SKIP() << "the kit's 32-bit programs cannot run here: "
                     << KernelRefuses32Bit(Env("KORVEX_WINE32", "/usr/lib/wine/wine"));
      }
      return;
    }
  }
  NullModem();
  // The driver's settings in the host's folder: for the kit, its sample
  // config.ini copied there as the guide says.
  const std::string folder = work_ + "/host";
  ASSERT_EQ(0, system(("mkdir -p '" + folder + "'").c_str()));
  const std::string config = c.config ? c.config : ReadFile(work_ + "/kit/config.ini");
  WriteFile(folder + "/config.ini", config);

  const std::string here = WindowsPath(work_);
  // "COM16:" by the driver's rule is COM16, and the board names it so.
  std::vector<std::string> board = {programs.wine, programs.board, "--port", "COM16:",
                                    "--idle-exit", "3", "--scale", "3", "--png",
                                    here + "\\windows.png", "--log", here + "\\windows.log",
                                    "--capture", here + "\\capture.bin"};
  board.insert(board.end(), c.board.begin(), c.board.end());
  const std::string board_out = work_ + "/board.txt";
  pid_t board_pid = StartInPrefix(board, work_, board_out, 120);
  ASSERT_GT(board_pid, 0);
  // The board purges its port when it opens it: the driver may write only
  // once it reads.
  ASSERT_TRUE(Eventually([&] {
    return ReadFile(board_out).find("korvex-board: reading COM16") != std::string::npos;
  })) << ReadFile(board_out);

  // The host loads the Korvex.dll beside it.
  std::vector<std::string> host = {programs.wine, programs.host, "--port", "COM15",
                                   "--no-cleanup", "--quiet"};
  host.insert(host.end(), c.host.begin(), c.host.end());
  RunResult run = RunInPrefix(kPrefix, host, folder, 120);
  ASSERT_EQ(0, run.status) << run.out << run.err;
  unsigned long long expected = 0;
  const size_t at = run.out.find("expected on the wire: ");
  ASSERT_NE(std::string::npos, at) << run.out;
  ASSERT_EQ(1, sscanf(run.out.c_str() + at, "expected on the wire: %llu bytes", &expected));

  // It stops by itself once the line has been quiet for its idle time.
  ASSERT_EQ(0, WaitFor(board_pid)) << ReadFile(board_out);
  const std::string capture = ReadFile(work_ + "/capture.bin");
  const size_t header = capture.find('\n') + 1;
  EXPECT_EQ(expected, capture.size() - header) << ReadFile(board_out);
  EXPECT_NE(std::string::npos, ReadFile(board_out).find(
                                   "korvex-board: " + std::to_string(expected) + " bytes, "))
      << ReadFile(board_out);

  // The Linux build on the capture: the same picture and log, byte for byte.
  RunResult linux = RunInPrefix(kPrefix,
                                {kLinuxBoard, "--input", "capture.bin", "--scale", "3", "--png",
                                 "linux.png", "--log", "linux.log"},
                                work_, 60);
  ASSERT_EQ(0, linux.status) << linux.out << linux.err;
  EXPECT_NE(std::string::npos, linux.out.find(" 0 anomalies")) << linux.out;
  const std::string picture = ReadFile(work_ + "/windows.png");
  ASSERT_GT(picture.size(), 1000u);
  EXPECT_TRUE(picture == ReadFile(work_ + "/linux.png")) << "the pictures differ";
  EXPECT_EQ(ReadFile(work_ + "/linux.log"), ReadFile(work_ + "/windows.log"));
  // The driver took the settings as they were: nothing it rewrote differs,
  // the sample's comment lines included.
  EXPECT_EQ(config, ReadFile(folder + "/config.ini"));
}

INSTANTIATE_TEST_SUITE_P(
    Demos, BoardUnderWine,
    ::testing::Values(
        BoardCase{"t6963_all",
                  "[Korvex]\r\nBaudRate=19200\r\nTextBufferSize=16\r\nGfxBufferSize=64\r\n"
                  "GfxForceFlush=0\r\nLCD_FontPitch=6\r\nLCD_UseOutPorts=1\r\n"
                  "LCD_Controller=6963\r\nLogFile=0\r\n",
                  {"--demo", "all", "--ports", "0x00F0FFFF", "--time", "10:08:21"},
                  {},
                  false},
        BoardCase{"ks108",
                  "[Korvex]\r\nBaudRate=19200\r\nTextBufferSize=16\r\nGfxBufferSize=64\r\n"
                  "GfxForceFlush=0\r\nLCD_FontPitch=8\r\nLCD_UseOutPorts=0\r\n"
                  "LCD_Controller=108\r\nLogFile=0\r\n",
                  {"--demo", "ks108"},
                  {"--controller", "108", "--width", "128"},
                  false},
        // Only what changed: the tool's count of the bytes follows the
        // driver's plans, and the board shows what the Linux build shows.
        BoardCase{"screens_changes_only",
                  "[Korvex]\r\nBaudRate=19200\r\nTextBufferSize=16\r\nGfxBufferSize=64\r\n"
                  "GfxForceFlush=0\r\nGfxChangesOnly=1\r\nLCD_FontPitch=6\r\n"
                  "LCD_UseOutPorts=0\r\nLCD_Controller=6963\r\nLogFile=0\r\n",
                  {"--demo", "screens"},
                  {},
                  false},
        BoardCase{"kit", nullptr, {"--demo", "graphics"}, {}, true}),
    [](const ::testing::TestParamInfo<BoardCase>& info) { return std::string(info.param.name); });

}  // namespace
