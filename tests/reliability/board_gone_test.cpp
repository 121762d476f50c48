// A board that goes away while the host is drawing, for real. korvex-host
// (win64) runs a script under Wine against the real win64 Korvex.dll; COM6 of
// the build tree's prefix leads to a pty of the test, and the test takes that
// pty away under the running host:
//
// - unplugged: the master closes in the middle of a stream of full frames,
//   so every later write fails at once (Linux answers EIO, Wine
//   ERROR_NOT_READY); then a new pty appears behind COM6, the script runs
//   LCD_Init again and the new stream must be whole;
// - stalled: the pty is full and nobody reads it, so every write waits for
//   the driver's write time-out; then the board reads again and the host's
//   later calls must arrive whole;
// - stalled at the close: LCD_CleanUp with a board that reads nothing still
//   returns within its bound.
//
// What is measured comes from korvex-host --report-calls: the longest single
// call of every export. The bounds are far above the time-outs (a second plus
// a millisecond a byte at 19200 baud), so that only a call that really hangs
// fails; the figures themselves are printed.
//
// Without Wine the tests skip, except under CI=true, where they fail.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/wine/expected_commands.h"
#include "tests/wine/pty_line.h"
#include "tests/wine/wine_run.h"
#include "tools/board/decoder.h"

namespace {

using namespace wine_run;
using board::Command;
using board::CommandKind;

using namespace expected_commands;
using pty_line::CloseFd;
using pty_line::Drain;
using pty_line::OpenRawPty;
using pty_line::Pty;
using pty_line::PtyReader;
using pty_line::StartReading;

const std::string kPrefix = KORVEX_WINE_PREFIX;
const std::string kWork = KORVEX_RELIABILITY_WORK;
const char kPort[] = "COM6";
const char kPortLink[] = "com6";

// Far above any write time-out of the driver: a call that takes this long
// hangs rather than waits.
const double kLongestCallMs = 5000;
// How long the test waits for the host at each step before it gives up.
const int kStepSeconds = 120;

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// ------------------------------------------------------------------- the pty

// Fills the board's side of the line from the slave until it takes no more
// byte: what a board that stopped reading has left unread. Returns the count.
// A pty refuses a write for a moment while it moves bytes to the master's
// side, so it counts as full only when it keeps refusing.
size_t FillPty(Pty& pty) {
  int flags = fcntl(pty.slave, F_GETFL);
  fcntl(pty.slave, F_SETFL, flags | O_NONBLOCK);
  size_t total = 0;
  const uint8_t zeros[1024] = {};
  for (int refused = 0; refused < 5;) {
    size_t before = total;
    for (size_t chunk : {sizeof zeros, size_t{1}}) {
      for (;;) {
        ssize_t n = write(pty.slave, zeros, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<size_t>(n);
      }
    }
    refused = total == before ? refused + 1 : 0;
    usleep(50000);
  }
  fcntl(pty.slave, F_SETFL, flags);
  return total;
}

// Everything the reader got, once the line is quiet.
Bytes ReadAll(PtyReader& reader) { return pty_line::Joined(pty_line::StopReading(reader)); }

// ------------------------------------------------------------ the host's run

// korvex-host under Wine, bounded by `timeout`, standard input a pipe of the
// test (the script's `wait` lines read it), standard output and error files
// that the test watches while the host runs.
struct HostRun {
  pid_t pid = -1;
  int input = -1;
  std::string out_path;
  std::string err_path;
};

bool StartHost(HostRun& run, const std::vector<std::string>& argv, const std::string& cwd,
               int timeout) {
  run.out_path = cwd + "/host.out";
  run.err_path = cwd + "/host.err";
  std::vector<std::string> full = {"timeout", "-k", "10", std::to_string(timeout)};
  full.insert(full.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& a : full) args.push_back(&a[0]);
  args.push_back(nullptr);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return false;
  fcntl(pipe_fds[1], F_SETFD, FD_CLOEXEC);
  run.pid = fork();
  if (run.pid < 0) return false;
  if (run.pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    EnterPrefix(kPrefix);
    int out = open(run.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(126);
    dup2(pipe_fds[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipe_fds[0]);
  run.input = pipe_fds[1];
  return true;
}

// Whether the host has not exited yet; it stays waitable for FinishHost.
bool HostRunning(const HostRun& run) {
  if (run.pid <= 0) return false;
  siginfo_t info;
  memset(&info, 0, sizeof info);
  if (waitid(P_PID, static_cast<id_t>(run.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
    return false;
  return info.si_pid == 0;
}

// Waits until the host has printed `line` (a whole line), or has exited, or
// `seconds` have passed.
bool WaitForLine(const HostRun& run, const std::string& line, int seconds) {
  double deadline = Now() + seconds;
  for (;;) {
    std::string out = ReadFile(run.out_path);
    size_t at = out.find(line + "\n");
    if (at == std::string::npos) at = out.find(line + "\r\n");
    if (at != std::string::npos && (at == 0 || out[at - 1] == '\n')) return true;
    if (!HostRunning(run) || Now() > deadline) return false;
    usleep(20000);
  }
}

// The answer to a `wait` line.
void Answer(const HostRun& run) {
  ssize_t n = write(run.input, "\n", 1);
  (void)n;
}

RunResult FinishHost(HostRun& run) {
  RunResult result;
  CloseFd(run.input);
  if (run.pid <= 0) return result;
  int status = 0;
  while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.pid = -1;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadFile(run.out_path);
  result.err = ReadFile(run.err_path);
  return result;
}

// --------------------------------------------------------- the host's report

struct CallTime {
  unsigned long long calls = 0;
  double longest_ms = 0;
  double total_ms = 0;
};

// The lines "call NAME: calls N, longest L ms, total T ms" of --report-calls.
std::map<std::string, CallTime> CallTimes(const std::string& out) {
  std::map<std::string, CallTime> times;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    start = end + 1;
    char name[64];
    CallTime t;
    if (sscanf(line.c_str(), "call %63[^:]: calls %llu, longest %lf ms, total %lf ms", name,
               &t.calls, &t.longest_ms, &t.total_ms) == 4)
      times[name] = t;
  }
  return times;
}

void ExpectNoCallHangs(const std::map<std::string, CallTime>& times) {
  EXPECT_FALSE(times.empty()) << "no call times in the report";
  for (const auto& t : times) {
    EXPECT_LT(t.second.longest_ms, kLongestCallMs) << t.first << " blocked";
    printf("  %-22s calls %6llu, longest %9.3f ms, total %10.3f ms\n", t.first.c_str(),
           t.second.calls, t.second.longest_ms, t.second.total_ms);
  }
}

// ------------------------------------------------------- pictures and stream

// The host's picture as the script draws it, one byte a pixel.
struct Picture {
  int width = 240;
  int height = 64;
  Bytes pixels = Bytes(240 * 64, 0);
};

void SetPixel(Picture& p, int x, int y) { p.pixels[static_cast<size_t>(y * p.width + x)] = 1; }

// T6963 row bytes at pitch 6 of columns left.. (n bytes) and rows top..
// (h rows): six pixels a byte, the leftmost in bit 5.
Bytes RowBytes(const Picture& p, int left, int top, int n, int h) {
  Bytes bytes;
  for (int y = top; y < top + h; ++y) {
    for (int b = 0; b < n; ++b) {
      uint8_t byte = 0;
      for (int i = 0; i < 6; ++i)
        if (p.pixels[static_cast<size_t>(y * p.width + left + 6 * b + i)]) byte |= 0x20 >> i;
      bytes.push_back(byte);
    }
  }
  return bytes;
}

Expected Bitmap(const Picture& p, int left, int top, int n, int h) {
  return {CommandKind::SetBitmap,
          {static_cast<uint8_t>(left), static_cast<uint8_t>(top), static_cast<uint8_t>(n),
           static_cast<uint8_t>(h)},
          RowBytes(p, left, top, n, h)};
}
Expected FullFrame(const Picture& p) { return Bitmap(p, 0, 0, p.width / 6, p.height); }

// The driver's start as the scripts make it: the port and size, LCD_Init,
// then light 200 and contrast 160, which go out with the first graphics call.
const char kStart[] =
    "io COM6 240 64 1 0 0 0\n"
    "init\n"
    "io COM6 240 64 1 200 160 0\n";

// Both tests run with GfxForceFlush=1: every graphics call ends with the
// graphics buffer empty, so each call's bytes are on the line when it
// returns and a stream cut at any moment ends with whole calls.
const char kConfig[] = "[Korvex]\r\nGfxForceFlush=1\r\n";

// ------------------------------------------------------------------ fixture

class BoardGone : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = CannotRun(kPrefix, {"korvex-host.exe", "Korvex.dll"});
    if (!why.empty()) {
      if (UnderCi()) FAIL() << why;
      GTEST_SKIP() << why;
    }
    work_ = kWork + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(FreshFolder(work_));
    WriteFile(work_ + "/config.ini", kConfig);
    link_ = kPrefix + "/dosdevices/" + kPortLink;
  }

  void TearDown() override {
    for (PtyReader* r : {&first_reader_, &second_reader_})
      if (r->thread.joinable()) ReadAll(*r);
    if (host_.pid > 0) {
      kill(host_.pid, SIGTERM);
      FinishHost(host_);
    }
    CloseFd(host_.input);
    if (!link_.empty()) unlink(link_.c_str());
    for (Pty* p : {&first_, &second_}) {
      if (!first_reader_.closed || p != &first_) CloseFd(p->master);
      CloseFd(p->slave);
    }
  }

  // COM6 of the prefix leads to this pty from now on; a port the driver
  // already holds stays on the pty it opened.
  void PointPortAt(const Pty& pty) {
    unlink(link_.c_str());
    ASSERT_EQ(0, symlink(pty.name.c_str(), link_.c_str())) << link_ << ": " << strerror(errno);
  }

  void StartHostWith(const std::string& script) {
    WriteFile(work_ + "/script.txt", script);
    EnsureWineServer(kPrefix);
    ASSERT_TRUE(StartHost(host_,
                          {WinePath(), WinDir() + "/korvex-host.exe", "--dll",
                           WindowsPath(WinDir() + "/Korvex.dll"), "--script",
                           WindowsPath(work_ + "/script.txt"), "--quiet", "--report-calls"},
                          work_, 300));
  }

  // Starts the host on `script`, which waits at "wait the board stops
  // reading" once the port is open; then the line fills up and is no longer
  // read, and the host goes on. Returns the bytes left unread on the line.
  size_t StartThenStall(const std::string& script) {
    EXPECT_EQ("", OpenRawPty(first_));
    PointPortAt(first_);
    StartHostWith(script);
    EXPECT_TRUE(WaitForLine(host_, "wait the board stops reading", kStepSeconds))
        << ReadFile(host_.out_path) << ReadFile(host_.err_path);
    // So far only LCD_Init's reset went out; light and contrast wait in the
    // text buffer for the first graphics call.
    EXPECT_EQ(Bytes{0xB0}, Drain(first_.master));
    size_t unread = FillPty(first_);
    EXPECT_GT(unread, 0u);
    Answer(host_);
    return unread;
  }

  std::string work_;
  std::string link_;
  Pty first_, second_;
  PtyReader first_reader_, second_reader_;
  HostRun host_;
};

// ------------------------------------------------------------------- tests

TEST_F(BoardGone, UnpluggedMidStreamThenBackAfterInit) {
  // 200 full frames of 2565 bytes; the board goes after 60000 bytes, so
  // the host is in the middle of the frames (a pty holds about 20 KB).
  const int kFramesBefore = 200;
  const int kFramesAfter = 12;
  const size_t kGoneAfter = 60000;

  Picture picture;
  std::string script = kStart;
  std::vector<Expected> before = {Reset(), Light(200), Contrast(160)};
  for (int i = 0; i < kFramesBefore; ++i) {
    int x = (i * 37) % 240, y = (i * 11) % 64;
    script += "pixel " + std::to_string(x) + " " + std::to_string(y) + " 1\nframe\n";
    SetPixel(picture, x, y);
    before.push_back(FullFrame(picture));
  }
  // The board comes back: LCD_Init again opens COM6, now the new pty.
  script += "wait the board is back\n";
  script += kStart;
  script += "clear\n";
  picture = Picture();
  std::vector<Expected> after = {Reset(), Light(200), Contrast(160)};
  for (int i = 0; i < kFramesAfter; ++i) {
    int x = 20 * i, y = 5 * i;
    script += "fill " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(x + 13) +
              " " + std::to_string(y + 3) + " 1\nframe\n";
    for (int yy = y; yy <= y + 3; ++yy)
      for (int xx = x; xx <= x + 13; ++xx) SetPixel(picture, xx, yy);
    after.push_back(FullFrame(picture));
  }
  script += "echo done\n";

  ASSERT_EQ("", OpenRawPty(first_));
  PointPortAt(first_);
  StartReading(first_reader_, first_.master, kGoneAfter);
  StartHostWith(script);

  double deadline = Now() + kStepSeconds;
  while (!first_reader_.closed && HostRunning(host_) && Now() < deadline) usleep(5000);
  ASSERT_TRUE(first_reader_.closed) << "the host stopped before " << kGoneAfter << " bytes:\n"
                                    << ReadFile(host_.err_path);
  double gone_at = Now();
  first_.master = -1;  // closed by the reader
  // The board's end goes away completely: the test's own slave (kept so far
  // so that the line did not hang up before the host opened it) goes too.
  CloseFd(first_.slave);
  // The board's device is gone with its master.
  EXPECT_FALSE(Exists(first_.name)) << first_.name;

  // The new line is there before the host can reach its LCD_Init: the
  // script waits for the test's word.
  ASSERT_EQ("", OpenRawPty(second_));
  PointPortAt(second_);
  StartReading(second_reader_, second_.master);
  ASSERT_TRUE(WaitForLine(host_, "wait the board is back", kStepSeconds))
      << "the host did not carry on after the board went away:\n"
      << ReadFile(host_.out_path) << ReadFile(host_.err_path);
  double rest_took = Now() - gone_at;
  Answer(host_);
  RunResult run = FinishHost(host_);
  Bytes first = ReadAll(first_reader_);
  Bytes second = ReadAll(second_reader_);

  // The host ran to its end and exited normally.
  ASSERT_EQ(0, run.status) << run.out << run.err;
  EXPECT_NE(std::string::npos, run.out.find("done\r\n")) << run.out;
  EXPECT_NE(std::string::npos,
            run.out.find("frames: " + std::to_string(kFramesBefore + kFramesAfter) + " "))
      << run.out;
  printf("board gone after %zu of %d bytes; the remaining frames took %.3f s\n", first.size(),
         kFramesBefore * 2565, rest_took);
  ExpectNoCallHangs(CallTimes(run.out));

  // Up to the moment it went, the old board got the calls whole, in order:
  // at most the last command is cut off, at the very end of what it read.
  Decoded old_stream = Decode({first});
  ASSERT_LE(old_stream.commands.size(), before.size());
  std::vector<Expected> prefix(before.begin(),
                               before.begin() + static_cast<long>(old_stream.commands.size()));
  EXPECT_EQ(Describe(prefix), Describe(old_stream.commands));
  EXPECT_GT(old_stream.commands.size(), 20u);
  EXPECT_LT(old_stream.commands.size(), before.size());
  ASSERT_LE(old_stream.anomalies.size(), 1u) << testing::PrintToString(Anomalies(old_stream));
  if (!old_stream.anomalies.empty()) {
    EXPECT_EQ(board::AnomalyKind::Truncated, old_stream.anomalies[0].kind);
    EXPECT_GT(old_stream.anomalies[0].offset + 2565, first.size());
  }

  // After LCD_Init on the new line the stream is whole again: the reset,
  // light and contrast, every frame, nothing more and nothing cut.
  Decoded new_stream = Decode({second});
  EXPECT_EQ(Describe(after), Describe(new_stream.commands));
  EXPECT_EQ(std::vector<std::string>{}, Anomalies(new_stream));
}

TEST_F(BoardGone, StopsReadingThenReadsAgain) {
  // Calls whose bytes are one 64-byte transfer each: a SetBitmap one byte
  // wide and 59 rows high (5 header bytes and 59 row bytes), with the
  // default GfxBufferSize of 64.
  const int kStalled = 4;
  const int kResumed = 4;
  const int kFrames = 2;
  const char kRect[] = "rect 0 0 5 58\n";

  Picture picture;
  // Opening the port purges its transmit side, which on a pty discards what
  // the board has not read: the line is filled only once the port is open.
  std::string script = kStart;
  script += "wait the board stops reading\n";
  for (int i = 0; i < kStalled; ++i) {
    script += "pixel " + std::to_string(i) + " " + std::to_string(10 * i) + " 1\n" + kRect;
    SetPixel(picture, i, 10 * i);
  }
  script += "wait the board reads again\n";
  std::vector<Expected> resumed;
  for (int i = 0; i < kResumed; ++i) {
    script += "pixel 5 " + std::to_string(50 + i) + " 1\n" + kRect;
    SetPixel(picture, 5, 50 + i);
    resumed.push_back(Bitmap(picture, 0, 0, 1, 59));
  }
  // Then full frames, 2565 bytes, 41 transfers each.
  for (int i = 0; i < kFrames; ++i) {
    int y = 60 + i;
    script += "fill 0 " + std::to_string(y) + " 239 " + std::to_string(y) + " 1\nframe\n";
    for (int x = 0; x < 240; ++x) SetPixel(picture, x, y);
    resumed.push_back(FullFrame(picture));
  }
  script += "echo done\n";

  const size_t unread = StartThenStall(script);
  ASSERT_FALSE(HasFailure());

  ASSERT_TRUE(WaitForLine(host_, "wait the board reads again", kStepSeconds))
      << "the host did not get through the stalled writes:\n"
      << ReadFile(host_.out_path) << ReadFile(host_.err_path);
  // The board reads again: first what it had left, then the host's calls.
  Bytes left = Drain(first_.master);
  StartReading(first_reader_, first_.master);
  Answer(host_);
  RunResult run = FinishHost(host_);
  Bytes stream = ReadAll(first_reader_);

  ASSERT_EQ(0, run.status) << run.out << run.err;
  EXPECT_NE(std::string::npos, run.out.find("done\r\n")) << run.out;
  EXPECT_NE(std::string::npos,
            run.out.find("frames: " + std::to_string(kStalled + kResumed + kFrames) + " "))
      << run.out;

  // Nothing the stalled writes offered got in: the line held only the
  // board's unread bytes.
  ASSERT_GE(left.size(), unread);
  EXPECT_EQ(Bytes(unread, 0), Bytes(left.begin(), left.begin() + static_cast<long>(unread)));
  printf("the line held %zu unread bytes; %zu more got in while it was full\n", unread,
         left.size() - unread);
  EXPECT_EQ(unread, left.size()) << Hex(
      Bytes(left.begin() + static_cast<long>(unread), left.end()), 24);

  std::map<std::string, CallTime> times = CallTimes(run.out);
  ExpectNoCallHangs(times);
  // Each stalled transfer waited for its time-out (1000 ms + 64 x 1 ms at
  // 19200 baud) and no longer: the first call's light and contrast, then
  // one 64-byte transfer per call.
  const CallTime& gfx = times["LCD_SendToGfxMemory"];
  EXPECT_GT(gfx.longest_ms, 500.0) << "the writes did not wait: was the line full?";
  double per_transfer = gfx.total_ms / (kStalled + 1);
  printf(
      "stalled transfers: %.3f ms each on average (time-outs: 1004 ms for 4 bytes, 1064 ms for "
      "64)\n",
      per_transfer);
  EXPECT_LT(per_transfer, 2500.0);

  // Once read again the line carries whole calls: the stalled ones were
  // dropped as whole transfers, so nothing is cut and nothing misread.
  Decoded d = Decode({stream});
  EXPECT_EQ(Describe(resumed), Describe(d.commands));
  EXPECT_EQ(std::vector<std::string>{}, Anomalies(d));
}

}  // namespace

namespace {

TEST_F(BoardGone, StoppedBoardStillClosesWithinTheBound) {
  // One full frame and the clean-up while the line stays full: the frame's
  // first transfer and the first closing command each wait out one write
  // time-out, and the wait before the transmit purge adds at most the line
  // time of a full queue plus the time-out constant.
  const double kWriteTimeoutMs = 1000 + 64;
  const double kCloseBoundMs = kWriteTimeoutMs + 2134 + 1000;
  std::string script = kStart;
  script += "wait the board stops reading\n";
  script += "fill 0 0 239 63 1\nframe\ncleanup\necho done\n";

  StartThenStall(script);
  ASSERT_FALSE(HasFailure());
  RunResult run = FinishHost(host_);
  ASSERT_EQ(0, run.status) << run.out << run.err;
  EXPECT_NE(std::string::npos, run.out.find("done\r\n")) << run.out;

  std::map<std::string, CallTime> times = CallTimes(run.out);
  ExpectNoCallHangs(times);
  const CallTime& cleanup = times["LCD_CleanUp"];
  EXPECT_EQ(1u, cleanup.calls);
  EXPECT_LT(cleanup.longest_ms, kCloseBoundMs);
  printf("LCD_CleanUp on a stalled board: %.3f ms (bound %.0f ms)\n", cleanup.longest_ms,
         kCloseBoundMs);
}

}  // namespace
