#pragma once

// JSON string literals for the texts the engine and the command line hand out (drive lists, engine
// messages, identify reports). The result is always valid JSON in UTF-8: a byte that is not part of
// a well-formed UTF-8 sequence (a label in a legacy code page, a cut-off name) becomes U+FFFD.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarvelin {

// Appends the code point `c` (at most U+10FFFF, not a surrogate) in UTF-8.
inline void AppendUtf8(std::string& out, char32_t c) {
  const auto byte = [&out](uint32_t value) { out += static_cast<char>(value & 0xFF); };
  const auto code = static_cast<uint32_t>(c);
  if (code < 0x80) {
    byte(code);
  } else if (code < 0x800) {
    byte(0xC0 | (code >> 6));
    byte(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    byte(0xE0 | (code >> 12));
    byte(0x80 | ((code >> 6) & 0x3F));
    byte(0x80 | (code & 0x3F));
  } else {
    byte(0xF0 | (code >> 18));
    byte(0x80 | ((code >> 12) & 0x3F));
    byte(0x80 | ((code >> 6) & 0x3F));
    byte(0x80 | (code & 0x3F));
  }
}

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 when there is none (stray
// continuation bytes, overlong forms, surrogates, code points past U+10FFFF, cut-off sequences).
inline size_t Utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
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

// Appends `text` to `out` as a JSON string literal, quotes included.
inline void AppendJsonString(std::string& out, std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text.front());
    size_t used = 1;
    switch (byte) {
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
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0x0F];
        } else if (byte < 0x80) {
          out += static_cast<char>(byte);
        } else if ((used = Utf8SequenceLength(text)) != 0) {
          out.append(text.substr(0, used));
        } else {
          out += "\xEF\xBF\xBD";
          used = 1;
        }
    }
    text.remove_prefix(used);
  }
  out += '"';
}

inline std::string JsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  AppendJsonString(out, text);
  return out;
}

}  // namespace quarvelin
