#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_string.h"

namespace quarvelin::cli {

// One JSON value as the engine's texts carry it: objects keep their members in text order, numbers
// keep their spelling, so what is read can be written back unchanged.
struct JsonValue {
  enum class Type { Null, Boolean, Number, String, Array, Object };

  Type type = Type::Null;
  // String: the unescaped text (UTF-8); number, true, false, null: the JSON spelling.
  std::string text;
  // Array: the elements. Object: the member values, named by `keys` at the same index.
  std::vector<JsonValue> items;
  std::vector<std::string> keys;

  bool IsScalar() const { return type != Type::Array && type != Type::Object; }
  // The member `key` of an object; null when there is none or this is no object.
  const JsonValue* Find(std::string_view key) const;
  // The text of the scalar member `key`; empty when there is none.
  std::string Member(std::string_view key) const;
};

// Reads one JSON value filling the whole text (whitespace aside); nothing when the text is not
// one, or nests deeper than any text the engine writes.
std::optional<JsonValue> ParseJson(std::string_view text);

// Appends `value` as compact JSON: no whitespace, strings escaped as JsonString does.
void AppendJson(std::string& out, const JsonValue& value);

}  // namespace quarvelin::cli
