// The driver's one process-wide state record: the link's part (LinkState,
// link/link_state.h) and what the settings, the display operations and the
// lifecycle keep besides.
#pragma once

#include <stdint.h>

#include "link/link_state.h"

const char kDriverIdentification[] = "Wrenlo's Korvex Display Driver V1.09b";

struct DriverState : LinkState {
  char port_name[32] = "COM1";
  int32_t baud_rate = 9600;
  int32_t gfx_force_flush = 0;
  // 1: a T6963 update sends only the bytes the board does not show yet, a
  // KS108 one nothing when the picture is the one shown. Written back only
  // into a config.ini that has the key (gfx_changes_only_kept).
  int32_t gfx_changes_only = 0;
  uint8_t gfx_changes_only_kept = 0;
  int32_t use_out_ports = 0;
  uint8_t light_enable = 1;
  uint8_t contrast = 0;
  uint8_t light = 0;
  uint32_t out_ports = 0;
  char cwd[256] = {};
  char ini_path[260] = {};
  char log_path[260] = {};
  char num_text[256] = {};
};

extern DriverState g_state;

// Puts every field back to its value at library load. The library itself
// never needs this (the record starts that way), and Korvex.dll does not
// contain it: it is built only into the native builds, for the tests and
// tools that run many sessions in one process (core/driver_state_reset.cpp).
void ResetDriverState();
