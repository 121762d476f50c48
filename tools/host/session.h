// One run of the tool against a loaded driver: the options, the host's
// picture, the counters for the report, and one wrapper per export that
// waits for the ready flag first, as a host does, and counts the call.
#pragma once

#include <stdint.h>

#include <string>

#include "tools/host/host_api.h"
#include "tools/host/picture.h"
#include "tools/host/wire_model.h"

namespace host {

struct Options {
  std::string dll;
  std::string port = "COM1";
  int width = 240;
  int height = 64;
  bool size_given = false;
  uint32_t light = 200;
  uint32_t contrast = 160;
  uint32_t ports = 0;
  bool ports_given = false;
  int frames = -1;  // -1: each demo's own number
  double fps = 0;   // 0: as fast as possible
  std::string demo;
  std::string script;
  std::string start_time;  // HH:MM:SS for the clock demo
  bool quiet = false;
  bool list_ports = false;  // --list-ports: list the serial ports, drive nothing
  bool probe = false;       // --probe: with --list-ports, open each for a moment
  bool config_dialog = false;
  bool no_cleanup = false;
  bool io_before_init = false;
  bool report_calls = false;
  unsigned hold_ms = 0;
  unsigned ready_timeout_ms = 2000;
};

// The exports, for the call times that --report-calls prints.
enum class Export {
  kGetInfo,
  kCleanUp,
  kConfigDialog,
  kCustomize,
  kGetCgramChar,
  kInit,
  kIsReadyToReceive,
  kSendToController,
  kSendToGfxMemory,
  kSendToMemory,
  kSetCgramChar,
  kSetIOPropertys,
  kSetOutputAddress,
  kCount
};
const int kExportCount = static_cast<int>(Export::kCount);
const char* ExportName(Export e);

// How long the calls of one export took, the ready polls included.
struct CallTimes {
  uint64_t calls = 0;
  double total = 0;    // seconds
  double longest = 0;  // seconds, the single slowest call
};

struct Counters {
  uint64_t calls = 0;           // export calls, the ready polls not included
  uint64_t graphics_calls = 0;  // LCD_SendToGfxMemory: the frames
  uint64_t text_calls = 0;      // LCD_SendToMemory and LCD_SetOutputAddress
  uint64_t ready_polls = 0;
  uint64_t ready_timeouts = 0;
  uint64_t steps = 0;           // animation steps of the demos
  uint64_t missing_port_inits = 0;  // LCD_Init calls with no such port
  uint64_t held_port_inits = 0;     // LCD_Init calls on a port another program held
  CallTimes times[kExportCount];
};

struct Session {
  Exports api;
  Options options;
  Picture picture;
  WireModel wire;
  Counters counters;
  int pitch = 6;           // from DLL_GetInfo byte 261, refreshed after LCD_Init
  int controller = 6963;   // from config.ini after LCD_Init
  bool initialised = false;
  std::string wire_port = "COM1";  // the port name last handed to the driver
  PortState port_state = PortState::kMissing;
  // The model's count when LCD_Init found its port held, by the driver or by
  // another program: LCD_CleanUp tells which.
  uint64_t bytes_at_init = 0, transfers_at_init = 0, port_writes_at_init = 0;
  bool text_dirty = false;  // something was written to the text layer
  bool gfx_dirty = false;   // the display's graphics may differ from blank
  double pace_start = 0;
  uint64_t pace_step = 0;
};

// Text-grid size for the current picture and pitch.
int TextColumns(const Session& s);
int TextRows(const Session& s);

// The exports, called as a host calls them.
DriverInfo CallGetInfo(Session& s);
void CallInit(Session& s);  // also reads config.ini and refreshes the pitch
void CallCleanUp(Session& s);
uint8_t CallIsReady(Session& s);
void CallSendToMemory(Session& s, uint32_t code);
void CallSetOutputAddress(Session& s, int32_t column, int32_t row);
void CallSetCgramChar(Session& s, const CgramCharRecord& record);
uint8_t CallGetCgramChar(Session& s, uint32_t position);
void CallSetIO(Session& s, const std::string& port, int width, int height, uint32_t light_enable,
               uint32_t light, uint32_t contrast, uint32_t ports);
void CallSendToGfx(Session& s, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2);
int32_t CallConfigDialog(Session& s);
// What a result of LCD_ConfigDialog (the settings message box's) means.
const char* DialogResultMeaning(int32_t result);
void CallSendToController(Session& s, uint32_t value);
void CallCustomize(Session& s, uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e);

// Helpers built on them.
void SendRect(Session& s, const Rect& r);  // clipped; nothing for an empty one
void SendFrame(Session& s);
void WriteText(Session& s, int column, int row, const std::string& text);
// A custom character from 8 row bytes as they go on the wire (pitch wide,
// leftmost pixel in bit pitch - 1).
CgramCharRecord RecordFromRows(int position, const uint8_t rows[8], int pitch);
// Makes the picture match the options' size (or width x height).
void UsePictureSize(Session& s, int width, int height);

// Counts an animation step and waits, with --fps, until it is due.
void PaceStep(Session& s);

// Sends the picture again until the driver has nothing left waiting in its
// buffers, so that a run without LCD_CleanUp leaves every byte on the wire.
void DrainDriver(Session& s);

// printf that --quiet silences.
void Say(const Session& s, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace host
