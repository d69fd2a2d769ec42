// Built, never run: it takes the address of every runtime and plugin function, so linking it proves
// the declarations, the export lists and the import libraries agree.
#include <cstdio>

#include "flutter_desktop.h"

int main() {
  const void* functions[] = {
      reinterpret_cast<const void*>(&FlutterDesktopEngineCreate),
      reinterpret_cast<const void*>(&FlutterDesktopEngineDestroy),
      reinterpret_cast<const void*>(&FlutterDesktopEngineGetMessenger),
      reinterpret_cast<const void*>(&FlutterDesktopEngineGetPluginRegistrar),
      reinterpret_cast<const void*>(&FlutterDesktopEngineReloadSystemFonts),
      reinterpret_cast<const void*>(&FlutterDesktopEngineSetNextFrameCallback),
      reinterpret_cast<const void*>(&FlutterDesktopViewControllerCreate),
      reinterpret_cast<const void*>(&FlutterDesktopViewControllerDestroy),
      reinterpret_cast<const void*>(&FlutterDesktopViewControllerGetView),
      reinterpret_cast<const void*>(&FlutterDesktopViewControllerForceRedraw),
      reinterpret_cast<const void*>(&FlutterDesktopViewControllerHandleTopLevelWindowProc),
      reinterpret_cast<const void*>(&FlutterDesktopViewGetHWND),
      reinterpret_cast<const void*>(&FlutterDesktopGetDpiForMonitor),
      reinterpret_cast<const void*>(&FlutterDesktopResyncOutputStreams),
      reinterpret_cast<const void*>(&FlutterDesktopMessengerSend),
      reinterpret_cast<const void*>(&FlutterDesktopMessengerSendWithReply),
      reinterpret_cast<const void*>(&FlutterDesktopMessengerSetCallback),
      reinterpret_cast<const void*>(&FlutterDesktopMessengerSendResponse),
      reinterpret_cast<const void*>(&FlutterDesktopMessengerAddRef),
      reinterpret_cast<const void*>(&FlutterDesktopMessengerRelease),
      reinterpret_cast<const void*>(&FlutterDesktopMessengerLock),
      reinterpret_cast<const void*>(&FlutterDesktopMessengerUnlock),
      reinterpret_cast<const void*>(&FlutterDesktopMessengerIsAvailable),
      reinterpret_cast<const void*>(&FlutterDesktopPluginRegistrarGetMessenger),
      reinterpret_cast<const void*>(&FlutterDesktopRegistrarGetTextureRegistrar),
      reinterpret_cast<const void*>(&FlutterDesktopPluginRegistrarGetView),
      reinterpret_cast<const void*>(&FlutterDesktopPluginRegistrarSetDestructionHandler),
      reinterpret_cast<const void*>(
          &FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate),
      reinterpret_cast<const void*>(&FlutterDesktopTextureRegistrarRegisterExternalTexture),
      reinterpret_cast<const void*>(&FlutterDesktopTextureRegistrarUnregisterExternalTexture),
      reinterpret_cast<const void*>(
          &FlutterDesktopTextureRegistrarMarkExternalTextureFrameAvailable),
      reinterpret_cast<const void*>(&AudioplayersWindowsPluginRegisterWithRegistrar),
      reinterpret_cast<const void*>(&FileSelectorWindowsRegisterWithRegistrar),
      reinterpret_cast<const void*>(&UrlLauncherWindowsRegisterWithRegistrar),
      reinterpret_cast<const void*>(&VideoPlayerWinPluginCApiRegisterWithRegistrar),
  };
  size_t linked = 0;
  for (const void* function : functions) linked += function != nullptr;
  std::printf("%zu functions linked\n", linked);
  return 0;
}
