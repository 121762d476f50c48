#include "settings/settings.h"

#include <stdio.h>

#include "core/driver_state.h"
#include "core/exports.h"

namespace {

const char kSection[] = "Korvex";

uint32_t ReadKey(const char* key, int32_t fallback) {
  return PlatformProfileReadInt(kSection, key, fallback, g_state.ini_path);
}

void WriteKey(const char* key, int32_t value) {
  snprintf(g_state.num_text, sizeof g_state.num_text, "%d", (int)value);
  PlatformProfileWriteString(kSection, key, g_state.num_text, g_state.ini_path);
}

}  // namespace

void LoadSettings() {
  DriverState& s = g_state;
  s.baud_rate = (int32_t)ReadKey("BaudRate", 19200);
  s.text_buffer_size = ReadKey("TextBufferSize", 16);
  s.gfx_buffer_size = ReadKey("GfxBufferSize", 64);
  s.gfx_force_flush = (int32_t)ReadKey("GfxForceFlush", 0);
  // A key the file does not have reads as the fallback whatever it is: two
  // readings that differ say it is missing (or empty), and it stays out.
  s.gfx_changes_only = (int32_t)ReadKey("GfxChangesOnly", 0);
  s.gfx_changes_only_kept = s.gfx_changes_only == (int32_t)ReadKey("GfxChangesOnly", 1);
  s.font_pitch = (int32_t)ReadKey("LCD_FontPitch", 6);
  s.use_out_ports = (int32_t)ReadKey("LCD_UseOutPorts", 0);
  s.controller = (int32_t)ReadKey("LCD_Controller", kControllerT6963);
  s.log_enabled = (int32_t)ReadKey("LogFile", 0);
  CorrectSettings();
}

void CorrectSettings() {
  DriverState& s = g_state;
  // The buffer sizes are tested as unsigned: a negative number is out of range.
  if (s.text_buffer_size < 1 || s.text_buffer_size > kTextBufferCapacity) s.text_buffer_size = 16;
  if (s.gfx_buffer_size < 1 || s.gfx_buffer_size > kGfxBufferCapacity) s.gfx_buffer_size = 64;
  if (s.gfx_force_flush != 0 && s.gfx_force_flush != 1) s.gfx_force_flush = 0;
  if (s.gfx_changes_only != 0 && s.gfx_changes_only != 1) s.gfx_changes_only = 0;
  if (s.font_pitch != 6 && s.font_pitch != 8) s.font_pitch = 6;
  if (s.use_out_ports != 0 && s.use_out_ports != 1) s.use_out_ports = 0;
  if (s.controller != kControllerT6963 && s.controller != kControllerKS108) {
    s.controller = kControllerT6963;
  }
  // The KS108 path packs 8-pixel column bytes; its cells are 8 wide.
  if (s.controller == kControllerKS108) s.font_pitch = 8;
  if (s.log_enabled != 0 && s.log_enabled != 1) s.log_enabled = 0;
}

void SaveSettings() {
  DriverState& s = g_state;
  WriteKey("BaudRate", s.baud_rate);
  WriteKey("TextBufferSize", (int32_t)s.text_buffer_size);
  WriteKey("GfxBufferSize", (int32_t)s.gfx_buffer_size);
  WriteKey("GfxForceFlush", s.gfx_force_flush);
  if (s.gfx_changes_only_kept) WriteKey("GfxChangesOnly", s.gfx_changes_only);
  WriteKey("LCD_FontPitch", s.font_pitch);
  WriteKey("LCD_UseOutPorts", s.use_out_ports);
  WriteKey("LCD_Controller", s.controller);
  WriteKey("LogFile", s.log_enabled);
}

KORVEX_API int32_t KORVEX_CALL LCD_ConfigDialog() {
  DriverState& s = g_state;
  snprintf(s.num_text, sizeof s.num_text,
           "Baudrate %d\nTextBufferSize %d\nGfxBufferSize %d\nLCD_FontPitch %ld\n",
           (int)s.baud_rate, (int)s.text_buffer_size, (int)s.gfx_buffer_size,
           (long)s.font_pitch);
  return ShowDriverBox(s.num_text, "Settings");
}
