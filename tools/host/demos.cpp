#include "tools/host/demos.h"

#include "tools/host/screens.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

namespace host {

namespace {

const double kPi = 3.14159265358979323846;

int Steps(const Session& s, int fallback) {
  return s.options.frames > 0 ? s.options.frames : fallback;
}

// Text the board shows as characters: printable ASCII only, so no byte can
// be taken for a command (0xB0-0xBE) on the wire.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '?';
  return out;
}

std::string Fit(const std::string& text, int columns) {
  if (columns <= 0) return std::string();
  std::string out = text.substr(0, static_cast<size_t>(columns));
  out.resize(static_cast<size_t>(columns), ' ');
  return out;
}

std::string Center(const std::string& text, int columns, char fill) {
  if (static_cast<int>(text.size()) >= columns) return Fit(text, columns);
  int left = (columns - static_cast<int>(text.size())) / 2;
  std::string out(static_cast<size_t>(left), fill);
  out += text;
  out.resize(static_cast<size_t>(columns), fill);
  return out;
}

void ClearTextLayer(Session& s) {
  if (!s.text_dirty) return;
  for (int r = 0; r < TextRows(s); ++r) WriteText(s, 0, r, std::string(TextColumns(s), ' '));
  s.text_dirty = false;
}

void BlankGraphics(Session& s) {
  ClearPicture(s.picture);
  if (!s.gfx_dirty) return;
  SendFrame(s);
  s.gfx_dirty = false;
}

std::string IdentificationText(Session& s) {
  DriverInfo info = CallGetInfo(s);
  return Printable(std::string(info.text, strnlen(info.text, sizeof info.text)));
}

// ---- text -----------------------------------------------------------------

void TextDemo(Session& s) {
  Say(s, "demo text\n");
  BlankGraphics(s);
  const int cols = TextColumns(s), rows = TextRows(s);
  std::vector<std::string> lines;
  lines.push_back(Center(" Korvex text demo ", cols, '='));
  lines.push_back(IdentificationText(s));
  char line[128];
  snprintf(line, sizeof line, "%dx%d characters, pitch %d, %s", cols, rows, s.pitch,
           s.options.port.c_str());
  lines.push_back(Printable(line));
  lines.push_back("");
  std::string charset;
  for (int c = 0x20; c <= 0x7E; ++c) charset += static_cast<char>(c);
  for (size_t i = 0; cols > 0 && i < charset.size(); i += static_cast<size_t>(cols)) {
    lines.push_back(charset.substr(i, static_cast<size_t>(cols)));
  }
  for (int r = 0; r < rows; ++r) {
    std::string text;
    if (r == rows - 1 && rows > 1) {
      // A column ruler shows the grid's extent.
      for (int c = 0; c < cols; ++c) text += static_cast<char>('0' + c % 10);
    } else if (r < static_cast<int>(lines.size())) {
      text = lines[static_cast<size_t>(r)];
    }
    WriteText(s, 0, r, Fit(text, cols));
  }
}

// ---- custom characters ----------------------------------------------------

const int kBarHeights[6] = {1, 3, 4, 5, 7, 8};  // the bar glyphs at positions 0-5

const char* const kSmiley[8] = {".....", ".#.#.", ".#.#.", ".....",
                                "#...#", ".###.", ".....", "....."};
const char* const kHeart[8] = {".....", ".#.#.", "#####", "#####",
                               ".###.", "..#..", ".....", "....."};

void DefineArt(Session& s, int position, const char* const art[8]) {
  // The board draws its own font at cell column 0 (pitch 6) or 1 (pitch 8).
  int offset = s.pitch == 8 ? 1 : 0;
  uint8_t rows[8];
  for (int r = 0; r < 8; ++r) {
    rows[r] = 0;
    for (int c = 0; c < 5; ++c) {
      if (art[r][c] == '#') rows[r] |= static_cast<uint8_t>(1u << (s.pitch - 1 - (c + offset)));
    }
  }
  CallSetCgramChar(s, RecordFromRows(position, rows, s.pitch));
}

void DefineBar(Session& s, int position, int height) {
  uint8_t rows[8];
  // All columns but the last, so neighbouring bars keep a gap.
  uint8_t full = static_cast<uint8_t>(((1u << s.pitch) - 1) & ~1u);
  for (int r = 0; r < 8; ++r) rows[r] = r >= 8 - height ? full : 0;
  CallSetCgramChar(s, RecordFromRows(position, rows, s.pitch));
}

// The glyph code for a cell filled to `fill` pixels from the bottom.
char BarCell(const uint8_t codes[8], int fill) {
  if (fill <= 0) return ' ';
  int best = 0;
  for (int i = 1; i < 6; ++i) {
    if (abs(kBarHeights[i] - fill) < abs(kBarHeights[best] - fill)) best = i;
  }
  return static_cast<char>(codes[best]);
}

void CgramDemo(Session& s) {
  Say(s, "demo cgram\n");
  BlankGraphics(s);
  for (int i = 0; i < 6; ++i) DefineBar(s, i, kBarHeights[i]);
  DefineArt(s, 6, kSmiley);
  DefineArt(s, 7, kHeart);
  // The code that shows custom character n, as the host asks for it.
  uint8_t codes[8];
  for (int i = 0; i < 8; ++i) codes[i] = CallGetCgramChar(s, static_cast<uint32_t>(i));

  const int cols = TextColumns(s), rows = TextRows(s);
  std::string glyphs = "glyph: ", numbers = "code:  ";
  for (int i = 0; i < 8; ++i) {
    glyphs += static_cast<char>(codes[i]);
    glyphs += ' ';
    numbers += static_cast<char>('0' + codes[i] % 10);
    numbers += ' ';
  }
  std::string footer;
  footer += static_cast<char>(codes[6]);
  footer += " Korvex ";
  footer += static_cast<char>(codes[7]);
  const int bar_top = 3, bar_rows = std::max(0, rows - 4);
  if (rows > 0) WriteText(s, 0, 0, Center(" Korvex custom characters ", cols, '='));
  if (rows > 1) WriteText(s, 0, 1, Fit(glyphs, cols));
  if (rows > 2) WriteText(s, 0, 2, Fit(numbers, cols));
  if (rows > 3) WriteText(s, 0, rows - 1, Center(footer, cols, ' '));

  const int steps = Steps(s, 12);
  const int max_height = bar_rows * 8;
  for (int step = 0; step < steps; ++step) {
    PaceStep(s);
    double phase = (steps - 1 - step) * 0.45;
    std::vector<int> height(static_cast<size_t>(std::max(cols, 0)));
    for (int c = 0; c < cols; ++c) {
      double v = 0.55 + 0.4 * sin(2 * kPi * 1.5 * c / cols + phase);
      height[static_cast<size_t>(c)] = std::max(1, static_cast<int>(lround(v * max_height)));
    }
    for (int r = 0; r < bar_rows; ++r) {
      int base = (bar_rows - 1 - r) * 8;  // pixels below this text row
      std::string line;
      for (int c = 0; c < cols; ++c) {
        line += BarCell(codes, std::min(8, height[static_cast<size_t>(c)] - base));
      }
      WriteText(s, 0, bar_top + r, line);
    }
  }
}

// ---- clock ----------------------------------------------------------------

struct ClockLayout {
  int cx, cy, r;         // the face
  int digits_x, digits_y;  // the big digits, or digits_x < 0 when they don't fit
  int digit_w, digit_h, thickness;
  int text_column;
};

const int kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// Segment bits: 0 top, 1 upper right, 2 lower right, 3 bottom, 4 lower left,
// 5 upper left, 6 middle.
void DrawDigit(Picture& p, int x, int y, int w, int h, int t, int digit) {
  int bits = kSegments[digit % 10], mid = h / 2;
  if (bits & 0x01) FillRect(p, x + t, y, x + w - 1 - t, y + t - 1, true);
  if (bits & 0x08) FillRect(p, x + t, y + h - t, x + w - 1 - t, y + h - 1, true);
  if (bits & 0x40) FillRect(p, x + t, y + mid - t / 2, x + w - 1 - t, y + mid - t / 2 + t - 1, true);
  if (bits & 0x20) FillRect(p, x, y + 1, x + t - 1, y + mid - 1, true);
  if (bits & 0x10) FillRect(p, x, y + mid + 1, x + t - 1, y + h - 2, true);
  if (bits & 0x02) FillRect(p, x + w - t, y + 1, x + w - 1, y + mid - 1, true);
  if (bits & 0x04) FillRect(p, x + w - t, y + mid + 1, x + w - 1, y + h - 2, true);
}

void Hand(Picture& p, int cx, int cy, double angle, double length, int width) {
  int x = cx + static_cast<int>(lround(sin(angle) * length));
  int y = cy - static_cast<int>(lround(cos(angle) * length));
  for (int d = -(width / 2); d <= width / 2; ++d) {
    DrawLine(p, cx + d, cy, x + d, y, true);
    DrawLine(p, cx, cy + d, x, y + d, true);
  }
}

Rect DrawFace(Picture& p, const ClockLayout& L, int h, int m, int sec) {
  Rect box{L.cx - L.r, L.cy - L.r, L.cx + L.r, L.cy + L.r};
  FillRect(p, box.x1, box.y1, box.x2, box.y2, false);
  DrawCircle(p, L.cx, L.cy, L.r, true);
  DrawCircle(p, L.cx, L.cy, L.r - 1, true);
  for (int i = 0; i < 12; ++i) {
    double a = i * kPi / 6;
    if (i % 3 == 0) {
      // The quarters as short bars, the other hours as dots.
      Hand(p, L.cx + static_cast<int>(lround(sin(a) * (L.r - 8))),
           L.cy - static_cast<int>(lround(cos(a) * (L.r - 8))), a, 5, 2);
    } else {
      int x = L.cx + static_cast<int>(lround(sin(a) * (L.r - 5)));
      int y = L.cy - static_cast<int>(lround(cos(a) * (L.r - 5)));
      FillRect(p, x, y, x + 1, y + 1, true);
    }
  }
  Hand(p, L.cx, L.cy, ((h % 12) + m / 60.0) * kPi / 6, L.r * 0.5, 3);
  Hand(p, L.cx, L.cy, (m + sec / 60.0) * kPi / 30, L.r * 0.78, 2);
  Hand(p, L.cx, L.cy, sec * kPi / 30, L.r * 0.88, 1);
  FillCircle(p, L.cx, L.cy, 2, true);
  return box;
}

int DigitX(const ClockLayout& L, int index) {
  // HH:MM:SS; each colon takes the room of half a digit.
  int advance = L.digit_w + 4, colon = L.digit_w / 2 + 4;
  return L.digits_x + index * advance + (index / 2) * colon;
}

bool ParseClock(const std::string& text, int& h, int& m, int& sec) {
  return sscanf(text.c_str(), "%d:%d:%d", &h, &m, &sec) == 3 && h >= 0 && h < 24 && m >= 0 &&
         m < 60 && sec >= 0 && sec < 60;
}

void ClockDemo(Session& s) {
  Say(s, "demo clock\n");
  ClearTextLayer(s);
  ClearPicture(s.picture);
  Picture& p = s.picture;
  ClockLayout L;
  L.r = std::max(4, (std::min(p.width, p.height) - 4) / 2);
  L.cx = L.r + 1;
  L.cy = p.height / 2 - (p.height % 2 == 0 ? 1 : 0);
  L.thickness = 3;
  L.digit_h = std::max(10, p.height / 2 - 4);
  L.digit_w = L.digit_h / 2;
  int room_left = 2 * L.r + 8;
  int digits_width = 6 * (L.digit_w + 4) + 2 * (L.digit_w / 2 + 4) - 4;
  L.digits_x = p.width - room_left >= digits_width ? room_left + (p.width - room_left - digits_width) / 2 : -1;
  L.digits_y = (p.height - L.digit_h) / 2;
  L.text_column = (2 * L.r + 4 + s.pitch - 1) / s.pitch + 1;

  int h = 12, m = 0, sec = 0;
  if (!ParseClock(s.options.start_time, h, m, sec)) {
    time_t now = time(nullptr);
    const struct tm* local = localtime(&now);
    if (local) {
      h = local->tm_hour;
      m = local->tm_min;
      sec = local->tm_sec;
    }
  }
  const int cols = TextColumns(s), rows = TextRows(s);
  const int text_width = std::max(0, cols - L.text_column);
  if (rows > 0) WriteText(s, L.text_column, 0, Center("Korvex clock", text_width, ' '));

  // The colons are drawn once; the digits as they change.
  if (L.digits_x >= 0) {
    for (int i = 0; i < 2; ++i) {
      int x = DigitX(L, 2 * (i + 1)) - (L.digit_w / 2 + 4) + (L.digit_w / 2) / 2;
      FillRect(p, x, L.digits_y + L.digit_h / 3 - 1, x + 2, L.digits_y + L.digit_h / 3 + 1, true);
      FillRect(p, x, L.digits_y + 2 * L.digit_h / 3 - 1, x + 2, L.digits_y + 2 * L.digit_h / 3 + 1,
               true);
      SendRect(s, Rect{x, L.digits_y, x + 2, L.digits_y + L.digit_h - 1});
    }
  }
  int shown[6] = {-1, -1, -1, -1, -1, -1};
  const int steps = Steps(s, 10);
  long start = h * 3600L + m * 60L + sec;
  for (int step = 0; step < steps; ++step) {
    PaceStep(s);
    long t = (start + step) % 86400;
    int hh = static_cast<int>(t / 3600), mm = static_cast<int>(t / 60 % 60),
        ss = static_cast<int>(t % 60);
    SendRect(s, DrawFace(p, L, hh, mm, ss));
    int digits[6] = {hh / 10, hh % 10, mm / 10, mm % 10, ss / 10, ss % 10};
    for (int i = 0; L.digits_x >= 0 && i < 6; ++i) {
      if (digits[i] == shown[i]) continue;
      int x = DigitX(L, i);
      FillRect(p, x, L.digits_y, x + L.digit_w - 1, L.digits_y + L.digit_h - 1, false);
      DrawDigit(p, x, L.digits_y, L.digit_w, L.digit_h, L.thickness, digits[i]);
      SendRect(s, Rect{x, L.digits_y, x + L.digit_w - 1, L.digits_y + L.digit_h - 1});
      shown[i] = digits[i];
    }
    char text[16];
    snprintf(text, sizeof text, "%02d:%02d:%02d", hh, mm, ss);
    if (rows > 1) WriteText(s, L.text_column, rows - 1, Center(text, text_width, ' '));
  }
}

// ---- graphics -------------------------------------------------------------

int Bounce(int value, int low, int high) {
  int span = high - low;
  if (span <= 0) return low;
  int v = value % (2 * span);
  return low + (v <= span ? v : 2 * span - v);
}

void GraphicsDemo(Session& s) {
  Say(s, "demo graphics\n");
  ClearTextLayer(s);
  Picture& p = s.picture;
  const int W = p.width, H = p.height;
  ClearPicture(p);
  DrawFrame(p, 0, 0, W - 1, H - 1, true);
  SendFrame(s);  // a full frame: one SetBitmap of the whole picture

  // Moving things over the border: a box (SetBitmap of the old and new
  // place), a one-row scanner (SetGfxMulti) and a single dot (SetGfxSingle).
  const int box_w = 12, box_h = 10, scan_len = 24, scan_y = H - 4, dot_y = 3;
  Rect box_old{}, scan_old{};
  int dot_old = -1;
  const int steps = Steps(s, 48);
  for (int step = 0; step < steps; ++step) {
    PaceStep(s);
    int bx = Bounce(step * 5, 4, W - 5 - box_w), by = Bounce(step * 3, 6, H - 8 - box_h);
    Rect box{bx, by, bx + box_w - 1, by + box_h - 1};
    if (!EmptyRect(box_old)) FillRect(p, box_old.x1, box_old.y1, box_old.x2, box_old.y2, false);
    FillRect(p, box.x1, box.y1, box.x2, box.y2, true);
    SendRect(s, UnionRect(box_old, box));
    box_old = box;

    int sx = Bounce(step * 6, 3, W - 4 - scan_len);
    Rect scan{sx, scan_y, sx + scan_len - 1, scan_y};
    if (!EmptyRect(scan_old)) FillRect(p, scan_old.x1, scan_y, scan_old.x2, scan_y, false);
    FillRect(p, scan.x1, scan_y, scan.x2, scan_y, true);
    SendRect(s, UnionRect(scan_old, scan));
    scan_old = scan;

    int dx = Bounce(step, 3, W - 4);
    if (dot_old >= 0) SetPixel(p, dot_old, dot_y, false);
    SetPixel(p, dx, dot_y, true);
    if (dot_old >= 0 && dot_old / s.pitch != dx / s.pitch) {
      SendRect(s, Rect{dot_old, dot_y, dot_old, dot_y});
    }
    SendRect(s, Rect{dx, dot_y, dx, dot_y});
    dot_old = dx;
  }

  // The final picture, drawn and sent piece by piece.
  ClearPicture(p);
  DrawFrame(p, 0, 0, W - 1, H - 1, true);
  SendFrame(s);
  char line[32];
  snprintf(line, sizeof line, "%dx%d P%d", W, H, s.pitch);
  const int panel = std::max(std::min(W / 3, 84), StringWidth(line, 1) + 10);
  const int scale = StringWidth("Korvex", 2) + 10 <= panel ? 2 : 1;
  DrawString(p, 6, 6, "Korvex", scale, true);
  SendRect(s, Rect{6, 6, 6 + StringWidth("Korvex", scale) - 1, 6 + 7 * scale - 1});
  const int line_y = 6 + 7 * scale + 4;
  DrawString(p, 6, line_y, line, 1, true);
  SendRect(s, Rect{6, line_y, 6 + StringWidth(line, 1) - 1, line_y + 6});
  DrawLine(p, panel, 3, panel, H - 4, true);  // a divider: one column, many rows
  SendRect(s, Rect{panel, 3, panel, H - 4});

  // Bars under the text: filled rectangles, each sent as drawn.
  const int bars = 8, bar_w = std::max(2, (panel - 12) / bars - 2), base = H - 6;
  for (int i = 0; i < bars; ++i) {
    int x = 6 + i * (bar_w + 2);
    int room = base - (line_y + 12);
    int top = base - static_cast<int>(lround(room * (0.35 + 0.65 * fabs(sin(0.7 * i + 0.4)))));
    if (x + bar_w - 1 >= panel - 2) break;
    FillRect(p, x, top, x + bar_w - 1, base, true);
    SendRect(s, Rect{x, top, x + bar_w - 1, base});
  }

  // A sine wave over a dotted axis on the right.
  const int x0 = panel + 4, x1 = W - 5, mid = H / 2, amp = H / 2 - 7;
  for (int x = x0; x <= x1; x += 2) SetPixel(p, x, mid, true);
  SendRect(s, Rect{x0, mid, x1, mid});  // one row: SetGfxMulti
  const int strips = 8, strip_w = std::max(1, (x1 - x0 + strips) / strips);
  int prev_y = mid;
  for (int strip = 0; strip < strips; ++strip) {
    int a = x0 + strip * strip_w, b = std::min(x1, a + strip_w - 1);
    for (int x = a; x <= b; ++x) {
      double t = static_cast<double>(x - x0) / std::max(1, x1 - x0);
      int y = mid - static_cast<int>(lround(amp * sin(2 * kPi * 2 * t)));
      DrawLine(p, x - 1 < x0 ? x : x - 1, x == x0 ? y : prev_y, x, y, true);
      prev_y = y;
    }
    SendRect(s, Rect{a - 1, mid - amp - 1, b, mid + amp + 1});
  }
  FillCircle(p, x1 - 8, 9, 4, true);
  SendRect(s, Rect{x1 - 12, 5, x1 - 4, 13});
  SendFrame(s);  // and the whole picture once more
}

// ---- KS108 ----------------------------------------------------------------

void Ks108Picture(Picture& p, int controller, int phase, int step, int steps) {
  const int W = p.width, H = p.height;
  ClearPicture(p);
  DrawFrame(p, 0, 0, W - 1, H - 1, true);
  DrawString(p, (W - StringWidth("Korvex", 2)) / 2, 4, "Korvex", 2, true);
  char line[32];
  snprintf(line, sizeof line, "%s %dx%d", controller == 108 ? "KS108" : "T6963", W, H);
  DrawString(p, (W - StringWidth(line, 1)) / 2, 21, line, 1, true);
  const int mid = 45, amp = std::max(2, H - mid - 5);
  for (int x = 3; x <= W - 4; x += 2) SetPixel(p, x, mid, true);
  int prev = mid;
  for (int x = 3; x <= W - 4; ++x) {
    int y = mid - static_cast<int>(lround(amp * sin(2 * kPi * (x + phase) / 42.0)));
    DrawLine(p, x == 3 ? x : x - 1, x == 3 ? y : prev, x, y, true);
    prev = y;
  }
  // A ball that rolls in from the left and stops at the top right corner.
  int travel = (steps - 1 - step) * 3;
  int bx = W - 10 - travel % std::max(1, W - 19);
  FillCircle(p, bx, 9, 4, true);
}

// Full frames, as the driver sends them to a KS108 on every call. Run on its
// own it is meant for a KS108 and says so when the driver is set up for
// another controller; within "all" it runs on whatever the driver drives.
void Ks108Demo(Session& s, bool alone) {
  Say(s, "demo ks108\n");
  if (alone && s.controller != 108) {
    fprintf(stderr,
            "korvex-host: %s has LCD_Controller=%d; the driver sends T6963 commands. "
            "Set LCD_Controller=108 there for a KS108 display.\n",
            DriverSettingsPath().c_str(), s.controller);
  }
  ClearTextLayer(s);
  const int steps = Steps(s, 32);
  for (int step = 0; step < steps; ++step) {
    PaceStep(s);
    // The driver sends the whole picture on every call; the rectangle is
    // what changed, as a host would pass it.
    Ks108Picture(s.picture, s.controller, (steps - 1 - step) * 3, step, steps);
    SendFrame(s);
  }
}

// ---- screens ---------------------------------------------------------------

// A status screen that changes a little each second: a clock, a 40-bar
// spectrum and a progress bar with the time. Each frame hands over the box
// around what changed, as a host does; with GfxChangesOnly=1 the driver
// sends only the bytes that differ inside it.
void ScreensDemo(Session& s) {
  Say(s, "demo screens\n");
  ClearTextLayer(s);
  Picture& p = s.picture;
  Picture before = p;
  const int steps = Steps(s, 30);
  for (int step = 0; step < steps; ++step) {
    PaceStep(s);
    DrawScreen(p, kScreenCombined, step);
    SendRect(s, ChangedRect(before, p));
    before = p;
  }
}

// A second between demos when they are paced, and each demo's pace counted
// from its own start.
void PauseBetweenDemos(Session& s) {
  if (s.options.fps <= 0) return;
  SleepMs(1000);
  s.pace_step = 0;
}

}  // namespace

const char* DemoNames() { return "text|cgram|clock|graphics|ks108|screens|all"; }

bool IsDemo(const std::string& name) {
  return name == "text" || name == "cgram" || name == "clock" || name == "graphics" ||
         name == "ks108" || name == "screens" || name == "all";
}

void RunDemo(Session& s, const std::string& name) {
  if (name == "text") {
    TextDemo(s);
  } else if (name == "cgram") {
    CgramDemo(s);
  } else if (name == "clock") {
    ClockDemo(s);
  } else if (name == "graphics") {
    GraphicsDemo(s);
  } else if (name == "ks108") {
    Ks108Demo(s, true);
  } else if (name == "screens") {
    ScreensDemo(s);
  } else if (name == "all") {
    TextDemo(s);
    PauseBetweenDemos(s);
    CgramDemo(s);
    PauseBetweenDemos(s);
    ClockDemo(s);
    PauseBetweenDemos(s);
    GraphicsDemo(s);
    PauseBetweenDemos(s);
    Ks108Demo(s, false);
  }
}

}  // namespace host
