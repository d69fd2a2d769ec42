#pragma once

#include <functional>
#include <memory>
#include <string>

#include "binary_messenger_impl.h"
#include "engine_settings.h"
#include "flutter_desktop.h"
#include "plugin_registrar.h"

namespace flutter {

// The runtime's engine: created from settings, running from the view controller's creation on.
class FlutterEngine : public PluginRegistry {
 public:
  explicit FlutterEngine(const EngineSettings& settings);
  ~FlutterEngine() override;

  // Null (with a diagnostic) when the engine is not running.
  FlutterDesktopPluginRegistrarRef GetRegistrarForPlugin(const std::string& plugin_name) override;
  void ReloadSystemFonts();
  // Called once, on the main thread, after the next frame; replaces an earlier callback.
  void SetNextFrameCallback(std::function<void()> callback);
  // Null when the runtime could not create the engine.
  BinaryMessenger* messenger() { return messenger_.get(); }

  // Gives the handle away: from now on its new owner destroys the engine, not this wrapper.
  FlutterDesktopEngineRef RelinquishEngine();

 private:
  friend class FlutterViewController;
  // The runtime ended the engine this wrapper gave away (a view controller that failed): forget
  // the handle and its messenger, so later calls are refused instead of reaching a dead engine.
  void ForgetEngine();
  static void OnNextFrame(void* user_data);

  FlutterDesktopEngineRef engine_ = nullptr;
  std::unique_ptr<BinaryMessengerImpl> messenger_;
  bool ownsEngine_ = true;
  std::function<void()> nextFrameCallback_;
};

}  // namespace flutter
