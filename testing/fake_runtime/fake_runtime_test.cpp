#include "fake_runtime.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

FakeRuntimeStats Stats() {
  FakeRuntimeStats stats{};
  FakeRuntimeGetStats(&stats);
  return stats;
}

FakeRuntimeEvent Event(size_t index) {
  FakeRuntimeEvent event{};
  FakeRuntimeGetEvent(index, &event);
  return event;
}

Bytes EventBytes(const FakeRuntimeEvent& event) {
  return event.data ? Bytes(event.data, event.data + event.size) : Bytes{};
}

FlutterDesktopEngineRef NewEngine() {
  FlutterDesktopEngineProperties properties{};
  properties.dart_entrypoint = "";
  return FlutterDesktopEngineCreate(&properties);
}

class FakeRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PumpMessages();
    FakeRuntimeReset();
  }
};

void CountReply(const uint8_t* data, size_t size, void* user_data) {
  auto* replies = static_cast<std::vector<Bytes>*>(user_data);
  replies->push_back(data ? Bytes(data, data + size) : Bytes{0xEE});
}

TEST_F(FakeRuntimeTest, SendsAreLoggedAndRepliesGoOutOnceOrEmptyAtShutdown) {
  FlutterDesktopEngineRef engine = NewEngine();
  FlutterDesktopMessengerRef messenger =
      FlutterDesktopMessengerAddRef(FlutterDesktopEngineGetMessenger(engine));
  const Bytes payload{4, 5, 6};
  std::vector<Bytes> replies;
  EXPECT_TRUE(FlutterDesktopMessengerSend(messenger, "events", nullptr, 0));
  EXPECT_TRUE(FlutterDesktopMessengerSendWithReply(messenger, "ask", payload.data(), payload.size(),
                                                   CountReply, &replies));
  EXPECT_TRUE(
      FlutterDesktopMessengerSendWithReply(messenger, "ask", nullptr, 0, CountReply, &replies));

  ASSERT_EQ(FakeRuntimeEventCount(), 3u);
  EXPECT_EQ(Event(0).kind, kFakeRuntimeSend);
  EXPECT_EQ(Event(0).data, nullptr);
  EXPECT_STREQ(Event(1).channel, "ask");
  EXPECT_EQ(EventBytes(Event(1)), payload);
  EXPECT_FALSE(FakeRuntimeReplyToSend(0, nullptr, 0));
  EXPECT_TRUE(FakeRuntimeReplyToSend(1, payload.data(), payload.size()));
  EXPECT_FALSE(FakeRuntimeReplyToSend(1, payload.data(), payload.size()));
  EXPECT_EQ(replies, std::vector<Bytes>{payload});

  // The engine's end answers the reply still pending; the messenger outlives it, unavailable.
  FlutterDesktopEngineDestroy(engine);
  EXPECT_EQ(replies, (std::vector<Bytes>{payload, Bytes{0xEE}}));
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(messenger));
  EXPECT_FALSE(
      FlutterDesktopMessengerSendWithReply(messenger, "ask", nullptr, 0, CountReply, &replies));
  FlutterDesktopMessengerRelease(messenger);
}

void CountFrame(void* user_data) {
  ++*static_cast<int*>(user_data);
}

TEST_F(FakeRuntimeTest, ViewDrawsFramesWhenMessagesArePumpedAndFiresNextFrameOnce) {
  FlutterDesktopEngineRef engine = NewEngine();
  int fired = 0;
  FlutterDesktopEngineSetNextFrameCallback(engine, CountFrame, &fired);
  FlutterDesktopViewControllerRef controller = FlutterDesktopViewControllerCreate(320, 200, engine);
  ASSERT_NE(controller, nullptr);
  HWND view = FlutterDesktopViewGetHWND(FlutterDesktopViewControllerGetView(controller));
  wchar_t class_name[64] = {};
  GetClassNameW(view, class_name, 64);
  EXPECT_STREQ(class_name, L"FLUTTERVIEW");
  EXPECT_EQ(fired, 0);

  PumpMessages();
  EXPECT_EQ(fired, 1);
  FlutterDesktopViewControllerForceRedraw(controller);
  PumpMessages();
  EXPECT_EQ(fired, 1);
  FlutterDesktopEngineSetNextFrameCallback(engine, CountFrame, &fired);
  FlutterDesktopViewControllerForceRedraw(controller);
  PumpMessages();
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(Stats().frames_drawn, 3);

  HWND host = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr,
                              nullptr, nullptr, nullptr);
  SetParent(view, host);
  EXPECT_EQ(GetParent(view), host);
  ShowWindow(host, SW_SHOWNA);
  UpdateWindow(host);
  PumpMessages();
  EXPECT_GT(Stats().frames_drawn, 3);  // painting the view draws a frame
  FlutterDesktopViewControllerDestroy(controller);
  EXPECT_FALSE(IsWindow(view));
  DestroyWindow(host);
  PumpMessages();
}

std::vector<FlutterDesktopPluginRegistrarRef> g_destroyed;
void NoteDestroyed(FlutterDesktopPluginRegistrarRef registrar) {
  g_destroyed.push_back(registrar);
}

TEST_F(FakeRuntimeTest, ViewControllerEndsItsEngineAndRegistrarsOnce) {
  g_destroyed.clear();
  FlutterDesktopEngineRef engine = NewEngine();
  FlutterDesktopPluginRegistrarRef first = FlutterDesktopEngineGetPluginRegistrar(engine, "a");
  FlutterDesktopPluginRegistrarRef second = FlutterDesktopEngineGetPluginRegistrar(engine, "b");
  EXPECT_EQ(FlutterDesktopEngineGetPluginRegistrar(engine, "a"), first);
  EXPECT_STREQ(FakeRuntimeRequestedRegistrars(), "a\nb");  // first request of each name
  FlutterDesktopPluginRegistrarSetDestructionHandler(first, NoteDestroyed);
  FlutterDesktopPluginRegistrarSetDestructionHandler(second, NoteDestroyed);
  FlutterDesktopViewControllerRef controller = FlutterDesktopViewControllerCreate(10, 10, engine);
  EXPECT_EQ(FlutterDesktopPluginRegistrarGetView(first),
            FlutterDesktopViewControllerGetView(controller));

  EXPECT_TRUE(FakeRuntimeDestroyRegistrar(engine, "b"));
  EXPECT_FALSE(FakeRuntimeDestroyRegistrar(engine, "b"));
  FlutterDesktopViewControllerDestroy(controller);
  EXPECT_EQ(g_destroyed, (std::vector<FlutterDesktopPluginRegistrarRef>{second, first}));
  EXPECT_EQ(Stats().engines_destroyed, 1);
  EXPECT_EQ(Stats().engine_destroy_calls, 0);
  PumpMessages();
  EXPECT_EQ(Stats().frames_drawn, 0);  // the posted frame went with the window

  // A view controller that fails still ends the engine it was handed, once.
  FakeRuntimeFailNextViewController();
  EXPECT_EQ(FlutterDesktopViewControllerCreate(10, 10, NewEngine()), nullptr);
  EXPECT_EQ(Stats().engines_destroyed, 2);
  EXPECT_EQ(Stats().engine_destroy_calls, 0);
  EXPECT_EQ(Stats().view_controllers_created, 1);
}

TEST_F(FakeRuntimeTest, PluginLibrariesNoteTheirRegistration) {
  FlutterDesktopEngineRef engine = NewEngine();
  const struct {
    const wchar_t* library;
    const char* function;
  } plugins[] = {
      {L"audioplayers_windows_plugin.dll", "AudioplayersWindowsPluginRegisterWithRegistrar"},
      {L"file_selector_windows_plugin.dll", "FileSelectorWindowsRegisterWithRegistrar"},
      {L"url_launcher_windows_plugin.dll", "UrlLauncherWindowsRegisterWithRegistrar"},
      {L"video_player_win_plugin.dll", "VideoPlayerWinPluginCApiRegisterWithRegistrar"},
  };
  for (const auto& plugin : plugins) {
    HMODULE library = LoadLibraryW(plugin.library);
    ASSERT_NE(library, nullptr);
    auto address = reinterpret_cast<void (*)()>(GetProcAddress(library, plugin.function));
    ASSERT_NE(address, nullptr) << plugin.function;
    reinterpret_cast<void (*)(FlutterDesktopPluginRegistrarRef)>(address)(
        FlutterDesktopEngineGetPluginRegistrar(engine, plugin.function));
  }
  EXPECT_STREQ(FakeRuntimeRegisteredPlugins(),
               "audioplayers_windows_plugin\nfile_selector_windows_plugin\n"
               "url_launcher_windows_plugin\nvideo_player_win_plugin");
  FlutterDesktopEngineDestroy(engine);
}

}  // namespace
