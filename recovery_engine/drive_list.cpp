#include "drive_list.h"

#include <string_view>

namespace quarvelin {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 when there is none (stray
// continuation bytes, overlong forms, surrogates, code points past U+10FFFF, cut-off sequences).
size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    const char c = text.front();
    size_t used = 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0x0F];
        } else if (byte < 0x80) {
          out += c;
        } else {
          used = Utf8SequenceLength(text);
          if (used == 0) {
            out += "\xEF\xBF\xBD";
            used = 1;
          } else {
            out.append(text.substr(0, used));
          }
        }
      }
    }
    text.remove_prefix(used);
  }
  out += '"';
}

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
