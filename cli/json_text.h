#pragma once

#include <string>
#include <string_view>

namespace quarvelin::cli {

// The text as a JSON string literal, quotes included. Bytes of 0x80 and above pass through as they
// are: engine texts embed paths byte for byte.
std::string JsonString(std::string_view text);

}  // namespace quarvelin::cli
