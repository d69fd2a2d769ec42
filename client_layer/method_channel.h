#pragma once

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "binary_messenger.h"
#include "encodable_value.h"
#include "engine_method_result.h"
#include "method_call.h"
#include "method_result.h"
#include "standard_codec.h"

namespace flutter {

template <typename T>
using MethodCallHandler =
    std::function<void(const MethodCall<T>& call, std::unique_ptr<MethodResult<T>> result)>;

// A named channel of method calls from the user interface, decoded with the standard codec.
template <typename T = EncodableValue>
class MethodChannel {
  static_assert(std::is_same_v<T, EncodableValue>, "channels carry EncodableValue");

 public:
  // Neither the messenger nor the codec is owned; both must outlive the channel's handler.
  MethodChannel(BinaryMessenger* messenger, std::string name, const StandardMethodCodec* codec)
      : messenger_(messenger), name_(std::move(name)), codec_(codec) {}
  ~MethodChannel() = default;
  MethodChannel(const MethodChannel&) = delete;
  MethodChannel& operator=(const MethodChannel&) = delete;

  // Each call's result must be answered exactly once, now or later. An empty handler removes it.
  void SetMethodCallHandler(MethodCallHandler<T> handler) const {
    if (!handler) {
      messenger_->SetMessageHandler(name_, nullptr);
      return;
    }
    const StandardMethodCodec* codec = codec_;
    std::string channel = name_;
    messenger_->SetMessageHandler(name_, [handler = std::move(handler), codec, channel](
                                             const uint8_t* message, size_t message_size,
                                             BinaryReply reply) {
      auto result = std::make_unique<EngineMethodResult>(std::move(reply), codec);
      const std::unique_ptr<MethodCall<T>> call = codec->DecodeMethodCall(message, message_size);
      if (!call) {
        std::cerr << "Unable to construct method call from message on channel " << channel
                  << std::endl;
        result->NotImplemented();
        return;
      }
      handler(*call, std::move(result));
    });
  }

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const StandardMethodCodec* codec_;
};

}  // namespace flutter
