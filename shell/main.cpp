#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "engine_settings.h"
#include "flutter_window.h"
#include "utils.h"
#include "window_frame.h"

namespace {

// The frame takes over before any window exists: frameless, hidden until the user interface lets
// it be shown, watching window creation on this thread.
const auto* const frameApi = [] {
  window_frame::Configure(window_frame::kCustomFrame | window_frame::kHideOnStartup);
  window_frame::Start();
  return bitsdojo_window_api();
}();

}  // namespace

int APIENTRY wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
  // Output reaches a console when started from one, or a new one under a debugger.
  if (!AttachConsole(ATTACH_PARENT_PROCESS) && IsDebuggerPresent()) OpenDebugConsole();
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  // The engine's files lie in "data" beside the executable; the runtime resolves the paths.
  const std::wstring base = L"data";
  flutter::EngineSettings settings;
  settings.assets_path = base + L"\\flutter_assets";
  settings.icu_data_path = base + L"\\icudtl.dat";
  settings.aot_library_path = base + L"\\app.so";
  settings.entrypoint_arguments = CollectCommandLineArguments();

  auto window = std::make_unique<FlutterWindow>(settings);
  if (!window->Create(L"Quarvelin", Win32Window::Point(10, 10), Win32Window::Size(1280, 720))) {
    return EXIT_FAILURE;
  }
  window->SetQuitWhenClosed(true);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  CoUninitialize();
  window.reset();
  return EXIT_SUCCESS;
}
