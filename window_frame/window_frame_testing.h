#pragma once

// Seams for the frame's tests. Nothing in the product calls these.

#include <windows.h>

namespace window_frame::testing {

using DpiQuery = UINT(WINAPI*)(HWND window);
using MetricQuery = int(WINAPI*)(int index, UINT dpi);

// Replace the DPI and metric queries Start() chose.
void SetDpiQuery(DpiQuery query);
void SetMetricQuery(MetricQuery query);

// Removes the creation hook if it is installed and puts all process-wide state back to how it
// is before Configure(). Destroy the windows of a test before calling it.
void Reset();

bool HookInstalled();
HWND ViewWindow();

}  // namespace window_frame::testing
