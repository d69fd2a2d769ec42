#include "ui_notation.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using quarvelin::fake::Notation;
using quarvelin::fake::NotationError;
using quarvelin::fake::NotationReader;

EncodableValue Read(const std::string& text) {
  NotationReader reader(text);
  return reader.Value();
}

TEST(UiNotationTest, WrittenValuesReadBackUnchanged) {
  for (const char* text :
       {"null", "[true, false, -7, 7L, 3000000000L, -2.5, 2.0, 1e+300]",
        // map keys in the codec's order: by type, then by value
        R"({1: i32[-1], 2L: i64[9000000000], "a\"b\\\n\t\x01": u8[0, 255], "f": f64[0.5]})",
        "[[], {}, u8[], f32[1.5]]"}) {
    EXPECT_EQ(Notation(Read(text)), text);
  }
}

TEST(UiNotationTest, IntegersAre32BitUnlessMarkedOrTooLarge) {
  EXPECT_EQ(Read("2147483647"), EncodableValue(int32_t{2147483647}));
  EXPECT_EQ(Read("2147483648"), EncodableValue(int64_t{2147483648}));
  EXPECT_EQ(Read("5L"), EncodableValue(int64_t{5}));
  EXPECT_EQ(
      Read("{\"k\": [1 2,3]}"),
      EncodableValue(EncodableMap{{EncodableValue("k"), EncodableValue(EncodableList{1, 2, 3})}}));
}

TEST(UiNotationTest, WordsAndValuesShareALine) {
  NotationReader reader("call com.example/x open {\"id\": \"C:\\\\\"} ");
  EXPECT_EQ(reader.Word(), "call");
  EXPECT_EQ(reader.Word(), "com.example/x");
  EXPECT_EQ(reader.Word(), "open");
  EXPECT_EQ(Notation(reader.Value()), R"({"id": "C:\\"})");
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_THROW(reader.Word(), NotationError);
}

TEST(UiNotationTest, MalformedTextIsRefused) {
  for (const char* text : {"\"open", "[1, 2", "{\"a\" 1}", "u8[256]", "i32[1.5]", "\"\\q\"",
                           "\"\\x4\"", "maybe", "9223372036854775808", "-", ""}) {
    EXPECT_THROW(Read(text), NotationError) << text;
  }
}

}  // namespace
