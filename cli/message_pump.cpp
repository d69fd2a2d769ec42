#include "message_pump.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace quarvelin::cli {
namespace {

std::mutex gMutex;
std::condition_variable gArrived;
std::deque<EngineMessage> gQueue;

void OnEngineMessage(int32_t kind, char* text) {
  EngineMessage message{static_cast<NativeMessageKind>(kind), text != nullptr ? text : ""};
  NativeFree(text);
  {
    std::lock_guard lock(gMutex);
    gQueue.push_back(std::move(message));
  }
  gArrived.notify_one();
}

}  // namespace

NativeMessageCallback MessagePump::Callback() {
  return OnEngineMessage;
}

std::optional<EngineMessage> MessagePump::Next(std::chrono::milliseconds wait) {
  std::unique_lock lock(gMutex);
  if (!gArrived.wait_for(lock, wait, [] { return !gQueue.empty(); })) {
    return std::nullopt;
  }
  EngineMessage message = std::move(gQueue.front());
  gQueue.pop_front();
  return message;
}

}  // namespace quarvelin::cli
