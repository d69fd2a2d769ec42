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

using quarvelin::testing::ErrorEnvelope;
using quarvelin::testing::MethodCallMessage;

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
    methods_.reset();
    if (engine_ != nullptr) FlutterDesktopEngineDestroy(engine_);
  }

  const StandardMethodCodec* codec() { return &StandardMethodCodec::GetInstance(); }

  // A method channel "q/methods" answering with the handler.
  void Methods(MethodCallHandler<EncodableValue> handler) {
    methods_ = std::make_unique<MethodChannel<>>(registrar_->messenger(), "q/methods", codec());
    methods_->SetMethodCallHandler(std::move(handler));
  }
  // A handler that keeps each call's result for later, as an asynchronous read does.
  MethodCallHandler<EncodableValue> Keep(std::unique_ptr<MethodResult<EncodableValue>>* kept) {
    return
        [kept](const MethodCall<EncodableValue>&,
               std::unique_ptr<MethodResult<EncodableValue>> result) { *kept = std::move(result); };
  }

  FlutterDesktopEngineRef engine_ = nullptr;
  PluginRegistrarWindows* registrar_ = nullptr;
  std::unique_ptr<MethodChannel<>> methods_;
};

TEST_F(ChannelsTest, MethodCallsReachTheHandlerUntilItIsRemoved) {
  // The answers' bytes are pinned by the disk access plugin's tests.
  std::vector<std::string> seen;
  Methods([&](const MethodCall<EncodableValue>& call,
              std::unique_ptr<MethodResult<EncodableValue>> result) {
    seen.push_back(call.method_name());
    result->Success(EncodableValue(static_cast<int32_t>(call.arguments()->LongValue()) * 6));
  });
  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/methods", kPingCall)), (Bytes{0x00, 0x03, 42, 0, 0, 0}));

  // No method name: answered as not implemented, without reaching the handler.
  StderrCapture errors;
  EXPECT_EQ(ResponseTo(Deliver(engine_, "q/methods", Bytes{0x03, 1, 2, 3, 4})), Bytes{});
  EXPECT_EQ(seen, std::vector<std::string>{"ping"});
  EXPECT_EQ(errors.Text(),
            "Invalid method call; method name is not a string.\n"
            "Unable to construct method call from message on channel q/methods\n");

  EXPECT_TRUE(FakeRuntimeHasHandler(engine_, "q/methods"));
  methods_->SetMethodCallHandler(nullptr);
  EXPECT_FALSE(FakeRuntimeHasHandler(engine_, "q/methods"));
}

TEST_F(ChannelsTest, ResultIsAnsweredExactlyOnceOrWarnsOfTheLeak) {
  std::unique_ptr<MethodResult<EncodableValue>> kept;
  Methods(Keep(&kept));
  const int64_t id = Deliver(engine_, "q/methods", kPingCall);
  EXPECT_TRUE(ResponsesTo(id).empty());
  StderrCapture errors;
  kept->Success();
  kept->Success(EncodableValue(1));
  kept->Error("LATE");
  EXPECT_EQ(ResponsesTo(id), std::vector<Bytes>{kNullSuccess});
  const std::string duplicate =
      "Error: Only one of Success, Error, or NotImplemented can be called, and it can be called "
      "exactly once. Ignoring duplicate result.\n";
  EXPECT_EQ(errors.Text(), duplicate + duplicate);

  const int64_t dropped = Deliver(engine_, "q/methods", kPingCall);
  kept.reset();
  EXPECT_TRUE(ResponsesTo(dropped).empty());
  EXPECT_EQ(errors.Text(), duplicate + duplicate +
                               "Warning: Failed to respond to a message. This is a memory leak.\n");
}

TEST_F(ChannelsTest, HandlerThatThrowsStillAnswersOnce) {
  Methods([](const MethodCall<EncodableValue>&, std::unique_ptr<MethodResult<EncodableValue>>) {
    throw std::runtime_error("boom");
  });
  StderrCapture errors;
  EXPECT_EQ(ResponsesTo(Deliver(engine_, "q/methods", kPingCall)), std::vector<Bytes>{Bytes{}});
  EXPECT_NE(errors.Text().find("boom"), std::string::npos);
}

TEST_F(ChannelsTest, ReplyAfterTheEngineHasGoneIsDroppedSilently) {
  std::unique_ptr<MethodResult<EncodableValue>> kept;
  Methods(Keep(&kept));
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
  bool refuseListen = false;
  bool refuseCancel = false;

 protected:
  std::unique_ptr<StreamHandlerError<EncodableValue>> OnListen(
      const EncodableValue* arguments,
      std::unique_ptr<EventSink<EncodableValue>>&& events) override {
    calls.push_back("listen " + Describe(arguments));
    sink = std::move(events);
    return Refusal(refuseListen, "NO", "no");
  }
  std::unique_ptr<StreamHandlerError<EncodableValue>> OnCancel(
      const EncodableValue* arguments) override {
    calls.push_back("cancel " + Describe(arguments));
    sink.reset();
    return Refusal(refuseCancel, "STUCK", "stuck");
  }

 private:
  static std::string Describe(const EncodableValue* arguments) {
    if (arguments == nullptr) return "none";
    const auto* text = std::get_if<std::string>(arguments);
    return text != nullptr ? *text : "other";
  }
  static std::unique_ptr<StreamHandlerError<EncodableValue>> Refusal(bool refuse, const char* code,
                                                                     const char* message) {
    return refuse ? std::make_unique<StreamHandlerError<EncodableValue>>(code, message, nullptr)
                  : nullptr;
  }
};

TEST_F(ChannelsTest, EventStreamListenSendCancel) {
  EventChannel<> channel(registrar_->messenger(), "q/events", codec());
  auto owned = std::make_unique<RecordingStreamHandler>();
  RecordingStreamHandler* handler = owned.get();
  channel.SetStreamHandler(std::move(owned));
  const auto send = [&](const std::string& method, const char* argument) {
    auto arguments = argument ? std::make_unique<EncodableValue>(argument) : nullptr;
    return ResponseTo(
        Deliver(engine_, "q/events", MethodCallMessage(method, std::move(arguments))));
  };
  const Bytes noStream = ErrorEnvelope("error", "No active stream to cancel");

  EXPECT_EQ(send("cancel", "early"), noStream);
  EXPECT_TRUE(handler->calls.empty());
  EXPECT_EQ(send("listen", "first"), kNullSuccess);
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
  EXPECT_TRUE(sent[2].nullData && sent[2].data.empty());

  // A second listen ends the first stream, without its arguments, before starting anew.
  EXPECT_EQ(send("listen", "second"), kNullSuccess);
  EXPECT_EQ(send("cancel", "bye"), kNullSuccess);
  EXPECT_EQ(send("cancel", nullptr), noStream);
  EXPECT_EQ(handler->calls, (std::vector<std::string>{"listen first", "cancel none",
                                                      "listen second", "cancel bye"}));
}

TEST_F(ChannelsTest, EventStreamErrorsAndOddMessages) {
  EventChannel<> channel(registrar_->messenger(), "q/events", codec());
  auto owned = std::make_unique<RecordingStreamHandler>();
  owned->refuseListen = owned->refuseCancel = true;
  channel.SetStreamHandler(std::move(owned));
  const auto send = [&](const Bytes& message) {
    return ResponseTo(Deliver(engine_, "q/events", message));
  };

  EXPECT_EQ(send(MethodCallMessage("listen")), ErrorEnvelope("NO", "no"));
  StderrCapture errors;
  EXPECT_EQ(send(MethodCallMessage("listen")), ErrorEnvelope("NO", "no"));
  EXPECT_EQ(errors.Text(), "Failed to cancel existing stream: STUCK, stuck, 0\n");
  EXPECT_EQ(send(MethodCallMessage("cancel")), ErrorEnvelope("STUCK", "stuck"));
  EXPECT_EQ(send(MethodCallMessage("pause")), Bytes{});
  EXPECT_EQ(send(Bytes{0xFF}), Bytes{});
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
  size_t askedWidth = 0;
  TextureVariant pixels(PixelBufferTexture([&](size_t width, size_t) {
    askedWidth = width;
    return &frame;
  }));
  FlutterDesktopGpuSurfaceDescriptor surface{};
  TextureVariant gpu(GpuSurfaceTexture(3, [&](size_t, size_t) { return &surface; }));
  const int64_t pixelId = textures->RegisterTexture(&pixels);
  const int64_t gpuId = textures->RegisterTexture(&gpu);
  auto* runtime = FlutterDesktopRegistrarGetTextureRegistrar(
      FlutterDesktopEngineGetPluginRegistrar(engine_, "test"));
  EXPECT_EQ(FakeRuntimeTextureType(runtime, gpuId), 1);
  EXPECT_EQ(FakeRuntimeRequestTextureFrame(runtime, pixelId, 640, 480), &frame);
  EXPECT_EQ(askedWidth, 640u);
  EXPECT_EQ(FakeRuntimeRequestTextureFrame(runtime, gpuId, 1, 1), &surface);

  int completions = 0;
  textures->UnregisterTexture(pixelId, [&] { ++completions; });
  EXPECT_TRUE(textures->UnregisterTexture(gpuId));
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(FakeRuntimeTextureCount(runtime), 0);
}

}  // namespace
}  // namespace flutter
