#pragma once

#include <memory>
#include <string>
#include <utility>

#include "event_sink.h"

namespace flutter {

// What a stream handler answers when it cannot start or stop a stream.
template <typename T>
struct StreamHandlerError {
  std::string error_code;
  std::string error_message;
  std::unique_ptr<T> error_details;

  StreamHandlerError(std::string code, std::string message, std::unique_ptr<T> details)
      : error_code(std::move(code)),
        error_message(std::move(message)),
        error_details(std::move(details)) {}
};

// Starts and stops the stream of an event channel.
template <typename T>
class StreamHandler {
 public:
  StreamHandler() = default;
  virtual ~StreamHandler() = default;
  StreamHandler(const StreamHandler&) = delete;
  StreamHandler& operator=(const StreamHandler&) = delete;

  // The user interface listens: events go to `events` from now on.
  virtual std::unique_ptr<StreamHandlerError<T>> OnListen(
      const T* arguments, std::unique_ptr<EventSink<T>>&& events) = 0;
  // The user interface stops listening (or listens anew): drop the sink.
  virtual std::unique_ptr<StreamHandlerError<T>> OnCancel(const T* arguments) = 0;
};

}  // namespace flutter
