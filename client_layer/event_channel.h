#pragma once

#include <iostream>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "binary_messenger.h"
#include "encodable_value.h"
#include "event_sink.h"
#include "event_stream_handler.h"
#include "method_call.h"
#include "standard_codec.h"

namespace flutter {

// A named channel over which the user interface listens to a stream of events.
template <typename T = EncodableValue>
class EventChannel {
  static_assert(std::is_same_v<T, EncodableValue>, "channels carry EncodableValue");

 public:
  // Neither the messenger nor the codec is owned; both must outlive the channel's handler.
  EventChannel(BinaryMessenger* messenger, std::string name, const StandardMethodCodec* codec)
      : messenger_(messenger), name_(std::move(name)), codec_(codec) {}
  ~EventChannel() = default;
  EventChannel(const EventChannel&) = delete;
  EventChannel& operator=(const EventChannel&) = delete;

  // Sends the events of one stream on the channel, each as an envelope.
  class EventSinkImplementation : public EventSink<T> {
   public:
    EventSinkImplementation(const BinaryMessenger* messenger, std::string name,
                            const StandardMethodCodec* codec)
        : messenger_(messenger), name_(std::move(name)), codec_(codec) {}

   protected:
    void SuccessInternal(const T* event) override {
      const auto message = codec_->EncodeSuccessEnvelope(event);
      messenger_->Send(name_, message->data(), message->size());
    }
    void ErrorInternal(const std::string& code, const std::string& message,
                       const T* details) override {
      const auto envelope = codec_->EncodeErrorEnvelope(code, message, details);
      messenger_->Send(name_, envelope->data(), envelope->size());
    }
    // The empty message ends the stream.
    void EndOfStreamInternal() override { messenger_->Send(name_, nullptr, 0); }

   private:
    const BinaryMessenger* messenger_;
    std::string name_;
    const StandardMethodCodec* codec_;
  };

  // None removes the channel's handler.
  void SetStreamHandler(std::unique_ptr<StreamHandler<T>> handler) {
    if (!handler) {
      messenger_->SetMessageHandler(name_, nullptr);
      return;
    }
    auto state = std::make_shared<StreamState>();
    state->handler = std::move(handler);
    state->codec = codec_;
    state->name = name_;
    state->messenger = messenger_;
    messenger_->SetMessageHandler(
        name_, [state](const uint8_t* message, size_t message_size, BinaryReply reply) {
          state->Handle(message, message_size, reply);
        });
  }

 private:
  // Shared by every copy of the installed message handler.
  struct StreamState {
    std::shared_ptr<StreamHandler<T>> handler;
    const StandardMethodCodec* codec = nullptr;
    std::string name;
    const BinaryMessenger* messenger = nullptr;
    bool listening = false;

    void Handle(const uint8_t* message, size_t message_size, const BinaryReply& reply) {
      const std::unique_ptr<MethodCall<T>> call = codec->DecodeMethodCall(message, message_size);
      if (!call) {
        std::cerr << "Unable to construct method call from message on channel: " << name
                  << std::endl;
        reply(nullptr, 0);
        return;
      }
      const std::string& method = call->method_name();
      if (method == "listen") {
        if (listening) {
          const auto error = handler->OnCancel(nullptr);
          if (error) {
            std::cerr << "Failed to cancel existing stream: " << error->error_code << ", "
                      << error->error_message << ", ";
            if (error->error_details) {
              std::cerr << static_cast<const void*>(error->error_details.get());
            } else {
              std::cerr << 0;
            }
            std::cerr << std::endl;
          }
        }
        listening = true;
        auto sink = std::make_unique<EventSinkImplementation>(messenger, name, codec);
        const auto error = handler->OnListen(call->arguments(), std::move(sink));
        Answer(error.get(), reply);
      } else if (method == "cancel") {
        if (listening) {
          const auto error = handler->OnCancel(call->arguments());
          Answer(error.get(), reply);
          listening = false;
        } else {
          const auto envelope = codec->EncodeErrorEnvelope("error", "No active stream to cancel");
          reply(envelope->data(), envelope->size());
        }
      } else {
        reply(nullptr, 0);
      }
    }

    void Answer(const StreamHandlerError<T>* error, const BinaryReply& reply) const {
      const auto envelope =
          error != nullptr ? codec->EncodeErrorEnvelope(error->error_code, error->error_message,
                                                        error->error_details.get())
                           : codec->EncodeSuccessEnvelope();
      reply(envelope->data(), envelope->size());
    }
  };

  BinaryMessenger* messenger_;
  std::string name_;
  const StandardMethodCodec* codec_;
};

}  // namespace flutter
