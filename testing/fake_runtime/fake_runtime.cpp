// Stand-in for the embedding runtime DLL, for tests and local runs. It models the runtime only as
// far as the program relies on it: engines with a messenger, plugin registrars and a texture
// registrar; view controllers whose view is a real child window that draws a "frame" when it
// handles a posted message; and a log of the traffic the program sends. Every handle is a plain
// struct behind the C interface; nothing C++ crosses the DLL boundary. Given a script, it also
// plays the user interface's role in a whole run of the program (scripted_ui.h).
#include "fake_runtime.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "scripted_ui.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

struct FlutterDesktopMessageResponse {
  int64_t delivery;
  FlutterDesktopEngine* engine;
  std::string channel;  // the delivered message's, logged with the answer
};

struct FlutterDesktopMessenger {
  struct Handler {
    FlutterDesktopMessageCallback callback;
    void* user_data;
  };
  std::atomic<int> references{1};  // the engine's own
  std::recursive_mutex lock;
  bool available = true;
  FlutterDesktopEngine* engine = nullptr;
  std::map<std::string, Handler> handlers;
};

struct FlutterDesktopPluginRegistrar {
  FlutterDesktopEngine* engine = nullptr;
  std::string name;
  FlutterDesktopOnPluginRegistrarDestroyed onDestroyed = nullptr;
};

struct FlutterDesktopTextureRegistrar {
  std::map<int64_t, FlutterDesktopTextureInfo> textures;
  int64_t nextId = 1;
};

struct FlutterDesktopView {
  HWND hwnd = nullptr;
  bool windowAlive = false;
  FlutterDesktopViewController* controller = nullptr;
};

struct FlutterDesktopViewController {
  FlutterDesktopEngine* engine = nullptr;
  FlutterDesktopView view;
};

struct FlutterDesktopEngine {
  struct Delegate {
    uint64_t serial;
    FlutterDesktopPluginRegistrar* registrar;
    FlutterDesktopWindowProcCallback callback;
    void* user_data;
  };
  FlutterDesktopMessenger* messenger = nullptr;
  std::vector<std::unique_ptr<FlutterDesktopPluginRegistrar>> registrars;  // creation order
  std::vector<Delegate> delegates;                                         // registration order
  FlutterDesktopTextureRegistrar textures;
  FlutterDesktopViewController* controller = nullptr;
  FlutterDesktopOnNextFrame nextFrame = nullptr;
  void* nextFrameData = nullptr;
};

namespace {

constexpr UINT kFrameMessage = WM_USER + 1;
constexpr UINT kScriptMessage = WM_USER + 2;  // plays the UI script (scripted_ui.h)
constexpr wchar_t kViewClass[] = L"FLUTTERVIEW";
constexpr wchar_t kParkingClass[] = L"QuarvelinFakeRuntimeParking";

struct LoggedEvent {
  FakeRuntimeEventKind kind;
  std::string channel;
  std::unique_ptr<uint8_t[]> data;
  size_t size;
  int64_t delivery;
};

struct PendingReply {
  size_t logIndex;
  bool inLog;  // false once the log entry was cleared: answered only when its engine ends
  FlutterDesktopMessenger* messenger;
  FlutterDesktopBinaryReply reply;
  void* user_data;
};

// Log, statistics and pending replies. Never held while a program callback runs.
std::mutex gMutex;
std::deque<LoggedEvent> gEvents;  // a deque keeps every entry's address while it grows
std::vector<PendingReply> gPending;
FakeRuntimeStats gStats{};
std::string gPlugins;
std::vector<std::string> gRequestedRegistrars;  // first request of each name, in order
std::string gRequestedJoined;

// Object bookkeeping, main thread only.
std::set<FlutterDesktopEngine*> gEngines;
std::set<const FlutterDesktopMessageResponse*> gResponses;
int64_t gNextDelivery = 0;
uint64_t gNextDelegate = 0;
bool gFailNextViewController = false;
UINT gMonitorDpi = 96;
FlutterDesktopEngine* gLatestEngine = nullptr;
HWND gParking = nullptr;

HINSTANCE Module() {
  return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

bool IsLive(FlutterDesktopEngine* engine) {
  return engine && gEngines.count(engine) != 0;
}

template <typename Char, size_t N>
void CopyText(Char (&target)[N], const Char* text, size_t length) {
  const size_t count = std::min(length, N - 1);
  for (size_t i = 0; i < count; ++i) target[i] = text[i];
  target[count] = Char{};
}

void Log(FakeRuntimeEventKind kind, const char* channel, const uint8_t* data, size_t size,
         int64_t delivery, const PendingReply* pending = nullptr) {
  LoggedEvent event{kind, channel ? channel : "", nullptr, data ? size : 0, delivery};
  if (data) {
    event.data = std::make_unique<uint8_t[]>(std::max<size_t>(size, 1));
    if (size) std::memcpy(event.data.get(), data, size);
  }
  std::lock_guard lock(gMutex);
  if (pending) {
    PendingReply entry = *pending;
    entry.logIndex = gEvents.size();
    gPending.push_back(entry);
  }
  gEvents.push_back(std::move(event));
}

void CountStat(int FakeRuntimeStats::*field) {
  std::lock_guard lock(gMutex);
  ++(gStats.*field);
}

void DrawFrame(FlutterDesktopView* view) {
  CountStat(&FakeRuntimeStats::frames_drawn);
  FlutterDesktopEngine* engine = view->controller ? view->controller->engine : nullptr;
  if (!engine || !engine->nextFrame) return;
  FlutterDesktopOnNextFrame callback = engine->nextFrame;
  void* user_data = engine->nextFrameData;
  engine->nextFrame = nullptr;
  engine->nextFrameData = nullptr;
  CountStat(&FakeRuntimeStats::next_frame_callbacks_fired);
  const HWND hwnd = view->hwnd;
  callback(user_data);
  // The user interface starts acting once the program has seen its first frame.
  if (quarvelin::fake::ClaimUiScript()) PostMessageW(hwnd, kScriptMessage, 0, 0);
}

// Set to anything but "0", every view controller creation fails.
bool ViewControllersRefused() {
  wchar_t value[8] = {};
  const DWORD length = GetEnvironmentVariableW(L"QUARVELIN_FAKE_FAIL_VIEW_CONTROLLER", value, 8);
  return length > 0 && !(length == 1 && value[0] == L'0');
}

LRESULT CALLBACK ViewProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }
  auto* view = reinterpret_cast<FlutterDesktopView*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (message) {
    case kFrameMessage:
      if (view) DrawFrame(view);
      return 0;
    case kScriptMessage:
      if (view && view->controller && view->controller->engine) {
        quarvelin::fake::PlayUiScript(hwnd, view->controller->engine);
      }
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(hwnd, &paint);
      EndPaint(hwnd, &paint);
      PostMessageW(hwnd, kFrameMessage, 0, 0);
      return 0;
    }
    case WM_NCDESTROY:
      if (view) view->windowAlive = false;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// The hidden window a view is created in, until the host application moves it into its own.
HWND ParkingWindow() {
  if (gParking && IsWindow(gParking)) return gParking;
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW viewClass{};
    viewClass.cbSize = sizeof(viewClass);
    viewClass.style = CS_HREDRAW | CS_VREDRAW;
    viewClass.lpfnWndProc = ViewProc;
    viewClass.hInstance = Module();
    viewClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    viewClass.lpszClassName = kViewClass;
    RegisterClassExW(&viewClass);
    WNDCLASSEXW parkingClass{};
    parkingClass.cbSize = sizeof(parkingClass);
    parkingClass.lpfnWndProc = DefWindowProcW;
    parkingClass.hInstance = Module();
    parkingClass.lpszClassName = kParkingClass;
    RegisterClassExW(&parkingClass);
    registered = true;
  }
  gParking = CreateWindowExW(0, kParkingClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                             Module(), nullptr);
  return gParking;
}

// Ends an engine: pending replies get an empty answer, every registrar dies (its destruction
// handler first), the messenger becomes unavailable and loses the engine's reference.
void EndEngine(FlutterDesktopEngine* engine) {
  gEngines.erase(engine);
  FlutterDesktopMessenger* messenger = engine->messenger;

  std::vector<PendingReply> replies;
  {
    std::lock_guard lock(gMutex);
    auto ours = std::stable_partition(gPending.begin(), gPending.end(), [&](const PendingReply& p) {
      return p.messenger != messenger;
    });
    replies.assign(ours, gPending.end());
    gPending.erase(ours, gPending.end());
  }
  for (const PendingReply& pending : replies) {
    if (pending.reply) pending.reply(nullptr, 0, pending.user_data);
  }

  while (!engine->registrars.empty()) {
    std::unique_ptr<FlutterDesktopPluginRegistrar> registrar =
        std::move(engine->registrars.front());
    engine->registrars.erase(engine->registrars.begin());
    std::erase_if(engine->delegates, [&](const auto& d) { return d.registrar == registrar.get(); });
    if (registrar->onDestroyed) registrar->onDestroyed(registrar.get());
  }
  engine->delegates.clear();

  for (auto it = gResponses.begin(); it != gResponses.end();) {
    if ((*it)->engine == engine) {
      delete *it;
      it = gResponses.erase(it);
    } else {
      ++it;
    }
  }

  {
    std::lock_guard lock(messenger->lock);
    messenger->available = false;
    messenger->engine = nullptr;
    messenger->handlers.clear();
  }
  FlutterDesktopMessengerRelease(messenger);
  if (engine->controller) engine->controller->engine = nullptr;
  delete engine;
  CountStat(&FakeRuntimeStats::engines_destroyed);
}

}  // namespace

extern "C" {

FlutterDesktopEngineRef FlutterDesktopEngineCreate(
    const FlutterDesktopEngineProperties* properties) {
  auto* engine = new FlutterDesktopEngine;
  engine->messenger = new FlutterDesktopMessenger;
  engine->messenger->engine = engine;
  gEngines.insert(engine);
  gLatestEngine = engine;

  std::lock_guard lock(gMutex);
  ++gStats.engines_created;
  if (!properties) return engine;
  const char* entrypoint = properties->dart_entrypoint;
  gStats.entrypoint_was_null = entrypoint == nullptr;
  CopyText(gStats.entrypoint, entrypoint ? entrypoint : "",
           entrypoint ? std::strlen(entrypoint) : 0);
  gStats.argc = properties->dart_entrypoint_argc;
  gStats.argv_was_null = properties->dart_entrypoint_argv == nullptr;
  std::string joined;
  for (int i = 0; properties->dart_entrypoint_argv && i < properties->dart_entrypoint_argc; ++i) {
    if (i) joined.push_back('\n');
    if (properties->dart_entrypoint_argv[i]) joined.append(properties->dart_entrypoint_argv[i]);
  }
  CopyText(gStats.argv_joined, joined.c_str(), joined.size());
  const auto copyPath = [](wchar_t(&target)[260], const wchar_t* path) {
    CopyText(target, path ? path : L"", path ? std::wcslen(path) : 0);
  };
  copyPath(gStats.assets_path, properties->assets_path);
  copyPath(gStats.icu_data_path, properties->icu_data_path);
  copyPath(gStats.aot_library_path, properties->aot_library_path);
  gStats.engine_option_1 = properties->engine_option_1;
  gStats.engine_option_2 = properties->engine_option_2;
  return engine;
}

bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine) {
  if (!IsLive(engine)) return false;
  CountStat(&FakeRuntimeStats::engine_destroy_calls);
  EndEngine(engine);
  return true;
}

FlutterDesktopMessengerRef FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine) {
  return engine ? engine->messenger : nullptr;
}

FlutterDesktopPluginRegistrarRef FlutterDesktopEngineGetPluginRegistrar(
    FlutterDesktopEngineRef engine, const char* plugin_name) {
  if (!engine) return nullptr;
  const std::string name = plugin_name ? plugin_name : "";
  {
    std::lock_guard lock(gMutex);
    if (std::find(gRequestedRegistrars.begin(), gRequestedRegistrars.end(), name) ==
        gRequestedRegistrars.end()) {
      gRequestedRegistrars.push_back(name);
      if (!gRequestedJoined.empty()) gRequestedJoined.push_back('\n');
      gRequestedJoined += name;
    }
  }
  for (const auto& registrar : engine->registrars) {
    if (registrar->name == name) return registrar.get();
  }
  auto registrar = std::make_unique<FlutterDesktopPluginRegistrar>();
  registrar->engine = engine;
  registrar->name = name;
  engine->registrars.push_back(std::move(registrar));
  return engine->registrars.back().get();
}

void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef engine) {
  if (engine) CountStat(&FakeRuntimeStats::fonts_reloaded);
}

void FlutterDesktopEngineSetNextFrameCallback(FlutterDesktopEngineRef engine,
                                              FlutterDesktopOnNextFrame callback, void* user_data) {
  if (!engine) return;
  engine->nextFrame = callback;
  engine->nextFrameData = user_data;
}

FlutterDesktopViewControllerRef FlutterDesktopViewControllerCreate(int width, int height,
                                                                   FlutterDesktopEngineRef engine) {
  if (!IsLive(engine)) return nullptr;
  const bool refused = gFailNextViewController || ViewControllersRefused();
  HWND parent = refused ? nullptr : ParkingWindow();
  if (!parent) {
    gFailNextViewController = false;
    EndEngine(engine);
    return nullptr;
  }
  auto* controller = new FlutterDesktopViewController;
  controller->engine = engine;
  controller->view.controller = controller;
  controller->view.hwnd = CreateWindowExW(
      0, kViewClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, std::max(width, 0),
      std::max(height, 0), parent, nullptr, Module(), &controller->view);
  if (!controller->view.hwnd) {
    delete controller;
    EndEngine(engine);
    return nullptr;
  }
  controller->view.windowAlive = true;
  engine->controller = controller;
  CountStat(&FakeRuntimeStats::view_controllers_created);
  PostMessageW(controller->view.hwnd, kFrameMessage, 0, 0);
  return controller;
}

void FlutterDesktopViewControllerDestroy(FlutterDesktopViewControllerRef controller) {
  if (!controller) return;
  if (controller->engine) EndEngine(controller->engine);
  if (controller->view.windowAlive) DestroyWindow(controller->view.hwnd);
  delete controller;
  CountStat(&FakeRuntimeStats::view_controllers_destroyed);
}

FlutterDesktopViewRef FlutterDesktopViewControllerGetView(
    FlutterDesktopViewControllerRef controller) {
  return controller ? &controller->view : nullptr;
}

void FlutterDesktopViewControllerForceRedraw(FlutterDesktopViewControllerRef controller) {
  if (controller && controller->view.windowAlive) {
    PostMessageW(controller->view.hwnd, kFrameMessage, 0, 0);
  }
}

bool FlutterDesktopViewControllerHandleTopLevelWindowProc(
    FlutterDesktopViewControllerRef controller, HWND window, UINT message, WPARAM wparam,
    LPARAM lparam, LRESULT* result) {
  FlutterDesktopEngine* engine = controller ? controller->engine : nullptr;
  if (!engine) return false;
  LRESULT ignored = 0;
  // A delegate may register or lose delegates while it runs, or end the engine: walk a copy and
  // skip entries that are gone by the time their turn comes.
  const std::vector<FlutterDesktopEngine::Delegate> delegates = engine->delegates;
  for (const auto& delegate : delegates) {
    if (!IsLive(engine)) return false;
    const bool stillRegistered =
        std::any_of(engine->delegates.begin(), engine->delegates.end(),
                    [&](const auto& d) { return d.serial == delegate.serial; });
    if (!stillRegistered) continue;
    if (delegate.callback(window, message, wparam, lparam, delegate.user_data,
                          result ? result : &ignored)) {
      return true;
    }
  }
  return false;
}

HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view) {
  return view ? view->hwnd : nullptr;
}

UINT FlutterDesktopGetDpiForMonitor(HMONITOR) {
  return gMonitorDpi;
}

void FlutterDesktopResyncOutputStreams(void) {}

bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger, const char* channel,
                                 const uint8_t* message, size_t message_size) {
  if (!messenger || !FlutterDesktopMessengerIsAvailable(messenger)) return false;
  Log(kFakeRuntimeSend, channel, message, message_size, -1);
  return true;
}

bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef messenger, const char* channel,
                                          const uint8_t* message, size_t message_size,
                                          FlutterDesktopBinaryReply reply, void* user_data) {
  if (!messenger || !FlutterDesktopMessengerIsAvailable(messenger)) return false;
  const PendingReply pending{0, true, messenger, reply, user_data};
  Log(kFakeRuntimeSendWithReply, channel, message, message_size, -1, &pending);
  return true;
}

void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char* channel,
                                        FlutterDesktopMessageCallback callback, void* user_data) {
  if (!messenger || !channel) return;
  std::lock_guard lock(messenger->lock);
  if (!messenger->available) return;
  if (callback) {
    messenger->handlers[channel] = {callback, user_data};
  } else {
    messenger->handlers.erase(channel);
  }
}

void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t dataLength) {
  // A handle the runtime does not know (its engine has ended) is ignored. A handle answered before
  // stays known until its engine ends, so a second answer is logged too: tests see the fault
  // instead of the runtime hiding it.
  if (!handle || gResponses.count(handle) == 0) return;
  Log(kFakeRuntimeResponse, handle->channel.c_str(), data, dataLength, handle->delivery);
}

FlutterDesktopMessengerRef FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger) {
  if (messenger) messenger->references.fetch_add(1);
  return messenger;
}

void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger) {
  if (messenger && messenger->references.fetch_sub(1) == 1) delete messenger;
}

FlutterDesktopMessengerRef FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger) {
  if (messenger) messenger->lock.lock();
  return messenger;
}

void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger) {
  if (messenger) messenger->lock.unlock();
}

bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger) {
  if (!messenger) return false;
  std::lock_guard lock(messenger->lock);
  return messenger->available;
}

FlutterDesktopMessengerRef FlutterDesktopPluginRegistrarGetMessenger(
    FlutterDesktopPluginRegistrarRef registrar) {
  return registrar ? registrar->engine->messenger : nullptr;
}

FlutterDesktopTextureRegistrarRef FlutterDesktopRegistrarGetTextureRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
  return registrar ? &registrar->engine->textures : nullptr;
}

FlutterDesktopViewRef FlutterDesktopPluginRegistrarGetView(
    FlutterDesktopPluginRegistrarRef registrar) {
  if (!registrar || !registrar->engine->controller) return nullptr;
  return &registrar->engine->controller->view;
}

void FlutterDesktopPluginRegistrarSetDestructionHandler(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopOnPluginRegistrarDestroyed callback) {
  if (registrar) registrar->onDestroyed = callback;
}

void FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate,
    void* user_data) {
  if (!registrar || !delegate) return;
  registrar->engine->delegates.push_back({gNextDelegate++, registrar, delegate, user_data});
}

int64_t FlutterDesktopTextureRegistrarRegisterExternalTexture(
    FlutterDesktopTextureRegistrarRef texture_registrar, const FlutterDesktopTextureInfo* info) {
  if (!texture_registrar || !info) return -1;
  if (info->type != kFlutterDesktopPixelBufferTexture &&
      info->type != kFlutterDesktopGpuSurfaceTexture) {
    return -1;
  }
  const int64_t id = texture_registrar->nextId++;
  texture_registrar->textures[id] = *info;
  return id;
}

void FlutterDesktopTextureRegistrarUnregisterExternalTexture(
    FlutterDesktopTextureRegistrarRef texture_registrar, int64_t texture_id,
    FlutterDesktopOnTextureUnregistered callback, void* user_data) {
  if (texture_registrar) texture_registrar->textures.erase(texture_id);
  // Called even for an unknown id: the caller frees what the texture used when it hears back.
  if (callback) callback(user_data);
}

bool FlutterDesktopTextureRegistrarMarkExternalTextureFrameAvailable(
    FlutterDesktopTextureRegistrarRef texture_registrar, int64_t texture_id) {
  return texture_registrar && texture_registrar->textures.count(texture_id) != 0;
}

// ---- Test interface ----

void FakeRuntimeReset(void) {
  std::lock_guard lock(gMutex);
  gStats = FakeRuntimeStats{};
  gEvents.clear();
  for (PendingReply& pending : gPending) pending.inLog = false;
  gPlugins.clear();
  gRequestedRegistrars.clear();
  gRequestedJoined.clear();
  gNextDelivery = 0;
  gFailNextViewController = false;
  gMonitorDpi = 96;
}

void FakeRuntimeGetStats(FakeRuntimeStats* stats) {
  if (!stats) return;
  std::lock_guard lock(gMutex);
  *stats = gStats;
}

FlutterDesktopEngineRef FakeRuntimeLatestEngine(void) {
  return IsLive(gLatestEngine) ? gLatestEngine : nullptr;
}

void FakeRuntimeSetMonitorDpi(UINT dpi) {
  gMonitorDpi = dpi;
}

void FakeRuntimeFailNextViewController(void) {
  gFailNextViewController = true;
}

int64_t FakeRuntimeDeliverMessage(FlutterDesktopEngineRef engine, const char* channel,
                                  const uint8_t* data, size_t size) {
  if (!IsLive(engine) || !channel) return -1;
  auto* handle = new FlutterDesktopMessageResponse{gNextDelivery++, engine, channel};
  gResponses.insert(handle);
  FlutterDesktopMessenger* messenger = engine->messenger;
  FlutterDesktopMessenger::Handler handler{nullptr, nullptr};
  {
    std::lock_guard lock(messenger->lock);
    auto found = messenger->handlers.find(channel);
    if (found != messenger->handlers.end()) handler = found->second;
  }
  const int64_t delivery = handle->delivery;
  if (!handler.callback) {
    FlutterDesktopMessengerSendResponse(messenger, handle, nullptr, 0);
    return delivery;
  }
  const FlutterDesktopMessage message{sizeof(FlutterDesktopMessage), channel, data, size, handle};
  handler.callback(messenger, &message, handler.user_data);
  return delivery;
}

size_t FakeRuntimeEventCount(void) {
  std::lock_guard lock(gMutex);
  return gEvents.size();
}

bool FakeRuntimeGetEvent(size_t index, FakeRuntimeEvent* event) {
  std::lock_guard lock(gMutex);
  if (!event || index >= gEvents.size()) return false;
  const LoggedEvent& logged = gEvents[index];
  *event = {logged.kind, logged.channel.c_str(), logged.data.get(), logged.size, logged.delivery};
  return true;
}

void FakeRuntimeClearLog(void) {
  std::lock_guard lock(gMutex);
  gEvents.clear();
  for (PendingReply& pending : gPending) pending.inLog = false;
}

bool FakeRuntimeReplyToSend(size_t index, const uint8_t* data, size_t size) {
  PendingReply pending{};
  {
    std::lock_guard lock(gMutex);
    auto found = std::find_if(gPending.begin(), gPending.end(), [&](const PendingReply& p) {
      return p.inLog && p.logIndex == index;
    });
    if (found == gPending.end()) return false;
    pending = *found;
    gPending.erase(found);
  }
  if (pending.reply) pending.reply(data, size, pending.user_data);
  return true;
}

bool FakeRuntimeHasHandler(FlutterDesktopEngineRef engine, const char* channel) {
  if (!IsLive(engine) || !channel) return false;
  std::lock_guard lock(engine->messenger->lock);
  return engine->messenger->handlers.count(channel) != 0;
}

bool FakeRuntimeDestroyRegistrar(FlutterDesktopEngineRef engine, const char* plugin_name) {
  if (!IsLive(engine) || !plugin_name) return false;
  auto found = std::find_if(engine->registrars.begin(), engine->registrars.end(),
                            [&](const auto& r) { return r->name == plugin_name; });
  if (found == engine->registrars.end()) return false;
  std::unique_ptr<FlutterDesktopPluginRegistrar> registrar = std::move(*found);
  engine->registrars.erase(found);
  std::erase_if(engine->delegates, [&](const auto& d) { return d.registrar == registrar.get(); });
  if (registrar->onDestroyed) registrar->onDestroyed(registrar.get());
  return true;
}

int FakeRuntimeTextureCount(FlutterDesktopTextureRegistrarRef registrar) {
  return registrar ? static_cast<int>(registrar->textures.size()) : 0;
}

int32_t FakeRuntimeTextureType(FlutterDesktopTextureRegistrarRef registrar, int64_t id) {
  if (!registrar) return -1;
  auto found = registrar->textures.find(id);
  return found == registrar->textures.end() ? -1 : found->second.type;
}

const void* FakeRuntimeRequestTextureFrame(FlutterDesktopTextureRegistrarRef registrar, int64_t id,
                                           size_t width, size_t height) {
  if (!registrar) return nullptr;
  auto found = registrar->textures.find(id);
  if (found == registrar->textures.end()) return nullptr;
  const FlutterDesktopTextureInfo& info = found->second;
  FlutterDesktopTextureCallback callback = info.type == kFlutterDesktopPixelBufferTexture
                                               ? info.pixel_buffer_config.callback
                                               : info.gpu_surface_config.callback;
  void* user_data = info.type == kFlutterDesktopPixelBufferTexture
                        ? info.pixel_buffer_config.user_data
                        : info.gpu_surface_config.user_data;
  return callback ? callback(width, height, user_data) : nullptr;
}

FlutterDesktopEngineRef FakeRuntimeViewControllerEngine(
    FlutterDesktopViewControllerRef controller) {
  return controller ? controller->engine : nullptr;
}

void FakeRuntimeNotePluginRegistered(FlutterDesktopPluginRegistrarRef, const char* plugin) {
  std::lock_guard lock(gMutex);
  if (!gPlugins.empty()) gPlugins.push_back('\n');
  gPlugins.append(plugin ? plugin : "");
}

const char* FakeRuntimeRegisteredPlugins(void) {
  std::lock_guard lock(gMutex);
  return gPlugins.c_str();
}

const char* FakeRuntimeRequestedRegistrars(void) {
  std::lock_guard lock(gMutex);
  return gRequestedJoined.c_str();
}

}  // extern "C"
