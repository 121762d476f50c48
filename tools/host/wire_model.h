// What the driver should write to the port for the calls the tool makes: an
// independent count of bytes, transfers and port writes, kept from the
// protocol's rules (command lengths, the two batching buffers and when they
// are flushed, the pieces a transfer is written in), so
// the tool can report bytes it cannot see and tell when nothing is left
// waiting in the driver.
#pragma once

#include <stdint.h>

#include <vector>

namespace host {

// The settings that decide what goes out; before the first LCD_Init they are
// the driver's values at load, afterwards those of config.ini.
struct WireSettings {
  int baud_rate = 9600;
  unsigned text_buffer_size = 1;
  unsigned gfx_buffer_size = 64;
  int gfx_force_flush = 0;
  int font_pitch = 6;
  int use_out_ports = 0;
  int controller = 6963;
  int gfx_changes_only = 0;
};

struct WireModel {
  WireSettings settings;
  bool port_open = false;
  unsigned text_count = 0;
  unsigned gfx_count = 0;
  bool flush_pending = false;
  int width = 240;
  int height = 64;
  uint8_t light = 0;
  uint8_t contrast = 0;
  uint32_t out_ports = 0;
  uint64_t bytes_written = 0;
  // A transfer is what a buffer hands to the port at once (or a byte written
  // directly); the driver writes each in pieces (PortPiece), one port write a
  // piece.
  uint64_t transfers = 0;
  uint64_t port_writes = 0;
  uint64_t gfx_bytes = 0;  // put by LCD_SendToGfxMemory
  // With GfxChangesOnly: the graphics the board shows, as the driver keeps
  // them (T6963 row bytes, 43 a row; KS108 column bytes, 256 a band), and
  // the last KS108 picture's SetBitmap operands and width.
  std::vector<uint8_t> shown;
  uint8_t ks108_header[4] = {};
  int ks108_columns = -1;
};

// LCD_Init with the settings it has just read; `opened` tells whether the
// port opened.
void ModelInit(WireModel& model, const WireSettings& settings, bool opened);
void ModelCleanUp(WireModel& model);
// Bytes put on the text stream (characters, cursor, custom characters).
void ModelText(WireModel& model, unsigned bytes);
void ModelSetIO(WireModel& model, int width, int height, uint32_t light_enable, uint32_t light,
                uint32_t contrast, uint32_t out_ports);
// `picture` is what the call hands over (width x height bytes): with
// GfxChangesOnly only what differs from the board goes out, planned by the
// driver's own planner (display/changes.h) on bytes this model packs.
void ModelGraphics(WireModel& model, const uint8_t* picture, uint32_t x1, uint32_t y1, uint32_t x2,
                   uint32_t y2);

// Length of the one graphics command (header and payload) for that call.
// The most bytes the driver hands to one port write: its write time-out (a
// second plus the line time of the bytes, at least a millisecond a byte and
// at most a quarter of a second) stays within 1.28 s. 280 from 10000 baud up.
unsigned PortPiece(int baud_rate);

uint32_t GraphicsCommandLength(const WireModel& model, uint32_t x1, uint32_t y1, uint32_t x2,
                               uint32_t y2);
unsigned BufferedBytes(const WireModel& model);

}  // namespace host
