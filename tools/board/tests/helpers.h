// Shared by the board's tests.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/board/decoder.h"
#include "tools/board/model.h"
#include "tools/board/render.h"

namespace board_test {

using Bytes = std::vector<uint8_t>;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline board::DisplayConfig T6963(int pitch, int width, int height) {
  board::DisplayConfig config;
  config.controller = board::Controller::T6963;
  config.pitch = pitch;
  config.width = width;
  config.height = height;
  return config;
}

inline board::DisplayConfig KS108(int width, int height, int pitch = 6) {
  board::DisplayConfig config = T6963(pitch, width, height);
  config.controller = board::Controller::KS108;
  return config;
}

struct Decoded {
  std::vector<board::Command> commands;
  std::vector<board::Anomaly> anomalies;
};

// Feeds the stream in chunks that end at the given offsets, then finishes it.
inline Decoded DecodeSplit(const board::DisplayConfig& config, const Bytes& bytes,
                           const std::vector<size_t>& cuts) {
  board::Decoder decoder;
  board::DecoderInit(decoder, config);
  Decoded out;
  size_t at = 0;
  for (size_t cut : cuts) {
    board::DecoderFeed(decoder, bytes.data() + at, cut - at, out.commands, out.anomalies);
    at = cut;
  }
  board::DecoderFeed(decoder, bytes.data() + at, bytes.size() - at, out.commands,
                     out.anomalies);
  board::DecoderFinish(decoder, out.anomalies);
  return out;
}

inline Decoded Decode(const board::DisplayConfig& config, const Bytes& bytes) {
  return DecodeSplit(config, bytes, {});
}

// Decodes the stream and applies it to a fresh model.
inline board::BoardModel Show(const board::DisplayConfig& config, const Bytes& bytes) {
  board::BoardModel model;
  board::ModelInit(model, config);
  for (const board::Command& command : Decode(config, bytes).commands) {
    board::ModelApply(model, command);
  }
  return model;
}

// The glass as rows of '#' (set) and '.' (clear).
inline std::vector<std::string> Picture(const board::BoardModel& model) {
  std::vector<std::string> rows;
  for (int y = 0; y < model.config.height; ++y) {
    std::string row;
    for (int x = 0; x < model.config.width; ++x) {
      row += board::DisplayPixel(model, x, y) ? '#' : '.';
    }
    rows.push_back(row);
  }
  return rows;
}

// What the picture shows at the centre of each dot: '#' for the set-dot colour,
// '.' for the clear-dot colour, '?' for anything else.
inline std::vector<std::string> Dots(const board::Image& image,
                                     const board::BoardModel& model, int scale) {
  const board::RenderLayout layout = board::ComputeLayout(model.config, scale);
  const board::Rgb on = board::DotOnColour(model.light, model.contrast);
  const board::Rgb off = board::DotOffColour(model.light);
  std::vector<std::string> art;
  for (int y = 0; y < model.config.height; ++y) {
    std::string row;
    for (int x = 0; x < model.config.width; ++x) {
      const int cx = layout.display_x + x * scale + (scale - layout.gap) / 2;
      const int cy = layout.display_y + y * scale + (scale - layout.gap) / 2;
      const board::Rgb c = board::ImagePixel(image, cx, cy);
      row += c == on ? '#' : c == off ? '.' : '?';
    }
    art.push_back(row);
  }
  return art;
}

// A 12 x 8, pitch-6 scene: the letter 'A' as text, graphics on the last row,
// backlight, contrast and two ports set.
inline Bytes SceneBytes() {
  return Concat({{0xB0, 0xB4, 0xC8, 0xB3, 0x40}, Text("A"), {0xB7, 0x06, 0x07, 0x2A},
                 {0xBE, 0x00, 0x81, 0xBE, 0x03, 0x01}});
}

inline std::vector<std::string> SceneArt() {
  return {".###........", "#...#.......", "#...#.......", "#####.......",
          "#...#.......", "#...#.......", "#...#.......", "......#.#.#."};
}

}  // namespace board_test
