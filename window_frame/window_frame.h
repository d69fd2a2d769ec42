#pragma once

// The custom window frame: the application window loses the system frame but keeps native
// resizing, maximising and snapping; it is centred at creation, kept hidden until the user
// interface lets it be shown, and its engine view is kept sized to it. The user interface reaches
// it through the function tables of bitsdojo_window_api() and the private message
// kFrameMessage. Everything here runs on the main thread.

#include <windows.h>

#include <cstdint>

extern "C" {

// The window table. The slot order is fixed: the user interface calls through it by position.
struct BitsdojoWindowTable {
  bool (*started)();
  HWND (*app_window)();  // null before the application window is created
  void (*set_window_can_be_shown)(bool can_be_shown);
  void (*set_min_size)(int32_t width, int32_t height);  // logical pixels, 0 = none
  void (*set_max_size)(int32_t width, int32_t height);
  void (*set_cut_on_maximise)(int32_t cut);  // logical pixels
  bool (*dpi_functions_available)();
};

// The drag table.
struct BitsdojoDragTable {
  bool (*drag_app_window)();
};

struct BitsdojoWindowApi {
  const BitsdojoWindowTable* window_table;
  const BitsdojoDragTable* drag_table;
};

// The process-wide record of the two tables; looked up by name in the executable.
__declspec(dllexport) const BitsdojoWindowApi* bitsdojo_window_api();

}  // extern "C"

namespace window_frame {

// Configuration flags.
constexpr unsigned kCustomFrame = 1, kHideOnStartup = 2;

// The class names of the two windows the frame takes over.
constexpr wchar_t kAppWindowClass[] = L"FLUTTER_RUNNER_WIN32_WINDOW";
constexpr wchar_t kViewWindowClass[] = L"FLUTTERVIEW";

// Posted to the application window by the user interface. wparam 1: lparam is a SetWindowPos
// record; 2: lparam is a SetWindowTextW record; 3: resize the view. Records come from the process
// heap and are freed here.
constexpr UINT kFrameMessage = 0x7FFE;

struct SetWindowPosRecord {
  int32_t x, y, width, height;
  int32_t flags;  // SetWindowPos flags
};

struct SetWindowTextRecord {
  wchar_t* text;  // zero-terminated, from the process heap
};

static_assert(sizeof(SetWindowPosRecord) == 20 && sizeof(SetWindowTextRecord) == 8,
              "the records' layout is shared with the user interface");

// Sets the frame's behaviour from the flags; returns 1. Meant to run once, before Start().
int Configure(unsigned flags);

// Marks the frame started, looks up the DPI functions and installs the window-creation hook on
// the calling thread.
void Start();

// Starts a native move of the application window that follows the mouse until the button is
// released; false when there is no application window.
bool DragAppWindow();

}  // namespace window_frame
