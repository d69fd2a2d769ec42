#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "binary_messenger.h"
#include "encodable_value.h"
#include "method_result.h"
#include "standard_codec.h"

namespace flutter {

// Holds the reply to one message until it is used, exactly once.
class ReplyHolder {
 public:
  explicit ReplyHolder(BinaryReply reply);
  // An unused reply is a message the other side waits on forever: say so.
  ~ReplyHolder();
  ReplyHolder(const ReplyHolder&) = delete;
  ReplyHolder& operator=(const ReplyHolder&) = delete;

  // No data, or empty data, is the empty reply (null, 0).
  void SendResponse(const std::vector<uint8_t>* data);

 private:
  BinaryReply reply_;
};

// The result of a method call received from the engine: answers with encoded envelopes.
class EngineMethodResult : public MethodResult<EncodableValue> {
 public:
  EngineMethodResult(BinaryReply reply, const StandardMethodCodec* codec);
  ~EngineMethodResult() override = default;

 protected:
  void SuccessInternal(const EncodableValue* result) override;
  void ErrorInternal(const std::string& code, const std::string& message,
                     const EncodableValue* details) override;
  // The empty reply: the other side reads it as "not implemented".
  void NotImplementedInternal() override;

 private:
  ReplyHolder replyHolder_;
  const StandardMethodCodec* codec_;
};

}  // namespace flutter
