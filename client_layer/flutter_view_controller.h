#pragma once

#include <memory>
#include <optional>

#include "engine_settings.h"
#include "flutter_desktop.h"
#include "flutter_engine.h"
#include "flutter_view.h"

namespace flutter {

// An engine together with its view. The runtime's controller owns the engine: destroying this
// controller ends both.
class FlutterViewController {
 public:
  // Width and height in physical pixels. On failure there is no view (with a diagnostic).
  FlutterViewController(int width, int height, const EngineSettings& settings);
  virtual ~FlutterViewController();
  FlutterViewController(const FlutterViewController&) = delete;
  FlutterViewController& operator=(const FlutterViewController&) = delete;

  FlutterEngine* engine() const { return engine_.get(); }
  // Null when creation failed.
  FlutterView* view() const { return view_.get(); }

  void ForceRedraw();
  // Offers a top-level window message to the runtime and the plugins' delegates; a value means
  // it was consumed.
  std::optional<LRESULT> HandleTopLevelWindowProc(HWND window, UINT message, WPARAM wparam,
                                                  LPARAM lparam);

 private:
  FlutterDesktopViewControllerRef controller_ = nullptr;
  std::shared_ptr<FlutterEngine> engine_;
  std::unique_ptr<FlutterView> view_;
};

}  // namespace flutter
