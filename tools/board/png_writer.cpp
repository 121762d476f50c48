#include "tools/board/png_writer.h"

#include <zlib.h>

namespace board {

namespace {

void PutBig32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// A chunk: length, type, data, and the CRC of type and data.
void PutChunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data) {
  PutBig32(out, static_cast<uint32_t>(data.size()));
  const size_t crc_from = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  const uLong crc = crc32(0L, out.data() + crc_from, static_cast<uInt>(out.size() - crc_from));
  PutBig32(out, static_cast<uint32_t>(crc));
}

}  // namespace

std::vector<uint8_t> EncodePng(int width, int height, const std::vector<uint8_t>& rgb) {
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  if (width <= 0 || height <= 0 || rgb.size() != row_bytes * static_cast<size_t>(height)) {
    return {};
  }
  // Every row with filter type 1 (Sub): the board's flat colours become runs
  // of zeros, which deflate well.
  std::vector<uint8_t> raw;
  raw.reserve((row_bytes + 1) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = rgb.data() + row_bytes * static_cast<size_t>(y);
    raw.push_back(1);
    for (size_t i = 0; i < row_bytes; ++i) {
      raw.push_back(static_cast<uint8_t>(row[i] - (i >= 3 ? row[i - 3] : 0)));
    }
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packed_size);
  if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()),
                Z_BEST_COMPRESSION) != Z_OK) {
    return {};
  }
  packed.resize(packed_size);

  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> file(kSignature, kSignature + 8);
  std::vector<uint8_t> header;
  PutBig32(header, static_cast<uint32_t>(width));
  PutBig32(header, static_cast<uint32_t>(height));
  // 8 bits a sample, colour type 2 (RGB), deflate, adaptive filtering, no
  // interlace.
  header.insert(header.end(), {8, 2, 0, 0, 0});
  PutChunk(file, "IHDR", header);
  PutChunk(file, "IDAT", packed);
  PutChunk(file, "IEND", {});
  return file;
}

}  // namespace board
