// Planning a T6963 update that sends only the bytes that differ from what the
// board shows: which boxes of the host's rectangle go out, as which commands.
// Pure functions over bit masks on the caller's stack; no allocation.
#pragma once

#include <stdint.h>

// The widest rectangle: 43 bytes a row (pitch 6 over 256 columns), 255 rows.
const uint32_t kChangeColumns = 43;
const uint32_t kChangeRows = 255;

// Which bytes of the rectangle differ, as bits: row r, byte column c is bit c
// of rows[r] and bit r of columns[c].
struct ChangeMap {
  uint32_t columns;  // bytes a row, 1 to kChangeColumns
  uint32_t rows;     // 1 to kChangeRows
  uint64_t row_bits[kChangeRows];
  uint64_t column_bits[kChangeColumns][4];
};

// Empties the map for a rectangle of `columns` x `rows` bytes.
void ClearChanges(ChangeMap* map, uint32_t columns, uint32_t rows);
inline void MarkChange(ChangeMap* map, uint32_t column, uint32_t row) {
  map->row_bits[row] |= uint64_t{1} << column;
  map->column_bits[column][row / 64] |= uint64_t{1} << (row % 64);
}

// A box of the rectangle, in byte columns and rows from its top left.
struct ChangeBox {
  uint8_t column;
  uint8_t row;
  uint8_t columns;  // bytes a row
  uint8_t rows;
};

// The wire bytes of the command that sends `box`: SetGfxSingle 4, SetGfxMulti
// 4 + n, SetBitmap 5 + w x h.
uint32_t BoxCost(const ChangeBox& box);

// Receives the boxes of a plan in the order they go out.
struct BoxSink {
  void (*put)(void* context, const ChangeBox& box);
  void* context;
};

// Covers every marked byte with boxes whose commands cost the fewest bytes
// this planner finds, and returns that cost (0 when nothing is marked). A
// plan never costs more than the box around the marked bytes sent whole,
// which is the plan on a tie. `sink` (may be null) receives the boxes.
uint32_t PlanChanges(const ChangeMap& map, const BoxSink* sink);
