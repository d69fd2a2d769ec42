#include "bitsdojo_window_plugin.h"

#include <utility>

#include "standard_codec.h"
#include "window_frame.h"

void BitsdojoWindowPlugin::RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar) {
  auto channel = std::make_unique<MethodChannel>(registrar->messenger(), "bitsdojo/window",
                                                 &flutter::StandardMethodCodec::GetInstance());
  auto plugin = std::make_unique<BitsdojoWindowPlugin>(registrar, std::move(channel));
  BitsdojoWindowPlugin* raw = plugin.get();
  raw->channel_->SetMethodCallHandler(
      [raw](const MethodCall& call, std::unique_ptr<MethodResult> result) {
        raw->HandleMethodCall(call, std::move(result));
      });
  registrar->AddPlugin(std::move(plugin));
}

BitsdojoWindowPlugin::BitsdojoWindowPlugin(flutter::PluginRegistrarWindows* registrar,
                                           std::unique_ptr<MethodChannel> channel)
    : registrar_(registrar), channel_(std::move(channel)) {}

BitsdojoWindowPlugin::~BitsdojoWindowPlugin() = default;

void BitsdojoWindowPlugin::HandleMethodCall(const MethodCall& call,
                                            std::unique_ptr<MethodResult> result) {
  if (call.method_name() == "dragAppWindow") {
    if (bitsdojo_window_api()->drag_table->drag_app_window()) {
      result->Success();
    } else {
      result->Error("ERROR_DRAG_APP_WINDOW_FAILED", "Could not drag app window");
    }
    return;
  }
  result->NotImplemented();
}

void BitsdojoWindowPluginRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  // The runtime hands out no registrar when the engine is not running.
  flutter::PluginRegistrarWindows* windows_registrar =
      flutter::RegistrarCache::GetInstance().GetRegistrar(registrar);
  if (windows_registrar == nullptr) return;
  BitsdojoWindowPlugin::RegisterWithRegistrar(windows_registrar);
}
