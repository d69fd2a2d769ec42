// One stand-in plugin library: its registration function only tells the stand-in runtime that it
// was called. FAKE_PLUGIN_FUNCTION and FAKE_PLUGIN_NAME come from the build.
#include "fake_runtime.h"

#define FAKE_PLUGIN_TEXT(name) #name
#define FAKE_PLUGIN_STRING(name) FAKE_PLUGIN_TEXT(name)

extern "C" void FAKE_PLUGIN_FUNCTION(FlutterDesktopPluginRegistrarRef registrar) {
  FakeRuntimeNotePluginRegistered(registrar, FAKE_PLUGIN_STRING(FAKE_PLUGIN_NAME));
}
