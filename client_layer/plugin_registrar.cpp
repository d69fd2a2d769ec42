#include "plugin_registrar.h"

#include <exception>
#include <iostream>
#include <utility>

namespace flutter {

PluginRegistrar::PluginRegistrar(FlutterDesktopPluginRegistrarRef registrar)
    : registrar_(registrar),
      messenger_(std::make_unique<BinaryMessengerImpl>(
          FlutterDesktopPluginRegistrarGetMessenger(registrar))),
      textureRegistrar_(std::make_unique<TextureRegistrarImpl>(
          FlutterDesktopRegistrarGetTextureRegistrar(registrar))) {}

PluginRegistrar::~PluginRegistrar() {
  ClearPlugins();
  messenger_.reset();
  textureRegistrar_.reset();
}

void PluginRegistrar::AddPlugin(std::unique_ptr<Plugin> plugin) {
  if (plugin) plugins_.insert(std::move(plugin));
}

PluginRegistrarWindows::PluginRegistrarWindows(FlutterDesktopPluginRegistrarRef registrar)
    : PluginRegistrar(registrar) {
  if (FlutterDesktopViewRef view = FlutterDesktopPluginRegistrarGetView(registrar)) {
    view_ = std::make_unique<FlutterView>(view);
  }
}

PluginRegistrarWindows::~PluginRegistrarWindows() {
  ClearPlugins();
  view_.reset();
  delegates_.clear();
}

int PluginRegistrarWindows::RegisterTopLevelWindowProcDelegate(WindowProcDelegate delegate) {
  if (delegates_.empty()) {
    FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(registrar(),
                                                                    OnTopLevelWindowProc, this);
  }
  const int id = nextDelegateId_++;
  delegates_[id] = std::move(delegate);
  return id;
}

bool PluginRegistrarWindows::OnTopLevelWindowProc(HWND window, UINT message, WPARAM wparam,
                                                  LPARAM lparam, void* user_data, LRESULT* result) {
  auto* self = static_cast<PluginRegistrarWindows*>(user_data);
  for (const auto& [id, delegate] : self->delegates_) {
    if (!delegate) continue;
    std::optional<LRESULT> answer;
    // Called from the runtime's window procedure: nothing may unwind into it.
    try {
      answer = delegate(window, message, wparam, lparam);
    } catch (const std::exception& e) {
      std::cerr << "Uncaught exception in window procedure delegate " << id << ": " << e.what()
                << std::endl;
    } catch (...) {
      std::cerr << "Uncaught exception in window procedure delegate " << id << std::endl;
    }
    if (answer) {
      *result = *answer;
      return true;
    }
  }
  return false;
}

RegistrarCache& RegistrarCache::GetInstance() {
  static RegistrarCache* const instance = new RegistrarCache();
  return *instance;
}

PluginRegistrarWindows* RegistrarCache::GetRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  if (registrar == nullptr) return nullptr;  // an engine that is not running has none
  auto found = registrars_.find(registrar);
  if (found == registrars_.end()) {
    found =
        registrars_.emplace(registrar, std::make_unique<PluginRegistrarWindows>(registrar)).first;
  }
  FlutterDesktopPluginRegistrarSetDestructionHandler(registrar, OnRegistrarDestroyed);
  return found->second.get();
}

void RegistrarCache::OnRegistrarDestroyed(FlutterDesktopPluginRegistrarRef registrar) {
  GetInstance().registrars_.erase(registrar);
}

}  // namespace flutter
