// A host's second thread polling the ready flag while the first starts, draws
// and stops the driver, with LogFile=1, on the POSIX layer and a real pty.
// Built again with ThreadSanitizer (the tsan preset), where any report fails
// the run.
//
// The verdicts hold on any interleaving. Where the threads must meet, the
// meeting is forced: at each open and close of the trace the POSIX layer
// calls back (trace_edges.h), and the test has a second thread poll right
// then. A third thread polls freely, as a host's timer would; how often it
// met the calls is printed, not judged.
#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/driver_state.h"
#include "core/exports.h"
#include "platform/posix/trace_edges.h"
#include "session_support.h"

namespace {

const std::string kPollLine = "\nPylora called LCD_IsReadyToReceive()\n";

// One round of what a host does between two starts of the display.
void Round(const uint8_t* picture) {
  LCD_Init();
  for (char c : std::string("Hi %d\x01")) LCD_SendToMemory((uint8_t)c);
  LCD_SetOutputAddress(3, 1);
  CgramCharRecord glyph = {};
  glyph.position = 2;
  glyph.matrix[9] = 1;
  LCD_SetCGRAMChar(glyph);
  LCD_SendToGfxMemory(picture, 0, 0, 47, 7, 0);
  LCD_SendToGfxMemory(picture, 8, 3, 8, 3, 0);
  LCD_CleanUp();
}

// The trace without the poll lines: what one thread alone would leave.
std::string WithoutPolls(const std::string& trace, size_t* polls) {
  std::string rest;
  *polls = 0;
  for (size_t at = 0;;) {
    size_t found = trace.find(kPollLine, at);
    rest += trace.substr(at, found == std::string::npos ? std::string::npos : found - at);
    if (found == std::string::npos) break;
    ++*polls;
    at = found + kPollLine.size();
  }
  return rest;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The thread that polls when the driver's thread reaches an edge of the
// trace, while that thread waits for it. They signal through relaxed atomics
// only: nothing orders the poll's own accesses against the driver's but the
// driver's lock, so ThreadSanitizer reports a missing lock at every edge. The
// edges come in a fixed order, one open and one close a round.
const TraceEdge kEdgeOrder[3] = {kTraceOpened, kTraceClosing, kTraceClosed};

struct EdgePoller {
  std::atomic<int> asked{0}, answered{0}, busy_inside{0};
  std::atomic<bool> stop{false}, late{false}, out_of_order{false};

  void Run() {
    for (;;) {
      const int done = answered.load(std::memory_order_relaxed);
      if (asked.load(std::memory_order_relaxed) > done) {
        const uint8_t ready = LCD_IsReadyToReceive();
        // At an open and before a close the driver's call is still running.
        if (ready == 0 && kEdgeOrder[done % 3] != kTraceClosed) ++busy_inside;
        answered.store(done + 1, std::memory_order_relaxed);
      } else if (stop.load(std::memory_order_relaxed)) {
        return;
      } else {
        std::this_thread::yield();
      }
    }
  }
  // On the driver's thread. The wait is bounded so that a poll that never
  // returns fails the test instead of hanging it.
  void PollNow(TraceEdge at) {
    const int mine = asked.load(std::memory_order_relaxed);
    if (kEdgeOrder[mine % 3] != at) out_of_order = true;
    asked.store(mine + 1, std::memory_order_relaxed);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (answered.load(std::memory_order_relaxed) <= mine) {
      if (std::chrono::steady_clock::now() > give_up) {
        late = true;
        return;
      }
      std::this_thread::yield();
    }
  }
};
EdgePoller* g_edge_poller = nullptr;

TEST(ThreadStress, APollerNeverMeetsAHalfOpenTraceAndEveryLineStaysWhole) {
  const int kRounds = 150;
  SessionDir dir = EnterTempDir();
  Pty pty = OpenPty();
  std::vector<uint8_t> picture(240 * 64, 0);
  for (size_t i = 0; i < picture.size(); i += 3) picture[i] = 1;
  auto configure = [&] {
    ResetDriverState();
    std::ofstream("config.ini", std::ios::binary)
        << "[Korvex]\nLogFile=1\nTextBufferSize=4\nGfxForceFlush=1\nBaudRate=115200\n";
    LCD_SetIOPropertys(pty.name.c_str(), 0, 0, 0, 0, 240, 64, 1, 0, 0, 0, 0, 0, 0);
  };

  // The board reads everything, so no write waits.
  std::atomic<bool> done{false};
  std::thread board([&] {
    while (!done.load()) Drain(pty, 20);
  });

  // The same rounds on one thread: the trace they leave.
  configure();
  for (int i = 0; i < kRounds; ++i) Round(picture.data());
  const std::string alone = ReadFile("debug.log");
  ASSERT_FALSE(alone.empty());
  ASSERT_EQ(unlink("debug.log"), 0);

  configure();
  EdgePoller edges;
  g_edge_poller = &edges;
  std::thread edge_thread([&] { edges.Run(); });
  g_trace_edge_hook = [](TraceEdge edge) { g_edge_poller->PollNow(edge); };
  std::atomic<long> free_polls{0}, free_busy{0};
  std::thread free_poller([&] {
    while (!done.load()) {
      if (LCD_IsReadyToReceive() == 0) ++free_busy;
      ++free_polls;
      std::this_thread::yield();  // as a host's timer would, more or less
    }
  });
  for (int i = 0; i < kRounds; ++i) Round(picture.data());
  g_trace_edge_hook = nullptr;
  done = true;
  free_poller.join();
  board.join();
  edges.stop = true;
  edge_thread.join();

  const std::string trace = ReadFile("debug.log");
  size_t traced_polls = 0;
  // Whatever the free poller hit, the driver's lines are those of one thread.
  EXPECT_EQ(WithoutPolls(trace, &traced_polls), alone);
  // Each round's forced polls: one as the trace has just opened, before the
  // start's first line, and one as it is about to close, after the last; both
  // while the call runs, so the flag reads 0. A poll after the close writes
  // nothing and must not fault.
  EXPECT_FALSE(edges.late.load());
  EXPECT_FALSE(edges.out_of_order.load());
  EXPECT_EQ(edges.answered.load(), 3 * kRounds);
  EXPECT_EQ(edges.busy_inside.load(), 2 * kRounds);
  EXPECT_EQ(Count(trace, kPollLine + "\nLCD_Init() porth=closed\n"), (size_t)kRounds);
  EXPECT_EQ(Count(trace, "\nLCD_CleanUp() porth=closed\n" + kPollLine), (size_t)kRounds);
  printf("%d rounds; free poller: %ld polls, %ld of them during a call; %zu polls traced in all\n",
         kRounds, free_polls.load(), free_busy.load(), traced_polls);

  g_edge_poller = nullptr;
  ClosePty(pty);
  LeaveTempDir(dir);
  ResetDriverState();
}

}  // namespace
