#include "display/pack.h"

Picture MakePicture(const uint8_t* pixels, int32_t width, int32_t height) {
  Picture picture;
  picture.pixels = pixels;
  picture.width = width;
  picture.size = (pixels != nullptr && width > 0 && height > 0)
                     ? (uint64_t)(int64_t)width * (uint64_t)(int64_t)height
                     : 0;
  return picture;
}

namespace {

inline bool PixelAt(const Picture& picture, int64_t offset) {
  return offset >= 0 && (uint64_t)offset < picture.size && picture.pixels[offset] != 0;
}

}  // namespace

uint8_t RowByte(const Picture& picture, int64_t x, int64_t y, int pitch) {
  int64_t offset = y * picture.width + x;
  uint8_t byte = 0;
  if (offset >= 0 && (uint64_t)offset + (uint64_t)pitch <= picture.size) {
    // The whole byte lies inside the picture: no per-pixel bounds test.
    const uint8_t* p = picture.pixels + offset;
    for (int i = 0; i < pitch; ++i) byte = (uint8_t)((byte << 1) | (p[i] != 0));
    return byte;
  }
  for (int i = 0; i < pitch; ++i) byte = (uint8_t)((byte << 1) | PixelAt(picture, offset + i));
  return byte;
}

uint8_t ColumnByte(const Picture& picture, int64_t x, int64_t y) {
  uint8_t byte = 0;
  int64_t offset = y * picture.width + x;
  for (int bit = 0; bit < 8; ++bit, offset += picture.width) {
    if (PixelAt(picture, offset)) byte = (uint8_t)(byte | (1u << bit));
  }
  return byte;
}

ByteRect WidenRect(uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2, int pitch) {
  uint32_t ax = x1 & 0xFFFF, bx = x2 & 0xFFFF, ay = y1 & 0xFFFF, by = y2 & 0xFFFF;
  uint32_t left = ax < bx ? ax : bx, right = ax < bx ? bx : ax;
  uint32_t top = ay < by ? ay : by, bottom = ay < by ? by : ay;
  if (left > 255) left = 255;
  if (right > 255) right = 255;
  if (top > 255) top = 255;
  if (bottom > 255) bottom = 255;
  uint32_t p = (uint32_t)pitch;
  left -= left % p;
  right += (p - 1) - right % p;
  uint32_t rows = bottom - top + 1;
  if (rows > 255) rows = 255;
  ByteRect rect;
  rect.left = (uint8_t)left;
  rect.top = (uint8_t)top;
  rect.bytes = (uint8_t)((right - left + 1) / p);
  rect.rows = (uint8_t)rows;
  return rect;
}

Ks108Frame Ks108FrameFor(int32_t gfx_width, int32_t gfx_height) {
  int32_t width = gfx_width < 0 ? 0 : (gfx_width > 255 ? 255 : gfx_width);
  int32_t height = gfx_height < 0 ? 0 : (gfx_height > 255 ? 255 : gfx_height);
  Ks108Frame frame;
  frame.width_byte = (uint8_t)(width / 8);
  frame.height = (uint8_t)height;
  frame.columns = (uint32_t)width;
  frame.bands = ((uint32_t)height + 7) / 8;
  return frame;
}

uint8_t CgramRowByte(const CgramCharRecord& record, int row, int pitch) {
  uint8_t byte = 0;
  for (int column = 0; column < pitch; ++column) {
    byte = (uint8_t)((byte << 1) | (record.matrix[8 * column + row] != 0));
  }
  return byte;
}
