#pragma once

#include <windows.h>

#include <string>

// The application's top-level window: one window class for the process, DPI-scaled creation,
// the user's light or dark title bar, and one child kept filling the client area.
class Win32Window {
 public:
  struct Point {
    unsigned int x;
    unsigned int y;
    Point(unsigned int px, unsigned int py) : x(px), y(py) {}
  };
  struct Size {
    unsigned int width;
    unsigned int height;
    Size(unsigned int w, unsigned int h) : width(w), height(h) {}
  };

  Win32Window();
  virtual ~Win32Window();
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Creates the native window, hidden, at `origin` with `size` in logical pixels (scaled by the
  // DPI of the monitor nearest the origin). A second call replaces the first window.
  bool Create(const std::wstring& title, const Point& origin, const Size& size);
  // True when the window was visible before.
  bool Show();
  void Destroy();
  // Makes `content` the child that fills the client area and has the focus.
  void AttachChildContent(HWND content);
  RECT ClientArea();
  HWND GetHandle() const { return windowHandle_; }
  // Post the quit message when the native window is destroyed.
  void SetQuitWhenClosed(bool quit_when_closed) { quitWhenClosed_ = quit_when_closed; }

  // Whether the user's app theme is dark; nothing when the setting cannot be read.
  static bool ReadDarkTheme(bool* dark);

 protected:
  virtual LRESULT HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  // Called once the native window exists; false makes Create fail.
  virtual bool OnCreate();
  // Called when the native window goes away.
  virtual void OnDestroy();

 private:
  static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static void ApplySystemTheme(HWND window);

  bool quitWhenClosed_ = false;
  HWND windowHandle_ = nullptr;
  HWND childContent_ = nullptr;
};
