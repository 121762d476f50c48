#include "tools/host/wire_model.h"

namespace host {

namespace {

void Write(WireModel& m, unsigned bytes) {
  if (bytes == 0) return;
  m.bytes_written += bytes;
  m.writes += 1;
}

void PutText(WireModel& m) {
  if (!m.port_open) return;
  if (++m.text_count >= m.settings.text_buffer_size) {
    Write(m, m.settings.text_buffer_size);
    m.text_count = 0;
  }
}

void PutGfx(WireModel& m) {
  if (!m.port_open) return;
  if (++m.gfx_count >= m.settings.gfx_buffer_size) {
    Write(m, m.settings.gfx_buffer_size);
    m.gfx_count = 0;
  }
}

void FlushText(WireModel& m) {
  if (!m.port_open) return;
  Write(m, m.text_count);
  m.text_count = 0;
}

void FlushGfx(WireModel& m) {
  if (!m.port_open) return;
  Write(m, m.gfx_count);
  m.gfx_count = 0;
}

void Direct(WireModel& m) {
  if (m.port_open) Write(m, 1);
}

// A header of k bytes, then `payload` pixel bytes, with the two checks that
// decide whether the call ends with a flush.
void PutCommand(WireModel& m, unsigned k, uint32_t payload) {
  for (unsigned i = 0; i < k; ++i) PutGfx(m);
  if (m.gfx_count < k) m.flush_pending = true;
  for (uint32_t i = 0; i < payload; ++i) {
    PutGfx(m);
    if (m.gfx_count == 1) m.flush_pending = true;
  }
}

struct T6963Shape {
  unsigned left, top, n, h;
};

T6963Shape Shape(const WireModel& m, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2) {
  const unsigned p = static_cast<unsigned>(m.settings.font_pitch);
  uint16_t ax = static_cast<uint16_t>(x1), bx = static_cast<uint16_t>(x2);
  uint16_t ay = static_cast<uint16_t>(y1), by = static_cast<uint16_t>(y2);
  uint8_t top = static_cast<uint8_t>(ay < by ? ay : by);
  uint8_t bottom = static_cast<uint8_t>(ay < by ? by : ay);
  uint8_t left = static_cast<uint8_t>(ax < bx ? ax : bx);
  uint8_t right = static_cast<uint8_t>(ax < bx ? bx : ax);
  while (left % p != 0) --left;
  while (right % p != p - 1) ++right;
  int width = static_cast<int>(right) - static_cast<int>(left) + 1;
  T6963Shape s;
  s.left = left;
  s.top = top;
  s.n = width > 0 ? static_cast<unsigned>(width) / p : 0;
  s.h = static_cast<unsigned>(bottom) - top + 1;
  return s;
}

}  // namespace

void ModelInit(WireModel& model, const WireSettings& settings, bool opened) {
  if (model.port_open) ModelCleanUp(model);
  model.settings = settings;
  if (!opened) return;
  model.port_open = true;
  model.text_count = 0;
  model.gfx_count = 0;
  Direct(model);
  model.flush_pending = false;
}

void ModelCleanUp(WireModel& model) {
  FlushText(model);
  FlushGfx(model);
  for (int i = 0; i < 5; ++i) Direct(model);  // reset, contrast 0, light 0
  model.contrast = 0;
  model.light = 0;
  model.port_open = false;
}

void ModelText(WireModel& model, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) PutText(model);
}

void ModelSetIO(WireModel& model, int width, int height, uint32_t light_enable, uint32_t light,
                uint32_t contrast, uint32_t out_ports) {
  model.width = width;
  model.height = height;
  if (static_cast<uint8_t>(light_enable) != 0) {
    if (static_cast<uint8_t>(light) != model.light) {
      model.light = static_cast<uint8_t>(light);
      ModelText(model, 2);
    }
  } else {
    model.light = 0;
    ModelText(model, 2);
  }
  if (static_cast<uint8_t>(contrast) != model.contrast) {
    model.contrast = static_cast<uint8_t>(contrast);
    ModelText(model, 2);
  }
  if (out_ports == model.out_ports || model.settings.use_out_ports != 1) return;
  for (int i = 0; i < 4; ++i) {
    if (((out_ports ^ model.out_ports) >> (8 * i)) & 0xFF) ModelText(model, 3);
  }
  model.out_ports = out_ports;
  FlushText(model);
}

uint32_t GraphicsCommandLength(const WireModel& model, uint32_t x1, uint32_t y1, uint32_t x2,
                               uint32_t y2) {
  if (model.settings.controller == 108) {
    uint32_t h = static_cast<uint8_t>(model.height), w = static_cast<uint8_t>(model.width);
    return 5 + (h + 7) / 8 * w;
  }
  T6963Shape s = Shape(model, x1, y1, x2, y2);
  if (s.h > 1) return 5 + s.n * s.h;
  if (s.n == 1) return 4;
  return 4 + s.n;
}

void ModelGraphics(WireModel& model, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2) {
  FlushText(model);
  if (model.settings.controller == 108) {
    uint32_t h = static_cast<uint8_t>(model.height), w = static_cast<uint8_t>(model.width);
    PutCommand(model, 5, (h + 7) / 8 * w);
  } else {
    T6963Shape s = Shape(model, x1, y1, x2, y2);
    if (s.h > 1) {
      PutCommand(model, 5, s.n * s.h);
    } else if (s.n == 1) {
      PutCommand(model, 4, 0);
    } else {
      PutCommand(model, 4, s.n);
    }
  }
  if (model.flush_pending || model.settings.gfx_force_flush != 0) {
    FlushGfx(model);
    model.flush_pending = false;
  }
}

unsigned BufferedBytes(const WireModel& model) { return model.text_count + model.gfx_count; }

}  // namespace host
