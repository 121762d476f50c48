// Reading PNG files back in the tests, through libpng: an independent
// decoder checks what the board's own encoder wrote.
#pragma once

#include <png.h>
#include <string.h>

#include <string>

#include "tools/board/render.h"

namespace board_test {

inline bool ReadPng(const std::string& path, board::Image* image, std::string* error) {
  png_image png;
  memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    if (error) *error = png.message;
    png_image_free(&png);
    return false;
  }
  png.format = PNG_FORMAT_RGB;
  image->width = static_cast<int>(png.width);
  image->height = static_cast<int>(png.height);
  image->rgb.assign(PNG_IMAGE_SIZE(png), 0);
  if (!png_image_finish_read(&png, nullptr, image->rgb.data(), 0, nullptr)) {
    if (error) *error = png.message;
    png_image_free(&png);
    return false;
  }
  return true;
}

}  // namespace board_test
