#pragma once

// Every multi-byte field of a file, a disk structure or a driver's reply is read through these. A
// field that does not lie wholly inside the bytes yields nothing instead of reading past them; the
// caller says what a missing field means (a driver's short reply reads as 0 with `value_or(0)`).
// Length and offset sums go through the checked helpers, since length fields on a damaged disk are
// hostile input.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarvelin {

using Bytes = std::span<const uint8_t>;

namespace detail {
template <size_t N, bool BigEndian>
constexpr std::optional<uint64_t> ReadField(Bytes bytes, size_t at) {
  if (at > bytes.size() || bytes.size() - at < N) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < N; ++i) {
    const uint64_t byte = bytes[at + (BigEndian ? i : N - 1 - i)];
    value = (value << 8) | byte;
  }
  return value;
}

template <typename T, size_t N, bool BigEndian>
constexpr std::optional<T> Read(Bytes bytes, size_t at) {
  if (const auto value = ReadField<N, BigEndian>(bytes, at)) return static_cast<T>(*value);
  return std::nullopt;
}
}  // namespace detail

constexpr std::optional<uint16_t> ReadBe16(Bytes b, size_t at) {
  return detail::Read<uint16_t, 2, true>(b, at);
}
constexpr std::optional<uint32_t> ReadBe24(Bytes b, size_t at) {
  return detail::Read<uint32_t, 3, true>(b, at);
}
constexpr std::optional<uint32_t> ReadBe32(Bytes b, size_t at) {
  return detail::Read<uint32_t, 4, true>(b, at);
}
constexpr std::optional<uint64_t> ReadBe64(Bytes b, size_t at) {
  return detail::Read<uint64_t, 8, true>(b, at);
}
constexpr std::optional<uint16_t> ReadLe16(Bytes b, size_t at) {
  return detail::Read<uint16_t, 2, false>(b, at);
}
constexpr std::optional<uint32_t> ReadLe24(Bytes b, size_t at) {
  return detail::Read<uint32_t, 3, false>(b, at);
}
constexpr std::optional<uint32_t> ReadLe32(Bytes b, size_t at) {
  return detail::Read<uint32_t, 4, false>(b, at);
}
// SMART attribute raw values are six bytes wide.
constexpr std::optional<uint64_t> ReadLe48(Bytes b, size_t at) {
  return detail::Read<uint64_t, 6, false>(b, at);
}
constexpr std::optional<uint64_t> ReadLe64(Bytes b, size_t at) {
  return detail::Read<uint64_t, 8, false>(b, at);
}

// Stores `value` little-endian at `at`; false, and nothing written, when it does not fit.
constexpr bool WriteLe32(std::span<uint8_t> bytes, size_t at, uint32_t value) {
  if (at > bytes.size() || bytes.size() - at < 4) return false;
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  return true;
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

// a × b, or nothing when the product leaves the signed 64-bit range.
constexpr std::optional<int64_t> CheckedMul(int64_t a, int64_t b) {
  int64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

// An unsigned field as a signed 64-bit length, or nothing when it does not fit.
constexpr std::optional<int64_t> AsLength(uint64_t value) {
  if (value > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<int64_t>(value);
}

}  // namespace quarvelin
