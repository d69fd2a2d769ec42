#pragma once

// Collects what the engine sends through its C callback, as the UI would, and releases every text
// with NativeFree. The callback has no context pointer, so the recorders are process-wide: `A` and
// `B` let a test tell two starts' callbacks apart.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "quarvelin_native.h"

namespace quarvelin::testing {

struct Message {
  NativeMessageKind kind;
  std::string text;
  std::thread::id thread;

  bool operator==(const Message& other) const { return kind == other.kind && text == other.text; }
};

// How a failed expectation shows a message.
inline void PrintTo(const Message& m, std::ostream* out) {
  *out << static_cast<int>(m.kind) << " \"" << m.text << "\"";
}

// The texts of the messages of one kind, in order.
inline std::vector<std::string> TextsOf(const std::vector<Message>& messages,
                                        NativeMessageKind kind) {
  std::vector<std::string> texts;
  for (const Message& m : messages) {
    if (m.kind == kind) texts.push_back(m.text);
  }
  return texts;
}

class MessageRecorder {
 public:
  void Record(int32_t kind, char* text) {
    Message message{static_cast<NativeMessageKind>(kind), text, std::this_thread::get_id()};
    NativeFree(text);
    std::function<void(const Message&)> hook;
    {
      std::lock_guard lock(mutex_);
      messages_.push_back(message);
      hook = hook_;
    }
    changed_.notify_all();
    if (hook) {
      hook(message);
    }
  }

  // Runs on the sender's thread after each message is recorded.
  void SetHook(std::function<void(const Message&)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }

  std::vector<Message> Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }

  // Waits until a message satisfies `match`; false after a generous limit (a hung engine).
  bool WaitFor(const std::function<bool(const Message&)>& match,
               std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      for (const Message& m : messages_) {
        if (match(m)) return true;
      }
      return false;
    });
  }

  bool WaitForKind(NativeMessageKind kind) {
    return WaitFor([kind](const Message& m) { return m.kind == kind; });
  }

  bool WaitForText(const std::string& text) {
    return WaitFor([&text](const Message& m) { return m.text == text; });
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
    hook_ = nullptr;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Message> messages_;
  std::function<void(const Message&)> hook_;
};

inline MessageRecorder& RecorderA() {
  static MessageRecorder recorder;
  return recorder;
}
inline MessageRecorder& RecorderB() {
  static MessageRecorder recorder;
  return recorder;
}
inline void RecordA(int32_t kind, char* text) {
  RecorderA().Record(kind, text);
}
inline void RecordB(int32_t kind, char* text) {
  RecorderB().Record(kind, text);
}

}  // namespace quarvelin::testing
