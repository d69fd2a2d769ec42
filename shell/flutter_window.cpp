#include "flutter_window.h"

#include <windows.h>
#include <dbt.h>

#include <optional>

#include "disk_access_plugin.h"
#include "plugin_registrant.h"

FlutterWindow::FlutterWindow(const flutter::EngineSettings& settings) : settings_(settings) {}

FlutterWindow::~FlutterWindow() {
  viewController_ = nullptr;
}

bool FlutterWindow::OnCreate() {
  if (!Win32Window::OnCreate()) return false;
  const RECT frame = ClientArea();
  // The view is created at the window's size in physical pixels.
  viewController_ = std::make_unique<flutter::FlutterViewController>(
      frame.right - frame.left, frame.bottom - frame.top, settings_);
  if (viewController_->engine() == nullptr || viewController_->view() == nullptr) return false;

  RegisterAppPlugins(viewController_->engine());
  ul_venmark::DiskAccessPlugin::RegisterWithRegistrar(
      viewController_->engine()->GetRegistrarForPlugin("DiskAccessPlugin"));
  AttachChildContent(viewController_->view()->GetNativeWindow());

  // Shown once the engine has drawn a first frame, not before: no blank window.
  viewController_->engine()->SetNextFrameCallback([this] { Show(); });
  viewController_->ForceRedraw();
  return true;
}

void FlutterWindow::OnDestroy() {
  if (viewController_) viewController_ = nullptr;
  Win32Window::OnDestroy();
}

LRESULT FlutterWindow::HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // The engine and the plugins' delegates see every message first.
  if (viewController_) {
    const std::optional<LRESULT> result =
        viewController_->HandleTopLevelWindowProc(window, message, wparam, lparam);
    if (result) return *result;
  }

  switch (message) {
    case WM_FONTCHANGE:
      if (viewController_) viewController_->engine()->ReloadSystemFonts();
      break;
    case WM_DEVICECHANGE:
      OutputDebugStringA("FlutterWindow: WM_DEVICECHANGE received");
      if (wparam == DBT_DEVICEARRIVAL) {
        OutputDebugStringA("FlutterWindow: Device arrived");
        ul_venmark::DiskAccessPlugin::EmitDriveChange("arrival");
      } else if (wparam == DBT_DEVICEREMOVECOMPLETE) {
        OutputDebugStringA("FlutterWindow: Device removed");
        ul_venmark::DiskAccessPlugin::EmitDriveChange("removal");
      } else if (wparam == DBT_DEVNODES_CHANGED) {
        OutputDebugStringA("FlutterWindow: Device nodes changed");
        ul_venmark::DiskAccessPlugin::EmitDriveChange("changed");
      }
      break;
    default:
      break;
  }
  return Win32Window::HandleMessage(window, message, wparam, lparam);
}
