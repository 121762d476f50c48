#include "tools/host/screens.h"

#include <math.h>
#include <stdio.h>

namespace host {

namespace {

void DrawClock(Picture& p, int x, int y, int scale, int frame) {
  const int t = (12 * 3600 + 34 * 60 + 50 + frame) % 86400;
  char text[16];
  snprintf(text, sizeof text, "%02d:%02d:%02d", t / 3600, t / 60 % 60, t % 60);
  DrawString(p, x, y, text, scale, true);
}

// A small deterministic jitter in [-4, 4] for bar i at frame n.
int Jitter(int i, int n) {
  unsigned h = (unsigned)i * 73856093u ^ (unsigned)n * 19349663u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return (int)(h % 9) - 4;
}

// 40 bars, each 1 pixel narrower than its share of the width, rising from
// row `bottom` up to `top`.
void DrawSpectrum(Picture& p, int top, int bottom, int frame) {
  const int bars = 40, share = p.width / bars, room = bottom - top + 1;
  for (int i = 0; i < bars; ++i) {
    double level = 0.5 + 0.25 * sin(0.35 * i + 0.7 * frame) + 0.15 * sin(1.3 * i - 0.4 * frame);
    int height = (int)lround(level * room) + Jitter(i, frame);
    height = height < 1 ? 1 : height > room ? room : height;
    FillRect(p, i * share, bottom - height + 1, i * share + share - 2, bottom, true);
  }
}

// A bar 10 rows high from row y that fills one pixel a frame, the elapsed
// time as mm:ss beside it.
void DrawProgress(Picture& p, int y, int frame) {
  const int time_width = StringWidth("00:00", 1), x1 = p.width - time_width - 8;
  DrawFrame(p, 2, y, x1, y + 9, true);
  const int inner = x1 - 2 - 3, fill = frame % (inner + 1);
  if (fill > 0) FillRect(p, 4, y + 2, 4 + fill - 1, y + 7, true);
  char text[16];
  snprintf(text, sizeof text, "%02d:%02d", frame / 60 % 100, frame % 60);
  DrawString(p, x1 + 5, y + 2, text, 1, true);
}

void DrawScroll(Picture& p, int y, int frame) {
  const char* text = "KORVEX SENDS ONLY WHAT CHANGED +++ 19200 BAUD +++ ";
  const int period = StringWidth(text, 1) + 1;
  for (int x = -(frame % period); x < p.width; x += period) DrawString(p, x, y, text, 1, true);
}

}  // namespace

const char* ScreenName(Screen screen) {
  switch (screen) {
    case kScreenClock: return "clock";
    case kScreenScroll: return "scrolling line";
    case kScreenSpectrum: return "40-bar spectrum";
    case kScreenProgress: return "progress bar and time";
    case kScreenCombined: return "combined screen";
  }
  return "?";
}

void DrawScreen(Picture& p, Screen screen, int frame) {
  ClearPicture(p);
  const int W = p.width, H = p.height;
  switch (screen) {
    case kScreenClock: {
      const int scale = H >= 100 ? 4 : 3;
      DrawClock(p, (W - StringWidth("00:00:00", scale)) / 2, (H - 7 * scale) / 2, scale, frame);
      break;
    }
    case kScreenScroll:
      DrawScroll(p, H / 2 - 4, frame);
      break;
    case kScreenSpectrum:
      DrawSpectrum(p, 0, H - 1, frame);
      break;
    case kScreenProgress:
      DrawProgress(p, H / 2 - 5, frame);
      break;
    case kScreenCombined: {
      const int scale = H >= 100 ? 3 : 2;
      DrawClock(p, 2, 1, scale, frame);
      DrawSpectrum(p, 7 * scale + 4, H - 15, frame);
      DrawProgress(p, H - 11, frame);
      break;
    }
  }
}

Rect ChangedRect(const Picture& before, const Picture& after) {
  Rect r;
  if (before.width != after.width || before.height != after.height) return FullRect(after);
  for (int y = 0; y < after.height; ++y) {
    for (int x = 0; x < after.width; ++x) {
      const size_t at = (size_t)y * after.width + x;
      if ((before.pixels[at] != 0) == (after.pixels[at] != 0)) continue;
      r = UnionRect(r, Rect{x, y, x, y});
    }
  }
  return r;
}

}  // namespace host
