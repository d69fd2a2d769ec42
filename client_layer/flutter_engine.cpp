#include "flutter_engine.h"

#include <iostream>
#include <utility>
#include <vector>

namespace flutter {

FlutterEngine::FlutterEngine(const EngineSettings& settings) {
  FlutterDesktopEngineProperties properties{};
  properties.assets_path = settings.assets_path.c_str();
  properties.icu_data_path = settings.icu_data_path.c_str();
  properties.aot_library_path = settings.aot_library_path.c_str();
  // An empty entrypoint is passed as "", which the runtime reads as its default entrypoint.
  properties.dart_entrypoint = settings.entrypoint.c_str();
  std::vector<const char*> arguments;
  arguments.reserve(settings.entrypoint_arguments.size());
  for (const std::string& argument : settings.entrypoint_arguments) {
    arguments.push_back(argument.c_str());
  }
  properties.dart_entrypoint_argc = static_cast<int>(arguments.size());
  properties.dart_entrypoint_argv = arguments.empty() ? nullptr : arguments.data();
  properties.engine_option_1 = settings.engine_option_1;
  properties.engine_option_2 = settings.engine_option_2;

  engine_ = FlutterDesktopEngineCreate(&properties);
  if (engine_ != nullptr) {
    messenger_ = std::make_unique<BinaryMessengerImpl>(FlutterDesktopEngineGetMessenger(engine_));
  }
}

FlutterEngine::~FlutterEngine() {
  if (engine_ != nullptr && ownsEngine_) FlutterDesktopEngineDestroy(engine_);
  engine_ = nullptr;
  nextFrameCallback_ = nullptr;
  messenger_.reset();
}

FlutterDesktopPluginRegistrarRef FlutterEngine::GetRegistrarForPlugin(
    const std::string& plugin_name) {
  if (engine_ == nullptr) {
    std::cerr << "Cannot get plugin registrar on an engine that isn't running; call Run first."
              << std::endl;
    return nullptr;
  }
  return FlutterDesktopEngineGetPluginRegistrar(engine_, plugin_name.c_str());
}

void FlutterEngine::ReloadSystemFonts() {
  if (engine_ != nullptr) FlutterDesktopEngineReloadSystemFonts(engine_);
}

void FlutterEngine::SetNextFrameCallback(std::function<void()> callback) {
  nextFrameCallback_ = std::move(callback);
  if (engine_ != nullptr) FlutterDesktopEngineSetNextFrameCallback(engine_, OnNextFrame, this);
}

FlutterDesktopEngineRef FlutterEngine::RelinquishEngine() {
  ownsEngine_ = false;
  return engine_;
}

void FlutterEngine::ForgetEngine() {
  engine_ = nullptr;
  nextFrameCallback_ = nullptr;
  messenger_.reset();
}

void FlutterEngine::OnNextFrame(void* user_data) {
  auto* self = static_cast<FlutterEngine*>(user_data);
  // Emptied before the call, so each registration fires once even if the callback re-arms.
  std::function<void()> callback = std::move(self->nextFrameCallback_);
  self->nextFrameCallback_ = nullptr;
  if (!callback) return;
  try {
    callback();
  } catch (const std::exception& e) {
    std::cerr << "Uncaught exception in the next-frame callback: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "Uncaught exception in the next-frame callback" << std::endl;
  }
}

}  // namespace flutter
