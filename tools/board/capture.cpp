#include "tools/board/capture.h"

#include <stdlib.h>
#include <string.h>

#include <sstream>

namespace board {

namespace {

const char kMagic[] = "KORVEX-CAPTURE ";
const size_t kMagicLength = sizeof kMagic - 1;
const size_t kLongestLine = 256;

bool ReadNumber(const std::string& text, int* value) {
  char* end = nullptr;
  const long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 0 || v > 99999) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

std::string CaptureHeader(const DisplayConfig& config) {
  return std::string(kMagic) + "1 controller=" +
         (config.controller == Controller::KS108 ? "108" : "6963") +
         " pitch=" + std::to_string(config.pitch) + " width=" + std::to_string(config.width) +
         " height=" + std::to_string(config.height) + "\n";
}

HeaderScan ScanCaptureHeader(const uint8_t* data, size_t size, DisplayConfig* config,
                             size_t* length, std::string* error) {
  const size_t compare = size < kMagicLength ? size : kMagicLength;
  if (memcmp(data, kMagic, compare) != 0) return HeaderScan::kNone;
  const void* end = memchr(data, '\n', size < kLongestLine ? size : kLongestLine);
  if (!end) {
    if (size < kLongestLine) return HeaderScan::kNeedMore;
    *error = "its KORVEX-CAPTURE line has no end";
    return HeaderScan::kBad;
  }
  *length = static_cast<size_t>(static_cast<const uint8_t*>(end) - data) + 1;
  std::istringstream words(std::string(reinterpret_cast<const char*>(data) + kMagicLength,
                                       *length - kMagicLength - 1));
  std::string version;
  words >> version;
  if (version != "1") {
    *error = "it is a KORVEX-CAPTURE of version '" + version + "', this program reads 1";
    return HeaderScan::kBad;
  }
  DisplayConfig read;
  unsigned seen = 0;  // one bit a setting
  for (std::string word; words >> word;) {
    const size_t eq = word.find('=');
    const std::string key = word.substr(0, eq);
    int value = 0;
    bool ok = eq != std::string::npos && ReadNumber(word.substr(eq + 1), &value);
    unsigned bit = 0;
    if (ok && key == "controller") {
      bit = 1;
      ok = value == 6963 || value == 108;
      read.controller = value == 108 ? Controller::KS108 : Controller::T6963;
    } else if (ok && key == "pitch") {
      bit = 2;
      ok = value == 6 || value == 8;
      read.pitch = value;
    } else if (ok && key == "width") {
      bit = 4;
      ok = value >= 1 && value <= 255;
      read.width = value;
    } else if (ok && key == "height") {
      bit = 8;
      ok = value >= 1 && value <= 255;
      read.height = value;
    } else if (ok) {
      continue;  // a later version's setting
    }
    if (!ok) {
      *error = "its KORVEX-CAPTURE line has '" + word + "'";
      return HeaderScan::kBad;
    }
    seen |= bit;
  }
  if (seen != 15) {
    *error = "its KORVEX-CAPTURE line lacks controller, pitch, width or height";
    return HeaderScan::kBad;
  }
  *config = read;
  return HeaderScan::kFound;
}

}  // namespace board
