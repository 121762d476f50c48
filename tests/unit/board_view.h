// What a board shows after the bytes it received (the board emulator's own
// decoder and model, tools/board/shown.h), and the comparison of two displays.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tools/board/decoder.h"
#include "tools/board/model.h"
#include "tools/board/shown.h"

using board::Shown;

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

