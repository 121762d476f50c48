// Rules shared by every platform layer; built into the driver everywhere, so
// no allocation and no library beyond <string.h>.
#include <string.h>

#include "platform/platform.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The value of `c` as a digit of `base`, or -1.
int DigitValue(char c, uint32_t base) {
  int value = -1;
  if (c >= '0' && c <= '9') {
    value = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    value = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    value = c - 'A' + 10;
  }
  return value >= 0 && static_cast<uint32_t>(value) < base ? value : -1;
}

// The Windows device namespace prefix, \\.\ .
const char kDevicePrefix[] = "\\\\.\\";
const size_t kDevicePrefixLength = sizeof(kDevicePrefix) - 1;

}  // namespace

uint32_t ParseProfileInt(const char* text, int32_t fallback) {
  if (text == nullptr) return static_cast<uint32_t>(fallback);
  const char* p = text;
  while (IsBlank(*p)) ++p;
  // An empty value (or one of blanks only, which the reader never hands
  // over since it trims) is the same as a missing one.
  if (*p == '\0') return static_cast<uint32_t>(fallback);

  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  uint32_t base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'o' || p[1] == 'b')) {
    base = p[1] == 'x' ? 16 : p[1] == 'o' ? 8 : 2;
    p += 2;
  }
  // Unsigned arithmetic wraps modulo 2^32: only the low 32 bits survive,
  // as in the Win32 reader, which never saturates.
  uint32_t value = 0;
  for (int digit = DigitValue(*p, base); digit >= 0; digit = DigitValue(*++p, base)) {
    value = value * base + static_cast<uint32_t>(digit);
  }
  return negative ? 0u - value : value;
}

void ConfigureLine(PortLineSettings* line, uint32_t baud_rate) {
  line->baud_rate = baud_rate;
  line->data_bits = 8;
  line->parity = kParityNone;
  line->stop_bits = kOneStopBit;
  line->out_cts_flow = false;
  line->out_dsr_flow = false;
  line->dtr_control = kLineControlDisable;
  line->rts_control = kLineControlDisable;
  line->out_xon = false;
  line->in_xon = false;
  line->abort_on_error = true;
}

bool DeviceNameForPort(const char* name, char* out, size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  if (name == nullptr) return false;
  size_t length = strlen(name);
  const bool prefixed = strncmp(name, kDevicePrefix, kDevicePrefixLength) == 0;
  // Plain CreateFile reads "COM3:" as COM3, but in the device namespace the
  // colon is part of the name and names nothing: one is dropped. A name the
  // host gave with the prefix is its own and stays as it is.
  if (!prefixed && length > 0 && name[length - 1] == ':') --length;
  const size_t needed = (prefixed ? 0 : kDevicePrefixLength) + length + 1;
  // Never hand back a shortened name: it could open some other port.
  if (needed > size) return false;
  size_t at = 0;
  if (!prefixed) {
    memcpy(out, kDevicePrefix, kDevicePrefixLength);
    at = kDevicePrefixLength;
  }
  memcpy(out + at, name, length);
  out[at + length] = '\0';
  return true;
}

uint64_t ExtendTickCount(uint64_t last, uint32_t reading) {
  // Unsigned subtraction wraps: the time since the last reading is right
  // across the counter's wrap, for readings less than 2^32 ms apart.
  return last + (uint32_t)(reading - (uint32_t)last);
}
