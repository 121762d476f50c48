// What a test expects the board to decode, and decoded commands as lines to
// compare with it: a mismatch then shows as a readable diff of two lists.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/board/decoder.h"

namespace expected_commands {

typedef std::vector<uint8_t> Bytes;

struct Expected {
  board::CommandKind kind;
  Bytes operands;
  Bytes payload;
};

// Hex pairs; past `limit` bytes only the count.
inline std::string Hex(const Bytes& bytes, size_t limit = SIZE_MAX) {
  std::string text;
  char pair[4];
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    snprintf(pair, sizeof pair, "%s%02X", text.empty() ? "" : " ", bytes[i]);
    text += pair;
  }
  if (bytes.size() > limit) text += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return text;
}

// One command as a line: "SetBitmap 0C 02 02 06 | 08 00 ...", payloads in
// full, as a hash would hide where they differ.
inline std::string Describe(board::CommandKind kind, const Bytes& operands, const Bytes& payload) {
  std::string line = board::CommandName(kind);
  if (!operands.empty()) line += " " + Hex(operands);
  if (!payload.empty()) line += " | " + Hex(payload);
  return line;
}

inline std::vector<std::string> Describe(const std::vector<Expected>& commands) {
  std::vector<std::string> lines;
  for (const Expected& c : commands) lines.push_back(Describe(c.kind, c.operands, c.payload));
  return lines;
}

inline std::vector<std::string> Describe(const std::vector<board::Command>& commands) {
  std::vector<std::string> lines;
  for (const board::Command& c : commands) lines.push_back(Describe(c.kind, c.operands, c.payload));
  return lines;
}

// A stream through the board's decoder, fed in the chunks it came in.
struct Decoded {
  std::vector<board::Command> commands;
  std::vector<board::Anomaly> anomalies;
};

inline Decoded Decode(const std::vector<Bytes>& chunks, const board::DisplayConfig& config = {}) {
  board::Decoder decoder;
  board::DecoderInit(decoder, config);
  Decoded d;
  for (const Bytes& chunk : chunks)
    board::DecoderFeed(decoder, chunk.data(), chunk.size(), d.commands, d.anomalies);
  board::DecoderFinish(decoder, d.anomalies);
  return d;
}

// The anomalies as lines, for a readable failure.
inline std::vector<std::string> Anomalies(const Decoded& d) {
  std::vector<std::string> found;
  for (const board::Anomaly& a : d.anomalies)
    found.push_back(std::string(board::AnomalyKindName(a.kind)) + " at " +
                    std::to_string(a.offset) + ": " + a.message);
  return found;
}

inline Expected Reset() { return {board::CommandKind::ResetDisplay, {}, {}}; }
inline Expected Light(uint8_t v) { return {board::CommandKind::SetLight, {v}, {}}; }
inline Expected Contrast(uint8_t v) { return {board::CommandKind::SetContrast, {v}, {}}; }

}  // namespace expected_commands
