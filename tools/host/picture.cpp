#include "tools/host/picture.h"

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>

namespace host {

namespace {

// 5 x 7 glyphs, one string per row, '#' = dot.
struct Glyph {
  char code;
  const char* rows[7];
};

const Glyph kGlyphs[] = {
    {' ', {".....", ".....", ".....", ".....", ".....", ".....", "....."}},
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
    {':', {".....", "..#..", "..#..", ".....", "..#..", "..#..", "....."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {'-', {".....", ".....", ".....", "#####", ".....", ".....", "....."}},
    {'/', {".....", "....#", "...#.", "..#..", ".#...", "#....", "....."}},
    {'x', {".....", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "....."}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'D', {"###..", "#..#.", "#...#", "#...#", "#...#", "#..#.", "###.."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"}},
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'J', {"..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'N', {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."}},
    {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
    {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
    {'Z', {"#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"}},
};

const Glyph* FindGlyph(char c, char before) {
  // An 'x' after a digit is a multiplication sign, as in "128x64".
  if (c != 'x' || !isdigit(static_cast<unsigned char>(before))) {
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  for (const Glyph& g : kGlyphs) {
    if (g.code == c) return &g;
  }
  return &kGlyphs[0];
}

}  // namespace

void ResizePicture(Picture& picture, int width, int height) {
  picture.width = std::max(width, 0);
  picture.height = std::max(height, 0);
  picture.pixels.assign(static_cast<size_t>(picture.width) * picture.height, 0);
}

void ClearPicture(Picture& picture) { std::fill(picture.pixels.begin(), picture.pixels.end(), 0); }

bool GetPixel(const Picture& picture, int x, int y) {
  if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) return false;
  return picture.pixels[static_cast<size_t>(y) * picture.width + x] != 0;
}

void SetPixel(Picture& picture, int x, int y, bool on) {
  if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) return;
  picture.pixels[static_cast<size_t>(y) * picture.width + x] = on ? 1 : 0;
}

void FillRect(Picture& picture, int x1, int y1, int x2, int y2, bool on) {
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  for (int y = std::max(y1, 0); y <= std::min(y2, picture.height - 1); ++y) {
    for (int x = std::max(x1, 0); x <= std::min(x2, picture.width - 1); ++x) {
      picture.pixels[static_cast<size_t>(y) * picture.width + x] = on ? 1 : 0;
    }
  }
}

void DrawFrame(Picture& picture, int x1, int y1, int x2, int y2, bool on) {
  DrawLine(picture, x1, y1, x2, y1, on);
  DrawLine(picture, x1, y2, x2, y2, on);
  DrawLine(picture, x1, y1, x1, y2, on);
  DrawLine(picture, x2, y1, x2, y2, on);
}

void DrawLine(Picture& picture, int x0, int y0, int x1, int y1, bool on) {
  int dx = abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
  int dy = -abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
  int err = dx + dy;
  for (;;) {
    SetPixel(picture, x0, y0, on);
    if (x0 == x1 && y0 == y1) break;
    int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x0 += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y0 += sy;
    }
  }
}

void DrawCircle(Picture& picture, int cx, int cy, int r, bool on) {
  int x = r, y = 0, err = 1 - r;
  while (x >= y) {
    const int pts[8][2] = {{x, y}, {y, x}, {-y, x}, {-x, y}, {-x, -y}, {-y, -x}, {y, -x}, {x, -y}};
    for (const auto& p : pts) SetPixel(picture, cx + p[0], cy + p[1], on);
    ++y;
    if (err < 0) {
      err += 2 * y + 1;
    } else {
      --x;
      err += 2 * (y - x) + 1;
    }
  }
}

void FillCircle(Picture& picture, int cx, int cy, int r, bool on) {
  for (int dy = -r; dy <= r; ++dy) {
    for (int dx = -r; dx <= r; ++dx) {
      if (dx * dx + dy * dy <= r * r + r) SetPixel(picture, cx + dx, cy + dy, on);
    }
  }
}

int DrawString(Picture& picture, int x, int y, const char* text, int scale, bool on) {
  int start = x;
  for (const char* p = text; *p; ++p) {
    const Glyph* g = FindGlyph(*p, p == text ? ' ' : p[-1]);
    for (int row = 0; row < 7; ++row) {
      for (int col = 0; col < 5; ++col) {
        if (g->rows[row][col] != '#') continue;
        FillRect(picture, x + col * scale, y + row * scale, x + col * scale + scale - 1,
                 y + row * scale + scale - 1, on);
      }
    }
    x += 6 * scale;
  }
  return x - start;
}

int StringWidth(const char* text, int scale) {
  int n = 0;
  for (const char* p = text; *p; ++p) ++n;
  return n == 0 ? 0 : n * 6 * scale - scale;
}

Rect FullRect(const Picture& picture) {
  return Rect{0, 0, picture.width - 1, picture.height - 1};
}

bool EmptyRect(const Rect& r) { return r.x1 > r.x2 || r.y1 > r.y2; }

Rect UnionRect(const Rect& a, const Rect& b) {
  if (EmptyRect(a)) return b;
  if (EmptyRect(b)) return a;
  return Rect{std::min(a.x1, b.x1), std::min(a.y1, b.y1), std::max(a.x2, b.x2),
              std::max(a.y2, b.y2)};
}

Rect ClipRect(const Rect& r, const Picture& picture) {
  Rect c{std::max(r.x1, 0), std::max(r.y1, 0), std::min(r.x2, picture.width - 1),
         std::min(r.y2, picture.height - 1)};
  if (EmptyRect(c)) return Rect{};
  return c;
}

}  // namespace host
