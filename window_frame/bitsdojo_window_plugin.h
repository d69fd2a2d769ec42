#pragma once

#include <memory>

#include "encodable_value.h"
#include "flutter_desktop.h"
#include "method_call.h"
#include "method_channel.h"
#include "method_result.h"
#include "plugin_registrar.h"

// The "bitsdojo/window" channel: lets the user interface's own title bar start a native drag of
// the application window.
class BitsdojoWindowPlugin : public flutter::Plugin {
 public:
  using MethodCall = flutter::MethodCall<flutter::EncodableValue>;
  using MethodResult = flutter::MethodResult<flutter::EncodableValue>;
  using MethodChannel = flutter::MethodChannel<flutter::EncodableValue>;

  static void RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar);

  BitsdojoWindowPlugin(flutter::PluginRegistrarWindows* registrar,
                       std::unique_ptr<MethodChannel> channel);
  ~BitsdojoWindowPlugin() override;

  void HandleMethodCall(const MethodCall& call, std::unique_ptr<MethodResult> result);

 private:
  flutter::PluginRegistrarWindows* registrar_;  // not owned
  std::unique_ptr<MethodChannel> channel_;
};

// Registers the plugin with the runtime's registrar (nothing for a null one).
void BitsdojoWindowPluginRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
