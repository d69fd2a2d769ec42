// Feeds arbitrary bytes to the standard codec as a value, a method call and a result envelope.
// Nothing may crash, and whatever decodes must survive re-encoding: a decoded value, written and
// read back, writes the same bytes again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>
#include <string>
#include <variant>
#include <vector>

#include "standard_codec.h"

namespace {

using flutter::ByteBufferStreamReader;
using flutter::ByteBufferStreamWriter;
using flutter::EncodableValue;
using flutter::StandardCodecSerializer;
using flutter::StandardMethodCodec;
using Bytes = std::vector<uint8_t>;

// Swallows the codec's diagnostics for malformed input, which would otherwise dominate run time.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "codec_fuzzer: %s\n", what);
    std::abort();
  }
}

// The writer leaves out the alignment padding of an empty list of 4- or 8-byte elements while the
// reader always skips to the alignment, so such a list that does not happen to sit aligned is not
// read back as written. That is the wire format's rule; values holding one are not compared.
bool HoldsEmptyAlignedList(const EncodableValue& value) {
  if (const auto* list = std::get_if<flutter::EncodableList>(&value)) {
    for (const EncodableValue& element : *list) {
      if (HoldsEmptyAlignedList(element)) return true;
    }
    return false;
  }
  if (const auto* map = std::get_if<flutter::EncodableMap>(&value)) {
    for (const auto& [key, entry] : *map) {
      if (HoldsEmptyAlignedList(key) || HoldsEmptyAlignedList(entry)) return true;
    }
    return false;
  }
  return (std::holds_alternative<std::vector<int32_t>>(value) &&
          std::get<std::vector<int32_t>>(value).empty()) ||
         (std::holds_alternative<std::vector<int64_t>>(value) &&
          std::get<std::vector<int64_t>>(value).empty()) ||
         (std::holds_alternative<std::vector<double>>(value) &&
          std::get<std::vector<double>>(value).empty()) ||
         (std::holds_alternative<std::vector<float>>(value) &&
          std::get<std::vector<float>>(value).empty());
}

Bytes Encode(const EncodableValue& value) {
  Bytes bytes;
  ByteBufferStreamWriter writer(&bytes);
  StandardCodecSerializer::GetInstance().WriteValue(value, &writer);
  return bytes;
}

EncodableValue Decode(const uint8_t* data, size_t size) {
  ByteBufferStreamReader reader(data, size);
  return StandardCodecSerializer::GetInstance().ReadValue(&reader);
}

// Records what the envelope carried so it can be encoded again.
class Capture : public flutter::MethodResult<EncodableValue> {
 public:
  enum class Kind { None, Success, Error, NotImplemented } kind = Kind::None;
  int calls = 0;
  EncodableValue value;
  std::string code;
  std::string message;
  bool hasDetails = false;

 protected:
  void SuccessInternal(const EncodableValue* result) override {
    ++calls;
    kind = Kind::Success;
    if (result != nullptr) value = *result;
  }
  void ErrorInternal(const std::string& c, const std::string& m,
                     const EncodableValue* details) override {
    ++calls;
    kind = Kind::Error;
    code = c;
    message = m;
    hasDetails = details != nullptr;
    if (details != nullptr) value = *details;
  }
  void NotImplementedInternal() override {
    ++calls;
    kind = Kind::NotImplemented;
  }
};

Bytes EncodeCaptured(const Capture& capture) {
  const auto& codec = StandardMethodCodec::GetInstance();
  if (capture.kind == Capture::Kind::Success) return *codec.EncodeSuccessEnvelope(&capture.value);
  return *codec.EncodeErrorEnvelope(capture.code, capture.message,
                                    capture.hasDetails ? &capture.value : nullptr);
}

void FuzzValue(const uint8_t* data, size_t size) {
  const EncodableValue value = Decode(data, size);
  if (HoldsEmptyAlignedList(value)) return;
  const Bytes once = Encode(value);
  const EncodableValue again = Decode(once.data(), once.size());
  Check(Encode(again) == once, "value does not survive re-encoding");
}

void FuzzMethodCall(const uint8_t* data, size_t size) {
  const auto& codec = StandardMethodCodec::GetInstance();
  const auto call = codec.DecodeMethodCall(data, size);
  if (!call || HoldsEmptyAlignedList(*call->arguments())) return;
  const auto once = codec.EncodeMethodCall(*call);
  const auto again = codec.DecodeMethodCall(once->data(), once->size());
  Check(again != nullptr, "re-encoded method call does not decode");
  Check(again->method_name() == call->method_name(), "method name changed");
  Check(*codec.EncodeMethodCall(*again) == *once, "method call does not survive re-encoding");
}

void FuzzEnvelope(const uint8_t* data, size_t size) {
  const auto& codec = StandardMethodCodec::GetInstance();
  Capture first;
  const bool known = codec.DecodeResponseEnvelope(data, size, &first);
  Check(first.calls == (known ? 1 : 0), "envelope answered other than exactly once");
  if (!known || HoldsEmptyAlignedList(first.value)) return;
  const Bytes once = EncodeCaptured(first);
  Capture second;
  Check(codec.DecodeResponseEnvelope(once.data(), once.size(), &second),
        "re-encoded envelope is unknown");
  Check(second.calls == 1 && second.kind == first.kind, "envelope kind changed");
  Check(EncodeCaptured(second) == once, "envelope does not survive re-encoding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NullBuffer sink;
  static std::streambuf* const original = std::cerr.rdbuf(&sink);
  (void)original;
  FuzzValue(data, size);
  FuzzMethodCall(data, size);
  FuzzEnvelope(data, size);
  return 0;
}
