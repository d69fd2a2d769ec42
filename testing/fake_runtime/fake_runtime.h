/* Test interface of the stand-in runtime DLL (flutter_windows.dll built from testing/fake_runtime).
 * Tests use it to act as the user interface would: deliver platform messages on a channel, see
 * every response and every message the program sends, and watch what the runtime was asked to do.
 * Main thread only, like the runtime itself. Nothing in the product may call these. */
#ifndef QUARVELIN_FAKE_RUNTIME_H
#define QUARVELIN_FAKE_RUNTIME_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "flutter_desktop.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One entry of the traffic log, in the order things happened. */
typedef enum {
  kFakeRuntimeSend = 0,          /* the program sent a message without a reply */
  kFakeRuntimeSendWithReply = 1, /* the program sent a message and waits for a reply */
  kFakeRuntimeResponse = 2,      /* the program answered a delivered message */
} FakeRuntimeEventKind;

typedef struct {
  FakeRuntimeEventKind kind;
  const char* channel; /* Response: the delivered message's; valid until the log is cleared */
  const uint8_t* data; /* null when the program sent no bytes; valid until the log is cleared */
  size_t size;
  int64_t delivery; /* Response: the id FakeRuntimeDeliverMessage returned; else -1 */
} FakeRuntimeEvent;

/* What the runtime saw of the latest FlutterDesktopEngineCreate and of engines in general. */
typedef struct {
  int engines_created;
  int engines_destroyed;    /* by FlutterDesktopEngineDestroy or with their view controller */
  int engine_destroy_calls; /* FlutterDesktopEngineDestroy calls only */
  int view_controllers_created;
  int view_controllers_destroyed;
  int fonts_reloaded;
  int frames_drawn;
  int next_frame_callbacks_fired;
  /* The latest engine's properties as they were passed. */
  bool entrypoint_was_null;
  char entrypoint[256];
  int argc;
  bool argv_was_null;
  char argv_joined[1024]; /* arguments joined with '\n' */
  wchar_t assets_path[260];
  wchar_t icu_data_path[260];
  wchar_t aot_library_path[260];
  int32_t engine_option_1;
  int32_t engine_option_2;
} FakeRuntimeStats;

/* Forgets all engines' statistics and the traffic log, and sets the monitor DPI back to 96
 * (engines themselves live on). */
FLUTTER_DESKTOP_API void FakeRuntimeReset(void);
FLUTTER_DESKTOP_API void FakeRuntimeGetStats(FakeRuntimeStats* stats);

/* The next FlutterDesktopViewControllerCreate returns null (the engine given to it is destroyed,
 * as a failing runtime does with an engine it was handed). With the environment variable
 * QUARVELIN_FAKE_FAIL_VIEW_CONTROLLER set (to anything but "0"), every one does. */
FLUTTER_DESKTOP_API void FakeRuntimeFailNextViewController(void);

/* Delivers a message on `channel` of the engine's messenger as the user interface would, and
 * returns its delivery id; the program's answer is logged as a Response carrying that id. With no
 * handler on the channel the runtime answers with an empty response itself (logged the same way,
 * data null and size 0). Returns -1 for an unknown or destroyed engine. */
FLUTTER_DESKTOP_API int64_t FakeRuntimeDeliverMessage(FlutterDesktopEngineRef engine,
                                                      const char* channel, const uint8_t* data,
                                                      size_t size);

FLUTTER_DESKTOP_API size_t FakeRuntimeEventCount(void);
FLUTTER_DESKTOP_API bool FakeRuntimeGetEvent(size_t index, FakeRuntimeEvent* event);
FLUTTER_DESKTOP_API void FakeRuntimeClearLog(void);

/* Answers the pending reply of log entry `index` (a SendWithReply) with the given bytes; false
 * when that entry has no pending reply. A reply whose entry was cleared from the log stays pending
 * until its engine ends, which answers it empty. */
FLUTTER_DESKTOP_API bool FakeRuntimeReplyToSend(size_t index, const uint8_t* data, size_t size);

/* Whether a message callback is set on the channel of the engine's messenger. */
FLUTTER_DESKTOP_API bool FakeRuntimeHasHandler(FlutterDesktopEngineRef engine, const char* channel);

/* Destroys the registrar of `plugin_name` as the runtime does at shutdown: its destruction
 * handler runs, its delegate is dropped. False when there is no such registrar. */
FLUTTER_DESKTOP_API bool FakeRuntimeDestroyRegistrar(FlutterDesktopEngineRef engine,
                                                     const char* plugin_name);

/* Textures: how many are registered on a texture registrar, and a frame request for one of them
 * (returns what the texture's callback returned, null for an unknown id). */
FLUTTER_DESKTOP_API int FakeRuntimeTextureCount(FlutterDesktopTextureRegistrarRef registrar);
FLUTTER_DESKTOP_API int32_t FakeRuntimeTextureType(FlutterDesktopTextureRegistrarRef registrar,
                                                   int64_t id);
FLUTTER_DESKTOP_API const void* FakeRuntimeRequestTextureFrame(
    FlutterDesktopTextureRegistrarRef registrar, int64_t id, size_t width, size_t height);

/* The engine that owns a view controller (null when it has none). */
FLUTTER_DESKTOP_API FlutterDesktopEngineRef
FakeRuntimeViewControllerEngine(FlutterDesktopViewControllerRef controller);

/* The most recently created engine that is still alive, or null. */
FLUTTER_DESKTOP_API FlutterDesktopEngineRef FakeRuntimeLatestEngine(void);

/* What FlutterDesktopGetDpiForMonitor answers for every monitor (96 until set). */
FLUTTER_DESKTOP_API void FakeRuntimeSetMonitorDpi(UINT dpi);

/* Plugin stand-ins report their registration here; tests read the names back, joined with '\n'. */
FLUTTER_DESKTOP_API void FakeRuntimeNotePluginRegistered(FlutterDesktopPluginRegistrarRef registrar,
                                                         const char* plugin);
FLUTTER_DESKTOP_API const char* FakeRuntimeRegisteredPlugins(void);
/* The plugin names FlutterDesktopEngineGetPluginRegistrar was asked for, first request of each
 * name, in order, joined with '\n'. */
FLUTTER_DESKTOP_API const char* FakeRuntimeRequestedRegistrars(void);

#ifdef __cplusplus
}
#endif

#endif /* QUARVELIN_FAKE_RUNTIME_H */
