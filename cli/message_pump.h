#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "quarvelin_native.h"

namespace quarvelin::cli {

struct EngineMessage {
  NativeMessageKind kind;
  std::string text;
};

// Hands engine messages from the worker thread to the CLI's main thread. The engine's callback has
// no context argument, so there is one pump per process.
class MessagePump {
 public:
  static NativeMessageCallback Callback();
  // The next message, or nothing when none arrives within `wait`.
  static std::optional<EngineMessage> Next(std::chrono::milliseconds wait);
};

}  // namespace quarvelin::cli
