#pragma once

// Byte builders for the files tests craft: fields of either byte order, text, byte vectors,
// joined with Concat: `Concat(Be32(13), "IHDR", header, Be32(crc))`.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace quarvelin::testing {

using File = std::vector<uint8_t>;

// `size` bytes that look like other data: the same for the same seed.
inline File RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  File bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(generator());
  return bytes;
}

inline File Text(std::string_view text) {
  return File(text.begin(), text.end());
}

namespace detail {
template <size_t N, bool BigEndian>
File Field(uint64_t value) {
  File bytes(N);
  for (size_t i = 0; i < N; ++i) {
    bytes[BigEndian ? N - 1 - i : i] = static_cast<uint8_t>(value >> (8 * i));
  }
  return bytes;
}

inline std::span<const uint8_t> AsBytes(std::span<const uint8_t> part) {
  return part;
}
inline std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}
}  // namespace detail

// Fields of 16, 24, 32 or 64 bits, big- or little-endian.
inline constexpr auto Be16 = detail::Field<2, true>;
inline constexpr auto Be24 = detail::Field<3, true>;
inline constexpr auto Be32 = detail::Field<4, true>;
inline constexpr auto Be64 = detail::Field<8, true>;
inline constexpr auto Le16 = detail::Field<2, false>;
inline constexpr auto Le24 = detail::Field<3, false>;
inline constexpr auto Le32 = detail::Field<4, false>;
inline constexpr auto Le64 = detail::Field<8, false>;

// Appends byte vectors and text to `to`, in order.
template <typename... Parts>
void Append(File& to, const Parts&... parts) {
  const std::span<const uint8_t> spans[] = {detail::AsBytes(parts)...};
  size_t size = to.size();
  for (const auto& part : spans) size += part.size();
  if (size > to.capacity()) to.reserve(std::max(size, 2 * to.capacity()));
  for (const auto& part : spans) to.insert(to.end(), part.begin(), part.end());
}

template <typename... Parts>
File Concat(const Parts&... parts) {
  File joined;
  Append(joined, parts...);
  return joined;
}

// `file` cut or filled with `fill` to `size` bytes.
inline File Padded(File file, size_t size, uint8_t fill = 0) {
  file.resize(size, fill);
  return file;
}

// Writes `bytes` over `file` from `at` on (a field of a crafted file changed in place).
inline void Overwrite(File& file, size_t at, const File& bytes) {
  if (at > file.size() || file.size() - at < bytes.size()) {
    throw std::out_of_range("overwrite past the file's end");
  }
  std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace quarvelin::testing
