// korvex-board's window on Windows: the picture that RenderImage made for the
// PNG, put on the screen pixel for pixel with GDI, the source and state in
// the title and a status line below. Plain Win32, as far back as Windows XP.
// The window never draws the display itself, so it cannot show what the PNG
// would not.
#include <windows.h>
#include <stdlib.h>

#include <deque>
#include <string>
#include <vector>

#include "tools/board/platform.h"
#include "tools/board/window_win32.h"
#include "tools/common/windows_helpers.h"

namespace board {

namespace {

const wchar_t kClass[] = L"KorvexBoardWindow";
// Resizable in whole scale steps; a maximized window would not be one.
const DWORD kStyle = WS_OVERLAPPEDWINDOW & ~WS_MAXIMIZEBOX;
const int kMaxScale = 16;  // as --scale allows

struct Window {
  HWND hwnd = nullptr;
  std::vector<uint32_t> pixels;  // the picture, 0x00RRGGBB, top row first
  int width = 0, height = 0;     // of the picture
  DisplayConfig config;
  int scale = 0;                 // 0 until the first frame
  std::wstring title, status;
  bool topmost = false;
  int scale_request = 0;
  std::deque<int> keys;
  HFONT font = nullptr;
  int status_height = 0;
};

Window g_window;

std::wstring Wide(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
  }
  return wide;
}

// The outer size of a window whose picture is width x height.
SIZE OuterSize(int width, int height) {
  RECT r = {0, 0, width, height + g_window.status_height};
  AdjustWindowRectEx(&r, kStyle, FALSE, 0);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

SIZE OuterSizeAt(int scale) {
  const RenderLayout layout = ComputeLayout(g_window.config, scale);
  return OuterSize(layout.width, layout.height);
}

// The largest scale whose window fits the work area of its monitor, and
// never less than the scale it has.
int LargestScale() {
  RECT area;
  MONITORINFO info;
  info.cbSize = sizeof info;
  if (GetMonitorInfoW(MonitorFromWindow(g_window.hwnd, MONITOR_DEFAULTTONEAREST), &info)) {
    area = info.rcWork;
  } else if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0)) {
    return kMaxScale;
  }
  int s = kMaxScale;
  for (; s > 1; --s) {
    const SIZE size = OuterSizeAt(s);
    if (size.cx <= area.right - area.left && size.cy <= area.bottom - area.top) break;
  }
  return s > g_window.scale ? s : g_window.scale;
}

// The scale asked for last, or the one shown: keys typed faster than the
// program renders add up.
int LatestScale() { return g_window.scale_request ? g_window.scale_request : g_window.scale; }

void AskScale(int scale) {
  if (g_window.scale == 0 || scale < 1 || scale > LargestScale()) return;
  g_window.scale_request = scale == g_window.scale ? 0 : scale;
}

std::wstring StatusText() {
  return g_window.status + (g_window.topmost ? L"; kept on top" : L"");
}

// A frame dragged to another size snaps to the nearest scale, measured
// along the edges that move; the picture follows when the program renders it.
void Snap(WPARAM edge, RECT* rect) {
  const bool horizontal = edge != WMSZ_TOP && edge != WMSZ_BOTTOM;
  const bool vertical = edge != WMSZ_LEFT && edge != WMSZ_RIGHT;
  const int width = rect->right - rect->left, height = rect->bottom - rect->top;
  int best = g_window.scale;
  long best_distance = -1;
  for (int s = 1, largest = LargestScale(); s <= largest; ++s) {
    const SIZE size = OuterSizeAt(s);
    const long distance = (horizontal ? labs(size.cx - width) : 0) +
                          (vertical ? labs(size.cy - height) : 0);
    if (best_distance < 0 || distance < best_distance) {
      best = s;
      best_distance = distance;
    }
  }
  const SIZE size = OuterSizeAt(best);
  if (edge == WMSZ_LEFT || edge == WMSZ_TOPLEFT || edge == WMSZ_BOTTOMLEFT) {
    rect->left = rect->right - size.cx;
  } else {
    rect->right = rect->left + size.cx;
  }
  if (edge == WMSZ_TOP || edge == WMSZ_TOPLEFT || edge == WMSZ_TOPRIGHT) {
    rect->top = rect->bottom - size.cy;
  } else {
    rect->bottom = rect->top + size.cy;
  }
  AskScale(best);
}

void Paint(HWND hwnd) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd, &paint);
  if (!dc) return;
  RECT client;
  GetClientRect(hwnd, &client);
  const int line_top = client.bottom - g_window.status_height;
  if (!g_window.pixels.empty()) {
    BITMAPINFO info;
    ZeroMemory(&info, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = g_window.width;
    info.bmiHeader.biHeight = -g_window.height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    StretchDIBits(dc, 0, 0, g_window.width, g_window.height, 0, 0, g_window.width,
                  g_window.height, g_window.pixels.data(), &info, DIB_RGB_COLORS, SRCCOPY);
  }
  // Beside the picture, while a new size waits for its picture (and where a
  // window cannot be as narrow as a small display's picture): the bezel.
  const Rgb bezel = BezelColour();
  HBRUSH brush = CreateSolidBrush(RGB(bezel.r, bezel.g, bezel.b));
  RECT right = {g_window.width, 0, client.right, line_top};
  RECT below = {0, g_window.height, g_window.width, line_top};
  if (brush) {
    if (right.left < right.right) FillRect(dc, &right, brush);
    if (below.top < below.bottom) FillRect(dc, &below, brush);
    DeleteObject(brush);
  }
  RECT line = {0, line_top, client.right, client.bottom};
  FillRect(dc, &line, GetSysColorBrush(COLOR_BTNFACE));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  HGDIOBJ old = SelectObject(dc, g_window.font);
  line.left += 4;
  line.right -= 4;
  const std::wstring status = StatusText();
  DrawTextW(dc, status.c_str(), static_cast<int>(status.size()), &line,
            DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
  SelectObject(dc, old);
  EndPaint(hwnd, &paint);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT:
      Paint(hwnd);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers every pixel
    case WM_CHAR:
      switch (wparam) {
        case '+': case '=': AskScale(LatestScale() + 1); break;
        case '-': case '_': AskScale(LatestScale() - 1); break;
        case 't': case 'T':
          g_window.topmost = !g_window.topmost;
          SetWindowPos(hwnd, g_window.topmost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
          InvalidateRect(hwnd, nullptr, FALSE);
          break;
        default: g_window.keys.push_back(static_cast<int>(wparam)); break;
      }
      return 0;
    case WM_SIZING:
      if (g_window.scale > 0) {
        Snap(wparam, reinterpret_cast<RECT*>(lparam));
        return TRUE;
      }
      break;
    case WM_GETMINMAXINFO:
      if (g_window.scale > 0) {
        MINMAXINFO* limits = reinterpret_cast<MINMAXINFO*>(lparam);
        const SIZE smallest = OuterSizeAt(1), largest = OuterSizeAt(LargestScale());
        limits->ptMinTrackSize.x = smallest.cx;
        limits->ptMinTrackSize.y = smallest.cy;
        limits->ptMaxTrackSize.x = largest.cx;
        limits->ptMaxTrackSize.y = largest.cy;
        return 0;
      }
      break;
    case WM_CLOSE:
      // The program stops as on q; the window goes when it has finished.
      RequestStop();
      return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

std::string Reason(DWORD code) {
  const std::string text = tools_common::SystemErrorText(code);
  return (text.empty() ? "" : text + ", ") + "error " + std::to_string(code);
}

}  // namespace

const char* WindowUnsupported() { return nullptr; }

bool WindowOpen(std::string* error) {
  // A service's window station has desktops that no one sees.
  USEROBJECTFLAGS flags;
  if (GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                nullptr) &&
      !(flags.dwFlags & WSF_VISIBLE)) {
    *error = "cannot open the window: there is no desktop to show it on (this program runs "
             "in a window station no one sees, as a service does)";
    return false;
  }
  // One picture pixel is one screen pixel, also where Windows would scale
  // the windows of programs that do not say so (from Windows Vista on).
  typedef BOOL(WINAPI * SetAware)();
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  SetAware set_aware =
      user32 ? reinterpret_cast<SetAware>(
                   reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDPIAware")))
             : nullptr;
  if (set_aware) set_aware();

  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW type;
  ZeroMemory(&type, sizeof type);
  type.cbSize = sizeof type;
  type.lpfnWndProc = WindowProc;
  type.hInstance = instance;
  type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  type.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));      // IDI_APPLICATION
  type.lpszClassName = kClass;
  if (!RegisterClassExW(&type)) {
    *error = "cannot open the window: " + Reason(GetLastError());
    return false;
  }
  g_window.hwnd = CreateWindowExW(0, kClass, L"korvex-board", kStyle, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                  instance, nullptr);
  if (!g_window.hwnd) {
    *error = "cannot open the window: there is no desktop to show it on (" +
             Reason(GetLastError()) + "; under Wine, DISPLAY must name an X display)";
    return false;
  }
  g_window.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  // The status line: the font's height and a little room.
  HDC dc = GetDC(g_window.hwnd);
  TEXTMETRICW metrics;
  int text_height = 14;
  if (dc) {
    HGDIOBJ old = SelectObject(dc, g_window.font);
    if (GetTextMetricsW(dc, &metrics)) text_height = metrics.tmHeight;
    SelectObject(dc, old);
    ReleaseDC(g_window.hwnd, dc);
  }
  g_window.status_height = text_height + 6;
  return true;
}

void WindowShow(const WindowFrame& frame) {
  Window& w = g_window;
  if (!w.hwnd) return;
  const bool first = w.scale == 0;
  const bool resize = first || frame.image.width != w.width || frame.image.height != w.height;
  w.width = frame.image.width;
  w.height = frame.image.height;
  w.pixels.resize(static_cast<size_t>(w.width) * static_cast<size_t>(w.height));
  for (size_t i = 0; i < w.pixels.size(); ++i) {
    const uint8_t* p = &frame.image.rgb[i * 3];
    w.pixels[i] = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
  }
  w.config = frame.config;
  w.scale = frame.scale;
  w.status = Wide(frame.status);
  const std::wstring title = Wide(frame.title);
  if (title != w.title) {
    w.title = title;
    SetWindowTextW(w.hwnd, title.c_str());
  }
  if (resize) {
    const SIZE size = OuterSize(w.width, w.height);
    SetWindowPos(w.hwnd, nullptr, 0, 0, size.cx, size.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (first) ShowWindow(w.hwnd, SW_SHOWNORMAL);
  InvalidateRect(w.hwnd, nullptr, FALSE);
  UpdateWindow(w.hwnd);
}

int WindowTakeScaleRequest() {
  const int scale = g_window.scale_request;
  // The pictures have it from now on, before the next frame shows it.
  if (scale) g_window.scale = scale;
  g_window.scale_request = 0;
  return scale;
}

void WindowClose() {
  if (!g_window.hwnd) return;
  DestroyWindow(g_window.hwnd);
  g_window.hwnd = nullptr;
  WindowPump();
}

bool WindowIsOpen() { return g_window.hwnd != nullptr; }

void WindowPump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

bool WindowTakeKey(int* key) {
  if (g_window.keys.empty()) return false;
  *key = g_window.keys.front();
  g_window.keys.pop_front();
  return true;
}

bool WindowScaleAsked() { return g_window.scale_request != 0; }

}  // namespace board
