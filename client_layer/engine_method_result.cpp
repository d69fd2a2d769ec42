#include "engine_method_result.h"

#include <iostream>
#include <utility>

namespace flutter {

ReplyHolder::ReplyHolder(BinaryReply reply) : reply_(std::move(reply)) {}

ReplyHolder::~ReplyHolder() {
  if (reply_) {
    std::cerr << "Warning: Failed to respond to a message. This is a memory leak." << std::endl;
  }
}

void ReplyHolder::SendResponse(const std::vector<uint8_t>* data) {
  if (!reply_) {
    std::cerr << "Error: Only one of Success, Error, or NotImplemented can be called,"
              << " and it can be called exactly once. Ignoring duplicate result." << std::endl;
    return;
  }
  const uint8_t* bytes = (data != nullptr && !data->empty()) ? data->data() : nullptr;
  const size_t size = data != nullptr ? data->size() : 0;
  // Emptied before the call: a reply that answers re-entrantly still counts as used.
  BinaryReply reply = std::move(reply_);
  reply_ = nullptr;
  reply(bytes, size);
}

EngineMethodResult::EngineMethodResult(BinaryReply reply, const StandardMethodCodec* codec)
    : replyHolder_(std::move(reply)), codec_(codec) {}

void EngineMethodResult::SuccessInternal(const EncodableValue* result) {
  const auto envelope = codec_->EncodeSuccessEnvelope(result);
  replyHolder_.SendResponse(envelope.get());
}

void EngineMethodResult::ErrorInternal(const std::string& code, const std::string& message,
                                       const EncodableValue* details) {
  const auto envelope = codec_->EncodeErrorEnvelope(code, message, details);
  replyHolder_.SendResponse(envelope.get());
}

void EngineMethodResult::NotImplementedInternal() {
  replyHolder_.SendResponse(nullptr);
}

}  // namespace flutter
