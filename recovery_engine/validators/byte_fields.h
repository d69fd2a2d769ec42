#pragma once

// Every multi-byte field of a candidate file is read through these: a field that does not lie wholly
// inside the bytes read yields nothing instead of reading past them. Length and offset sums go
// through the checked helpers, since length fields on a damaged disk are hostile input.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarvelin {

using Bytes = std::span<const uint8_t>;

namespace detail {
template <size_t N, bool BigEndian>
constexpr std::optional<uint64_t> ReadField(Bytes bytes, size_t at) {
  if (at > bytes.size() || bytes.size() - at < N) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (size_t i = 0; i < N; ++i) {
    const uint64_t byte = bytes[at + (BigEndian ? i : N - 1 - i)];
    value = (value << 8) | byte;
  }
  return value;
}
}  // namespace detail

constexpr std::optional<uint16_t> ReadBe16(Bytes b, size_t at) {
  if (auto v = detail::ReadField<2, true>(b, at)) return static_cast<uint16_t>(*v);
  return std::nullopt;
}
constexpr std::optional<uint32_t> ReadBe24(Bytes b, size_t at) {
  if (auto v = detail::ReadField<3, true>(b, at)) return static_cast<uint32_t>(*v);
  return std::nullopt;
}
constexpr std::optional<uint32_t> ReadBe32(Bytes b, size_t at) {
  if (auto v = detail::ReadField<4, true>(b, at)) return static_cast<uint32_t>(*v);
  return std::nullopt;
}
constexpr std::optional<uint64_t> ReadBe64(Bytes b, size_t at) {
  return detail::ReadField<8, true>(b, at);
}
constexpr std::optional<uint16_t> ReadLe16(Bytes b, size_t at) {
  if (auto v = detail::ReadField<2, false>(b, at)) return static_cast<uint16_t>(*v);
  return std::nullopt;
}
constexpr std::optional<uint32_t> ReadLe24(Bytes b, size_t at) {
  if (auto v = detail::ReadField<3, false>(b, at)) return static_cast<uint32_t>(*v);
  return std::nullopt;
}
constexpr std::optional<uint32_t> ReadLe32(Bytes b, size_t at) {
  if (auto v = detail::ReadField<4, false>(b, at)) return static_cast<uint32_t>(*v);
  return std::nullopt;
}
constexpr std::optional<uint64_t> ReadLe64(Bytes b, size_t at) {
  return detail::ReadField<8, false>(b, at);
}

// a + b, or nothing when the sum leaves the signed 64-bit range.
constexpr std::optional<int64_t> CheckedAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
  return sum;
}

// a + b + c, or nothing on overflow.
constexpr std::optional<int64_t> CheckedAdd(int64_t a, int64_t b, int64_t c) {
  if (auto ab = CheckedAdd(a, b)) return CheckedAdd(*ab, c);
  return std::nullopt;
}

// An unsigned field as a signed 64-bit length, or nothing when it does not fit.
constexpr std::optional<int64_t> AsLength(uint64_t value) {
  if (value > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<int64_t>(value);
}

}  // namespace quarvelin
