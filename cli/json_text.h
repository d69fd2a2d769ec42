#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/json_string.h"

namespace quarvelin::cli {

// One JSON object whose members are all strings, numbers, true, false or null, in text order.
// String values are unescaped (to UTF-8); the others keep their JSON spelling.
using JsonFlatObject = std::vector<std::pair<std::string, std::string>>;

// Reads a JSON array of such objects, such as the engine's drive list; nothing when the text is not
// one (malformed JSON, nested values, trailing text).
std::optional<std::vector<JsonFlatObject>> ParseJsonObjectArray(std::string_view text);

// The value of `key` in `object`, empty when it has none.
std::string JsonMember(const JsonFlatObject& object, std::string_view key);

}  // namespace quarvelin::cli
