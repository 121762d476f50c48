#include "tools/host/wire_model.h"

#include "display/changes.h"

namespace host {

namespace {

void Write(WireModel& m, unsigned bytes) {
  if (bytes == 0) return;
  m.bytes_written += bytes;
  m.transfers += 1;
  const unsigned piece = PortPiece(m.settings.baud_rate);
  m.port_writes += (bytes + piece - 1) / piece;
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
  if (m.port_open) m.gfx_bytes += k + payload;
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

const int kShownRowBytes = 43, kShownColumns = 256;

// ResetDisplay: the board's graphics are clear.
// The driver's link starts with no KS108 width: its first picture goes out.
void ClearShown(WireModel& m) {
  m.shown.assign(256 * kShownRowBytes, 0);
  m.ks108_columns = 0;
}

// The driver's reading of the host's picture: pixel (x, y) at y * width + x,
// clear outside the picture.
bool Pixel(const WireModel& m, const uint8_t* picture, int64_t x, int64_t y) {
  const int64_t at = y * m.width + x, size = (int64_t)m.width * m.height;
  return picture != nullptr && m.width > 0 && m.height > 0 && at >= 0 && at < size &&
         picture[at] != 0;
}

uint8_t RowByte(const WireModel& m, const uint8_t* picture, int64_t x, int64_t y) {
  uint8_t byte = 0;
  for (int i = 0; i < m.settings.font_pitch; ++i) {
    byte = (uint8_t)(byte << 1 | Pixel(m, picture, x + i, y));
  }
  return byte;
}

uint8_t ColumnByte(const WireModel& m, const uint8_t* picture, int64_t x, int64_t y) {
  uint8_t byte = 0;
  for (int bit = 0; bit < 8; ++bit) byte = (uint8_t)(byte | Pixel(m, picture, x, y + bit) << bit);
  return byte;
}

void PutBox(void* context, const ChangeBox& box) {
  WireModel& m = *static_cast<WireModel*>(context);
  if (box.rows > 1) {
    PutCommand(m, 5, (uint32_t)box.columns * box.rows);
  } else {
    PutCommand(m, 4, box.columns == 1 ? 0 : box.columns);
  }
}

// A T6963 call with GfxChangesOnly: the rectangle's bytes against the
// board's, the boxes the planner chooses.
void ChangesT6963(WireModel& m, const uint8_t* picture, const T6963Shape& s) {
  ChangeMap map;
  const unsigned p = static_cast<unsigned>(m.settings.font_pitch);
  const unsigned rows = s.h > 255 ? 255 : s.h;
  ClearChanges(&map, s.n, rows);
  std::vector<uint8_t> packed((size_t)s.n * rows);
  for (unsigned r = 0; r < rows; ++r) {
    for (unsigned c = 0; c < s.n; ++c) {
      const uint8_t byte = RowByte(m, picture, s.left + c * p, s.top + r);
      packed[r * s.n + c] = byte;
      if (byte != m.shown[(s.top + r) * kShownRowBytes + s.left / p + c]) MarkChange(&map, c, r);
    }
  }
  const BoxSink sink = {PutBox, &m};
  PlanChanges(map, &sink);
  for (unsigned r = 0; r < rows; ++r) {
    for (unsigned c = 0; c < s.n; ++c) {
      m.shown[(s.top + r) * kShownRowBytes + s.left / p + c] = packed[r * s.n + c];
    }
  }
}

// A KS108 call with GfxChangesOnly: nothing when the picture, its header and
// its width are those the board shows.
bool Ks108Shown(WireModel& m, const uint8_t* picture) {
  const int w = m.width < 0 ? 0 : m.width > 255 ? 255 : m.width;
  const int h = m.height < 0 ? 0 : m.height > 255 ? 255 : m.height;
  const uint8_t header[4] = {0, 0, (uint8_t)(w / 8), (uint8_t)h};
  bool same = m.ks108_columns == w;
  for (int i = 0; i < 4; ++i) same = same && m.ks108_header[i] == header[i];
  for (int band = 0; band < (h + 7) / 8; ++band) {
    for (int c = 0; c < w; ++c) {
      uint8_t& shown = m.shown[band * kShownColumns + c];
      const uint8_t byte = ColumnByte(m, picture, c, band * 8);
      same = same && shown == byte;
      shown = byte;
    }
  }
  for (int i = 0; i < 4; ++i) m.ks108_header[i] = header[i];
  m.ks108_columns = w;
  return same;
}

}  // namespace

unsigned PortPiece(int baud_rate) {
  // 10 bits a byte, in whole milliseconds rounded up; an unusable rate
  // counts a millisecond a byte.
  uint64_t per_byte = baud_rate > 0 ? (10000u + (uint64_t)baud_rate - 1) / (uint64_t)baud_rate : 1;
  if (per_byte > 250) per_byte = 250;
  const uint64_t piece = (1280 - 1000) / per_byte;
  return piece > 0 ? (unsigned)piece : 1;
}

void ModelInit(WireModel& model, const WireSettings& settings, bool opened) {
  if (model.port_open) ModelCleanUp(model);
  model.settings = settings;
  if (!opened) return;
  model.port_open = true;
  model.text_count = 0;
  model.gfx_count = 0;
  Direct(model);
  ClearShown(model);
  model.flush_pending = false;
}

void ModelCleanUp(WireModel& model) {
  FlushText(model);
  FlushGfx(model);
  for (int i = 0; i < 5; ++i) Direct(model);  // reset, contrast 0, light 0
  if (model.port_open) ClearShown(model);
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

void ModelGraphics(WireModel& model, const uint8_t* picture, uint32_t x1, uint32_t y1, uint32_t x2,
                   uint32_t y2) {
  FlushText(model);
  const bool changes_only = model.settings.gfx_changes_only == 1 && model.port_open;
  if (model.settings.controller == 108) {
    uint32_t h = static_cast<uint8_t>(model.height), w = static_cast<uint8_t>(model.width);
    if (!changes_only || !Ks108Shown(model, picture)) PutCommand(model, 5, (h + 7) / 8 * w);
  } else {
    T6963Shape s = Shape(model, x1, y1, x2, y2);
    if (changes_only) {
      ChangesT6963(model, picture, s);
    } else if (s.h > 1) {
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
