// A host's second thread polling the ready flag while the first starts, draws
// and stops the driver, with LogFile=1, on the POSIX layer and a real pty.
// Built again with ThreadSanitizer (the tsan preset), where any report fails
// the run.
#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/driver_state.h"
#include "core/exports.h"
#include "session_support.h"

namespace {

const char kPollLine[] = "\nPylora called LCD_IsReadyToReceive()\n";

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

// The trace without the poller's lines: what one thread alone would leave.
std::string WithoutPolls(const std::string& trace, size_t* polls) {
  std::string rest;
  *polls = 0;
  const std::string line = kPollLine;
  for (size_t at = 0;;) {
    size_t found = trace.find(line, at);
    rest += trace.substr(at, found == std::string::npos ? std::string::npos : found - at);
    if (found == std::string::npos) break;
    ++*polls;
    at = found + line.size();
  }
  return rest;
}

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
  std::atomic<long> polls{0};
  std::atomic<bool> busy_seen{false};
  std::thread poller([&] {
    while (!done.load()) {
      if (LCD_IsReadyToReceive() == 0) busy_seen = true;
      ++polls;
    }
  });
  for (int i = 0; i < kRounds; ++i) Round(picture.data());
  done = true;
  poller.join();
  board.join();

  size_t traced_polls = 0;
  EXPECT_EQ(WithoutPolls(ReadFile("debug.log"), &traced_polls), alone);
  // The two threads did meet: polls landed in the trace and saw calls running.
  EXPECT_GT(traced_polls, 0u);
  EXPECT_LE(traced_polls, (size_t)polls.load());
  EXPECT_TRUE(busy_seen.load());
  printf("%d rounds; %ld polls, %zu of them traced between the calls' lines\n", kRounds,
         polls.load(), traced_polls);

  ClosePty(pty);
  LeaveTempDir(dir);
  ResetDriverState();
}

}  // namespace
