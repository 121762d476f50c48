// What a board shows after the bytes it received, read by the board
// emulator's own decoder and model, and the comparison of two displays.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tools/board/decoder.h"
#include "tools/board/model.h"

// What the display shows after the wire: a board that reads it all, or, from
// each offset in `fresh_at` on, a new board just plugged in.
inline board::BoardModel Shown(const std::vector<uint8_t>& wire,
                               const board::DisplayConfig& config,
                               const std::vector<size_t>& fresh_at = {}) {
  board::BoardModel model;
  board::Decoder decoder;
  size_t at = 0;
  std::vector<size_t> starts = {0};
  starts.insert(starts.end(), fresh_at.begin(), fresh_at.end());
  starts.push_back(wire.size());
  for (size_t i = 0; i + 1 < starts.size(); ++i) {
    board::ModelInit(model, config);
    board::DecoderInit(decoder, config);
    std::vector<board::Command> commands;
    std::vector<board::Anomaly> anomalies;
    at = starts[i];
    board::DecoderFeed(decoder, wire.data() + at, starts[i + 1] - at, commands, anomalies);
    for (const board::Command& c : commands) board::ModelApply(model, c);
  }
  return model;
}

inline void ExpectSameDisplay(const board::BoardModel& got, const board::BoardModel& want) {
  EXPECT_EQ(got.text, want.text);
  EXPECT_EQ(got.cursor_column, want.cursor_column);
  EXPECT_EQ(got.cursor_row, want.cursor_row);
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(got.custom[code].defined, want.custom[code].defined) << code;
    EXPECT_EQ(got.custom[code].rows, want.custom[code].rows) << code;
  }
  EXPECT_EQ(got.light, want.light);
  EXPECT_EQ(got.contrast, want.contrast);
  EXPECT_EQ(got.ports, want.ports);
  EXPECT_EQ(std::count(got.graphics.begin(), got.graphics.end(), 1),
            std::count(want.graphics.begin(), want.graphics.end(), 1));
  EXPECT_TRUE(got.graphics == want.graphics) << "the graphics differ";
}

