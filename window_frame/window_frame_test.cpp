// The frame on real windows of the test's thread; the "bitsdojo/window" channel through the
// stand-in runtime.

#include "window_frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "bitsdojo_window_plugin.h"
#include "fake_ui.h"
#include "standard_codec.h"
#include "window_frame_testing.h"

namespace {

namespace frame = window_frame;
namespace seams = window_frame::testing;
using Edges = std::vector<long>;

const BitsdojoWindowTable& Table() {
  return *bitsdojo_window_api()->window_table;
}

// Made-up metrics, so that both of them and the DPI visibly count: border 10 at 96, 15 at 144.
UINT gDpi = 96;
UINT WINAPI TestDpi(HWND) {
  return gDpi;
}
int WINAPI TestMetric(int index, UINT dpi) {
  return static_cast<int>(index == SM_CXPADDEDBORDER ? dpi / 24
                          : index == SM_CXFRAME      ? dpi / 16
                                                     : 0);
}

int gAppSizes = 0;  // WM_SIZE reaching the application window's own procedure
Edges gViewSizes;   // widths and heights the view was given, in order
int gOwner;         // the program's windows carry their owner as creation parameter

LRESULT CALLBACK AppClassProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_SIZE) ++gAppSizes;
  return DefWindowProcW(window, message, wparam, lparam);
}
LRESULT CALLBACK ViewClassProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_SIZE) {
    gViewSizes.insert(gViewSizes.end(),
                      {static_cast<long>(lparam & 0xFFFF), static_cast<long>(lparam >> 16)});
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}
Edges Rect(HWND window, bool client = false) {
  RECT r{};
  client ? GetClientRect(window, &r) : GetWindowRect(window, &r);
  return {r.left, r.top, r.right, r.bottom};
}
// Asks for the hit test as the system does: screen coordinates, 16 bits each.
LRESULT HitAt(HWND window, int clientX, int clientY) {
  POINT point{clientX, clientY};
  ClientToScreen(window, &point);
  const uint32_t x = static_cast<uint16_t>(point.x), y = static_cast<uint16_t>(point.y);
  return SendMessageW(window, WM_NCHITTEST, 0, static_cast<LPARAM>(x | (y << 16)));
}

class WindowFrameTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASSW app{};
    app.lpfnWndProc = AppClassProc;
    app.hInstance = GetModuleHandleW(nullptr);
    app.lpszClassName = frame::kAppWindowClass;
    RegisterClassW(&app);
    WNDCLASSW view = app;
    view.lpfnWndProc = ViewClassProc;
    view.lpszClassName = frame::kViewWindowClass;
    RegisterClassW(&view);
  }
  void SetUp() override { seams::Reset(); }
  void TearDown() override {
    for (HWND window : windows_) DestroyWindow(window);
    Pump();
    seams::Reset();
  }
  void UseTestDpi(UINT dpi) {
    gDpi = dpi;
    seams::SetDpiQuery(TestDpi);
    seams::SetMetricQuery(TestMetric);
  }
  HWND CreateApp(void* parameter = &gOwner) {
    windows_.push_back(CreateWindowExW(0, frame::kAppWindowClass, L"Frame", WS_OVERLAPPEDWINDOW, 10,
                                       10, 400, 300, nullptr, nullptr, GetModuleHandleW(nullptr),
                                       parameter));
    return windows_.back();
  }
  HWND CreateView(HWND parent) {
    return CreateWindowExW(0, frame::kViewWindowClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10,
                           parent, nullptr, GetModuleHandleW(nullptr), &gOwner);
  }
  // Starts the frame as the program does and creates both windows.
  void Open(unsigned flags) {
    frame::Configure(flags);
    frame::Start();
    app_ = CreateApp();
    view_ = CreateView(app_);
  }

  std::vector<HWND> windows_;
  HWND app_ = nullptr, view_ = nullptr;
};

TEST_F(WindowFrameTest, HookTakesOverOnlyTheProgramsWindowsAndForgetsDestroyedOnes) {
  EXPECT_FALSE(Table().started());
  frame::Configure(frame::kCustomFrame);
  frame::Start();
  EXPECT_TRUE(Table().started() && Table().dpi_functions_available());

  CreateApp(nullptr);
  EXPECT_EQ(Table().app_window(), nullptr);
  HWND app = CreateApp();
  EXPECT_EQ(Table().app_window(), app);
  EXPECT_NE(GetWindowLongPtrW(app, GWL_STYLE) & WS_CLIPCHILDREN, 0);
  EXPECT_NE(GetPropW(app, L"BitsDojoWindow"), nullptr);
  EXPECT_TRUE(seams::HookInstalled());
  HWND view = CreateView(app);
  EXPECT_EQ(seams::ViewWindow(), view);
  EXPECT_FALSE(seams::HookInstalled());
  EXPECT_EQ(Rect(view, true), Rect(app, true));

  // A destroyed window's handle may come back for another window: it must not be used.
  DestroyWindow(app);
  EXPECT_EQ(Table().app_window(), nullptr);
  EXPECT_EQ(seams::ViewWindow(), nullptr);
  EXPECT_FALSE(frame::DragAppWindow());
}

TEST_F(WindowFrameTest, HitTestZonesFollowTheDpiAlsoLeftOfAndAboveThePrimaryMonitor) {
  Open(frame::kCustomFrame);
  const int w = static_cast<int>(Rect(app_, true)[2]), h = static_cast<int>(Rect(app_, true)[3]);
  for (const auto& [dpi, b, at] : {std::tuple{96u, 10, 100}, {144u, 15, 100}, {96u, 10, -600}}) {
    SCOPED_TRACE(testing::Message() << dpi << " DPI at " << at);
    UseTestDpi(dpi);
    SetWindowPos(app_, nullptr, at, at, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    const std::vector<std::tuple<int, int, LRESULT>> zones = {{1, 1, HTTOPLEFT},
                                                              {w / 2, 1, HTTOP},
                                                              {w - 1, 1, HTTOPRIGHT},
                                                              {b - 1, h / 2, HTLEFT},
                                                              {b, h / 2, HTCLIENT},
                                                              {w - b, h / 2, HTCLIENT},
                                                              {w - b + 1, h / 2, HTRIGHT},
                                                              {1, h - 1, HTBOTTOMLEFT},
                                                              {w / 2, h - b + 1, HTBOTTOM},
                                                              {w - 1, h - 1, HTBOTTOMRIGHT}};
    for (const auto& [x, y, zone] : zones) EXPECT_EQ(HitAt(app_, x, y), zone) << x << "," << y;
    EXPECT_EQ(HitAt(view_, 1, h / 2), HTTRANSPARENT);  // on to the application window
    EXPECT_EQ(HitAt(view_, w / 2, h / 2), HTCLIENT);
  }
  ShowWindow(app_, SW_MAXIMIZE);
  ASSERT_TRUE(IsZoomed(app_));
  EXPECT_EQ(HitAt(app_, 1, 1), HTCLIENT);
  EXPECT_EQ(HitAt(view_, 1, 1), HTCLIENT);
}

TEST_F(WindowFrameTest, MinMaxTrackingSizesAreScaledLogicalPixels) {
  Open(frame::kCustomFrame);
  UseTestDpi(144);
  Table().set_min_size(800, 600);
  Table().set_max_size(1000, 0);  // a zero: no maximum
  MINMAXINFO info{};
  info.ptMaxTrackSize = {7, 7};
  SendMessageW(app_, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
  EXPECT_EQ(Edges({info.ptMinTrackSize.x, info.ptMinTrackSize.y, info.ptMaxTrackSize.x}),
            Edges({1200, 900, 7}));
  Table().set_max_size(1000, 700);
  SendMessageW(app_, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
  EXPECT_EQ(Edges({info.ptMaxTrackSize.x, info.ptMaxTrackSize.y}), Edges({1500, 1050}));
}

TEST_F(WindowFrameTest, HiddenAtStartupCentredOnTheCursorMonitorAndMinimisingKeepsTheViewSize) {
  SetCursorPos(200, 150);
  Open(frame::kCustomFrame | frame::kHideOnStartup);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  GetMonitorInfoW(MonitorFromPoint(POINT{200, 150}, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT& work = monitor.rcWork;
  const long left = work.left + (work.right - work.left - 400) / 2;
  const long top = work.top + (work.bottom - work.top - 300) / 2;
  EXPECT_EQ(Rect(app_), Edges({left, top, left + 400, top + 300}));

  const int sizes = gAppSizes;  // minimising leaves the view its size
  SendMessageW(app_, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_TRUE(IsIconic(app_));
  EXPECT_EQ(gAppSizes, sizes);
}

TEST_F(WindowFrameTest, WholeWindowIsClientAreaAndTheViewFollowsOnePixelLargerThenExact) {
  Open(frame::kCustomFrame);
  EXPECT_EQ(Rect(app_, true), Edges({0, 0, 400, 301}));  // reaching one pixel above the window
  RECT rect{100, 100, 500, 400};
  EXPECT_EQ(SendMessageW(app_, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&rect)), 0);
  EXPECT_EQ(rect.top, 100);

  // Each resize ends with the view one pixel larger, then exact; a DPI change inside it too.
  const long w = Rect(app_, true)[2], h = Rect(app_, true)[3];
  RECT suggested{};
  gViewSizes.clear();
  SendMessageW(app_, WM_ENTERSIZEMOVE, 0, 0);
  SendMessageW(app_, WM_DPICHANGED, 0x00780078, reinterpret_cast<LPARAM>(&suggested));
  SendMessageW(app_, WM_EXITSIZEMOVE, 0, 0);
  SendMessageW(app_, WM_ENTERSIZEMOVE, 0, 0);
  SendMessageW(app_, WM_EXITSIZEMOVE, 0, 0);  // without a DPI change
  EXPECT_EQ(gViewSizes, (Edges{w + 1, h + 1, w, h, w + 1, h + 1, w, h}));
}

TEST_F(WindowFrameTest, PrivateMessageUsesProcessHeapRecordsOnly) {
  Open(frame::kCustomFrame);
  const HANDLE heap = GetProcessHeap();
  auto* place = static_cast<frame::SetWindowPosRecord*>(HeapAlloc(heap, 0, 20));
  *place = {50, 60, 420, 310, SWP_NOZORDER | SWP_NOACTIVATE};
  PostMessageW(app_, frame::kFrameMessage, 1, reinterpret_cast<LPARAM>(place));
  const std::wstring title = L"Quarvelin \u00fcn\u00ef";
  const size_t bytes = (title.size() + 1) * sizeof(wchar_t);
  auto* titled = static_cast<frame::SetWindowTextRecord*>(HeapAlloc(heap, 0, 8));
  titled->text = static_cast<wchar_t*>(HeapAlloc(heap, 0, bytes));
  std::memcpy(titled->text, title.c_str(), bytes);
  PostMessageW(app_, frame::kFrameMessage, 2, reinterpret_cast<LPARAM>(titled));
  Pump();
  EXPECT_EQ(Rect(app_), Edges({50, 60, 470, 370}));
  wchar_t read[64] = {};
  GetWindowTextW(app_, read, 64);
  EXPECT_EQ(std::wstring(read), title);

  SetWindowPos(view_, nullptr, 0, 0, 5, 5, SWP_NOMOVE | SWP_NOZORDER);
  SendMessageW(app_, frame::kFrameMessage, 3, 0);
  EXPECT_EQ(Rect(view_, true), Rect(app_, true));

  frame::SetWindowPosRecord forged{0, 0, 100, 100, SWP_NOZORDER};
  SendMessageW(app_, frame::kFrameMessage, 1, 0);
  SendMessageW(app_, frame::kFrameMessage, 2, 0);
  SendMessageW(app_, frame::kFrameMessage, 1, reinterpret_cast<LPARAM>(&forged));
  EXPECT_EQ(Rect(app_), Edges({50, 60, 470, 370}));
}

using BitsdojoWindowPluginTest = WindowFrameTest;

TEST_F(BitsdojoWindowPluginTest, DragFailsWithoutTheAppWindow) {
  FakeRuntimeReset();
  FlutterDesktopEngineProperties properties{};
  properties.dart_entrypoint = "";
  FlutterDesktopEngineRef engine = FlutterDesktopEngineCreate(&properties);
  BitsdojoWindowPluginRegisterWithRegistrar(nullptr);  // an engine that is not running
  BitsdojoWindowPluginRegisterWithRegistrar(
      FlutterDesktopEngineGetPluginRegistrar(engine, "BitsdojoWindowPlugin"));
  const flutter::StandardMethodCodec& codec = flutter::StandardMethodCodec::GetInstance();
  const auto call = [&](const std::string& method) {
    return quarvelin::testing::ResponseTo(quarvelin::testing::Deliver(
        engine, "bitsdojo/window",
        *codec.EncodeMethodCall(flutter::MethodCall<flutter::EncodableValue>(method, nullptr))));
  };
  EXPECT_EQ(call("dragAppWindow"), *codec.EncodeErrorEnvelope("ERROR_DRAG_APP_WINDOW_FAILED",
                                                              "Could not drag app window"));
  EXPECT_EQ(call("DragAppWindow"), quarvelin::testing::Bytes{});
  FlutterDesktopEngineDestroy(engine);
}

}  // namespace
