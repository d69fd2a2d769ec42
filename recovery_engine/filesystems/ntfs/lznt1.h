#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace quarvelin {

// Decompresses one NTFS compression unit stored in LZNT1 (a run of 4 KiB chunks, each with a
// two-byte header) from `in` into `out`. The number of bytes produced (at most `out.size()`;
// a unit's data may end before the unit does), or nothing when the stream is malformed.
std::optional<size_t> DecompressLznt1(std::span<const uint8_t> in, std::span<uint8_t> out);

}  // namespace quarvelin
