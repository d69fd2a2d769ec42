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
  bool custom_frame = false;
  bool visible_at_startup = true;
  bool started = false;
  bool dpi_functions_available = false;
  DpiQuery dpi_query = FallbackDpi;
  MetricQuery metric_query = FallbackMetric;
  HHOOK creation_hook = nullptr;
  HWND app_window = nullptr;
  HWND view_window = nullptr;
  bool can_be_shown = false;
  bool minimising = false;
  bool in_size_move = false;
  bool maximised_at_size_move_start = false;
  bool dpi_changed_during_size_move = false;
  int32_t cut_on_maximise = 0;
  int32_t min_width = 0, min_height = 0;
  int32_t max_width = 0, max_height = 0;
};

constinit FrameState g;

double Scale(HWND window) {
  return g.dpi_query(window) / 96.0;
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
  const int work_width = static_cast<int>(work.right - work.left);
  const int work_height = static_cast<int>(work.bottom - work.top);
  if (pos->x < work.left && pos->y < work.top && pos->cx > work_width && pos->cy > work_height) {
    pos->x = static_cast<int>(work.left);
    pos->y = static_cast<int>(work.top);
    pos->cx = work_width;
    pos->cy = work_height;
  }
  if (g.maximised_at_size_move_start && pos->y < work.top) pos->y = static_cast<int>(work.top);
}

bool OverhangsOnAllSides(const RECT& rect, const RECT& work) {
  return rect.left < work.left && rect.top < work.top && rect.right > work.right &&
         rect.bottom > work.bottom;
}

// Resizes the view to the application window's client area, one pixel larger first: the engine
// lays out and redraws only when the size really changes.
void ResizeView() {
  if (g.view_window == nullptr || g.app_window == nullptr) return;
  RECT client{};
  if (!GetClientRect(g.app_window, &client)) return;
  const int width = static_cast<int>(client.right - client.left);
  const int height = static_cast<int>(client.bottom - client.top);
  SetWindowPos(g.view_window, nullptr, 0, 0, width + 1, height + 1, SWP_NOMOVE | SWP_NOZORDER);
  SetWindowPos(g.view_window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
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
    const int cut = static_cast<int>(std::ceil(g.cut_on_maximise * scale));
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
  if (g.app_window != nullptr && IsZoomed(g.app_window)) return HTCLIENT;
  POINT point{SignedWord(lparam, 0), SignedWord(lparam, 16)};
  ScreenToClient(window, &point);
  RECT client{};
  GetClientRect(window, &client);
  const LONG width = client.right;
  const LONG height = client.bottom;
  const UINT dpi = g.dpi_query(window);
  int border = g.metric_query(SM_CXPADDEDBORDER, dpi);
  if (!IsZoomed(window)) border += g.metric_query(SM_CXFRAME, dpi);

  const bool left = point.x < border;
  const bool right = point.x > width - border;
  if (point.y < border) return left ? HTTOPLEFT : right ? HTTOPRIGHT : HTTOP;
  if (point.y <= height - border) return left ? HTLEFT : right ? HTRIGHT : HTCLIENT;
  return left ? HTBOTTOMLEFT : right ? HTBOTTOMRIGHT : HTBOTTOM;
}

// Records of the private message come from another party: only live blocks of the process heap
// that are large enough are used, and only they are freed.
bool IsHeapBlock(const void* block, SIZE_T min_size) {
  if (block == nullptr) return false;
  const HANDLE heap = GetProcessHeap();
  if (!HeapValidate(heap, 0, block)) return false;
  const SIZE_T size = HeapSize(heap, 0, block);
  return size != static_cast<SIZE_T>(-1) && size >= min_size;
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
      g.app_window = window;
      SetWindowLongPtrW(window, GWL_STYLE, GetWindowLongPtrW(window, GWL_STYLE) | WS_CLIPCHILDREN);
      SetPropW(window, kWindowProperty, reinterpret_cast<HANDLE>(static_cast<intptr_t>(1)));
      break;

    case WM_CREATE: {
      const LRESULT result = DefSubclassProc(window, message, wparam, lparam);
      if (g.custom_frame) {
        const MARGINS margins{0, 0, 1, 0};
        DwmExtendFrameIntoClientArea(window, &margins);
        SetWindowPos(window, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_FRAMECHANGED);
      }
      CentreOnCursorMonitor(window, reinterpret_cast<const CREATESTRUCTW*>(lparam));
      if (g.visible_at_startup) {
        g.can_be_shown = true;
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
      if (g.min_width != 0 && g.min_height != 0) {
        info->ptMinTrackSize.x = static_cast<LONG>(g.min_width * scale);
        info->ptMinTrackSize.y = static_cast<LONG>(g.min_height * scale);
      }
      if (g.max_width != 0 && g.max_height != 0) {
        info->ptMaxTrackSize.x = static_cast<LONG>(g.max_width * scale);
        info->ptMaxTrackSize.y = static_cast<LONG>(g.max_height * scale);
      }
      return 0;
    }

    case WM_WINDOWPOSCHANGING: {
      auto* pos = reinterpret_cast<WINDOWPOS*>(lparam);
      if (g.custom_frame && (pos->flags & SWP_NOSIZE) == 0) ClampToWorkArea(window, pos);
      // Held hidden until the user interface has drawn itself and lets the window be shown.
      if ((pos->flags & SWP_SHOWWINDOW) != 0 && !g.can_be_shown && !g.visible_at_startup) {
        pos->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
      }
      break;
    }

    case WM_WINDOWPOSCHANGED: {
      auto* pos = reinterpret_cast<WINDOWPOS*>(lparam);
      if (g.custom_frame && (pos->flags & SWP_NOSIZE) == 0) ClampToWorkArea(window, pos);
      break;
    }

    case WM_NCCALCSIZE:
      if (g.custom_frame) return CalculateFrame(window, message, wparam, lparam);
      break;

    case WM_NCHITTEST:
      if (g.custom_frame) return HitTest(window, lparam);
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
      g.in_size_move = true;
      if (IsZoomed(window)) g.maximised_at_size_move_start = true;
      break;

    case WM_EXITSIZEMOVE:
      g.in_size_move = false;
      if (g.dpi_changed_during_size_move) ResizeView();
      g.dpi_changed_during_size_move = false;
      g.maximised_at_size_move_start = false;
      break;

    case WM_DPICHANGED:
      if (g.in_size_move) g.dpi_changed_during_size_move = true;
      ResizeView();
      break;

    case kFrameMessage:
      HandleFrameMessage(window, wparam, lparam);
      break;

    case WM_NCDESTROY:
      // A destroyed window's handle may be reused by another window: forget it.
      RemovePropW(window, kWindowProperty);
      RemoveWindowSubclass(window, AppWindowProc, kSubclassId);
      if (g.app_window == window) g.app_window = nullptr;
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
      if (g.custom_frame && HitTest(window, lparam) != HTCLIENT) return HTTRANSPARENT;
      break;

    case WM_NCDESTROY:
      RemoveWindowSubclass(window, ViewWindowProc, kSubclassId);
      if (g.view_window == window) g.view_window = nullptr;
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
      g.app_window = window;
      SetWindowSubclass(window, AppWindowProc, kSubclassId, 0);
    } else if (std::wcscmp(name, kViewWindowClass) == 0) {
      g.view_window = window;
      SetWindowSubclass(window, ViewWindowProc, kSubclassId, 0);
    }
  }
  if (g.app_window != nullptr && g.view_window != nullptr && g.creation_hook != nullptr) {
    UnhookWindowsHookEx(g.creation_hook);
    g.creation_hook = nullptr;
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
  return g.app_window;
}
void TableSetWindowCanBeShown(bool can_be_shown) {
  g.can_be_shown = can_be_shown;
}
void TableSetMinSize(int32_t width, int32_t height) {
  g.min_width = width;
  g.min_height = height;
}
void TableSetMaxSize(int32_t width, int32_t height) {
  g.max_width = width;
  g.max_height = height;
}
void TableSetCutOnMaximise(int32_t cut) {
  g.cut_on_maximise = cut;
}
bool TableDpiFunctionsAvailable() {
  return g.dpi_functions_available;
}

constexpr BitsdojoWindowTable kWindowTable = {
    TableStarted,    TableAppWindow,        TableSetWindowCanBeShown,   TableSetMinSize,
    TableSetMaxSize, TableSetCutOnMaximise, TableDpiFunctionsAvailable,
};
constexpr BitsdojoDragTable kDragTable = {DragAppWindow};
constexpr BitsdojoWindowApi kApi = {&kWindowTable, &kDragTable};

}  // namespace

int Configure(unsigned flags) {
  g.custom_frame = (flags & kCustomFrame) != 0;
  g.visible_at_startup = (flags & kHideOnStartup) == 0;
  return 1;
}

void Start() {
  g.started = true;
  // Kept loaded for the life of the process.
  if (HMODULE user32 = LoadLibraryA("User32.dll")) {
    if (auto dpi_query = LookUp<DpiQuery>(user32, "GetDpiForWindow")) {
      g.dpi_functions_available = true;
      g.dpi_query = dpi_query;
      if (auto metric_query = LookUp<MetricQuery>(user32, "GetSystemMetricsForDpi")) {
        g.metric_query = metric_query;
      }
    }
  }
  if (g.creation_hook == nullptr) {
    g.creation_hook = SetWindowsHookExW(WH_CBT, CreationHook, nullptr, GetCurrentThreadId());
  }
}

bool DragAppWindow() {
  if (g.app_window == nullptr) return false;
  ReleaseCapture();
  SendMessageW(g.app_window, WM_SYSCOMMAND, SC_MOVE | HTCAPTION, 0);
  return true;
}

namespace testing {

void SetDpiQuery(DpiQuery query) {
  g.dpi_query = query;
}
void SetMetricQuery(MetricQuery query) {
  g.metric_query = query;
}

void Reset() {
  if (g.creation_hook != nullptr) UnhookWindowsHookEx(g.creation_hook);
  if (g.app_window != nullptr) RemoveWindowSubclass(g.app_window, AppWindowProc, kSubclassId);
  if (g.view_window != nullptr) RemoveWindowSubclass(g.view_window, ViewWindowProc, kSubclassId);
  g = FrameState{};
}

bool HookInstalled() {
  return g.creation_hook != nullptr;
}
HWND ViewWindow() {
  return g.view_window;
}

}  // namespace testing
}  // namespace window_frame

const BitsdojoWindowApi* bitsdojo_window_api() {
  return &window_frame::kApi;
}
