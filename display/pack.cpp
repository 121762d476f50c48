#include "display/pack.h"

#include <string.h>

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

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define KORVEX_PACK_WORDS 1

// Eight pixels at once, the first at the lowest address. Bit 7 of each byte of
// the result is set when that byte is not zero: adding 0x7F to its low seven
// bits carries into bit 7 unless they are all clear, the OR catches 0x80, and
// no carry crosses into the next byte.
inline uint64_t SetFlags(uint64_t pixels) {
  const uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
  return (((pixels & low7) + low7) | pixels) & ~low7;
}

// The eight flags as one row byte, the first pixel in bit 7. Each term of the
// product puts flag i on a bit of its own (63 - i in the top byte, distinct
// bits below it), so there are no carries.
inline uint8_t GatherFlags(uint64_t flags) {
  return (uint8_t)(((flags >> 7) * 0x8040201008040201ull) >> 56);
}

inline uint8_t PackEight(const uint8_t* p) {
  uint64_t pixels;
  memcpy(&pixels, p, 8);
  return GatherFlags(SetFlags(pixels));
}

// Exactly six bytes are read: the last byte of a row may end the picture.
inline uint8_t PackSix(const uint8_t* p) {
  uint32_t low;
  uint16_t high;
  memcpy(&low, p, 4);
  memcpy(&high, p + 4, 2);
  return (uint8_t)(GatherFlags(SetFlags(low | (uint64_t)high << 32)) >> 2);
}
#endif

}  // namespace

uint8_t RowByte(const Picture& picture, int64_t x, int64_t y, int pitch) {
  int64_t offset = y * picture.width + x;
  uint8_t byte = 0;
  if (offset >= 0 && (uint64_t)offset + (uint64_t)pitch <= picture.size) {
    // The whole byte lies inside the picture: no per-pixel bounds test.
    const uint8_t* p = picture.pixels + offset;
#ifdef KORVEX_PACK_WORDS
    if (pitch == 8) return PackEight(p);
    if (pitch == 6) return PackSix(p);
#endif
    for (int i = 0; i < pitch; ++i) byte = (uint8_t)((byte << 1) | (p[i] != 0));
    return byte;
  }
  for (int i = 0; i < pitch; ++i) byte = (uint8_t)((byte << 1) | PixelAt(picture, offset + i));
  return byte;
}

uint8_t ColumnByte(const Picture& picture, int64_t x, int64_t y) {
  uint8_t byte = 0;
  int64_t offset = y * picture.width + x;
  if (offset >= 0 && (uint64_t)(offset + 7 * picture.width) < picture.size) {
    // The whole column lies inside the picture: no per-pixel bounds test.
    const uint8_t* p = picture.pixels + offset;
    const int64_t w = picture.width;
    for (int bit = 0; bit < 8; ++bit) byte = (uint8_t)(byte | (p[bit * w] != 0) << bit);
    return byte;
  }
  for (int bit = 0; bit < 8; ++bit, offset += picture.width) {
    if (PixelAt(picture, offset)) byte = (uint8_t)(byte | (1u << bit));
  }
  return byte;
}

void RowBytes(const Picture& picture, int64_t x, int64_t y, int pitch, uint32_t count,
              uint8_t* out) {
#ifdef KORVEX_PACK_WORDS
  int64_t offset = y * picture.width + x;
  uint64_t span = (uint64_t)count * (uint64_t)(pitch > 0 ? pitch : 0);
  if ((pitch == 6 || pitch == 8) && offset >= 0 && (uint64_t)offset + span <= picture.size) {
    // The whole run lies inside the picture.
    const uint8_t* p = picture.pixels + offset;
    if (pitch == 8) {
      for (uint32_t i = 0; i < count; ++i, p += 8) out[i] = PackEight(p);
    } else {
      for (uint32_t i = 0; i < count; ++i, p += 6) out[i] = PackSix(p);
    }
    return;
  }
#endif
  for (uint32_t i = 0; i < count; ++i) out[i] = RowByte(picture, x + (int64_t)i * pitch, y, pitch);
}

void ColumnBytes(const Picture& picture, int64_t x, int64_t y, uint32_t count, uint8_t* out) {
  uint32_t i = 0;
#ifdef KORVEX_PACK_WORDS
  const int64_t w = picture.width;
  int64_t offset = y * w + x;
  if (offset >= 0 && (uint64_t)(offset + 7 * w) + count <= picture.size) {
    // All eight rows of the run lie inside the picture. Eight columns at a
    // time: row r's set flags, moved to bit r of each byte, make byte c the
    // column byte of column c.
    const uint8_t* p = picture.pixels + offset;
    for (; i + 8 <= count; i += 8, p += 8) {
      uint64_t columns = 0;
      for (int row = 0; row < 8; ++row) {
        uint64_t pixels;
        memcpy(&pixels, p + row * w, 8);
        columns |= (SetFlags(pixels) >> 7) << row;
      }
      memcpy(out + i, &columns, 8);
    }
  }
#endif
  for (; i < count; ++i) out[i] = ColumnByte(picture, x + i, y);
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
