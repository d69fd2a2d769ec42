#include "drive_table.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "json_text.h"

namespace quarvelin::cli {
namespace {

// Characters, not bytes, so that labels in other scripts keep the columns straight.
size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}

// Sizes come as decimal strings; anything else is shown as it came.
std::string SizeColumn(const std::string& text) {
  if (text.empty() || text.size() > 20 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return text;
  }
  return FormatSize(std::strtoull(text.c_str(), nullptr, 10));
}

}  // namespace

std::string FormatSize(uint64_t bytes) {
  if (bytes == 0) return "-";
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr std::array<const char*, 6> kUnits = {"KB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  // Move up before rounding would print 1024.0.
  while (value >= 1023.95 && unit + 1 < kUnits.size()) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::optional<std::string> FormatDriveTable(std::string_view json) {
  const auto drives = ParseJson(json);
  if (!drives || drives->type != JsonValue::Type::Array) return std::nullopt;
  if (drives->items.empty()) return "No drives found.\n";

  using Row = std::array<std::string, 5>;
  std::vector<Row> rows = {{"DEVICE", "NAME", "TYPE", "SIZE", "FREE"}};
  for (const JsonValue& drive : drives->items) {
    if (drive.type != JsonValue::Type::Object) return std::nullopt;
    rows.push_back({drive.Member("id"), drive.Member("name"), drive.Member("type"),
                    SizeColumn(drive.Member("size")), SizeColumn(drive.Member("free"))});
  }
  std::array<size_t, 5> widths{};
  for (const Row& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
  }
  std::string table;
  for (const Row& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      const bool rightAligned = i >= 3;  // sizes
      const std::string padding(widths[i] - DisplayWidth(row[i]), ' ');
      if (i > 0) line += "  ";
      line += rightAligned ? padding : row[i];
      line += rightAligned ? row[i] : padding;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    table += line;
    table += '\n';
  }
  return table;
}

}  // namespace quarvelin::cli
