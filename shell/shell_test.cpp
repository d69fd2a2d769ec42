// The application's windows against the stand-in runtime and plugin libraries.

#include <windows.h>
#include <dbt.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake_ui.h"
#include "flutter_window.h"
#include "standard_codec.h"
#include "utils.h"
#include "win32_window.h"

namespace {

using quarvelin::testing::Bytes;
using quarvelin::testing::Deliver;
using quarvelin::testing::SentMessages;

bool ClassRegistered() {
  WNDCLASSEXW info{};
  info.cbSize = sizeof(info);
  return GetClassInfoExW(GetModuleHandleW(nullptr), L"FLUTTER_RUNNER_WIN32_WINDOW", &info) != 0;
}

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override { FakeRuntimeReset(); }
  void TearDown() override { FakeRuntimeReset(); }
};

TEST_F(ShellTest, WindowPlacementScalesWithTheMonitorDpi) {
  const std::vector<std::pair<UINT, std::vector<long>>> cases = {
      {96, {10, 10, 410, 310}}, {120, {12, 12, 512, 387}}, {144, {15, 15, 615, 465}}};
  for (const auto& [dpi, expected] : cases) {
    FakeRuntimeSetMonitorDpi(dpi);
    Win32Window window;
    ASSERT_TRUE(window.Create(L"placement", {10, 10}, {400, 300}));
    RECT placed{};
    GetWindowRect(window.GetHandle(), &placed);
    EXPECT_EQ((std::vector<long>{placed.left, placed.top, placed.right, placed.bottom}), expected)
        << dpi;
    EXPECT_FALSE(IsWindowVisible(window.GetHandle()));  // shown later, at the first frame
  }
}

TEST_F(ShellTest, ThemeFollowsTheRegistryValue) {
  const wchar_t* key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
  for (const DWORD light : {0u, 1u}) {
    RegSetKeyValueW(HKEY_CURRENT_USER, key, L"AppsUseLightTheme", REG_DWORD, &light, sizeof(light));
    bool dark = light != 0;
    EXPECT_TRUE(Win32Window::ReadDarkTheme(&dark));
    EXPECT_EQ(dark, light == 0);
  }
  RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"AppsUseLightTheme");
  bool dark = true;
  EXPECT_FALSE(Win32Window::ReadDarkTheme(&dark));  // unreadable: the title bar stays as it is
  EXPECT_TRUE(dark);
}

TEST_F(ShellTest, ChildContentFillsTheClientArea) {
  Win32Window window;
  ASSERT_TRUE(window.Create(L"child", {10, 10}, {400, 300}));
  EXPECT_EQ(SendMessageW(window.GetHandle(), WM_SIZE, 0, 0), 0);  // no child yet: nothing to do
  HWND child = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 5, 5, window.GetHandle(), nullptr,
                               nullptr, nullptr);
  window.AttachChildContent(child);
  SetWindowPos(window.GetHandle(), nullptr, 0, 0, 500, 420, SWP_NOMOVE | SWP_NOZORDER);
  RECT client = window.ClientArea();
  RECT content{};
  GetClientRect(child, &content);
  EXPECT_EQ(content.right, client.right);
  EXPECT_EQ(content.bottom, client.bottom);
}

TEST_F(ShellTest, ClassStaysRegisteredWhileAnyWindowObjectLives) {
  auto first = std::make_unique<Win32Window>();
  auto second = std::make_unique<Win32Window>();
  ASSERT_TRUE(first->Create(L"first", {10, 10}, {200, 200}));
  ASSERT_TRUE(second->Create(L"second", {10, 10}, {200, 200}));
  first.reset();
  EXPECT_TRUE(ClassRegistered());
  second.reset();
  EXPECT_FALSE(ClassRegistered());
}

TEST_F(ShellTest, CommandLineArgumentsInUtf8) {
  EXPECT_EQ(Utf16ToUtf8(nullptr), "");
  EXPECT_EQ(Utf16ToUtf8(L"Gr\u00fc\u00dfe \u6587"),
            "Gr\xc3\xbc\xc3\x9f"
            "e \xe6\x96\x87");
  EXPECT_EQ(Utf16ToUtf8(L"a\xD800z"), "");  // an unpaired surrogate
  EXPECT_TRUE(
      CollectCommandLineArguments(L"\"C:\\Program Files\\Quarvelin\\quarvelin.exe\"").empty());
  EXPECT_EQ(CollectCommandLineArguments(L"quarvelin.exe --scan \"two words\" a\xDC00"),
            (std::vector<std::string>{"--scan", "two words", ""}));
}

TEST_F(ShellTest, OnlyArrivalRemovalAndNodeChangesBecomeDriveChangeEvents) {
  FlutterWindow window{flutter::EngineSettings{}};
  ASSERT_TRUE(window.Create(L"Quarvelin", {10, 10}, {640, 480}));
  Deliver(FakeRuntimeLatestEngine(), "com.ulvenmark/drive_changes",
          quarvelin::testing::MethodCallMessage("listen"));
  FakeRuntimeClearLog();
  for (WPARAM code : {WPARAM{DBT_DEVICEARRIVAL}, WPARAM{DBT_DEVICEQUERYREMOVE},
                      WPARAM{DBT_DEVICEREMOVECOMPLETE}, WPARAM{DBT_DEVNODES_CHANGED}}) {
    SendMessageW(window.GetHandle(), WM_DEVICECHANGE, code, 0);
  }
  std::vector<std::string> types;
  for (const auto& sent : SentMessages()) {
    ASSERT_EQ(sent.channel, "com.ulvenmark/drive_changes");
    const auto event = std::get<flutter::EncodableMap>(quarvelin::testing::Payload(sent.data));
    types.push_back(std::get<std::string>(event.at(flutter::EncodableValue("type"))));
  }
  EXPECT_EQ(types, (std::vector<std::string>{"arrival", "removal", "changed"}));
}

}  // namespace
