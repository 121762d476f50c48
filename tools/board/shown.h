// The display a board shows after a byte stream, read with the board's own
// decoder and model: shared by the unit tests and the fuzzer, which compare
// what the driver sent with what a reference run sent.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/board/decoder.h"
#include "tools/board/model.h"

namespace board {

// A board that reads all of `wire`, or, from each offset in `fresh_at` on,
// a new board just plugged in.
inline BoardModel Shown(const std::vector<uint8_t>& wire, const DisplayConfig& config,
                        const std::vector<size_t>& fresh_at = {}) {
  BoardModel model;
  Decoder decoder;
  std::vector<size_t> starts = {0};
  starts.insert(starts.end(), fresh_at.begin(), fresh_at.end());
  starts.push_back(wire.size());
  for (size_t i = 0; i + 1 < starts.size(); ++i) {
    ModelInit(model, config);
    DecoderInit(decoder, config);
    std::vector<Command> commands;
    std::vector<Anomaly> anomalies;
    DecoderFeed(decoder, wire.data() + starts[i], starts[i + 1] - starts[i], commands, anomalies);
    for (const Command& c : commands) ModelApply(model, c);
  }
  return model;
}

// The first way two displays differ as they show, or "" when they show the
// same: each text cell's rows as drawn (a custom character that no cell
// uses shows nothing), the cursor, light, contrast, ports and graphics.
inline std::string DisplayDifference(const BoardModel& a, const BoardModel& b) {
  char text[160];
  if (a.text.size() != b.text.size()) return "the text grids differ in size";
  for (size_t at = 0; at < a.text.size(); ++at) {
    for (int r = 0; r < 8; ++r) {
      if (GlyphRow(a, a.text[at], r) != GlyphRow(b, b.text[at], r)) {
        snprintf(text, sizeof text, "text cell %zu shows code %d, not code %d (row %d)", at,
                 a.text[at], b.text[at], r);
        return text;
      }
    }
  }
  if (a.cursor_column != b.cursor_column || a.cursor_row != b.cursor_row) {
    snprintf(text, sizeof text, "the cursor stands at %d,%d, not %d,%d", a.cursor_column,
             a.cursor_row, b.cursor_column, b.cursor_row);
    return text;
  }
  if (a.light != b.light || a.contrast != b.contrast || a.ports != b.ports) {
    snprintf(text, sizeof text, "light %u contrast %u ports %02X%02X%02X%02X, not %u %u %02X%02X%02X%02X",
             a.light, a.contrast, a.ports[3], a.ports[2], a.ports[1], a.ports[0], b.light,
             b.contrast, b.ports[3], b.ports[2], b.ports[1], b.ports[0]);
    return text;
  }
  if (a.graphics != b.graphics) {
    size_t at = 0;
    while (at < a.graphics.size() && at < b.graphics.size() && a.graphics[at] == b.graphics[at])
      ++at;
    const int width = a.config.width > 0 ? a.config.width : 1;
    snprintf(text, sizeof text, "the graphics differ at pixel %zu,%zu", at % (size_t)width,
             at / (size_t)width);
    return text;
  }
  return "";
}

}  // namespace board
