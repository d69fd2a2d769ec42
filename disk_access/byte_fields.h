#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ul_venmark {

// Device records are little-endian. A field that does not lie wholly in the buffer reads as 0:
// drivers answer with fewer bytes than asked often enough.
inline uint64_t ReadLe(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  if (offset > bytes.size() || width > bytes.size() - offset) return 0;
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | bytes[offset + i];
  return value;
}

inline uint32_t ReadU32(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(ReadLe(bytes, offset, 4));
}

inline void WriteU32(std::span<uint8_t> bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i) {
    bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

}  // namespace ul_venmark
