#include "drive_list.h"

#include <string_view>

#include "common/json_string.h"

namespace quarvelin {
namespace {

void AppendMember(std::string& out, const char* key, std::string_view value) {
  out += '"';
  out += key;
  out += "\": ";
  AppendJsonString(out, value);
  out += ',';
}

}  // namespace

std::string DriveListJson(const std::vector<DriveRecord>& drives) {
  std::string out = "[";
  for (const DriveRecord& drive : drives) {
    if (out.size() > 1) out += ',';
    out += '{';
    AppendMember(out, "id", drive.id);
    AppendMember(out, "letter", drive.letter);
    AppendMember(out, "name", drive.label.empty() ? std::string_view("Local Disk") : drive.label);
    AppendMember(out, "type", drive.kind == DriveKind::Removable ? "USB" : "SSD");
    AppendMember(out, "size", std::to_string(drive.totalBytes));
    AppendMember(out, "free", std::to_string(drive.freeBytes));
    // Not measured: the UI shows these as they are.
    out += "\"health\": 100,";
    out += "\"temperature\": 0,";
    out += "\"life\": \"Good\",";
    out += "\"hours\": \"0\"";
    out += '}';
  }
  out += ']';
  return out;
}

}  // namespace quarvelin
