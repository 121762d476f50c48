// A fresh driver on the recording double's count-only port, for the
// benchmarks: a port write only adds its size to a counter.
#pragma once

#include <stdint.h>

#include <string>

#include "core/driver_state.h"
#include "core/exports.h"
#include "platform/recording/recording.h"

struct DriverSetup {
  int32_t controller;
  int32_t pitch;
  int32_t width, height;
  uint32_t gfx_buffer_size;
  int32_t gfx_force_flush;
  int32_t gfx_changes_only = 0;
};

// False when the driver did not start with these settings.
inline bool StartDriver(const DriverSetup& d) {
  RecReset();
  ResetDriverState();
  Rec().profile["LCD_Controller"] = std::to_string(d.controller);
  Rec().profile["LCD_FontPitch"] = std::to_string(d.pitch);
  Rec().profile["GfxBufferSize"] = std::to_string(d.gfx_buffer_size);
  Rec().profile["GfxForceFlush"] = std::to_string(d.gfx_force_flush);
  Rec().profile["GfxChangesOnly"] = std::to_string(d.gfx_changes_only);
  LCD_SetIOPropertys("COM1", 0, 0, 0, 0, d.width, d.height, 1, 0, 0, 0, 0, 0, 0);
  LCD_Init();
  if (!PortIsOpen(g_state.port) || g_state.gfx_buffer_size != d.gfx_buffer_size ||
      g_state.font_pitch != d.pitch || g_state.controller != d.controller ||
      g_state.gfx_changes_only != d.gfx_changes_only) {
    return false;
  }
  Rec().count_only = true;
  Rec().bytes_written = 0;
  Rec().writes = 0;
  return true;
}

inline void StopDriver() {
  ResetDriverState();
  RecReset();
}
