#pragma once

// A small text notation for channel values, read from UI scripts and written to transcripts:
//   null  true  false  7 (32-bit)  7L (64-bit; integers beyond 32 bits are 64-bit anyway)  1.5
//   "text" (escapes \" \\ \n \r \t \xHH)  [1, "a"]  {"key": 1}
//   typed lists u8[1, 2]  i32[1]  i64[1]  f32[1.5]  f64[1.5]
// Commas between elements are optional. What Notation writes, NotationReader reads back to the
// same value (except non-finite doubles and custom values, which have no notation).

#include <stdexcept>
#include <string>
#include <string_view>

#include "encodable_value.h"

namespace quarvelin::fake {

class NotationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Notation(const flutter::EncodableValue& value);
// `text` quoted and escaped as a string value.
std::string QuotedText(std::string_view text);

// Reads words and values off one line, left to right. Errors throw NotationError.
class NotationReader {
 public:
  explicit NotationReader(std::string_view text) : text_(text) {}

  // True when only blanks are left.
  bool AtEnd();
  // The next run of non-blank characters.
  std::string Word();
  flutter::EncodableValue Value();

 private:
  void SkipBlanks();
  bool Take(char c);
  char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  flutter::EncodableValue Nested(int depth);
  flutter::EncodableValue Number();
  std::string String();
  template <typename T>
  std::vector<T> TypedList();

  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace quarvelin::fake
