#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace flutter {

// Answers one received message, or receives the answer to a sent one: (bytes, size). May be empty.
using BinaryReply = std::function<void(const uint8_t* reply, size_t reply_size)>;
// Handles the messages of one channel. May be empty.
using BinaryMessageHandler =
    std::function<void(const uint8_t* message, size_t message_size, BinaryReply reply)>;

// Sends and receives raw messages per channel.
class BinaryMessenger {
 public:
  BinaryMessenger() = default;
  virtual ~BinaryMessenger() = default;
  BinaryMessenger(const BinaryMessenger&) = delete;
  BinaryMessenger& operator=(const BinaryMessenger&) = delete;

  virtual void Send(const std::string& channel, const uint8_t* message, size_t message_size,
                    BinaryReply reply) const = 0;
  void Send(const std::string& channel, const uint8_t* message, size_t message_size) const {
    Send(channel, message, message_size, nullptr);
  }
  // An empty handler removes the channel's handler.
  virtual void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace flutter
