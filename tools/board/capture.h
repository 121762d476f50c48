// Capture files: the bytes the board received, after one text line that
// records how the board was built, so that a replay shows them as the board
// did:
//
//     KORVEX-CAPTURE 1 controller=108 pitch=8 width=128 height=64
//
// A file without that line (from any other recorder) is the bare stream.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "tools/board/decoder.h"

namespace board {

// The line, its line feed included.
std::string CaptureHeader(const DisplayConfig& config);

enum class HeaderScan {
  kNeedMore,  // the bytes so far could still be the start of a header line
  kNone,      // the stream has no header: every byte is the board's
  kFound,     // *config and *length (the line's bytes) are set
  kBad,       // a header line that cannot be read; *error says why
};

HeaderScan ScanCaptureHeader(const uint8_t* data, size_t size, DisplayConfig* config,
                             size_t* length, std::string* error);

}  // namespace board
