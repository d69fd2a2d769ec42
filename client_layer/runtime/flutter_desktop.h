/* The C interface of the embedding runtime (flutter_windows.dll) and of the four plugin libraries,
 * as this program calls them. Handles are opaque; every call comes from the main thread. */
#ifndef QUARVELIN_FLUTTER_DESKTOP_H
#define QUARVELIN_FLUTTER_DESKTOP_H

#include <windows.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(QUARVELIN_BUILDING_RUNTIME)
#define FLUTTER_DESKTOP_API __declspec(dllexport)
#else
#define FLUTTER_DESKTOP_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FlutterDesktopEngine* FlutterDesktopEngineRef;
typedef struct FlutterDesktopViewController* FlutterDesktopViewControllerRef;
typedef struct FlutterDesktopView* FlutterDesktopViewRef;
typedef struct FlutterDesktopMessenger* FlutterDesktopMessengerRef;
typedef struct FlutterDesktopPluginRegistrar* FlutterDesktopPluginRegistrarRef;
typedef struct FlutterDesktopTextureRegistrar* FlutterDesktopTextureRegistrarRef;
typedef struct FlutterDesktopMessageResponse FlutterDesktopMessageResponseHandle;

/* What an engine is started with. */
typedef struct {
  const wchar_t* assets_path;
  const wchar_t* icu_data_path;
  const wchar_t* aot_library_path;
  const char* dart_entrypoint; /* "" for the default entrypoint, never null */
  int dart_entrypoint_argc;
  const char** dart_entrypoint_argv; /* null when argc is 0 */
  int32_t engine_option_1;           /* passed through unchanged */
  int32_t engine_option_2;
} FlutterDesktopEngineProperties;

/* A message received on a channel. */
typedef struct {
  size_t struct_size;
  const char* channel;
  const uint8_t* message;
  size_t message_size;
  const FlutterDesktopMessageResponseHandle* response_handle;
} FlutterDesktopMessage;

typedef void (*FlutterDesktopMessageCallback)(FlutterDesktopMessengerRef messenger,
                                              const FlutterDesktopMessage* message,
                                              void* user_data);
typedef void (*FlutterDesktopBinaryReply)(const uint8_t* data, size_t data_size, void* user_data);
typedef void (*FlutterDesktopOnNextFrame)(void* user_data);
typedef void (*FlutterDesktopOnPluginRegistrarDestroyed)(
    FlutterDesktopPluginRegistrarRef registrar);
typedef bool (*FlutterDesktopWindowProcCallback)(HWND window, UINT message, WPARAM wparam,
                                                 LPARAM lparam, void* user_data, LRESULT* result);

/* Textures: a 32-bit type, then at offset 8 the part of that type. */
typedef enum {
  kFlutterDesktopPixelBufferTexture = 0,
  kFlutterDesktopGpuSurfaceTexture = 1
} FlutterDesktopTextureType;
/* A frame of a pixel-buffer texture: tightly packed RGBA rows. */
typedef struct {
  const uint8_t* buffer;
  size_t width;
  size_t height;
} FlutterDesktopPixelBuffer;
/* A frame of a GPU-surface texture: the shared surface and its size. */
typedef struct {
  size_t struct_size;
  void* handle;
  size_t width;
  size_t height;
} FlutterDesktopGpuSurfaceDescriptor;
/* Returns the texture's frame for the size the runtime asks for: a FlutterDesktopPixelBuffer or a
 * FlutterDesktopGpuSurfaceDescriptor, by the texture's type. */
typedef const void* (*FlutterDesktopTextureCallback)(size_t width, size_t height, void* user_data);
typedef struct {
  FlutterDesktopTextureCallback callback;
  void* user_data;
} FlutterDesktopPixelBufferTextureConfig;
typedef struct {
  size_t struct_size; /* 32 */
  int32_t type;       /* the surface type */
  FlutterDesktopTextureCallback callback;
  void* user_data;
} FlutterDesktopGpuSurfaceTextureConfig;
typedef struct {
  int32_t type; /* FlutterDesktopTextureType */
  union {
    FlutterDesktopPixelBufferTextureConfig pixel_buffer_config;
    FlutterDesktopGpuSurfaceTextureConfig gpu_surface_config;
  };
} FlutterDesktopTextureInfo;
typedef void (*FlutterDesktopOnTextureUnregistered)(void* user_data);

FLUTTER_DESKTOP_API FlutterDesktopEngineRef
FlutterDesktopEngineCreate(const FlutterDesktopEngineProperties* properties);
FLUTTER_DESKTOP_API bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine);
FLUTTER_DESKTOP_API FlutterDesktopMessengerRef
FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine);
FLUTTER_DESKTOP_API FlutterDesktopPluginRegistrarRef
FlutterDesktopEngineGetPluginRegistrar(FlutterDesktopEngineRef engine, const char* plugin_name);
FLUTTER_DESKTOP_API void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef engine);
FLUTTER_DESKTOP_API void FlutterDesktopEngineSetNextFrameCallback(
    FlutterDesktopEngineRef engine, FlutterDesktopOnNextFrame callback, void* user_data);

FLUTTER_DESKTOP_API FlutterDesktopViewControllerRef
FlutterDesktopViewControllerCreate(int width, int height, FlutterDesktopEngineRef engine);
FLUTTER_DESKTOP_API void FlutterDesktopViewControllerDestroy(
    FlutterDesktopViewControllerRef controller);
FLUTTER_DESKTOP_API FlutterDesktopViewRef
FlutterDesktopViewControllerGetView(FlutterDesktopViewControllerRef controller);
FLUTTER_DESKTOP_API void FlutterDesktopViewControllerForceRedraw(
    FlutterDesktopViewControllerRef controller);
FLUTTER_DESKTOP_API bool FlutterDesktopViewControllerHandleTopLevelWindowProc(
    FlutterDesktopViewControllerRef controller, HWND window, UINT message, WPARAM wparam,
    LPARAM lparam, LRESULT* result);
FLUTTER_DESKTOP_API HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view);
FLUTTER_DESKTOP_API UINT FlutterDesktopGetDpiForMonitor(HMONITOR monitor);
FLUTTER_DESKTOP_API void FlutterDesktopResyncOutputStreams(void);

FLUTTER_DESKTOP_API bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger,
                                                     const char* channel, const uint8_t* message,
                                                     size_t message_size);
FLUTTER_DESKTOP_API bool FlutterDesktopMessengerSendWithReply(
    FlutterDesktopMessengerRef messenger, const char* channel, const uint8_t* message,
    size_t message_size, FlutterDesktopBinaryReply reply, void* user_data);
FLUTTER_DESKTOP_API void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger,
                                                            const char* channel,
                                                            FlutterDesktopMessageCallback callback,
                                                            void* user_data);
FLUTTER_DESKTOP_API void FlutterDesktopMessengerSendResponse(
    FlutterDesktopMessengerRef messenger, const FlutterDesktopMessageResponseHandle* handle,
    const uint8_t* data, size_t data_length);
FLUTTER_DESKTOP_API FlutterDesktopMessengerRef
FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger);
FLUTTER_DESKTOP_API void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger);
FLUTTER_DESKTOP_API FlutterDesktopMessengerRef
FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger);
FLUTTER_DESKTOP_API void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger);
FLUTTER_DESKTOP_API bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger);

FLUTTER_DESKTOP_API FlutterDesktopMessengerRef
FlutterDesktopPluginRegistrarGetMessenger(FlutterDesktopPluginRegistrarRef registrar);
FLUTTER_DESKTOP_API FlutterDesktopTextureRegistrarRef
FlutterDesktopRegistrarGetTextureRegistrar(FlutterDesktopPluginRegistrarRef registrar);
FLUTTER_DESKTOP_API FlutterDesktopViewRef
FlutterDesktopPluginRegistrarGetView(FlutterDesktopPluginRegistrarRef registrar);
FLUTTER_DESKTOP_API void FlutterDesktopPluginRegistrarSetDestructionHandler(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopOnPluginRegistrarDestroyed callback);
FLUTTER_DESKTOP_API void FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate,
    void* user_data);

FLUTTER_DESKTOP_API int64_t FlutterDesktopTextureRegistrarRegisterExternalTexture(
    FlutterDesktopTextureRegistrarRef texture_registrar, const FlutterDesktopTextureInfo* info);
FLUTTER_DESKTOP_API void FlutterDesktopTextureRegistrarUnregisterExternalTexture(
    FlutterDesktopTextureRegistrarRef texture_registrar, int64_t texture_id,
    FlutterDesktopOnTextureUnregistered callback, void* user_data);
FLUTTER_DESKTOP_API bool FlutterDesktopTextureRegistrarMarkExternalTextureFrameAvailable(
    FlutterDesktopTextureRegistrarRef texture_registrar, int64_t texture_id);

/* The plugin libraries, one function each. */
FLUTTER_DESKTOP_API void AudioplayersWindowsPluginRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);
FLUTTER_DESKTOP_API void FileSelectorWindowsRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);
FLUTTER_DESKTOP_API void UrlLauncherWindowsRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);
FLUTTER_DESKTOP_API void VideoPlayerWinPluginCApiRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);

#ifdef __cplusplus
}
#endif

#endif /* QUARVELIN_FLUTTER_DESKTOP_H */
