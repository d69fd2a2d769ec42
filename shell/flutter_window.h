#pragma once

#include <windows.h>

#include <memory>

#include "engine_settings.h"
#include "flutter_view_controller.h"
#include "win32_window.h"

// The application's window: hosts the engine's view, registers the plugins, and passes drive
// changes on to the user interface.
class FlutterWindow : public Win32Window {
 public:
  explicit FlutterWindow(const flutter::EngineSettings& settings);
  ~FlutterWindow() override;

 protected:
  bool OnCreate() override;
  void OnDestroy() override;
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  flutter::EngineSettings settings_;
  std::unique_ptr<flutter::FlutterViewController> viewController_;
};
