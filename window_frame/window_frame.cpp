#include "window_frame.h"

#include <commctrl.h>
#include <dwmapi.h>

#include <cmath>
#include <cstdint>
#include <cwchar>
#include <iterator>

#include "window_frame_testing.h"

namespace window_frame {
namespace {

using testing::DpiQuery;
using testing::MetricQuery;

UINT WINAPI FallbackDpi(HWND) {
  return USER_DEFAULT_SCREEN_DPI;
}
int WINAPI FallbackMetric(int index, UINT) {
  return GetSystemMetrics(index);
}

constexpr UINT_PTR kSubclassId = 1;
constexpr wchar_t kWindowProperty[] = L"BitsDojoWindow";

// Process-wide, main thread only. Constant-initialised: the configuration runs during static
// initialisation of other translation units.
struct FrameState {
  bool customFrame = false;
  bool visibleAtStartup = true;
  bool started = false;
  bool dpiFunctionsAvailable = false;
  DpiQuery dpiQuery = FallbackDpi;
  MetricQuery metricQuery = FallbackMetric;
  HHOOK creationHook = nullptr;
  HWND appWindow = nullptr;
  HWND viewWindow = nullptr;
  bool canBeShown = false;
  bool minimising = false;
  bool inSizeMove = false;
  bool maximisedAtSizeMoveStart = false;
  bool dpiChangedDuringSizeMove = false;
  int32_t cutOnMaximise = 0;
  int32_t minWidth = 0, minHeight = 0;
  int32_t maxWidth = 0, maxHeight = 0;
};

constinit FrameState g;

double Scale(HWND window) {
  return g.dpiQuery(window) / 96.0;
}

// Screen coordinates of mouse messages are signed: monitors left of or above the primary one
// have negative coordinates.
int SignedWord(LPARAM value, int shift) {
  const auto word = static_cast<uint16_t>((static_cast<uintptr_t>(value) >> shift) & 0xFFFF);
  return static_cast<int16_t>(word);
}

bool WorkAreaOf(HMONITOR monitor, RECT* work) {
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(monitor, &info)) return false;
  *work = info.rcWork;
  return true;
}

bool WorkAreaNear(HWND window, RECT* work) {
  return WorkAreaOf(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), work);
}

// A proposed placement that overhangs the work area on every side (a maximised window's) is
// pulled onto the work area; while a move that began maximised goes on, the top stays inside.
void ClampToWorkArea(HWND window, WINDOWPOS* pos) {
  RECT work{};
  if (!WorkAreaNear(window, &work)) return;
  const int workWidth = static_cast<int>(work.right - work.left);
  const int workHeight = static_cast<int>(work.bottom - work.top);
  if (pos->x < work.left && pos->y < work.top && pos->cx > workWidth && pos->cy > workHeight) {
    pos->x = static_cast<int>(work.left);
    pos->y = static_cast<int>(work.top);
    pos->cx = workWidth;
    pos->cy = workHeight;
  }
  if (g.maximisedAtSizeMoveStart && pos->y < work.top) pos->y = static_cast<int>(work.top);
}

bool OverhangsOnAllSides(const RECT& rect, const RECT& work) {
  return rect.left < work.left && rect.top < work.top && rect.right > work.right &&
         rect.bottom > work.bottom;
}

// Resizes the view to the application window's client area, one pixel larger first: the engine
// lays out and redraws only when the size really changes.
void ResizeView() {
  if (g.viewWindow == nullptr || g.appWindow == nullptr) return;
  RECT client{};
  if (!GetClientRect(g.appWindow, &client)) return;
  const int width = static_cast<int>(client.right - client.left);
  const int height = static_cast<int>(client.bottom - client.top);
  SetWindowPos(g.viewWindow, nullptr, 0, 0, width + 1, height + 1, SWP_NOMOVE | SWP_NOZORDER);
  SetWindowPos(g.viewWindow, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
}

void CentreOnCursorMonitor(HWND window, const CREATESTRUCTW* create) {
  POINT cursor{};
  if (create == nullptr || !GetCursorPos(&cursor)) return;
  RECT work{};
  if (!WorkAreaOf(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &work)) return;
  const int x = static_cast<int>(work.left + (work.right - work.left - create->cx) / 2);
  const int y = static_cast<int>(work.top + (work.bottom - work.top - create->cy) / 2);
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The whole window is client area; the system frame is gone.
LRESULT CalculateFrame(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (wparam == 0) return 0;
  auto* params = reinterpret_cast<NCCALCSIZE_PARAMS*>(lparam);
  if (params->lppos != nullptr) ClampToWorkArea(window, params->lppos);
  RECT work{};
  if (WorkAreaNear(window, &work)) {
    for (RECT& rect : params->rgrc) {
      if (OverhangsOnAllSides(rect, work)) rect = work;
    }
  }
  const RECT proposed = params->rgrc[0];
  const LRESULT result = DefSubclassProc(window, message, wparam, lparam);
  if (result != 0) return result;

  RECT& client = params->rgrc[0];
  client = proposed;
  const double scale = Scale(window);
  if (IsZoomed(window)) {
    const int cut = static_cast<int>(std::ceil(g.cutOnMaximise * scale));
    client.left -= cut;
    client.right += cut;
    client.bottom += cut;
    client.top -= cut + static_cast<int>(std::ceil(scale)) + 1;
  } else {
    client.top -= 1;
  }
  return 0;
}

// Border zones for resizing, the rest is client area (the user interface draws its own title bar
// and asks for a drag through the channel).
LRESULT HitTest(HWND window, LPARAM lparam) {
  if (g.appWindow != nullptr && IsZoomed(g.appWindow)) return HTCLIENT;
  POINT point{SignedWord(lparam, 0), SignedWord(lparam, 16)};
  ScreenToClient(window, &point);
  RECT client{};
  GetClientRect(window, &client);
  const LONG width = client.right;
  const LONG height = client.bottom;
  const UINT dpi = g.dpiQuery(window);
  int border = g.metricQuery(SM_CXPADDEDBORDER, dpi);
  if (!IsZoomed(window)) border += g.metricQuery(SM_CXFRAME, dpi);

  const bool left = point.x < border;
  const bool right = point.x > width - border;
  if (point.y < border) return left ? HTTOPLEFT : right ? HTTOPRIGHT : HTTOP;
  if (point.y <= height - border) return left ? HTLEFT : right ? HTRIGHT : HTCLIENT;
  return left ? HTBOTTOMLEFT : right ? HTBOTTOMRIGHT : HTBOTTOM;
}

// Records of the private message come from another party: only live blocks of the process heap
// that are large enough are used, and only they are freed.
bool IsHeapBlock(const void* block, SIZE_T minSize) {
  if (block == nullptr) return false;
  const HANDLE heap = GetProcessHeap();
  if (!HeapValidate(heap, 0, block)) return false;
  const SIZE_T size = HeapSize(heap, 0, block);
  return size != static_cast<SIZE_T>(-1) && size >= minSize;
}

void HandleFrameMessage(HWND window, WPARAM wparam, LPARAM lparam) {
  const HANDLE heap = GetProcessHeap();
  switch (wparam) {
    case 1: {
      auto* record = reinterpret_cast<SetWindowPosRecord*>(lparam);
      if (!IsHeapBlock(record, sizeof(*record))) return;
      SetWindowPos(window, nullptr, record->x, record->y, record->width, record->height,
                   static_cast<UINT>(record->flags));
      HeapFree(heap, 0, record);
      return;
    }
    case 2: {
      auto* record = reinterpret_cast<SetWindowTextRecord*>(lparam);
      if (!IsHeapBlock(record, sizeof(*record))) return;
      wchar_t* text = record->text;
      if (IsHeapBlock(text, sizeof(wchar_t))) {
        const size_t capacity = HeapSize(heap, 0, text) / sizeof(wchar_t);
        if (wcsnlen(text, capacity) < capacity) SetWindowTextW(window, text);
        HeapFree(heap, 0, text);
      }
      HeapFree(heap, 0, record);
      return;
    }
    case 3:
      ResizeView();
      return;
    default:
      return;
  }
}

LRESULT CALLBACK AppWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                               DWORD_PTR) {
  switch (message) {
    case WM_NCCREATE:
      g.appWindow = window;
      SetWindowLongPtrW(window, GWL_STYLE, GetWindowLongPtrW(window, GWL_STYLE) | WS_CLIPCHILDREN);
      SetPropW(window, kWindowProperty, reinterpret_cast<HANDLE>(static_cast<intptr_t>(1)));
      break;

    case WM_CREATE: {
      const LRESULT result = DefSubclassProc(window, message, wparam, lparam);
      if (g.customFrame) {
        const MARGINS margins{0, 0, 1, 0};
        DwmExtendFrameIntoClientArea(window, &margins);
        SetWindowPos(window, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_FRAMECHANGED);
      }
      CentreOnCursorMonitor(window, reinterpret_cast<const CREATESTRUCTW*>(lparam));
      if (g.visibleAtStartup) {
        g.canBeShown = true;
        ResizeView();
      }
      return result;
    }

    case WM_SIZE:
      if (g.minimising) return 0;
      break;

    case WM_ERASEBKGND:
      return 1;

    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
      const double scale = Scale(window);
      if (g.minWidth != 0 && g.minHeight != 0) {
        info->ptMinTrackSize.x = static_cast<LONG>(g.minWidth * scale);
        info->ptMinTrackSize.y = static_cast<LONG>(g.minHeight * scale);
      }
      if (g.maxWidth != 0 && g.maxHeight != 0) {
        info->ptMaxTrackSize.x = static_cast<LONG>(g.maxWidth * scale);
        info->ptMaxTrackSize.y = static_cast<LONG>(g.maxHeight * scale);
      }
      return 0;
    }

    case WM_WINDOWPOSCHANGING: {
      auto* pos = reinterpret_cast<WINDOWPOS*>(lparam);
      if (g.customFrame && (pos->flags & SWP_NOSIZE) == 0) ClampToWorkArea(window, pos);
      // Held hidden until the user interface has drawn itself and lets the window be shown.
      if ((pos->flags & SWP_SHOWWINDOW) != 0 && !g.canBeShown && !g.visibleAtStartup) {
        pos->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
      }
      break;
    }

    case WM_WINDOWPOSCHANGED: {
      auto* pos = reinterpret_cast<WINDOWPOS*>(lparam);
      if (g.customFrame && (pos->flags & SWP_NOSIZE) == 0) ClampToWorkArea(window, pos);
      break;
    }

    case WM_NCCALCSIZE:
      if (g.customFrame) return CalculateFrame(window, message, wparam, lparam);
      break;

    case WM_NCHITTEST:
      if (g.customFrame) return HitTest(window, lparam);
      break;

    case WM_SYSCOMMAND:
      // The low four bits of the command are the system's own.
      if ((wparam & 0xFFF0) == SC_MINIMIZE) {
        g.minimising = true;
        const LRESULT result = DefSubclassProc(window, message, wparam, lparam);
        g.minimising = false;
        return result;
      }
      break;

    case WM_ENTERSIZEMOVE:
      g.inSizeMove = true;
      if (IsZoomed(window)) g.maximisedAtSizeMoveStart = true;
      break;

    case WM_EXITSIZEMOVE:
      g.inSizeMove = false;
      if (g.dpiChangedDuringSizeMove) ResizeView();
      g.dpiChangedDuringSizeMove = false;
      g.maximisedAtSizeMoveStart = false;
      break;

    case WM_DPICHANGED:
      if (g.inSizeMove) g.dpiChangedDuringSizeMove = true;
      ResizeView();
      break;

    case kFrameMessage:
      HandleFrameMessage(window, wparam, lparam);
      break;

    case WM_NCDESTROY:
      // A destroyed window's handle may be reused by another window: forget it.
      RemovePropW(window, kWindowProperty);
      RemoveWindowSubclass(window, AppWindowProc, kSubclassId);
      if (g.appWindow == window) g.appWindow = nullptr;
      break;

    default:
      break;
  }
  return DefSubclassProc(window, message, wparam, lparam);
}

LRESULT CALLBACK ViewWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                DWORD_PTR) {
  switch (message) {
    case WM_CREATE: {
      const LRESULT result = DefSubclassProc(window, message, wparam, lparam);
      SendMessageW(window, WM_DPICHANGED_AFTERPARENT, 0, 0);
      ResizeView();
      return result;
    }

    case WM_NCHITTEST:
      // The border zones fall through to the application window, which resizes.
      if (g.customFrame && HitTest(window, lparam) != HTCLIENT) return HTTRANSPARENT;
      break;

    case WM_NCDESTROY:
      RemoveWindowSubclass(window, ViewWindowProc, kSubclassId);
      if (g.viewWindow == window) g.viewWindow = nullptr;
      break;

    default:
      break;
  }
  return DefSubclassProc(window, message, wparam, lparam);
}

// Watches window creation on the main thread until both windows are known. Windows created
// without a creation parameter are not the program's and are left alone. Every notification goes
// on to the thread's other hooks.
LRESULT CALLBACK CreationHook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_CREATEWND &&
      reinterpret_cast<const CBT_CREATEWNDW*>(lparam)->lpcs->lpCreateParams != nullptr) {
    const auto window = reinterpret_cast<HWND>(wparam);
    wchar_t name[64] = {};
    GetClassNameW(window, name, static_cast<int>(std::size(name)));
    if (std::wcscmp(name, kAppWindowClass) == 0) {
      g.appWindow = window;
      SetWindowSubclass(window, AppWindowProc, kSubclassId, 0);
    } else if (std::wcscmp(name, kViewWindowClass) == 0) {
      g.viewWindow = window;
      SetWindowSubclass(window, ViewWindowProc, kSubclassId, 0);
    }
  }
  if (g.appWindow != nullptr && g.viewWindow != nullptr && g.creationHook != nullptr) {
    UnhookWindowsHookEx(g.creationHook);
    g.creationHook = nullptr;
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  // The detour through the generic function pointer type keeps the cast well defined.
  const auto generic = reinterpret_cast<void (*)()>(GetProcAddress(module, name));
  return reinterpret_cast<Function>(generic);
}

// The window table.
bool TableStarted() {
  return g.started;
}
HWND TableAppWindow() {
  return g.appWindow;
}
void TableSetWindowCanBeShown(bool canBeShown) {
  g.canBeShown = canBeShown;
}
void TableSetMinSize(int32_t width, int32_t height) {
  g.minWidth = width;
  g.minHeight = height;
}
void TableSetMaxSize(int32_t width, int32_t height) {
  g.maxWidth = width;
  g.maxHeight = height;
}
void TableSetCutOnMaximise(int32_t cut) {
  g.cutOnMaximise = cut;
}
bool TableDpiFunctionsAvailable() {
  return g.dpiFunctionsAvailable;
}

constexpr BitsdojoWindowTable kWindowTable = {
    TableStarted,    TableAppWindow,        TableSetWindowCanBeShown,   TableSetMinSize,
    TableSetMaxSize, TableSetCutOnMaximise, TableDpiFunctionsAvailable,
};
constexpr BitsdojoDragTable kDragTable = {DragAppWindow};
constexpr BitsdojoWindowApi kApi = {&kWindowTable, &kDragTable};

}  // namespace

int Configure(unsigned flags) {
  g.customFrame = (flags & kCustomFrame) != 0;
  g.visibleAtStartup = (flags & kHideOnStartup) == 0;
  return 1;
}

void Start() {
  g.started = true;
  // Kept loaded for the life of the process.
  if (HMODULE user32 = LoadLibraryA("User32.dll")) {
    if (auto dpiQuery = LookUp<DpiQuery>(user32, "GetDpiForWindow")) {
      g.dpiFunctionsAvailable = true;
      g.dpiQuery = dpiQuery;
      if (auto metricQuery = LookUp<MetricQuery>(user32, "GetSystemMetricsForDpi")) {
        g.metricQuery = metricQuery;
      }
    }
  }
  if (g.creationHook == nullptr) {
    g.creationHook = SetWindowsHookExW(WH_CBT, CreationHook, nullptr, GetCurrentThreadId());
  }
}

bool DragAppWindow() {
  if (g.appWindow == nullptr) return false;
  ReleaseCapture();
  SendMessageW(g.appWindow, WM_SYSCOMMAND, SC_MOVE | HTCAPTION, 0);
  return true;
}

namespace testing {

void SetDpiQuery(DpiQuery query) {
  g.dpiQuery = query;
}
void SetMetricQuery(MetricQuery query) {
  g.metricQuery = query;
}

void Reset() {
  if (g.creationHook != nullptr) UnhookWindowsHookEx(g.creationHook);
  if (g.appWindow != nullptr) RemoveWindowSubclass(g.appWindow, AppWindowProc, kSubclassId);
  if (g.viewWindow != nullptr) RemoveWindowSubclass(g.viewWindow, ViewWindowProc, kSubclassId);
  g = FrameState{};
}

bool HookInstalled() {
  return g.creationHook != nullptr;
}
HWND ViewWindow() {
  return g.viewWindow;
}

}  // namespace testing
}  // namespace window_frame

const BitsdojoWindowApi* bitsdojo_window_api() {
  return &window_frame::kApi;
}
