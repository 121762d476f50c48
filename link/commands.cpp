#include "link/commands.h"

#include <string.h>

void ReadCommands(CommandReader* r, const uint8_t* bytes, uint32_t count, StreamShape shape) {
  // Pixel bytes of a payload that goes on past this transfer: the common
  // case of a large picture in many transfers.
  if (r->in_command && r->payload_left > count && r->have == HeaderLength(r->command)) {
    r->payload_left -= count;
    return;
  }
  while (count > 0) {
    if (!r->in_command) {
      // Characters end where they begin: a run of them costs a test a byte.
      while (count > 0 && !IsCommandByte(*bytes)) {
        ++bytes;
        --count;
      }
      if (count == 0) return;
      const uint8_t byte = *bytes++;
      --count;
      const int length = HeaderLength(byte);
      if (length == 0) continue;  // ResetDisplay
      r->in_command = 1;
      r->command = byte;
      r->have = 0;
      r->payload_left = 0;
      // A whole header at hand (a graphics transfer's first command, as a
      // rule) is taken in one go.
      if (count >= (uint32_t)length) {
        if (count >= sizeof r->header) {
          memcpy(r->header, bytes, sizeof r->header);  // one load; the rest unused
        } else {
          for (int k = 0; k < length && k < (int)sizeof r->header; ++k) r->header[k] = bytes[k];
        }
        r->have = (uint8_t)length;
        bytes += length;
        count -= (uint32_t)length;
        r->payload_left = PayloadLength(byte, r->header, shape);
        if (r->payload_left == 0) r->in_command = 0;
      }
      continue;
    }
    if (r->have < HeaderLength(r->command)) {
      r->header[r->have++] = *bytes++;
      --count;
      if (r->have == HeaderLength(r->command)) {
        r->payload_left = PayloadLength(r->command, r->header, shape);
        if (r->payload_left == 0) r->in_command = 0;
      }
      continue;
    }
    const uint32_t take = count < r->payload_left ? count : r->payload_left;
    bytes += take;
    count -= take;
    r->payload_left -= take;
    if (r->payload_left == 0) r->in_command = 0;
  }
}
