#include "link/commands.h"

uint32_t PayloadLength(uint8_t command, const uint8_t* header, StreamShape shape) {
  switch (command) {
    case kCmdSetCGRAMChar: return 8;
    case kCmdSetGfxMulti: return header[2];
    case kCmdSetBitmap: {
      if (!shape.ks108) return (uint32_t)header[2] * header[3];
      const uint32_t columns =
          header[2] == shape.ks108_width / 8 ? shape.ks108_width : 8u * header[2];
      return ((uint32_t)header[3] + 7) / 8 * columns;
    }
    default: return 0;
  }
}

void ReadCommands(CommandReader* r, const uint8_t* bytes, uint32_t count, StreamShape shape) {
  while (count > 0) {
    if (!r->in_command) {
      const uint8_t byte = *bytes++;
      --count;
      // Characters and ResetDisplay end where they begin.
      if (HeaderLength(byte) > 0) {
        r->in_command = 1;
        r->command = byte;
        r->have = 0;
        r->payload_left = 0;
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
