// Channels, results, registrars and textures, driven through the stand-in runtime as the user
// interface would drive them.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "event_channel.h"
#include "fake_ui.h"
#include "method_channel.h"
#include "plugin_registrar.h"
#include "standard_codec.h"
#include "stderr_capture.h"
#include "texture_registrar.h"

namespace flutter {
namespace {

using quarvelin::testing::Bytes;
using quarvelin::testing::Deliver;
using quarvelin::testing::ResponsesTo;
using quarvelin::testing::ResponseTo;
using quarvelin::testing::SentMessages;
using quarvelin::testing::StderrCapture;

const Bytes kPingCall = {0x07, 4, 'p', 'i', 'n', 'g', 0x03, 7, 0, 0, 0};  // "ping"(7)
const Bytes kNullSuccess = {0x00, 0x00};

Bytes Call(const std::string& method, std::unique_ptr<EncodableValue> arguments = nullptr) {
  return *StandardMethodCodec::GetInstance().EncodeMethodCall(
      MethodCall<EncodableValue>(method, std::move(arguments)));
}

Bytes ErrorEnvelope(const std::string& code, const std::string& message) {
  return *StandardMethodCodec::GetInstance().EncodeErrorEnvelope(code, message);
}

// One engine in the stand-in runtime, with the program's registrar for a plugin named "test".
class ChannelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeRuntimeReset();
    FlutterDesktopEngineProperties properties{};
    properties.dart_entrypoint = "";
    engine_ = FlutterDesktopEngineCreate(&properties);
    ASSERT_NE(engine_, nullptr);
    registrar_ = RegistrarCache::GetInstance().GetRegistrar(
        FlutterDesktopEngineGetPluginRegistrar(engine_, "test"));
  }
  void TearDown() override {
    if (engine_ != nullptr) FlutterDesktopEngineDestroy(engine_);
  }

  const StandardMethodCodec* codec() { return &StandardMethodCodec::GetInstance(); }

  FlutterDesktopEngineRef engine_ = nullptr;
  PluginRegistrarWindows* registrar_ = nullptr;
};

TEST_F(ChannelsTest, MethodCallReachesHandlerAndEachAnswerComesBackByteExact) {
  MethodChannel<> channel(registrar_->messenger(), "q/methods", codec());
  std::vector<std::string> seen;
  channel.SetMethodCallHandler([&](const MethodCall<EncodableValue>& call,
                                   std::unique_ptr<MethodResult<EncodableValue>> result) {
    seen.push_back(call.method_name());
    const int64_t argument = call.arguments()->LongValue();
    if (argument == 7) result->Success(EncodableValue(42));
    if (argument == 8) result->Error("BAD", "oops");
    if (argument == 9) result->NotImplemented();
  });

  const int64_t success = Deliver(engine_, "q/methods", kPingCall);
  Bytes error_call = kPingCall;
  error_call[7] = 8;
  const int64_t error = Deliver(engine_, "q/methods", error_call);
  Bytes unknown_call = kPingCall;
  unknown_call[7] = 9;
  const int64_t unknown = Deliver(engine_, "q/methods", unknown_call);

  EXPECT_EQ(seen, (std::vector<std::string>{"ping", "ping", "ping"}));
  EXPECT_EQ(ResponseTo(success), (Bytes{0x00, 0x03, 42, 0, 0, 0}));
  EXPECT_EQ(ResponseTo(error),
            (Bytes{0x01, 0x07, 3, 'B', 'A', 'D', 0x07, 4, 'o', 'o', 'p', 's', 0x00}));
  EXPECT_EQ(ResponseTo(unknown), Bytes{});  // the empty reply: not implemented
}

TEST_F(ChannelsTest, UndecodableCallIsAnsweredNotImplementedWithDiagnostic) {
  MethodChannel<> channel(registrar_->messenger(), "q/methods", codec());
  bool called = false;
  channel.SetMethodCallHandler(
      [&](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>>) {
        called = true;
      });
  StderrCapture errors;
  const int64_t id = Deliver(engine_, "q/methods", Bytes{0x03, 1, 2, 3, 4});  // no method name
  EXPECT_FALSE(called);
  EXPECT_EQ(ResponseTo(id), Bytes{});
  EXPECT_EQ(errors.Text(),
            "Invalid method call; method name is not a string.\n"
            "Unable to construct method call from message on channel q/methods\n");
}

TEST_F(ChannelsTest, ResultIsAnsweredExactlyOnce) {
  MethodChannel<> channel(registrar_->messenger(), "q/methods", codec());
  std::unique_ptr<MethodResult<EncodableValue>> kept;
  channel.SetMethodCallHandler(
      [&](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>> r) {
        kept = std::move(r);
      });

  const int64_t id = Deliver(engine_, "q/methods", kPingCall);
  EXPECT_TRUE(ResponsesTo(id).empty());  // kept for later, as an asynchronous read does
  StderrCapture errors;
  kept->Success();
  kept->Success(EncodableValue(1));
  kept->Error("LATE");
  EXPECT_EQ(ResponsesTo(id), std::vector<Bytes>{kNullSuccess});
  const std::string duplicate =
      "Error: Only one of Success, Error, or NotImplemented can be called, and it can be called "
      "exactly once. Ignoring duplicate result.\n";
  EXPECT_EQ(errors.Text(), duplicate + duplicate);
}

TEST_F(ChannelsTest, UnansweredResultWarnsOfTheLeak) {
  MethodChannel<> channel(registrar_->messenger(), "q/methods", codec());
  channel.SetMethodCallHandler(
      [](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>>) {});
  StderrCapture errors;
  const int64_t id = Deliver(engine_, "q/methods", kPingCall);
  EXPECT_TRUE(ResponsesTo(id).empty());
  EXPECT_EQ(errors.Text(), "Warning: Failed to respond to a message. This is a memory leak.\n");
}

TEST_F(ChannelsTest, HandlerThatThrowsStillAnswersOnce) {
  MethodChannel<> channel(registrar_->messenger(), "q/methods", codec());
  channel.SetMethodCallHandler(
      [](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>>) {
        throw std::runtime_error("boom");
      });
  StderrCapture errors;
  const int64_t id = Deliver(engine_, "q/methods", kPingCall);
  EXPECT_EQ(ResponseTo(id), Bytes{});
  EXPECT_NE(errors.Text().find("boom"), std::string::npos);
}

TEST_F(ChannelsTest, EmptyHandlerRemovesTheRuntimeCallback) {
  MethodChannel<> channel(registrar_->messenger(), "q/methods", codec());
  channel.SetMethodCallHandler(
      [](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>> r) {
        r->Success();
      });
  EXPECT_TRUE(FakeRuntimeHasHandler(engine_, "q/methods"));
  channel.SetMethodCallHandler(nullptr);
  EXPECT_FALSE(FakeRuntimeHasHandler(engine_, "q/methods"));
}

TEST_F(ChannelsTest, ReplyAfterTheEngineHasGoneIsDroppedSilently) {
  MethodChannel<> channel(registrar_->messenger(), "q/methods", codec());
  std::unique_ptr<MethodResult<EncodableValue>> kept;
  channel.SetMethodCallHandler(
      [&](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>> r) {
        kept = std::move(r);
      });
  const int64_t id = Deliver(engine_, "q/methods", kPingCall);
  FlutterDesktopEngineDestroy(engine_);  // the registrar and the channel's messenger go with it
  engine_ = nullptr;
  StderrCapture errors;
  kept->Success();
  kept.reset();
  EXPECT_TRUE(ResponsesTo(id).empty());
  EXPECT_EQ(errors.Text(), "");
}

// Records what the user interface's listening does, and keeps the sink.
class RecordingStreamHandler : public StreamHandler<EncodableValue> {
 public:
  std::vector<std::string> calls;
  std::unique_ptr<EventSink<EncodableValue>> sink;
  bool refuse_listen = false;
  bool refuse_cancel = false;

 protected:
  std::unique_ptr<StreamHandlerError<EncodableValue>> OnListen(
      const EncodableValue* arguments,
      std::unique_ptr<EventSink<EncodableValue>>&& events) override {
    calls.push_back("listen " + Describe(arguments));
    sink = std::move(events);
    if (refuse_listen)
      return std::make_unique<StreamHandlerError<EncodableValue>>("NO", "no", nullptr);
    return nullptr;
  }
  std::unique_ptr<StreamHandlerError<EncodableValue>> OnCancel(
      const EncodableValue* arguments) override {
    calls.push_back("cancel " + Describe(arguments));
    sink.reset();
    if (refuse_cancel)
      return std::make_unique<StreamHandlerError<EncodableValue>>("STUCK", "stuck", nullptr);
    return nullptr;
  }

 private:
  static std::string Describe(const EncodableValue* arguments) {
    if (arguments == nullptr) return "none";
    if (const auto* text = std::get_if<std::string>(arguments)) return *text;
    return "other";
  }
};

TEST_F(ChannelsTest, EventStreamListenSendCancel) {
  EventChannel<> channel(registrar_->messenger(), "q/events", codec());
  auto owned = std::make_unique<RecordingStreamHandler>();
  RecordingStreamHandler* handler = owned.get();
  channel.SetStreamHandler(std::move(owned));

  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/events",
                               Call("cancel", std::make_unique<EncodableValue>("early")))),
            ErrorEnvelope("error", "No active stream to cancel"));
  EXPECT_TRUE(handler->calls.empty());

  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/events",
                               Call("listen", std::make_unique<EncodableValue>("first")))),
            kNullSuccess);
  handler->sink->Success(EncodableValue("arrival"));
  handler->sink->Error("E", "bad", EncodableValue(5));
  handler->sink->EndOfStream();
  const auto sent = SentMessages();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].channel, "q/events");
  EXPECT_EQ(sent[0].kind, kFakeRuntimeSend);
  EXPECT_EQ(sent[0].data, (Bytes{0x00, 0x07, 7, 'a', 'r', 'r', 'i', 'v', 'a', 'l'}));
  const EncodableValue five(5);
  EXPECT_EQ(sent[1].data, *codec()->EncodeErrorEnvelope("E", "bad", &five));
  EXPECT_TRUE(sent[2].null_data);
  EXPECT_TRUE(sent[2].data.empty());

  // A second listen ends the first stream, without its arguments, before starting anew.
  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/events",
                               Call("listen", std::make_unique<EncodableValue>("second")))),
            kNullSuccess);
  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/events",
                               Call("cancel", std::make_unique<EncodableValue>("bye")))),
            kNullSuccess);
  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/events", Call("cancel"))),
            ErrorEnvelope("error", "No active stream to cancel"));
  EXPECT_EQ(handler->calls, (std::vector<std::string>{"listen first", "cancel none",
                                                      "listen second", "cancel bye"}));
}

TEST_F(ChannelsTest, EventStreamErrorsAndOddMessages) {
  EventChannel<> channel(registrar_->messenger(), "q/events", codec());
  auto owned = std::make_unique<RecordingStreamHandler>();
  RecordingStreamHandler* handler = owned.get();
  handler->refuse_listen = true;
  handler->refuse_cancel = true;
  channel.SetStreamHandler(std::move(owned));

  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/events", Call("listen"))), ErrorEnvelope("NO", "no"));
  StderrCapture errors;
  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/events", Call("listen"))), ErrorEnvelope("NO", "no"));
  EXPECT_EQ(errors.Text(), "Failed to cancel existing stream: STUCK, stuck, 0\n");
  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/events", Call("cancel"))),
            ErrorEnvelope("STUCK", "stuck"));
  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/events", Call("pause"))), Bytes{});
  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/events", Bytes{0xFF})), Bytes{});
  EXPECT_NE(
      errors.Text().find("Unable to construct method call from message on channel: q/events\n"),
      std::string::npos);

  channel.SetStreamHandler(nullptr);
  EXPECT_FALSE(FakeRuntimeHasHandler(engine_, "q/events"));
}

// Counts its own destruction.
class CountedPlugin : public Plugin {
 public:
  explicit CountedPlugin(int* destroyed) : destroyed_(destroyed) {}
  ~CountedPlugin() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST_F(ChannelsTest, RegistrarCacheKeepsOneRegistrarUntilTheRuntimeDestroysIt) {
  FlutterDesktopPluginRegistrarRef handle = FlutterDesktopEngineGetPluginRegistrar(engine_, "test");
  EXPECT_EQ(RegistrarCache::GetInstance().GetRegistrar(handle), registrar_);
  int destroyed = 0;
  registrar_->AddPlugin(std::make_unique<CountedPlugin>(&destroyed));
  registrar_->AddPlugin(std::make_unique<CountedPlugin>(&destroyed));

  ASSERT_TRUE(FakeRuntimeDestroyRegistrar(engine_, "test"));
  EXPECT_EQ(destroyed, 2);
  EXPECT_FALSE(RegistrarCache::GetInstance().Contains(handle));
}

TEST_F(ChannelsTest, TexturesRegisterAndUnregisterOnce) {
  TextureRegistrar* textures = registrar_->texture_registrar();
  StderrCapture errors;
  EXPECT_EQ(textures->RegisterTexture(nullptr), -1);
  EXPECT_EQ(errors.Text(), "Attempting to register unknown texture variant.\n");

  FlutterDesktopPixelBuffer frame{};
  size_t asked_width = 0;
  TextureVariant pixels(PixelBufferTexture([&](size_t width, size_t) {
    asked_width = width;
    return &frame;
  }));
  FlutterDesktopGpuSurfaceDescriptor surface{};
  TextureVariant gpu(GpuSurfaceTexture(3, [&](size_t, size_t) { return &surface; }));
  const int64_t pixel_id = textures->RegisterTexture(&pixels);
  const int64_t gpu_id = textures->RegisterTexture(&gpu);
  auto* runtime_textures = FlutterDesktopRegistrarGetTextureRegistrar(
      FlutterDesktopEngineGetPluginRegistrar(engine_, "test"));
  EXPECT_EQ(FakeRuntimeTextureType(runtime_textures, pixel_id), 0);
  EXPECT_EQ(FakeRuntimeTextureType(runtime_textures, gpu_id), 1);
  EXPECT_EQ(FakeRuntimeRequestTextureFrame(runtime_textures, pixel_id, 640, 480), &frame);
  EXPECT_EQ(asked_width, 640u);
  EXPECT_EQ(FakeRuntimeRequestTextureFrame(runtime_textures, gpu_id, 1, 1), &surface);
  EXPECT_TRUE(textures->MarkTextureFrameAvailable(pixel_id));

  int completions = 0;
  textures->UnregisterTexture(pixel_id, [&] { ++completions; });
  EXPECT_TRUE(textures->UnregisterTexture(gpu_id));
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(FakeRuntimeTextureCount(runtime_textures), 0);
}

}  // namespace
}  // namespace flutter
