// LCD_SetIOPropertys: port name, picture size, backlight, contrast, ports.
#include <string.h>

#include "core/driver_state.h"
#include "core/exports.h"
#include "link/trace.h"
#include "link/buffers.h"
#include "link/commands.h"
#include "link/link.h"

namespace {

// Takes the host's port name, reading at most sizeof port_name bytes (the
// host's text need not be terminated within them). A null address keeps the
// previous name. A name that does not fit is remembered as too long, so the
// next LCD_Init reports it instead of opening a port under a cut name.
void TakePortName(const char* name) {
  DriverState& s = g_state;
  if (name == nullptr) return;
  const void* end = memchr(name, '\0', sizeof s.port_name);
  if (end != nullptr) {
    memcpy(s.port_name, name, (size_t)((const char*)end - name) + 1);
    s.port_name_too_long = 0;
    return;
  }
  // Keep a recognisable start of the name for the error message.
  const size_t shown = sizeof s.port_name - 4;
  memcpy(s.port_name, name, shown);
  memcpy(s.port_name + shown, "...", 4);
  s.port_name_too_long = 1;
}

const char* const kPortMessages[4] = {
    "\nLCD_SetIOPropertys() Port0=0x%02X\n",
    "\nLCD_SetIOPropertys() Port1=0x%02X\n",
    "\nLCD_SetIOPropertys() Port2=0x%02X\n",
    "\nLCD_SetIOPropertys() Port3=0x%02X\n",
};

}  // namespace

KORVEX_API void KORVEX_CALL LCD_SetIOPropertys(const char* port_name, uint32_t, uint32_t,
                                               uint32_t, uint32_t, int32_t width, int32_t height,
                                               uint32_t light_enable, uint32_t light, uint32_t,
                                               uint32_t contrast, uint32_t out_ports, uint32_t,
                                               uint32_t) {
  BeginWritingCall();
  DriverState& s = g_state;
  TakePortName(port_name);
  s.gfx_width = width;
  s.gfx_height = height;
  s.light_enable = (uint8_t)light_enable;
  LogWrite("\nPylora called LCD_SetIOPropertys()\n");

  if (s.light_enable != 0) {
    if ((uint8_t)light != s.light) {
      s.light = (uint8_t)light;
      PutTextByte(kCmdSetLight);
      PutTextByte(s.light);
      LogWrite("\nLCD_SetIOPropertys() Light=%d\n", s.light);
    }
  } else {
    // While the host disallows the backlight it is switched off on every call.
    s.light = 0;
    PutTextByte(kCmdSetLight);
    PutTextByte(0);
    LogWrite("\nLCD_SetIOPropertys() Light=%d\n", 0);
  }

  if ((uint8_t)contrast != s.contrast) {
    s.contrast = (uint8_t)contrast;
    PutTextByte(kCmdSetContrast);
    PutTextByte(s.contrast);
    LogWrite("\nLCD_SetIOPropertys() SetContrast=%d\n", s.contrast);
  }

  if (out_ports != s.out_ports && s.use_out_ports == 1) {
    for (int port = 0; port < 4; ++port) {
      uint8_t before = (uint8_t)(s.out_ports >> (8 * port));
      uint8_t after = (uint8_t)(out_ports >> (8 * port));
      if (before == after) continue;
      PutTextByte(kCmdSetOutPort);
      PutTextByte((uint8_t)port);
      PutTextByte(after);
      LogWrite(kPortMessages[port], after);
    }
    s.out_ports = out_ports;
    FlushTextBuffer();
  }
  EndWritingCall();
}
