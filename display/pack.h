// Pixel packing: pure functions over the host's picture, read in place.
#pragma once

#include <stdint.h>

#include "core/exports.h"

// The host's picture: one byte per pixel, row-major, `width` pixels a row.
// Pixel (x, y) is the byte at y * width + x, computed in 64 bits; a column at
// or past `width` reads the start of the next row. Offsets outside
// [0, size) and a null picture read as clear.
struct Picture {
  const uint8_t* pixels;
  int64_t width;
  uint64_t size;  // width * height bytes, 0 when either is not positive
};

Picture MakePicture(const uint8_t* pixels, int32_t width, int32_t height);

// `pitch` pixels of row y from column x, leftmost in bit pitch - 1.
uint8_t RowByte(const Picture& picture, int64_t x, int64_t y, int pitch);
// 8 pixels of column x from row y down, top in bit 0.
uint8_t ColumnByte(const Picture& picture, int64_t x, int64_t y);
// A run of bytes, packed in one go: out[i] = RowByte(picture, x + i * pitch,
// y, pitch) and, for columns, out[i] = ColumnByte(picture, x + i, y), for i
// from 0 to count - 1.
void RowBytes(const Picture& picture, int64_t x, int64_t y, int pitch, uint32_t count,
              uint8_t* out);
void ColumnBytes(const Picture& picture, int64_t x, int64_t y, uint32_t count, uint8_t* out);

// A T6963 rectangle widened to whole bytes, as it goes on the wire.
struct ByteRect {
  uint8_t left;    // first column, a multiple of the pitch
  uint8_t top;     // first row
  uint8_t bytes;   // bytes per row
  uint8_t rows;    // number of rows, 1 to 255
};

// Orders the corners (low 16 bits of each), widens left and right to whole
// bytes of `pitch` pixels and fits the result to the protocol's 8-bit fields:
// a corner past 255 counts as 255, a widened right edge may pass column 255
// (only the left edge and the byte count go on the wire), and a rectangle of
// 256 rows loses its last row.
ByteRect WidenRect(uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2, int pitch);

// The KS108 whole-picture transfer as it goes on the wire. A picture wider or
// higher than 255 pixels is sent as its top-left 255 x 255 part; a size of 0
// or below sends no columns or no bands.
struct Ks108Frame {
  uint8_t width_byte;  // picture width / 8, the SetBitmap width operand
  uint8_t height;      // rows, the SetBitmap height operand
  uint32_t columns;    // columns per band
  uint32_t bands;      // 8-row bands, (height + 7) / 8
};

Ks108Frame Ks108FrameFor(int32_t gfx_width, int32_t gfx_height);

// Custom-character row byte of `row`: matrix columns 0 to pitch - 1, the
// leftmost in bit pitch - 1.
uint8_t CgramRowByte(const CgramCharRecord& record, int row, int pitch);
