#include "standard_codec.h"

#include <gtest/gtest.h>

#include <cmath>

namespace flutter {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const EncodableValue& value, size_t offset = 0) {
  Bytes bytes(offset, 0xAA);  // the message's earlier bytes: alignment counts from its start
  ByteBufferStreamWriter writer(&bytes);
  StandardCodecSerializer::GetInstance().WriteValue(value, &writer);
  return bytes;
}

EncodableValue Decode(const Bytes& bytes, size_t offset = 0) {
  ByteBufferStreamReader reader(bytes.data(), bytes.size());
  for (size_t i = 0; i < offset; ++i) reader.ReadByte();
  return StandardCodecSerializer::GetInstance().ReadValue(&reader);
}

// Stderr lines a call writes.
template <typename F>
std::string Diagnostics(F&& call) {
  ::testing::internal::CaptureStderr();
  call();
  return ::testing::internal::GetCapturedStderr();
}

class RecordingResult : public MethodResult<EncodableValue> {
 public:
  std::string what;
  EncodableValue value;

 protected:
  void SuccessInternal(const EncodableValue* result) override {
    what = "success";
    value = result != nullptr ? *result : EncodableValue();
  }
  void ErrorInternal(const std::string& code, const std::string& message,
                     const EncodableValue* details) override {
    what = "error " + code + " " + message;
    value = details != nullptr ? *details : EncodableValue();
  }
  void NotImplementedInternal() override { what = "not implemented"; }
};

TEST(StandardCodec, WritesTheWireFormat) {
  EXPECT_EQ(Encode("hello"), (Bytes{0x07, 0x05, 'h', 'e', 'l', 'l', 'o'}));
  const Bytes size300 = Encode(std::string(300, 'x'));
  EXPECT_EQ(Bytes(size300.begin(), size300.begin() + 4), (Bytes{0x07, 0xFE, 0x2C, 0x01}));
  const Bytes size65536 = Encode(std::string(65536, 'x'));
  EXPECT_EQ(Bytes(size65536.begin(), size65536.begin() + 6),
            (Bytes{0x07, 0xFF, 0x00, 0x00, 0x01, 0x00}));
  const Bytes leadingDouble = Encode(1.5);
  ASSERT_EQ(leadingDouble.size(), 16u);
  EXPECT_EQ(Bytes(leadingDouble.begin(), leadingDouble.begin() + 8),
            (Bytes{6, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Encode(std::vector<int64_t>{}), (Bytes{0x0A, 0x00}));
  EXPECT_EQ(Encode(EncodableValue(true)), Bytes{1});
  EXPECT_EQ(Encode(EncodableValue(int32_t{-2})), (Bytes{3, 0xFE, 0xFF, 0xFF, 0xFF}));
  // A repeated map key keeps its first value.
  EXPECT_EQ(Decode(Bytes{0x0D, 2, 0x07, 1, 'k', 0x03, 1, 0, 0, 0, 0x07, 1, 'k', 0x03, 2, 0, 0, 0}),
            EncodableValue(EncodableMap{{EncodableValue("k"), EncodableValue(int32_t{1})}}));

  const auto& codec = StandardMethodCodec::GetInstance();
  EXPECT_EQ(*codec.EncodeErrorEnvelope("E"), (Bytes{0x01, 0x07, 0x01, 0x45, 0x00, 0x00}));
  EXPECT_EQ(&codec, &StandardMethodCodec::GetInstance(&StandardCodecSerializer::GetInstance()));
}

TEST(StandardCodec, EveryTypeRoundTripsAtEveryAlignment) {
  EncodableMap map;
  map[EncodableValue("key")] = EncodableValue(int64_t{1} << 40);
  map[EncodableValue(int32_t{7})] = EncodableList{EncodableValue(), EncodableValue(false)};
  const std::vector<EncodableValue> values = {
      EncodableValue(),
      EncodableValue(true),
      EncodableValue(int32_t{-5}),
      EncodableValue(int64_t{-1} << 50),
      EncodableValue(-0.25),
      EncodableValue(std::string(260, 'q')),
      EncodableValue(Bytes{1, 2, 3}),
      EncodableValue(std::vector<int32_t>{1, -2, 3}),
      EncodableValue(std::vector<int64_t>{4, -5}),
      EncodableValue(std::vector<double>{0.5, -1e300}),
      EncodableValue(std::vector<float>{1.5f, -2.5f}),
      EncodableValue(EncodableList{EncodableValue(1.0), EncodableValue("x"), EncodableValue(map)}),
      EncodableValue(map),
  };
  for (size_t offset = 0; offset < 8; ++offset) {
    for (const auto& value : values) {
      // The value, then a marker that shows the reader ended where the writer did.
      Bytes bytes =
          Encode(EncodableValue(EncodableList{value, EncodableValue(int32_t{99})}), offset);
      EXPECT_EQ(Decode(bytes, offset),
                EncodableValue(EncodableList{value, EncodableValue(int32_t{99})}))
          << "type " << value.index() << " at offset " << offset;
    }
  }
  // An empty typed list is written without padding, and the reader still skips to the alignment
  // (so it round-trips only where it is aligned already).
  const Bytes misaligned = {0x0A, 0x00, 0, 0, 0, 0, 0, 0, 0x03, 0x2A, 0, 0, 0};
  ByteBufferStreamReader reader(misaligned.data(), misaligned.size());
  const auto& serializer = StandardCodecSerializer::GetInstance();
  EXPECT_EQ(serializer.ReadValue(&reader), EncodableValue(std::vector<int64_t>{}));
  EXPECT_EQ(serializer.ReadValue(&reader), EncodableValue(int32_t{42}));
}

TEST(StandardCodec, MapsKeyedByNaNAreWrittenInOneOrderWhateverOrderTheyWereFilledIn) {
  // NaN is neither below nor above a number; ordered by `<` alone, a map's order (and so its bytes)
  // followed the order its keys arrived in, and a decoded message did not encode back the same.
  const double nan = std::nan("");
  const std::vector<EncodableValue> keys = {EncodableValue(nan),
                                            EncodableValue(1.0),
                                            EncodableValue(-2.0),
                                            EncodableValue(std::vector<double>{nan, 1.0}),
                                            EncodableValue(std::vector<double>{0.5}),
                                            EncodableValue(std::vector<float>{2.0f}),
                                            EncodableValue(std::vector<float>{std::nanf("")})};
  EncodableMap forward;
  EncodableMap backward;
  for (size_t i = 0; i < keys.size(); ++i) {
    forward[keys[i]] = EncodableValue(static_cast<int32_t>(i));
    backward[keys[keys.size() - 1 - i]] = EncodableValue(static_cast<int32_t>(keys.size() - 1 - i));
  }
  EXPECT_EQ(forward.size(), keys.size());
  const Bytes bytes = Encode(EncodableValue(forward));
  EXPECT_EQ(Encode(EncodableValue(backward)), bytes);
  EXPECT_EQ(Encode(Decode(bytes)), bytes);
}

TEST(StandardCodec, CutAndCorruptMessagesNeverCrash) {
  EncodableMap map{{EncodableValue("a"), EncodableValue(std::vector<double>{1, 2, 3})}};
  const Bytes whole =
      Encode(EncodableList{EncodableValue(map), EncodableValue(std::string(300, 'z')),
                           EncodableValue(std::vector<float>{1, 2})});
  ::testing::internal::CaptureStderr();
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    Decode(Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    Bytes corrupt = whole;
    corrupt[cut] ^= 0xFF;
    Decode(corrupt);
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Diagnostics([] { Decode(Bytes{0x0F}); }),
            "Unknown type in StandardCodecSerializer::ReadValueOfType: 15\n");
  EXPECT_EQ(Diagnostics([] { Encode(EncodableValue(CustomEncodableValue(3))); }),
            "Unhandled custom type in StandardCodecSerializer::WriteValue. Custom types require "
            "codec extensions.\n");
}

TEST(StandardCodec, ClaimedSizesBeyondTheMessageAreNotTrusted) {
  // A list, a string and a typed list each claiming 4,294,967,295 elements in a few bytes.
  std::string errors = Diagnostics([] {
    const auto list =
        std::get<EncodableList>(Decode(Bytes{0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
    EXPECT_EQ(list, EncodableList{EncodableValue(true)});
    EXPECT_EQ(Decode(Bytes{0x07, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'}), EncodableValue("ab"));
    EXPECT_EQ(
        std::get<std::vector<int64_t>>(Decode(Bytes{0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})).size(),
        0u);
    const auto map =
        std::get<EncodableMap>(Decode(Bytes{0x0D, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
    EXPECT_EQ(map.size(), 1u);
  });
  EXPECT_NE(errors.find("Invalid read in StandardCodecByteStreamReader"), std::string::npos);
}

TEST(StandardCodec, DeepNestingReadsAsNullInsteadOfOverflowingTheStack) {
  Bytes deep;
  for (int i = 0; i < 200000; ++i) deep.insert(deep.end(), {0x0C, 0x01});
  deep.push_back(0x01);
  EncodableValue value;
  const std::string errors = Diagnostics([&] { value = Decode(deep); });
  EXPECT_NE(errors.find("Nesting too deep"), std::string::npos);
  int depth = 0;
  const EncodableValue* v = &value;
  while (const auto* list = std::get_if<EncodableList>(v)) {
    ASSERT_EQ(list->size(), 1u);
    v = &list->front();
    ++depth;
  }
  EXPECT_EQ(depth, 512);
  EXPECT_TRUE(v->IsNull());
  value = EncodableValue();  // destroying a deep value must not overflow the stack either
}

TEST(StandardMethodCodec, MethodCallsAndEnvelopes) {
  const auto& codec = StandardMethodCodec::GetInstance();
  const Bytes nameOnly = {0x07, 0x01, 'x'};
  EXPECT_EQ(Diagnostics([&] {
              EXPECT_TRUE(
                  codec.DecodeMethodCall(nameOnly.data(), nameOnly.size())->arguments()->IsNull());
            }),
            "Invalid read in StandardCodecByteStreamReader\n");

  RecordingResult result;
  const EncodableValue details(int32_t{5});
  const auto error = codec.EncodeErrorEnvelope("READ_ERROR", "Device not ready", &details);
  EXPECT_TRUE(codec.DecodeResponseEnvelope(error->data(), error->size(), &result));
  EXPECT_EQ(result.what, "error READ_ERROR Device not ready");
  EXPECT_EQ(result.value, details);

  const std::string errors =
      Diagnostics([&] { EXPECT_TRUE(codec.DecodeResponseEnvelope(nullptr, 0, &result)); });
  EXPECT_EQ(result.what, "success");
  EXPECT_TRUE(result.value.IsNull());
  EXPECT_EQ(errors,
            "Invalid read in StandardCodecByteStreamReader\n"
            "Invalid read in StandardCodecByteStreamReader\n");
  const Bytes unknown = {0x02};
  EXPECT_FALSE(codec.DecodeResponseEnvelope(unknown.data(), unknown.size(), &result));
}

}  // namespace
}  // namespace flutter
