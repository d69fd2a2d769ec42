#include "json_text.h"

#include <cstdint>
#include <utility>

#include "common/json_string.h"

namespace quarvelin::cli {

namespace {

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  bool AtEnd() {
    SkipSpace();
    return pos_ == text_.size();
  }

  // Consumes `c` (after any whitespace) when it comes next.
  bool Take(char c) {
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool Peek(char c) {
    SkipSpace();
    return pos_ < text_.size() && text_[pos_] == c;
  }

  std::optional<std::string> String() {
    if (!Take('"')) return std::nullopt;
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ == text_.size()) return std::nullopt;
      switch (text_[pos_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t code = 0;
          if (!Hex4(code)) return std::nullopt;
          if (code >= 0xDC00 && code <= 0xDFFF) return std::nullopt;
          if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low = 0;
            if (text_.substr(pos_, 2) != "\\u") return std::nullopt;
            pos_ += 2;
            if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, static_cast<char32_t>(code));
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  // A number, true, false or null, as spelt.
  std::optional<std::string> Bare() {
    SkipSpace();
    for (const std::string_view word : {"true", "false", "null"}) {
      if (text_.substr(pos_, word.size()) == word) {
        pos_ += word.size();
        return std::string(word);
      }
    }
    const size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    const size_t integer = pos_;
    const size_t digits = Digits();
    if (digits == 0 || (digits > 1 && text_[integer] == '0')) return std::nullopt;
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      if (Digits() == 0) return std::nullopt;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (Digits() == 0) return std::nullopt;
    }
    return std::string(text_.substr(start, pos_ - start));
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  size_t Digits() {
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    return pos_ - start;
  }

  bool Hex4(uint32_t& code) {
    if (text_.size() - pos_ < 4) return false;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
      code = code * 16 + digit;
    }
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// Deeper than any text the engine writes; bounds the recursion on hostile input.
constexpr int kMaxDepth = 64;

std::optional<JsonValue> ParseValue(JsonReader& reader, int depth) {
  if (depth > kMaxDepth) return std::nullopt;
  JsonValue value;
  if (reader.Peek('"')) {
    auto text = reader.String();
    if (!text) return std::nullopt;
    value.type = JsonValue::Type::String;
    value.text = std::move(*text);
  } else if (reader.Take('[')) {
    value.type = JsonValue::Type::Array;
    if (reader.Take(']')) return value;
    do {
      auto item = ParseValue(reader, depth + 1);
      if (!item) return std::nullopt;
      value.items.push_back(std::move(*item));
    } while (reader.Take(','));
    if (!reader.Take(']')) return std::nullopt;
  } else if (reader.Take('{')) {
    value.type = JsonValue::Type::Object;
    if (reader.Take('}')) return value;
    do {
      auto key = reader.String();
      if (!key || !reader.Take(':')) return std::nullopt;
      auto item = ParseValue(reader, depth + 1);
      if (!item) return std::nullopt;
      value.keys.push_back(std::move(*key));
      value.items.push_back(std::move(*item));
    } while (reader.Take(','));
    if (!reader.Take('}')) return std::nullopt;
  } else {
    auto bare = reader.Bare();
    if (!bare) return std::nullopt;
    if (*bare == "null") {
      value.type = JsonValue::Type::Null;
    } else if (*bare == "true" || *bare == "false") {
      value.type = JsonValue::Type::Boolean;
    } else {
      value.type = JsonValue::Type::Number;
    }
    value.text = std::move(*bare);
  }
  return value;
}

}  // namespace

const JsonValue* JsonValue::Find(std::string_view key) const {
  if (type != Type::Object) return nullptr;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return &items[i];
  }
  return nullptr;
}

std::string JsonValue::Member(std::string_view key) const {
  const JsonValue* member = Find(key);
  return member != nullptr && member->IsScalar() ? member->text : std::string();
}

std::optional<JsonValue> ParseJson(std::string_view text) {
  JsonReader reader(text);
  auto value = ParseValue(reader, 0);
  if (!value || !reader.AtEnd()) return std::nullopt;
  return value;
}

void AppendJson(std::string& out, const JsonValue& value) {
  switch (value.type) {
    case JsonValue::Type::String:
      AppendJsonString(out, value.text);
      return;
    case JsonValue::Type::Array:
    case JsonValue::Type::Object: {
      const bool object = value.type == JsonValue::Type::Object;
      out += object ? '{' : '[';
      for (size_t i = 0; i < value.items.size(); ++i) {
        if (i > 0) out += ',';
        if (object) {
          AppendJsonString(out, value.keys[i]);
          out += ':';
        }
        AppendJson(out, value.items[i]);
      }
      out += object ? '}' : ']';
      return;
    }
    default:
      out += value.text;
  }
}

}  // namespace quarvelin::cli
