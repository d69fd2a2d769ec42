#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "binary_messenger_impl.h"
#include "flutter_desktop.h"
#include "flutter_view.h"
#include "texture_registrar.h"

namespace flutter {

// Something a registrar keeps alive for as long as the engine runs.
class Plugin {
 public:
  Plugin() = default;
  virtual ~Plugin() = default;
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;
};

// Hands out the runtime's registrar for each plugin name.
class PluginRegistry {
 public:
  PluginRegistry() = default;
  virtual ~PluginRegistry() = default;
  PluginRegistry(const PluginRegistry&) = delete;
  PluginRegistry& operator=(const PluginRegistry&) = delete;

  virtual FlutterDesktopPluginRegistrarRef GetRegistrarForPlugin(
      const std::string& plugin_name) = 0;
};

// What a plugin is given: a messenger, a texture registrar, and a home for the plugin itself.
class PluginRegistrar {
 public:
  explicit PluginRegistrar(FlutterDesktopPluginRegistrarRef registrar);
  virtual ~PluginRegistrar();
  PluginRegistrar(const PluginRegistrar&) = delete;
  PluginRegistrar& operator=(const PluginRegistrar&) = delete;

  BinaryMessenger* messenger() { return messenger_.get(); }
  TextureRegistrar* texture_registrar() { return textureRegistrar_.get(); }
  // The plugin lives until the registrar is destroyed.
  void AddPlugin(std::unique_ptr<Plugin> plugin);

 protected:
  FlutterDesktopPluginRegistrarRef registrar() const { return registrar_; }
  // Plugins go first: they may still use the messenger or the view while being destroyed.
  void ClearPlugins() { plugins_.clear(); }

 private:
  FlutterDesktopPluginRegistrarRef registrar_;
  std::unique_ptr<BinaryMessengerImpl> messenger_;
  std::unique_ptr<TextureRegistrarImpl> textureRegistrar_;
  std::set<std::unique_ptr<Plugin>> plugins_;
};

// A window message offered to a plugin: a value consumes it, none passes it on.
using WindowProcDelegate =
    std::function<std::optional<LRESULT>(HWND window, UINT message, WPARAM wparam, LPARAM lparam)>;

// The Windows registrar: adds the view and the top-level window's messages.
class PluginRegistrarWindows : public PluginRegistrar {
 public:
  explicit PluginRegistrarWindows(FlutterDesktopPluginRegistrarRef registrar);
  ~PluginRegistrarWindows() override;

  // Null when the engine runs without a view.
  FlutterView* GetView() { return view_.get(); }

  // Delegates are asked in the order they were registered; the first answer wins. Returns the
  // delegate's id.
  int RegisterTopLevelWindowProcDelegate(WindowProcDelegate delegate);

 private:
  static bool OnTopLevelWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                   void* user_data, LRESULT* result);

  std::unique_ptr<FlutterView> view_;
  int nextDelegateId_ = 1;
  std::map<int, WindowProcDelegate> delegates_;
};

// The one Windows registrar per runtime registrar, kept until the runtime destroys the latter.
class RegistrarCache {
 public:
  // Created on first use, never freed.
  static RegistrarCache& GetInstance();

  // Null for a null handle.
  PluginRegistrarWindows* GetRegistrar(FlutterDesktopPluginRegistrarRef registrar);
  bool Contains(FlutterDesktopPluginRegistrarRef registrar) const {
    return registrars_.count(registrar) != 0;
  }

 private:
  RegistrarCache() = default;
  static void OnRegistrarDestroyed(FlutterDesktopPluginRegistrarRef registrar);

  std::map<FlutterDesktopPluginRegistrarRef, std::unique_ptr<PluginRegistrarWindows>> registrars_;
};

}  // namespace flutter
