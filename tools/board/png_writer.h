// PNG files of the board's pictures: 8-bit RGB, one IDAT chunk, deflated by
// zlib. Written by this small encoder rather than libpng so that the Linux
// and the Windows build (where Debian has zlib but no libpng) produce the
// same bytes for the same picture.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace board {

// The whole file for a width x height picture of rgb (row-major, 3 bytes a
// pixel). Empty when the picture is empty or zlib fails.
std::vector<uint8_t> EncodePng(int width, int height, const std::vector<uint8_t>& rgb);

}  // namespace board
