// Screens whose frames change a little at a time, the way a host's status
// screens do: the demo of GfxChangesOnly in korvex-host, and the content the
// benchmark measures it on. Frame n is one second after frame n - 1.
#pragma once

#include "tools/host/picture.h"

namespace host {

enum Screen {
  kScreenClock,     // HH:MM:SS in large digits
  kScreenScroll,    // a line of text moving one pixel left a frame
  kScreenSpectrum,  // 40 bars from the bottom edge
  kScreenProgress,  // a progress bar with the time beside it
  kScreenCombined,  // a small clock, the spectrum, the progress bar
};
const int kScreenCount = 5;

const char* ScreenName(Screen screen);

// Draws frame `frame` of `screen` over the whole picture.
void DrawScreen(Picture& picture, Screen screen, int frame);

// The box around the pixels that are set in one picture and clear in the
// other (empty when none): the rectangle a host hands over.
Rect ChangedRect(const Picture& before, const Picture& after);

}  // namespace host
