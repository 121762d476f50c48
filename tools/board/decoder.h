// The board's view of the byte stream: bytes in, in chunks of any size,
// commands out, read the way the firmware reads them. A command may straddle
// chunks; the decoder keeps the unfinished part until the rest arrives.
//
// Alongside the commands it reports what a firmware would stumble on
// (anomalies), each with the offset of the byte where the command started.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace board {

enum class Controller { T6963, KS108 };

// What the board is built as. The protocol's coordinates are single bytes, so
// width and height are 1 to 255.
struct DisplayConfig {
  Controller controller = Controller::T6963;
  int pitch = 6;  // 6 or 8: character cell width and T6963 graphics byte width
  int width = 240;
  int height = 64;
};

// The text grid: width / pitch columns by height / 8 rows, on both controllers.
int TextColumns(const DisplayConfig& config);
int TextRows(const DisplayConfig& config);

// Command bytes as the board knows them.
const uint8_t kResetDisplay = 0xB0;
const uint8_t kSetTextCursor = 0xB1;
const uint8_t kSetContrast = 0xB3;
const uint8_t kSetLight = 0xB4;
const uint8_t kSetCGRAMChar = 0xB5;
const uint8_t kSetGfxSingle = 0xB7;
const uint8_t kSetGfxMulti = 0xBA;
const uint8_t kSetBitmap = 0xBB;
const uint8_t kSetOutPort = 0xBE;

enum class CommandKind {
  Character,      // operands: code
  ResetDisplay,   // -
  SetTextCursor,  // operands: column + 1, row + 1 (as on the wire, 1-based)
  SetContrast,    // operands: value
  SetLight,       // operands: value
  SetCGRAMChar,   // operands: position; payload: 8 row bytes, top row first
  SetGfxSingle,   // operands: x, y; payload: the one pixel byte
  SetGfxMulti,    // operands: x, y, n; payload: n row bytes
  SetBitmap,      // operands: x, y, width in bytes, height; payload: pixels
  SetOutPort,     // operands: port, value
};

const char* CommandName(CommandKind kind);

struct Command {
  CommandKind kind = CommandKind::Character;
  uint64_t offset = 0;  // stream offset of the command byte
  std::vector<uint8_t> operands;
  std::vector<uint8_t> payload;
};

bool operator==(const Command& a, const Command& b);
bool operator!=(const Command& a, const Command& b);

enum class Severity { Warning, Error };

enum class AnomalyKind {
  Truncated,         // the stream ended inside a command
  OutsideDisplay,    // a graphics command starts outside the display
  PastEdge,          // a graphics command runs past the right or bottom edge
  Misaligned,        // T6963 x not a multiple of the pitch
  EmptyTransfer,     // a graphics command with no bytes to draw
  CursorOutsideGrid, // SetTextCursor beyond the text grid (or 0)
  BadPort,           // SetOutPort port number above 3
  CommandRangeCharacter,  // a character in 0xB0-0xBE
  UnusedBits,        // pitch 6 byte with bit 7 or 6 set
  WrongController,   // a T6963-only command sent to a KS108 board
  NotWholePicture,   // KS108 SetBitmap not at 0,0 or narrower than the display
};

const char* AnomalyKindName(AnomalyKind kind);

struct Anomaly {
  Severity severity = Severity::Warning;
  AnomalyKind kind = AnomalyKind::Truncated;
  uint64_t offset = 0;  // stream offset of the command (or character) byte
  std::string message;
};

// Decoder state. Initialise with DecoderInit; feed with DecoderFeed; call
// DecoderFinish at the end of the stream.
struct Decoder {
  DisplayConfig config;
  uint64_t offset = 0;          // bytes consumed so far
  bool in_command = false;
  Command pending;              // the command being read
  size_t operands_needed = 0;
  size_t payload_needed = 0;    // known once the operands are complete
};

void DecoderInit(Decoder& decoder, const DisplayConfig& config);

// Consumes size bytes; appends every command completed by them to commands
// and what they break to anomalies, both in stream order.
void DecoderFeed(Decoder& decoder, const uint8_t* data, size_t size,
                 std::vector<Command>& commands,
                 std::vector<Anomaly>& anomalies);

// The end of the stream: reports a command left unfinished (and drops it).
void DecoderFinish(Decoder& decoder, std::vector<Anomaly>& anomalies);

// Length of the SetBitmap payload for the given header on this board.
size_t BitmapPayloadSize(const DisplayConfig& config, uint8_t width_bytes,
                         uint8_t height);

// Columns covered by a KS108 SetBitmap whose header gives width_bytes. The
// driver sends gfx_width / 8 in the header but gfx_width columns in the
// payload; when the header matches this display, the display's own width is
// the column count (exact also for a width that is not a multiple of 8),
// otherwise 8 columns per width byte.
int Ks108Columns(const DisplayConfig& config, uint8_t width_bytes);

// One decoded command as a log line, in the manner of the driver's trace,
// without a line break. Characters are better logged in runs (see log.h).
std::string FormatCommand(const Command& command);

}  // namespace board
