// The disk access plugin driven as the user interface drives it: platform messages through the
// stand-in runtime, answers read back byte for byte, reads finished through the host window.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "common/json_string.h"
#include "disk_access_plugin.h"
#include "fake_ui.h"
#include "standard_codec.h"

namespace ul_venmark {
namespace {

using quarvelin::testing::Bytes;
using quarvelin::testing::Deliver;
using quarvelin::testing::ResponsesTo;
using quarvelin::testing::ResponseTo;
using quarvelin::testing::SentMessages;

using quarvelin::testing::ErrorEnvelope;
using quarvelin::testing::MapOf;
using quarvelin::testing::MethodCallMessage;
using quarvelin::testing::Payload;
using quarvelin::testing::SuccessEnvelope;

// The host window: offers every message to the runtime (and so to the plugins' delegates) first.
FlutterDesktopViewControllerRef hostController = nullptr;
LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = 0;
  if (hostController != nullptr && FlutterDesktopViewControllerHandleTopLevelWindowProc(
                                       hostController, window, message, wparam, lparam, &result)) {
    return result;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// The drive letter the test runner mapped to an image, if any.
std::optional<char> TestDrive() {
  const char* letter = std::getenv("QUARVELIN_TEST_DRIVE");
  if (letter == nullptr || *letter == '\0') return std::nullopt;
  return *letter;
}
constexpr int64_t kImageSectors = 64;
uint8_t ImageByte(int64_t offset) {
  return static_cast<uint8_t>((offset / 512 * 31 + offset % 512) & 0xFF);
}

class DiskAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeRuntimeReset();
    FlutterDesktopEngineProperties properties{};
    properties.dart_entrypoint = "";
    engine_ = FlutterDesktopEngineCreate(&properties);
    controller_ = FlutterDesktopViewControllerCreate(640, 480, engine_);
    ASSERT_NE(controller_, nullptr);
    static const bool registered = [] {
      WNDCLASSW windowClass{};
      windowClass.lpfnWndProc = HostProc;
      windowClass.hInstance = GetModuleHandleW(nullptr);
      windowClass.lpszClassName = L"QuarvelinTestHost";
      return RegisterClassW(&windowClass) != 0;
    }();
    ASSERT_TRUE(registered);
    host_ = CreateWindowExW(0, L"QuarvelinTestHost", L"", WS_OVERLAPPEDWINDOW, 0, 0, 640, 480,
                            nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(host_, nullptr);
    SetParent(FlutterDesktopViewGetHWND(FlutterDesktopViewControllerGetView(controller_)), host_);
    hostController = controller_;
    DiskAccessPlugin::RegisterWithRegistrar(
        FlutterDesktopEngineGetPluginRegistrar(engine_, "DiskAccessPlugin"));
  }
  void TearDown() override {
    Pump();  // no read may be left for a window that is gone
    hostController = nullptr;
    if (host_ != nullptr) DestroyWindow(host_);
    if (controller_ != nullptr) FlutterDesktopViewControllerDestroy(controller_);
  }

  static void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }

  int64_t Send(const std::string& method, std::unique_ptr<EncodableValue> arguments = nullptr) {
    return Deliver(engine_, "com.ulvenmark/disk_access",
                   MethodCallMessage(method, std::move(arguments)));
  }
  std::optional<Bytes> Call(const std::string& method, const EncodableValue& arguments) {
    return ResponseTo(Send(method, std::make_unique<EncodableValue>(arguments)));
  }
  // Waits for the answer of a read, pumping the main thread's messages.
  Bytes Await(int64_t delivery) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ResponsesTo(delivery).empty() && std::chrono::steady_clock::now() < deadline) {
      Pump();
      Sleep(1);
    }
    const auto responses = ResponsesTo(delivery);
    EXPECT_EQ(responses.size(), 1u);
    return responses.empty() ? Bytes{} : responses.front();
  }
  int64_t Read(int64_t handle, int64_t start, int64_t count) {
    return Send("readSectors",
                std::make_unique<EncodableValue>(MapOf({{"handle", EncodableValue(handle)},
                                                        {"startSector", EncodableValue(start)},
                                                        {"count", EncodableValue(count)}})));
  }
  static Bytes ImageList(int64_t offset, int64_t length) {
    flutter::EncodableList bytes;
    for (int64_t i = 0; i < length; ++i)
      bytes.emplace_back(static_cast<int32_t>(ImageByte(offset + i)));
    return SuccessEnvelope(EncodableValue(std::move(bytes)));
  }

  FlutterDesktopEngineRef engine_ = nullptr;
  FlutterDesktopViewControllerRef controller_ = nullptr;
  HWND host_ = nullptr;
};

TEST_F(DiskAccessTest, MethodTableAndArgumentChecks) {
  EXPECT_EQ(ResponseTo(Send("hasElevatedPrivileges")), (Bytes{0x00, 0x01}));
  EXPECT_EQ(Call("requestElevatedPrivileges", EncodableValue(7)), (Bytes{0x00, 0x02}));
  EXPECT_EQ(ResponseTo(Send("HasElevatedPrivileges")), Bytes{});  // names are case-sensitive
  EXPECT_EQ(ResponseTo(Send("formatDrive")), Bytes{});
  // Bytes that are no method call at all are answered as not implemented.
  EXPECT_EQ(ResponseTo(Deliver(engine_, "com.ulvenmark/disk_access", Bytes{0xFF, 0x07})), Bytes{});
  EXPECT_EQ(ResponseTo(Deliver(engine_, "com.ulvenmark/drive_changes", Bytes{})), Bytes{});

  const Bytes notMap = ErrorEnvelope("INVALID_ARGS", "Args must be map");
  for (const char* method :
       {"openDrive", "readSectors", "getDriveGeometry", "closeDrive", "getDiskHealth"}) {
    EXPECT_EQ(ResponseTo(Send(method)), notMap) << method;
    EXPECT_EQ(Call(method, EncodableValue(flutter::EncodableList{})), notMap) << method;
    EXPECT_EQ(Call(method, EncodableValue("C:\\")), notMap) << method;
  }
  const Bytes missing = ErrorEnvelope("INVALID_ARGS", "Missing arguments");
  const EncodableValue c = EncodableValue("C:\\");
  const std::vector<std::tuple<const char*, EncodableValue, Bytes>> cases = {
      {"openDrive", MapOf({{"driveId", c}}), missing},
      {"readSectors", MapOf({{"handle", EncodableValue(1)}, {"startSector", EncodableValue(0)}}),
       missing},
      {"getDriveGeometry", MapOf({}), missing},
      {"closeDrive", MapOf({{"Handle", EncodableValue(1)}}), missing},
      {"getDiskHealth", MapOf({{"drive", c}}), ErrorEnvelope("INVALID_ARGS", "Missing driveId")},
      {"getDriveGeometry", MapOf({{"handle", EncodableValue(99)}}),
       ErrorEnvelope("GEO_ERROR", "Invalid handle")},
      {"closeDrive", MapOf({{"handle", EncodableValue(int64_t{99})}}), Bytes{0x00, 0x00}},
      {"openDrive", MapOf({{"driveId", EncodableValue("Q")}, {"readOnly", EncodableValue(true)}}),
       ErrorEnvelope("EXCEPTION", "Failed to open drive")},
      // Wine maps no volume to a physical disk: the health map says so.
      {"getDiskHealth", MapOf({{"driveId", c}}),
       SuccessEnvelope(MapOf({{"temperature", EncodableValue(0)},
                              {"health", EncodableValue(100)},
                              {"life", EncodableValue("Unknown")},
                              {"hours", EncodableValue("0")},
                              {"badSectors", EncodableValue(0)},
                              {"source", EncodableValue("PathResolutionFailed")}}))},
  };
  for (const auto& [method, arguments, expected] : cases) {
    EXPECT_EQ(Call(method, arguments), expected) << method;
  }
}

TEST_F(DiskAccessTest, WrongArgumentTypesAreAnsweredOnceAndChangeNothing) {
  // Wine opens the volume device of C: and reports a made-up geometry for it, so whether handle 1
  // is still open shows in its geometry answer.
  const EncodableValue open =
      MapOf({{"driveId", EncodableValue("C:\\")}, {"readOnly", EncodableValue(true)}});
  ASSERT_EQ(Call("openDrive", open), SuccessEnvelope(EncodableValue(int64_t{1})));
  const EncodableValue handle1 = MapOf({{"handle", EncodableValue(1)}});
  const auto geometry = Call("getDriveGeometry", handle1);
  ASSERT_TRUE(geometry.has_value());
  ASSERT_NE(geometry, ErrorEnvelope("GEO_ERROR", "Invalid handle"));

  const std::vector<EncodableValue> notInteger = {EncodableValue(1.0), EncodableValue("1"),
                                                  EncodableValue(true), EncodableValue()};
  const std::vector<EncodableValue> notString = {EncodableValue(3), EncodableValue(true),
                                                 EncodableValue(flutter::EncodableList{})};
  const std::vector<EncodableValue> notBool = {EncodableValue(1), EncodableValue("true"),
                                               EncodableValue(0.0)};
  struct Method {
    const char* name;
    EncodableValue valid;
    std::vector<std::pair<const char*, const std::vector<EncodableValue>*>> keys;
  };
  const std::vector<Method> methods = {
      {"openDrive", open, {{"driveId", &notString}, {"readOnly", &notBool}}},
      {"readSectors",
       MapOf({{"handle", EncodableValue(1)},
              {"startSector", EncodableValue(0)},
              {"count", EncodableValue(1)}}),
       {{"handle", &notInteger}, {"startSector", &notInteger}, {"count", &notInteger}}},
      {"getDriveGeometry", handle1, {{"handle", &notInteger}}},
      {"closeDrive", handle1, {{"handle", &notInteger}}},
      {"getDiskHealth", MapOf({{"driveId", EncodableValue("C:\\")}}), {{"driveId", &notString}}},
  };
  const Bytes badType = ErrorEnvelope("EXCEPTION", "bad variant access");
  std::vector<int64_t> deliveries;
  for (const Method& method : methods) {
    for (const auto& [key, wrongValues] : method.keys) {
      for (const EncodableValue& wrong : *wrongValues) {
        EncodableMap arguments = std::get<EncodableMap>(method.valid);
        arguments[EncodableValue(std::string(key))] = wrong;
        const int64_t delivery =
            Send(method.name, std::make_unique<EncodableValue>(std::move(arguments)));
        // Answered at once: nothing was started that could answer later.
        EXPECT_EQ(ResponsesTo(delivery), std::vector<Bytes>{badType}) << method.name << " " << key;
        deliveries.push_back(delivery);
      }
    }
  }
  Pump();
  for (const int64_t delivery : deliveries) EXPECT_EQ(ResponsesTo(delivery).size(), 1u);
  // Handle 1 was neither closed nor joined by another.
  EXPECT_EQ(Call("getDriveGeometry", handle1), geometry);
  EXPECT_EQ(Call("openDrive", open), SuccessEnvelope(EncodableValue(int64_t{2})));
}

TEST_F(DiskAccessTest, EnumeratedDrivesHaveEightFields) {
  const auto response = ResponseTo(Send("enumerateDrives"));
  ASSERT_TRUE(response.has_value());
  const EncodableValue drives = Payload(*response);
  // Channel texts are UTF-8 whatever the ANSI code page; this test runs under a Western one.
  const auto isUtf8 = [](const EncodableValue& value) {
    std::string_view text = std::get<std::string>(value);
    while (!text.empty()) {
      const size_t length = quarvelin::Utf8SequenceLength(text);
      if (length == 0) return false;
      text.remove_prefix(length);
    }
    return true;
  };
  bool sawC = false;
  for (const EncodableValue& value : std::get<flutter::EncodableList>(drives)) {
    const auto& drive = std::get<EncodableMap>(value);
    EXPECT_EQ(drive.size(), 8u);
    EXPECT_TRUE(isUtf8(drive.at(EncodableValue("name"))));
    EXPECT_TRUE(isUtf8(drive.at(EncodableValue("fileSystem"))));
    if (drive.at(EncodableValue("id")) != EncodableValue("C:\\")) continue;
    sawC = true;
    // The test session labels C: outside ASCII (see tools/wine-session.sh).
    if (std::getenv("QUARVELIN_TEST_LABEL") != nullptr) {
      EXPECT_NE(std::get<std::string>(drive.at(EncodableValue("name"))), "");
    }
    EXPECT_EQ(drive.at(EncodableValue("letter")), EncodableValue("C"));
    EXPECT_EQ(drive.at(EncodableValue("type")), EncodableValue("hdd"));
    EXPECT_EQ(drive.at(EncodableValue("isRemovable")), EncodableValue(false));
    EXPECT_TRUE(std::holds_alternative<int64_t>(drive.at(EncodableValue("sizeBytes"))));
  }
  EXPECT_TRUE(sawC);
}

TEST_F(DiskAccessTest, ReadsARealDriveAndRefusesBadRanges) {
  const auto letter = TestDrive();
  if (!letter) GTEST_SKIP() << "needs a drive letter mapped to the test image";
  const EncodableValue open = MapOf({{"driveId", EncodableValue(std::string(1, *letter) + ":\\")},
                                     {"readOnly", EncodableValue(true)}});
  // Ids 1 and 2, then 3 after a close: never reused.
  EXPECT_EQ(Call("openDrive", open), (Bytes{0x00, 0x04, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Call("openDrive", open), SuccessEnvelope(EncodableValue(int64_t{2})));
  EXPECT_EQ(Call("closeDrive", MapOf({{"handle", EncodableValue(1)}})), (Bytes{0x00, 0x00}));
  EXPECT_EQ(Call("openDrive", open), SuccessEnvelope(EncodableValue(int64_t{3})));

  // Answered later, from the main thread; a 32-bit handle is the same as a 64-bit one.
  const int64_t small = Send(
      "readSectors", std::make_unique<EncodableValue>(MapOf({{"handle", EncodableValue(3)},
                                                             {"startSector", EncodableValue(2)},
                                                             {"count", EncodableValue(4)}})));
  EXPECT_TRUE(ResponsesTo(small).empty());
  EXPECT_EQ(Await(small), ImageList(1024, 2048));

  // Two reads in flight on one handle each get their own sectors.
  const int64_t first = Read(2, 0, 8);
  const int64_t second = Read(2, 40, 8);
  EXPECT_EQ(Await(second), ImageList(40 * 512, 8 * 512));
  EXPECT_EQ(Await(first), ImageList(0, 8 * 512));

  // The last sectors and past the end: what the device delivered. Bad ranges and closed handles
  // are read errors, answered later, never synchronously.
  const Bytes negative = ErrorEnvelope(
      "READ_ERROR", "Invalid sector range: start sector and count must not be negative");
  const Bytes tooLarge =
      ErrorEnvelope("READ_ERROR", "Read too large: at most 4 MiB can be read at once");
  const std::vector<std::tuple<int64_t, int64_t, int64_t, Bytes>> reads = {
      {3, kImageSectors - 1, 4, ImageList((kImageSectors - 1) * 512, 512)},
      {3, kImageSectors + 10, 1, SuccessEnvelope(EncodableValue(flutter::EncodableList{}))},
      {3, -1, 1, negative},
      {3, 0, -4, negative},
      {3, 0, 8193, tooLarge},
      {3, 0, int64_t{1} << 40, tooLarge},
      {3, INT64_MAX, 1, ErrorEnvelope("READ_ERROR", "Seek failed")},
      {1, 0, 1, ErrorEnvelope("READ_ERROR", "Invalid handle")},
  };
  for (const auto& [handle, start, count, expected] : reads) {
    const int64_t id = Read(handle, start, count);
    EXPECT_TRUE(ResponsesTo(id).empty()) << start << "+" << count;
    EXPECT_EQ(Await(id), expected) << start << "+" << count;
  }

  // A close while a read is in flight: the read finishes or finds the handle gone, and is answered.
  const int64_t racing = Read(3, 0, 64);
  EXPECT_EQ(Call("closeDrive", MapOf({{"handle", EncodableValue(3)}})), (Bytes{0x00, 0x00}));
  const Bytes answer = Await(racing);
  EXPECT_TRUE(answer == ImageList(0, 64 * 512) ||
              answer == ErrorEnvelope("READ_ERROR", "Invalid handle"));

  // Image files have no disk geometry to report.
  EXPECT_EQ(Call("getDriveGeometry", MapOf({{"handle", EncodableValue(2)}})),
            ErrorEnvelope("GEO_ERROR", "GetGeometry failed"));
}

TEST_F(DiskAccessTest, StrayCompletionMessagesArePassedOn) {
  LRESULT result = 0;
  EXPECT_FALSE(FlutterDesktopViewControllerHandleTopLevelWindowProc(
      controller_, host_, WM_DISK_IO_COMPLETE, 0, reinterpret_cast<LPARAM>(&result), &result));
  EXPECT_FALSE(FlutterDesktopViewControllerHandleTopLevelWindowProc(controller_, host_, WM_SIZE, 0,
                                                                    0, &result));
}

TEST_F(DiskAccessTest, DriveChangesReachTheListenerOnly) {
  const std::string channel = "com.ulvenmark/drive_changes";
  auto stream = [&](const char* method) {
    return ResponseTo(Deliver(engine_, channel, MethodCallMessage(method)));
  };
  auto events = [&] {
    std::vector<EncodableMap> received;
    for (const auto& sent : SentMessages()) {
      if (sent.channel == channel) received.push_back(std::get<EncodableMap>(Payload(sent.data)));
    }
    return received;
  };

  DiskAccessPlugin::EmitDriveChange("arrival");  // nobody listens: dropped
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(stream("listen"), (Bytes{0x00, 0x00}));
  EXPECT_EQ(stream("listen"), (Bytes{0x00, 0x00}));  // replaces the sink: still one event each
  DiskAccessPlugin::EmitDriveChange("removal");
  const auto received = events();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].at(EncodableValue("type")), EncodableValue("removal"));
  EXPECT_TRUE(std::holds_alternative<int64_t>(received[0].at(EncodableValue("timestamp"))));

  EXPECT_EQ(stream("cancel"), (Bytes{0x00, 0x00}));
  DiskAccessPlugin::EmitDriveChange("changed");
  EXPECT_EQ(events().size(), 1u);
}

}  // namespace
}  // namespace ul_venmark
