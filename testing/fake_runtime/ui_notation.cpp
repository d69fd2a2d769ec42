#include "ui_notation.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <variant>

namespace quarvelin::fake {
namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

constexpr int kMaxDepth = 64;
constexpr char kHex[] = "0123456789ABCDEF";

std::string Number(double value) {
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, written.ptr);
  if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

template <typename T>
std::string Number(T value) {
  if constexpr (std::is_floating_point_v<T>) {
    return Number(static_cast<double>(value));
  } else {
    return std::to_string(value);
  }
}

template <typename T>
std::string Sequence(const char* prefix, const std::vector<T>& items) {
  std::string text = prefix;
  text += '[';
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) text += ", ";
    text += Number(items[i]);
  }
  text += ']';
  return text;
}

}  // namespace

std::string QuotedText(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
          quoted += "\\x";
          quoted += kHex[byte >> 4];
          quoted += kHex[byte & 0xF];
        } else {
          quoted += c;
        }
      }
    }
  }
  quoted += '"';
  return quoted;
}

std::string Notation(const EncodableValue& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, int32_t>) {
          return std::to_string(v);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return std::to_string(v) + 'L';
        } else if constexpr (std::is_same_v<T, double>) {
          return Number(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return QuotedText(v);
        } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
          return Sequence("u8", std::vector<unsigned>(v.begin(), v.end()));
        } else if constexpr (std::is_same_v<T, std::vector<int32_t>>) {
          return Sequence("i32", v);
        } else if constexpr (std::is_same_v<T, std::vector<int64_t>>) {
          return Sequence("i64", v);
        } else if constexpr (std::is_same_v<T, std::vector<float>>) {
          return Sequence("f32", v);
        } else if constexpr (std::is_same_v<T, std::vector<double>>) {
          return Sequence("f64", v);
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          std::string text = "[";
          for (size_t i = 0; i < v.size(); ++i) {
            if (i) text += ", ";
            text += Notation(v[i]);
          }
          return text + ']';
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          std::string text = "{";
          for (auto it = v.begin(); it != v.end(); ++it) {
            if (it != v.begin()) text += ", ";
            text += Notation(it->first);
            text += ": ";
            text += Notation(it->second);
          }
          return text + '}';
        } else {
          return "custom";
        }
      },
      static_cast<const flutter::EncodableValueVariant&>(value));
}

void NotationReader::SkipBlanks() {
  while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r')) {
    ++at_;
  }
}

bool NotationReader::Take(char c) {
  SkipBlanks();
  if (Peek() != c) return false;
  ++at_;
  return true;
}

bool NotationReader::AtEnd() {
  SkipBlanks();
  return at_ >= text_.size();
}

std::string NotationReader::Word() {
  SkipBlanks();
  const size_t start = at_;
  while (at_ < text_.size() && text_[at_] != ' ' && text_[at_] != '\t' && text_[at_] != '\r') ++at_;
  if (start == at_) throw NotationError("missing argument");
  return std::string(text_.substr(start, at_ - start));
}

EncodableValue NotationReader::Value() {
  return Nested(0);
}

EncodableValue NotationReader::Nested(int depth) {
  if (depth > kMaxDepth) throw NotationError("nested too deeply");
  SkipBlanks();
  const std::string_view rest = text_.substr(at_);
  const char c = Peek();
  if (c == '"') return EncodableValue(String());
  if (c == '-' || (c >= '0' && c <= '9')) return Number();
  if (Take('[')) {
    EncodableList list;
    while (!Take(']')) {
      if (at_ >= text_.size()) throw NotationError("unterminated list");
      list.push_back(Nested(depth + 1));
      Take(',');
    }
    return EncodableValue(std::move(list));
  }
  if (Take('{')) {
    EncodableMap map;
    while (!Take('}')) {
      if (at_ >= text_.size()) throw NotationError("unterminated map");
      EncodableValue key = Nested(depth + 1);
      if (!Take(':')) throw NotationError("expected ':' in map");
      map[std::move(key)] = Nested(depth + 1);
      Take(',');
    }
    return EncodableValue(std::move(map));
  }
  const auto starts = [&](std::string_view prefix) {
    if (rest.substr(0, prefix.size()) != prefix) return false;
    at_ += prefix.size();
    return true;
  };
  if (starts("u8[")) {
    std::vector<uint8_t> bytes;
    for (const int64_t n : TypedList<int64_t>()) {
      if (n < 0 || n > 255) throw NotationError("u8 element out of range");
      bytes.push_back(static_cast<uint8_t>(n));
    }
    return EncodableValue(std::move(bytes));
  }
  if (starts("i32[")) {
    std::vector<int32_t> items;
    for (const int64_t n : TypedList<int64_t>()) {
      if (n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max()) {
        throw NotationError("i32 element out of range");
      }
      items.push_back(static_cast<int32_t>(n));
    }
    return EncodableValue(std::move(items));
  }
  if (starts("i64[")) return EncodableValue(TypedList<int64_t>());
  if (starts("f64[")) return EncodableValue(TypedList<double>());
  if (starts("f32[")) {
    std::vector<float> items;
    for (const double d : TypedList<double>()) items.push_back(static_cast<float>(d));
    return EncodableValue(std::move(items));
  }
  if (starts("null")) return EncodableValue();
  if (starts("true")) return EncodableValue(true);
  if (starts("false")) return EncodableValue(false);
  if (rest.empty()) throw NotationError("missing value");
  std::string message = "unexpected text: ";
  message += rest.substr(0, 20);
  throw NotationError(message);
}

EncodableValue NotationReader::Number() {
  SkipBlanks();
  const size_t start = at_;
  bool fraction = false;
  if (Peek() == '-') ++at_;
  while (at_ < text_.size()) {
    const char c = text_[at_];
    if (c == '.' || c == 'e' || c == 'E') {
      fraction = true;
    } else if ((c == '-' || c == '+') && at_ > start &&
               (text_[at_ - 1] == 'e' || text_[at_ - 1] == 'E')) {
    } else if (c < '0' || c > '9') {
      break;
    }
    ++at_;
  }
  const char* first = text_.data() + start;
  const char* last = text_.data() + at_;
  if (fraction) {
    double d = 0;
    const auto parsed = std::from_chars(first, last, d);
    if (parsed.ec != std::errc() || parsed.ptr != last) throw NotationError("bad number");
    return EncodableValue(d);
  }
  int64_t n = 0;
  const auto parsed = std::from_chars(first, last, n);
  if (parsed.ec != std::errc() || parsed.ptr != last) throw NotationError("bad integer");
  if (Peek() == 'L') {
    ++at_;
    return EncodableValue(n);
  }
  if (n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max()) {
    return EncodableValue(static_cast<int32_t>(n));
  }
  return EncodableValue(n);
}

template <typename T>
std::vector<T> NotationReader::TypedList() {
  std::vector<T> items;
  while (!Take(']')) {
    if (at_ >= text_.size()) throw NotationError("unterminated list");
    const EncodableValue n = Number();
    if constexpr (std::is_floating_point_v<T>) {
      const auto* d = std::get_if<double>(&n);
      items.push_back(d ? *d : static_cast<double>(n.LongValue()));
    } else {
      if (std::holds_alternative<double>(n)) throw NotationError("integer expected");
      items.push_back(n.LongValue());
    }
    Take(',');
  }
  return items;
}

std::string NotationReader::String() {
  ++at_;  // the opening quote
  std::string text;
  while (at_ < text_.size() && text_[at_] != '"') {
    char c = text_[at_++];
    if (c == '\\') {
      if (at_ >= text_.size()) break;
      const char escape = text_[at_++];
      switch (escape) {
        case 'n':
          c = '\n';
          break;
        case 'r':
          c = '\r';
          break;
        case 't':
          c = '\t';
          break;
        case '"':
        case '\\':
          c = escape;
          break;
        case 'x': {
          unsigned byte = 0;
          const auto parsed = std::from_chars(
              text_.data() + at_, text_.data() + std::min(at_ + 2, text_.size()), byte, 16);
          if (parsed.ptr != text_.data() + at_ + 2) throw NotationError("bad \\x escape");
          at_ += 2;
          c = static_cast<char>(byte);
          break;
        }
        default:
          throw NotationError("unknown escape");
      }
    }
    text += c;
  }
  if (at_ >= text_.size()) throw NotationError("unterminated string");
  ++at_;  // the closing quote
  return text;
}

}  // namespace quarvelin::fake
