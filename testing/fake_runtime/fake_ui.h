#pragma once

// The user interface's side of the stand-in runtime, for tests: deliver messages, read back the
// program's responses and the messages it sent.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_runtime.h"
#include "standard_codec.h"

namespace quarvelin::testing {

using Bytes = std::vector<uint8_t>;

struct SentMessage {
  FakeRuntimeEventKind kind;
  std::string channel;
  Bytes data;
  bool nullData;
};

// Messages as the user interface's codec writes them, and the values in the program's answers.
inline Bytes MethodCallMessage(const std::string& method,
                               std::unique_ptr<flutter::EncodableValue> arguments = nullptr) {
  return *flutter::StandardMethodCodec::GetInstance().EncodeMethodCall(
      flutter::MethodCall<flutter::EncodableValue>(method, std::move(arguments)));
}
inline Bytes SuccessEnvelope(const flutter::EncodableValue& value) {
  return *flutter::StandardMethodCodec::GetInstance().EncodeSuccessEnvelope(&value);
}
inline Bytes ErrorEnvelope(const std::string& code, const std::string& message) {
  return *flutter::StandardMethodCodec::GetInstance().EncodeErrorEnvelope(code, message);
}
// The value in a success envelope (null for anything else).
inline flutter::EncodableValue Payload(const Bytes& envelope) {
  if (envelope.empty() || envelope[0] != 0x00) return {};
  flutter::ByteBufferStreamReader reader(envelope.data() + 1, envelope.size() - 1);
  return flutter::StandardCodecSerializer::GetInstance().ReadValue(&reader);
}
// A map with string keys.
inline flutter::EncodableValue MapOf(
    std::initializer_list<std::pair<const char*, flutter::EncodableValue>> entries) {
  flutter::EncodableMap map;
  for (const auto& [key, value] : entries) map[flutter::EncodableValue(std::string(key))] = value;
  return flutter::EncodableValue(std::move(map));
}

inline int64_t Deliver(FlutterDesktopEngineRef engine, const std::string& channel,
                       const Bytes& message) {
  return FakeRuntimeDeliverMessage(engine, channel.c_str(), message.data(), message.size());
}

// Every response logged for a delivery, in order (more than one would be a fault).
inline std::vector<Bytes> ResponsesTo(int64_t delivery) {
  std::vector<Bytes> responses;
  for (size_t i = 0; i < FakeRuntimeEventCount(); ++i) {
    FakeRuntimeEvent event{};
    if (FakeRuntimeGetEvent(i, &event) && event.kind == kFakeRuntimeResponse &&
        event.delivery == delivery) {
      responses.emplace_back(event.data, event.data + event.size);
    }
  }
  return responses;
}

// The one response to a delivery; none when there is none or more than one.
inline std::optional<Bytes> ResponseTo(int64_t delivery) {
  std::vector<Bytes> responses = ResponsesTo(delivery);
  if (responses.size() != 1) return std::nullopt;
  return responses.front();
}

inline std::vector<SentMessage> SentMessages() {
  std::vector<SentMessage> sent;
  for (size_t i = 0; i < FakeRuntimeEventCount(); ++i) {
    FakeRuntimeEvent event{};
    if (FakeRuntimeGetEvent(i, &event) && event.kind != kFakeRuntimeResponse) {
      sent.push_back({event.kind, event.channel, Bytes(event.data, event.data + event.size),
                      event.data == nullptr});
    }
  }
  return sent;
}

}  // namespace quarvelin::testing
