// The engine and view controller wrappers against the stand-in runtime.

#include <gtest/gtest.h>

#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "fake_runtime.h"
#include "flutter_view_controller.h"
#include "plugin_registrar.h"
#include "stderr_capture.h"

namespace flutter {
namespace {

using quarvelin::testing::StderrCapture;

void PumpMessages() {
  MSG message;
  for (int round = 0; round < 3; ++round) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(10);
  }
}

FakeRuntimeStats Stats() {
  FakeRuntimeStats stats{};
  FakeRuntimeGetStats(&stats);
  return stats;
}

EngineSettings Settings() {
  EngineSettings settings;
  settings.assets_path = L"data\\flutter_assets";
  settings.icu_data_path = L"data\\icudtl.dat";
  settings.aot_library_path = L"data\\app.so";
  return settings;
}

class FlutterEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { FakeRuntimeReset(); }
};

TEST_F(FlutterEngineTest, PassesTheSettingsAsTheRuntimeExpectsThem) {
  {
    FlutterViewController controller(320, 200, Settings());
    const FakeRuntimeStats stats = Stats();
    EXPECT_FALSE(stats.entrypoint_was_null);  // the default entry point is "", not null
    EXPECT_STREQ(stats.entrypoint, "");
    EXPECT_TRUE(stats.argc == 0 && stats.argv_was_null);
    EXPECT_STREQ(stats.assets_path, L"data\\flutter_assets");
    EXPECT_STREQ(stats.icu_data_path, L"data\\icudtl.dat");
    EXPECT_STREQ(stats.aot_library_path, L"data\\app.so");
  }
  EngineSettings settings = Settings();
  settings.entrypoint = "recoveryMain";
  settings.entrypoint_arguments = {"--scan", "E:"};
  settings.engine_option_1 = -7;
  settings.engine_option_2 = 1 << 30;
  FlutterViewController controller(320, 200, settings);
  const FakeRuntimeStats stats = Stats();
  EXPECT_STREQ(stats.entrypoint, "recoveryMain");
  EXPECT_EQ(stats.argc, 2);
  EXPECT_STREQ(stats.argv_joined, "--scan\nE:");
  EXPECT_EQ(stats.engine_option_1, -7);
  EXPECT_EQ(stats.engine_option_2, 1 << 30);
}

TEST_F(FlutterEngineTest, ViewControllerOwnsTheEngineAndEndsItOnce) {
  {
    FlutterViewController controller(320, 200, Settings());
    ASSERT_NE(controller.view(), nullptr);
    wchar_t class_name[64] = {};
    GetClassNameW(controller.view()->GetNativeWindow(), class_name, 64);
    EXPECT_STREQ(class_name, L"FLUTTERVIEW");

    // The next-frame callback fires once per arming.
    int frames = 0;
    controller.engine()->SetNextFrameCallback([&] { ++frames; });
    for (int redraw = 0; redraw < 3; ++redraw) {
      controller.ForceRedraw();
      PumpMessages();
    }
    EXPECT_EQ(frames, 1);
    EXPECT_GE(Stats().frames_drawn, 3);
    controller.engine()->SetNextFrameCallback([&] { frames += 10; });
    controller.ForceRedraw();
    PumpMessages();
    EXPECT_EQ(frames, 11);
  }
  const FakeRuntimeStats stats = Stats();
  EXPECT_EQ(stats.view_controllers_destroyed, 1);
  EXPECT_EQ(stats.engines_destroyed, 1);
  EXPECT_EQ(stats.engine_destroy_calls, 0);  // never through the engine wrapper
}

TEST_F(FlutterEngineTest, FailedViewControllerHasNoViewAndRefusesRegistrars) {
  FakeRuntimeFailNextViewController();
  StderrCapture errors;
  FlutterViewController controller(320, 200, Settings());
  EXPECT_EQ(controller.view(), nullptr);
  ASSERT_NE(controller.engine(), nullptr);
  EXPECT_EQ(controller.engine()->GetRegistrarForPlugin("DiskAccessPlugin"), nullptr);
  EXPECT_EQ(controller.HandleTopLevelWindowProc(nullptr, WM_SIZE, 0, 0), std::nullopt);
  EXPECT_EQ(errors.Text(),
            "Failed to create view controller.\n"
            "Cannot get plugin registrar on an engine that isn't running; call Run first.\n");
  const FakeRuntimeStats stats = Stats();
  EXPECT_EQ(stats.engines_destroyed, 1);  // by the runtime that was handed it
  EXPECT_EQ(stats.engine_destroy_calls, 0);
}

TEST_F(FlutterEngineTest, WindowMessagesGoToDelegatesInIdOrder) {
  FlutterViewController controller(320, 200, Settings());
  auto registrar = [&](const char* plugin) {
    return RegistrarCache::GetInstance().GetRegistrar(
        controller.engine()->GetRegistrarForPlugin(plugin));
  };
  ASSERT_NE(registrar("first")->GetView(), nullptr);
  std::string order;
  // Records its name and answers the messages from WM_APP + 1 up to `last` with `value`.
  const auto delegate = [&](char name, UINT last, LRESULT value) {
    return
        [&order, name, last, value](HWND, UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
          order += name;
          if (message > WM_APP && message <= last) return value;
          return std::nullopt;
        };
  };
  PluginRegistrarWindows* first = registrar("first");
  const int low = first->RegisterTopLevelWindowProcDelegate(delegate('a', WM_APP + 1, 11));
  const int high = first->RegisterTopLevelWindowProcDelegate(delegate('b', WM_APP + 2, 22));
  registrar("second")->RegisterTopLevelWindowProcDelegate(delegate('c', 0, 0));
  EXPECT_LT(low, high);
  const std::vector<std::tuple<UINT, std::optional<LRESULT>, std::string>> cases = {
      {WM_APP + 1, 11, "a"}, {WM_APP + 2, 22, "ab"}, {WM_APP + 3, std::nullopt, "abc"}};
  for (const auto& [message, result, asked] : cases) {
    order.clear();
    EXPECT_EQ(controller.HandleTopLevelWindowProc(nullptr, message, 0, 0), result);
    EXPECT_EQ(order, asked);
  }
}

}  // namespace
}  // namespace flutter
