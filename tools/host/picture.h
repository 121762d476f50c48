// The host's picture: one byte per pixel, row-major, stride = width, non-zero
// = set, exactly what LCD_SendToGfxMemory is handed. Drawing clips to it.
#pragma once

#include <stdint.h>

#include <vector>

namespace host {

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

// An inclusive pixel rectangle; empty when x1 > x2.
struct Rect {
  int x1 = 0, y1 = 0, x2 = -1, y2 = -1;
};

void ResizePicture(Picture& picture, int width, int height);  // also clears
void ClearPicture(Picture& picture);
bool GetPixel(const Picture& picture, int x, int y);
void SetPixel(Picture& picture, int x, int y, bool on);
void FillRect(Picture& picture, int x1, int y1, int x2, int y2, bool on);
void DrawFrame(Picture& picture, int x1, int y1, int x2, int y2, bool on);
void DrawLine(Picture& picture, int x0, int y0, int x1, int y1, bool on);
void DrawCircle(Picture& picture, int cx, int cy, int r, bool on);
void FillCircle(Picture& picture, int cx, int cy, int r, bool on);

// Text in the tool's own 5 x 7 capitals, digits and a few signs (lower case
// is drawn as upper case), each glyph `scale` pixels per dot with one dot
// of spacing. Returns the width drawn.
int DrawString(Picture& picture, int x, int y, const char* text, int scale, bool on);
int StringWidth(const char* text, int scale);

Rect FullRect(const Picture& picture);
Rect UnionRect(const Rect& a, const Rect& b);
Rect ClipRect(const Rect& r, const Picture& picture);
bool EmptyRect(const Rect& r);

}  // namespace host
