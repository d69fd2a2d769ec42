#pragma once

#include <any>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

class EncodableValue;
// Orders map keys by alternative index, then by value. A named comparator rather than `<`: in
// C++20 every `<` between values would also weigh std::variant's `<=>`, whose constraints recurse
// through the list and map alternatives back into EncodableValue.
struct EncodableValueLess {
  bool operator()(const EncodableValue& a, const EncodableValue& b) const;
};
using EncodableList = std::vector<EncodableValue>;
using EncodableMap = std::map<EncodableValue, EncodableValue, EncodableValueLess>;

// A value of a type the standard codec cannot write, carried through for codec extensions.
class CustomEncodableValue {
 public:
  explicit CustomEncodableValue(std::any value) : value_(std::move(value)) {}
  const std::any& value() const { return value_; }

  // Custom values have no natural order; they sort by identity so they can serve as map keys.
  bool operator<(const CustomEncodableValue& other) const { return this < &other; }
  bool operator==(const CustomEncodableValue& other) const { return this == &other; }

 private:
  std::any value_;
};

// The alternatives in the order their index gives them; map keys sort by index, then by value.
using EncodableValueVariant =
    std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, std::vector<uint8_t>,
                 std::vector<int32_t>, std::vector<int64_t>, std::vector<double>, EncodableList,
                 EncodableMap, CustomEncodableValue, std::vector<float>>;

// The one value type of all channel traffic. Default-constructed, it is null.
class EncodableValue : public EncodableValueVariant {
 public:
  using EncodableValueVariant::EncodableValueVariant;
  EncodableValue() = default;
  // String literals are strings, not booleans.
  EncodableValue(const char* text) : EncodableValueVariant(std::string(text)) {}  // NOLINT
  EncodableValue& operator=(const char* text) {
    *this = EncodableValue(text);
    return *this;
  }

  bool IsNull() const { return std::holds_alternative<std::monostate>(*this); }
  // Either integer alternative as 64 bits; throws std::bad_variant_access for other types.
  int64_t LongValue() const {
    if (const auto* small = std::get_if<int32_t>(this)) return *small;
    return std::get<int64_t>(*this);
  }

  // Spelled out rather than taken from std::variant, whose comparisons recurse through the list and
  // map alternatives back into this type.
  static bool Less(const EncodableValue& a, const EncodableValue& b) { return Compare(a, b) < 0; }
  friend bool operator==(const EncodableValue& a, const EncodableValue& b) {
    return Compare(a, b) == 0;
  }

 private:
  template <typename T>
  static int CompareOrdered(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
  }
  // `<` alone is no ordering once NaN comes in (NaN would be equal to every number, which are not
  // equal to each other), and a map keyed by such values sorts by the order its keys arrived in.
  // Here every NaN is one value, above all numbers.
  template <typename T>
  static int CompareFloating(const T& a, const T& b) {
    if (std::isnan(a) || std::isnan(b)) return int{std::isnan(a)} - int{std::isnan(b)};
    return CompareOrdered(a, b);
  }
  template <typename Range>
  static int CompareSequence(const Range& a, const Range& b,
                             int (*element)(const typename Range::value_type&,
                                            const typename Range::value_type&)) {
    auto i = a.begin();
    auto j = b.begin();
    for (; i != a.end() && j != b.end(); ++i, ++j) {
      if (const int c = element(*i, *j); c != 0) return c;
    }
    return i == a.end() ? (j == b.end() ? 0 : -1) : 1;
  }
  static int CompareEntries(const EncodableMap::value_type& a, const EncodableMap::value_type& b) {
    if (const int c = Compare(a.first, b.first); c != 0) return c;
    return Compare(a.second, b.second);
  }
  static int Compare(const EncodableValue& a, const EncodableValue& b) {
    if (a.index() != b.index()) return a.index() < b.index() ? -1 : 1;
    return std::visit(
        [&b](const auto& left) -> int {
          using T = std::decay_t<decltype(left)>;
          const T& right = std::get<T>(b);
          if constexpr (std::is_same_v<T, EncodableList>) {
            return CompareSequence(left, right, &EncodableValue::Compare);
          } else if constexpr (std::is_same_v<T, EncodableMap>) {
            return CompareSequence(left, right, &EncodableValue::CompareEntries);
          } else if constexpr (std::is_same_v<T, std::monostate>) {
            return 0;
          } else if constexpr (std::is_floating_point_v<T>) {
            return CompareFloating(left, right);
          } else if constexpr (std::is_same_v<T, std::vector<double>>) {
            return CompareSequence(left, right, &EncodableValue::CompareFloating<double>);
          } else if constexpr (std::is_same_v<T, std::vector<float>>) {
            return CompareSequence(left, right, &EncodableValue::CompareFloating<float>);
          } else {
            return CompareOrdered(left, right);
          }
        },
        static_cast<const EncodableValueVariant&>(a));
  }
};

inline bool EncodableValueLess::operator()(const EncodableValue& a, const EncodableValue& b) const {
  return EncodableValue::Less(a, b);
}

}  // namespace flutter
