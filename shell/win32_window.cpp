#include "win32_window.h"

#include <dwmapi.h>

#include <exception>

#include "flutter_desktop.h"

namespace {

constexpr const wchar_t kWindowClassName[] = L"FLUTTER_RUNNER_WIN32_WINDOW";
constexpr int kAppIconResource = 101;
// The title bar follows the user's app theme on Windows 10 20H1 and later.
constexpr DWORD kUseImmersiveDarkMode = 20;

// Windows objects alive; the class is unregistered when the last one goes.
int liveWindows = 0;

// Registers the window class once, on first use.
class WindowClassRegistry {
 public:
  static WindowClassRegistry& GetInstance() {
    static WindowClassRegistry* const instance = new WindowClassRegistry();
    return *instance;
  }

  const wchar_t* GetWindowClass(WNDPROC windowProc) {
    if (!registered_) {
      WNDCLASSW windowClass{};
      windowClass.style = CS_HREDRAW | CS_VREDRAW;
      windowClass.lpfnWndProc = windowProc;
      windowClass.hInstance = GetModuleHandleW(nullptr);
      windowClass.hIcon = LoadIconW(windowClass.hInstance, MAKEINTRESOURCEW(kAppIconResource));
      windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
      windowClass.lpszClassName = kWindowClassName;
      RegisterClassW(&windowClass);
      registered_ = true;
    }
    return kWindowClassName;
  }

  void UnregisterWindowClass() {
    UnregisterClassW(kWindowClassName, nullptr);
    registered_ = false;
  }

 private:
  WindowClassRegistry() = default;
  bool registered_ = false;
};

// Lets the system scale the non-client area with the DPI where it can (Windows 10 1607 and later).
void EnableFullDpiSupportIfAvailable(HWND window) {
  HMODULE user32 = LoadLibraryA("User32.dll");
  if (user32 == nullptr) return;
  using EnableNonClientDpiScaling = BOOL(WINAPI*)(HWND);
  auto* enable = reinterpret_cast<EnableNonClientDpiScaling>(
      reinterpret_cast<void*>(GetProcAddress(user32, "EnableNonClientDpiScaling")));
  if (enable != nullptr) enable(window);
  FreeLibrary(user32);
}

int Scale(unsigned int value, double scale) {
  return static_cast<int>(value * scale);
}

}  // namespace

Win32Window::Win32Window() {
  ++liveWindows;
}

Win32Window::~Win32Window() {
  --liveWindows;
  Destroy();
}

bool Win32Window::Create(const std::wstring& title, const Point& origin, const Size& size) {
  Destroy();
  const wchar_t* windowClass = WindowClassRegistry::GetInstance().GetWindowClass(WndProc);

  const POINT target{static_cast<LONG>(origin.x), static_cast<LONG>(origin.y)};
  HMONITOR monitor = MonitorFromPoint(target, MONITOR_DEFAULTTONEAREST);
  const double scale = FlutterDesktopGetDpiForMonitor(monitor) / 96.0;

  HWND window =
      CreateWindowExW(0, windowClass, title.c_str(), WS_OVERLAPPEDWINDOW, Scale(origin.x, scale),
                      Scale(origin.y, scale), Scale(size.width, scale), Scale(size.height, scale),
                      nullptr, nullptr, GetModuleHandleW(nullptr), this);
  if (window == nullptr) return false;
  ApplySystemTheme(window);
  return OnCreate();
}

bool Win32Window::Show() {
  return ShowWindow(windowHandle_, SW_SHOWNORMAL) != 0;
}

LRESULT CALLBACK Win32Window::WndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    EnableFullDpiSupportIfAvailable(window);
    static_cast<Win32Window*>(create->lpCreateParams)->windowHandle_ = window;
  } else if (auto* self =
                 reinterpret_cast<Win32Window*>(GetWindowLongPtrW(window, GWLP_USERDATA))) {
    // The system calls this; nothing may unwind into it.
    try {
      return self->HandleMessage(window, message, wparam, lparam);
    } catch (const std::exception& e) {
      OutputDebugStringA(e.what());
    } catch (...) {
      OutputDebugStringA("Uncaught exception in the window procedure");
    }
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT Win32Window::HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      windowHandle_ = nullptr;
      Destroy();
      if (quitWhenClosed_) PostQuitMessage(0);
      return 0;
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_SIZE: {
      if (childContent_ != nullptr) {
        const RECT area = ClientArea();
        MoveWindow(childContent_, area.left, area.top, area.right - area.left,
                   area.bottom - area.top, TRUE);
      }
      return 0;
    }
    case WM_ACTIVATE:
      if (childContent_ != nullptr) SetFocus(childContent_);
      return 0;
    case WM_DWMCOLORIZATIONCOLORCHANGED:
      ApplySystemTheme(windowHandle_);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(windowHandle_, message, wparam, lparam);
}

void Win32Window::Destroy() {
  OnDestroy();
  if (windowHandle_ != nullptr) {
    DestroyWindow(windowHandle_);
    windowHandle_ = nullptr;
  }
  if (liveWindows == 0) WindowClassRegistry::GetInstance().UnregisterWindowClass();
}

void Win32Window::AttachChildContent(HWND content) {
  childContent_ = content;
  SetParent(content, windowHandle_);
  const RECT area = ClientArea();
  MoveWindow(content, area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
  SetFocus(content);
}

RECT Win32Window::ClientArea() {
  RECT area{};
  GetClientRect(windowHandle_, &area);
  return area;
}

bool Win32Window::OnCreate() {
  return true;
}

void Win32Window::OnDestroy() {}

bool Win32Window::ReadDarkTheme(bool* dark) {
  DWORD light = 0;
  DWORD size = sizeof(light);
  const LSTATUS status = RegGetValueW(
      HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
      L"AppsUseLightTheme", RRF_RT_REG_DWORD, nullptr, &light, &size);
  if (status != ERROR_SUCCESS) return false;
  *dark = light == 0;
  return true;
}

void Win32Window::ApplySystemTheme(HWND window) {
  bool dark = false;
  if (!ReadDarkTheme(&dark)) return;
  const BOOL useDark = dark ? TRUE : FALSE;
  DwmSetWindowAttribute(window, kUseImmersiveDarkMode, &useDark, sizeof(useDark));
}
