#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "byte_streams.h"
#include "encodable_value.h"
#include "method_call.h"
#include "method_result.h"

namespace flutter {

// Writes and reads values in the standard message codec's binary format.
class StandardCodecSerializer {
 public:
  StandardCodecSerializer() = default;
  virtual ~StandardCodecSerializer() = default;
  StandardCodecSerializer(const StandardCodecSerializer&) = delete;
  StandardCodecSerializer& operator=(const StandardCodecSerializer&) = delete;

  // The process-wide default instance.
  static const StandardCodecSerializer& GetInstance();

  EncodableValue ReadValue(ByteStreamReader* stream) const;
  virtual void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const;

 protected:
  virtual EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const;

  // Nested lists and maps deeper than this read as null: a hostile message must not exhaust the
  // stack.
  static constexpr int kMaxNesting = 512;

 private:
  EncodableValue ReadNested(ByteStreamReader* stream, int depth) const;
  EncodableValue ReadOfType(uint8_t type, ByteStreamReader* stream, int depth) const;
};

// Method calls and result envelopes over a serializer.
class StandardMethodCodec {
 public:
  // One codec per serializer (the default one when null), created on first request, never freed.
  static const StandardMethodCodec& GetInstance(
      const StandardCodecSerializer* serializer = nullptr);

  explicit StandardMethodCodec(const StandardCodecSerializer* serializer)
      : serializer_(serializer) {}
  virtual ~StandardMethodCodec() = default;
  StandardMethodCodec(const StandardMethodCodec&) = delete;
  StandardMethodCodec& operator=(const StandardMethodCodec&) = delete;

  std::unique_ptr<MethodCall<EncodableValue>> DecodeMethodCall(const uint8_t* message,
                                                               size_t size) const;
  std::unique_ptr<std::vector<uint8_t>> EncodeMethodCall(
      const MethodCall<EncodableValue>& call) const;
  std::unique_ptr<std::vector<uint8_t>> EncodeSuccessEnvelope(
      const EncodableValue* result = nullptr) const;
  std::unique_ptr<std::vector<uint8_t>> EncodeErrorEnvelope(
      const std::string& code, const std::string& message = "",
      const EncodableValue* details = nullptr) const;
  // Passes the envelope's success or error to `result`; false for an unknown envelope.
  bool DecodeResponseEnvelope(const uint8_t* response, size_t size,
                              MethodResult<EncodableValue>* result) const;

 private:
  const StandardCodecSerializer* serializer_;
};

}  // namespace flutter
