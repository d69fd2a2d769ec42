#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarvelin::cli {

// A byte count in binary units with one decimal, as Windows Explorer shows sizes: "59.6 GB",
// "512 B"; "-" for 0, which the drive list uses for "not known".
std::string FormatSize(uint64_t bytes);

// The engine's JSON drive list as a table for a person: device, name, type, size, free. Nothing
// when the text is not a drive list.
std::optional<std::string> FormatDriveTable(std::string_view json);

}  // namespace quarvelin::cli
