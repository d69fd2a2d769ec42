#pragma once

#include <cstdint>
#include <span>

namespace quarvelin {

// CRC-32 of ISO 3309 / ITU-T V.42 as PNG uses it (reflected polynomial 0xEDB88320, initial value
// and final XOR 0xFFFFFFFF), table-driven.
uint32_t Crc32(std::span<const uint8_t> bytes);

// Continues a CRC over more bytes: Crc32(a + b) == Crc32Update(Crc32(a), b).
uint32_t Crc32Update(uint32_t crc, std::span<const uint8_t> bytes);

}  // namespace quarvelin
