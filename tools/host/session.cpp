#include "tools/host/session.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace host {

namespace {

// One call of `e` that began at `started` (NowSeconds), for --report-calls.
void NoteCall(Session& s, Export e, double started) {
  double took = NowSeconds() - started;
  CallTimes& t = s.counters.times[static_cast<int>(e)];
  t.calls++;
  t.total += took;
  if (took > t.longest) t.longest = took;
}

// The host's part of the handshake: LCD_IsReadyToReceive until it says 1,
// giving up after the time-out (and counting it) rather than hanging.
void WaitReady(Session& s) {
  double deadline = NowSeconds() + s.options.ready_timeout_ms / 1000.0;
  for (;;) {
    s.counters.ready_polls++;
    double started = NowSeconds();
    bool ready = (s.api.IsReadyToReceive() & 0xFF) != 0;
    NoteCall(s, Export::kIsReadyToReceive, started);
    if (ready) return;
    if (NowSeconds() >= deadline) {
      s.counters.ready_timeouts++;
      fprintf(stderr, "korvex-host: LCD_IsReadyToReceive stayed 0 for %u ms\n",
              s.options.ready_timeout_ms);
      return;
    }
    SleepMs(1);
  }
}

WireSettings SettingsFromFile() {
  WireSettings w;
  w.baud_rate = ReadDriverSetting("BaudRate", 19200);
  w.text_buffer_size = static_cast<unsigned>(ReadDriverSetting("TextBufferSize", 16));
  w.gfx_buffer_size = static_cast<unsigned>(ReadDriverSetting("GfxBufferSize", 64));
  w.gfx_force_flush = ReadDriverSetting("GfxForceFlush", 0);
  w.font_pitch = ReadDriverSetting("LCD_FontPitch", 6);
  w.use_out_ports = ReadDriverSetting("LCD_UseOutPorts", 0);
  w.controller = ReadDriverSetting("LCD_Controller", 6963);
  w.gfx_changes_only = ReadDriverSetting("GfxChangesOnly", 0) == 1 ? 1 : 0;
  if (w.text_buffer_size < 1 || w.text_buffer_size > 256) w.text_buffer_size = 16;
  if (w.gfx_buffer_size < 1 || w.gfx_buffer_size > 4096) w.gfx_buffer_size = 64;
  if (w.controller != 108) w.controller = 6963;
  if (w.controller == 108) w.font_pitch = 8;
  if (w.font_pitch != 8) w.font_pitch = 6;
  return w;
}

}  // namespace

const char* ExportName(Export e) {
  static const char* const names[kExportCount] = {
      "DLL_GetInfo",          "LCD_CleanUp",          "LCD_ConfigDialog",
      "LCD_Customize",        "LCD_GetCGRAMChar",     "LCD_Init",
      "LCD_IsReadyToReceive", "LCD_SendToController", "LCD_SendToGfxMemory",
      "LCD_SendToMemory",     "LCD_SetCGRAMChar",     "LCD_SetIOPropertys",
      "LCD_SetOutputAddress",
  };
  int i = static_cast<int>(e);
  return i >= 0 && i < kExportCount ? names[i] : "?";
}

void Say(const Session& s, const char* format, ...) {
  if (s.options.quiet) return;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

int TextColumns(const Session& s) { return s.picture.width / (s.pitch > 0 ? s.pitch : 6); }
int TextRows(const Session& s) { return s.picture.height / 8; }

DriverInfo CallGetInfo(Session& s) {
  s.counters.calls++;
  double started = NowSeconds();
  DriverInfo info = s.api.GetInfo();
  NoteCall(s, Export::kGetInfo, started);
  int pitch = info.trailer[5];
  if (pitch == 6 || pitch == 8) s.pitch = pitch;
  return info;
}

void CallInit(Session& s) {
  WaitReady(s);
  s.counters.calls++;
  double started = NowSeconds();
  s.api.Init();
  NoteCall(s, Export::kInit, started);
  // LCD_Init has just read and rewritten config.ini: what it holds now is
  // what the driver runs with.
  WireSettings settings = SettingsFromFile();
  s.port_state = ProbePort(s.wire_port);
  if (s.port_state == PortState::kMissing) {
    s.counters.missing_port_inits++;
    fprintf(stderr,
            "korvex-host: there is no port %s: the driver could not open it (its message box "
            "says Error 2) and nothing reaches the display\n",
            s.wire_port.c_str());
  }
  if (s.wire.port_open) ModelCleanUp(s.wire);  // the old port's end, sent
  s.bytes_at_init = s.wire.bytes_written;
  s.transfers_at_init = s.wire.transfers;
  s.port_writes_at_init = s.wire.port_writes;
  ModelInit(s.wire, settings, s.port_state != PortState::kMissing);
  s.controller = settings.controller;
  CallGetInfo(s);
  s.initialised = true;
  s.text_dirty = false;
  s.gfx_dirty = false;
}

void CallCleanUp(Session& s) {
  WaitReady(s);
  s.counters.calls++;
  double started = NowSeconds();
  s.api.CleanUp();
  NoteCall(s, Export::kCleanUp, started);
  ModelCleanUp(s.wire);
  // A port held at LCD_Init was the driver's or another program's. The
  // driver has closed its own now: one that is still held never was the
  // driver's, whose open failed (Error 5), and nothing of the run was sent.
  if (s.port_state == PortState::kHeld && ProbePort(s.wire_port) == PortState::kHeld) {
    s.counters.held_port_inits++;
    s.wire.bytes_written = s.bytes_at_init;
    s.wire.transfers = s.transfers_at_init;
    s.wire.port_writes = s.port_writes_at_init;
    fprintf(stderr,
            "korvex-host: port %s is held by another program: the driver could not open it (its "
            "message box said so at LCD_Init) and nothing reached the display; close the other "
            "program (a terminal, the host application, korvex-board on this end) and run "
            "again\n",
            s.wire_port.c_str());
  }
  s.initialised = false;
}

uint8_t CallIsReady(Session& s) {
  s.counters.calls++;
  double started = NowSeconds();
  uint8_t ready = static_cast<uint8_t>(s.api.IsReadyToReceive() & 0xFF);
  NoteCall(s, Export::kIsReadyToReceive, started);
  return ready;
}

void CallSendToMemory(Session& s, uint32_t code) {
  WaitReady(s);
  s.counters.calls++;
  s.counters.text_calls++;
  double started = NowSeconds();
  s.api.SendToMemory(code);
  NoteCall(s, Export::kSendToMemory, started);
  ModelText(s.wire, 1);
  s.text_dirty = true;
}

void CallSetOutputAddress(Session& s, int32_t column, int32_t row) {
  WaitReady(s);
  s.counters.calls++;
  s.counters.text_calls++;
  double started = NowSeconds();
  s.api.SetOutputAddress(column, row);
  NoteCall(s, Export::kSetOutputAddress, started);
  ModelText(s.wire, 3);
}

void CallSetCgramChar(Session& s, const CgramCharRecord& record) {
  WaitReady(s);
  s.counters.calls++;
  double started = NowSeconds();
  s.api.SetCgramChar(record);
  NoteCall(s, Export::kSetCgramChar, started);
  ModelText(s.wire, 10);
}

uint8_t CallGetCgramChar(Session& s, uint32_t position) {
  s.counters.calls++;
  double started = NowSeconds();
  uint8_t code = static_cast<uint8_t>(s.api.GetCgramChar(position) & 0xFF);
  NoteCall(s, Export::kGetCgramChar, started);
  return code;
}

void CallSetIO(Session& s, const std::string& port, int width, int height, uint32_t light_enable,
               uint32_t light, uint32_t contrast, uint32_t ports) {
  WaitReady(s);
  s.counters.calls++;
  double started = NowSeconds();
  s.api.SetIOPropertys(port.c_str(), 0, 0, 0, 0, width, height, light_enable, light, 0, contrast,
                       ports, 0, 0);
  NoteCall(s, Export::kSetIOPropertys, started);
  s.wire_port = port;  // the name the next LCD_Init opens
  ModelSetIO(s.wire, width, height, light_enable, light, contrast, ports);
  if (width != s.picture.width || height != s.picture.height) UsePictureSize(s, width, height);
}

void CallSendToGfx(Session& s, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2) {
  WaitReady(s);
  s.counters.calls++;
  s.counters.graphics_calls++;
  double started = NowSeconds();
  s.api.SendToGfxMemory(s.picture.pixels.data(), x1, y1, x2, y2, 0);
  NoteCall(s, Export::kSendToGfxMemory, started);
  ModelGraphics(s.wire, s.picture.pixels.data(), x1, y1, x2, y2);
  s.gfx_dirty = true;
}

int32_t CallConfigDialog(Session& s) {
  s.counters.calls++;
  double started = NowSeconds();
  int32_t result = s.api.ConfigDialog();
  NoteCall(s, Export::kConfigDialog, started);
  return result;
}

const char* DialogResultMeaning(int32_t result) {
  // The driver returns what the message box returned: IDOK, or on failure
  // 0 (Windows) or -1 (Wine without a display, say).
  if (result == IDOK) return "the settings box was closed with OK";
  return "the settings box could not be shown: there is no desktop to show it on, as under "
         "Wine without a display; config.ini holds the same values";
}

void CallSendToController(Session& s, uint32_t value) {
  s.counters.calls++;
  double started = NowSeconds();
  s.api.SendToController(value);
  NoteCall(s, Export::kSendToController, started);
}

void CallCustomize(Session& s, uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e) {
  s.counters.calls++;
  double started = NowSeconds();
  s.api.Customize(a, b, c, d, e);
  NoteCall(s, Export::kCustomize, started);
}

void SendRect(Session& s, const Rect& r) {
  Rect c = ClipRect(r, s.picture);
  if (EmptyRect(c)) return;
  CallSendToGfx(s, static_cast<uint32_t>(c.x1), static_cast<uint32_t>(c.y1),
                static_cast<uint32_t>(c.x2), static_cast<uint32_t>(c.y2));
}

void SendFrame(Session& s) { SendRect(s, FullRect(s.picture)); }

void WriteText(Session& s, int column, int row, const std::string& text) {
  CallSetOutputAddress(s, column, row);
  for (unsigned char c : text) CallSendToMemory(s, c);
}

CgramCharRecord RecordFromRows(int position, const uint8_t rows[8], int pitch) {
  CgramCharRecord record;
  memset(&record, 0, sizeof record);
  record.position = static_cast<uint8_t>(position);
  for (int c = 0; c < pitch && c < 8; ++c) {
    for (int r = 0; r < 8; ++r) {
      record.matrix[8 * c + r] = (rows[r] >> (pitch - 1 - c)) & 1;
    }
  }
  return record;
}

void UsePictureSize(Session& s, int width, int height) {
  if (width < 0) width = 0;
  if (height < 0) height = 0;
  // A generous cap: the protocol's coordinates end at 255 anyway.
  if (width > 4096) width = 4096;
  if (height > 4096) height = 4096;
  ResizePicture(s.picture, width, height);
}

void PaceStep(Session& s) {
  s.counters.steps++;
  if (s.options.fps <= 0) return;
  if (s.pace_step == 0) s.pace_start = NowSeconds();
  double due = s.pace_start + static_cast<double>(s.pace_step) / s.options.fps;
  double now = NowSeconds();
  if (due > now) SleepMs(static_cast<unsigned>((due - now) * 1000.0 + 0.5));
  s.pace_step++;
}

void DrainDriver(Session& s) {
  // A graphics call empties the text buffer first; a picture that fills the
  // graphics buffer makes the call end with a flush. Bounded: each frame
  // adds at least four bytes and the buffer holds at most 4096.
  for (int i = 0; i < 1100 && BufferedBytes(s.wire) > 0; ++i) SendFrame(s);
}

}  // namespace host
