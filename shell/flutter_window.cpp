#include "flutter_window.h"

#include <windows.h>
#include <dbt.h>

#include <optional>

#include "disk_access_plugin.h"
#include "plugin_registrant.h"

FlutterWindow::FlutterWindow(const flutter::EngineSettings& settings) : settings_(settings) {}

FlutterWindow::~FlutterWindow() {
  view_controller_ = nullptr;
}

bool FlutterWindow::OnCreate() {
  if (!Win32Window::OnCreate()) return false;
  const RECT frame = ClientArea();
  // The view is created at the window's size in physical pixels.
  view_controller_ = std::make_unique<flutter::FlutterViewController>(
      frame.right - frame.left, frame.bottom - frame.top, settings_);
  if (view_controller_->engine() == nullptr || view_controller_->view() == nullptr) return false;

  RegisterAppPlugins(view_controller_->engine());
  ul_venmark::DiskAccessPlugin::RegisterWithRegistrar(
      view_controller_->engine()->GetRegistrarForPlugin("DiskAccessPlugin"));
  AttachChildContent(view_controller_->view()->GetNativeWindow());

  // Shown once the engine has drawn a first frame, not before: no blank window.
  view_controller_->engine()->SetNextFrameCallback([this] { Show(); });
  view_controller_->ForceRedraw();
  return true;
}

void FlutterWindow::OnDestroy() {
  if (view_controller_) view_controller_ = nullptr;
  Win32Window::OnDestroy();
}

LRESULT FlutterWindow::HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // The engine and the plugins' delegates see every message first.
  if (view_controller_) {
    const std::optional<LRESULT> result =
        view_controller_->HandleTopLevelWindowProc(window, message, wparam, lparam);
    if (result) return *result;
  }

  switch (message) {
    case WM_FONTCHANGE:
      if (view_controller_) view_controller_->engine()->ReloadSystemFonts();
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
