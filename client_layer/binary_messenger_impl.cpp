#include "binary_messenger_impl.h"

#include <exception>
#include <iostream>
#include <memory>
#include <utility>

namespace flutter {
namespace {

// The one response a received message is owed, shared by every copy of its reply. Holds a counted
// reference on the messenger, so a late reply finds it still there (if perhaps unavailable).
class PendingResponse {
 public:
  PendingResponse(FlutterDesktopMessengerRef messenger,
                  const FlutterDesktopMessageResponseHandle* handle)
      : messenger_(FlutterDesktopMessengerAddRef(messenger)), handle_(handle) {}
  ~PendingResponse() { FlutterDesktopMessengerRelease(messenger_); }
  PendingResponse(const PendingResponse&) = delete;
  PendingResponse& operator=(const PendingResponse&) = delete;

  // Safe from any thread: the lock keeps the engine from going away while the response is sent.
  void Send(const uint8_t* data, size_t size) {
    FlutterDesktopMessengerLock(messenger_);
    if (FlutterDesktopMessengerIsAvailable(messenger_)) {
      if (handle_ == nullptr) {
        std::cerr << "Error: Response can be set only once. Ignoring duplicate response."
                  << std::endl;
      } else {
        FlutterDesktopMessengerSendResponse(messenger_, handle_, data, size);
        handle_ = nullptr;
      }
    }
    FlutterDesktopMessengerUnlock(messenger_);
  }

  bool Answered() const { return handle_ == nullptr; }

 private:
  FlutterDesktopMessengerRef messenger_;
  const FlutterDesktopMessageResponseHandle* handle_;
};

void ForwardToHandler(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
                      void* user_data) {
  const auto* handler = static_cast<const BinaryMessageHandler*>(user_data);
  auto response = std::make_shared<PendingResponse>(messenger, message->response_handle);
  BinaryReply reply = [response](const uint8_t* data, size_t size) { response->Send(data, size); };
  // The runtime is C: nothing may unwind into it. A handler that throws has not answered, and the
  // user interface would wait forever, so it gets the empty answer.
  try {
    (*handler)(message->message, message->message_size, std::move(reply));
  } catch (const std::exception& e) {
    std::cerr << "Uncaught exception in the handler on channel " << message->channel << ": "
              << e.what() << std::endl;
    if (!response->Answered()) response->Send(nullptr, 0);
  } catch (...) {
    std::cerr << "Uncaught exception in the handler on channel " << message->channel << std::endl;
    if (!response->Answered()) response->Send(nullptr, 0);
  }
}

void ForwardReply(const uint8_t* data, size_t size, void* user_data) {
  const std::unique_ptr<BinaryReply> reply(static_cast<BinaryReply*>(user_data));
  try {
    (*reply)(data, size);
  } catch (...) {
    std::cerr << "Uncaught exception in a message reply" << std::endl;
  }
}

}  // namespace

BinaryMessengerImpl::BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger)
    : messenger_(core_messenger) {}

void BinaryMessengerImpl::Send(const std::string& channel, const uint8_t* message,
                               size_t message_size, BinaryReply reply) const {
  if (!reply) {
    FlutterDesktopMessengerSend(messenger_, channel.c_str(), message, message_size);
    return;
  }
  auto record = std::make_unique<BinaryReply>(std::move(reply));
  if (FlutterDesktopMessengerSendWithReply(messenger_, channel.c_str(), message, message_size,
                                           ForwardReply, record.get())) {
    record.release();  // now the runtime's, until ForwardReply takes it back
  }
}

void BinaryMessengerImpl::SetMessageHandler(const std::string& channel,
                                            BinaryMessageHandler handler) {
  if (!handler) {
    handlers_.erase(channel);
    FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), nullptr, nullptr);
    return;
  }
  BinaryMessageHandler& stored = handlers_[channel];
  stored = std::move(handler);
  FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), ForwardToHandler, &stored);
}

}  // namespace flutter
