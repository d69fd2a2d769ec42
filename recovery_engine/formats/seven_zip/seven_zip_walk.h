#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// Sizes a 7z archive by its start header: the signature header, then the next header at the
// offset and of the length it names, in 64 bits. Both the start header's CRC and the next
// header's are checked, so a signature met in other data is not taken for an archive.
std::optional<int64_t> WalkSevenZip(RangeReader& read, const std::atomic<bool>* cancel);

// What the 32-byte start header at the front of `bytes` claims the archive's length is, when its
// signature and CRC check: the next header itself is not looked at.
std::optional<int64_t> SevenZipClaimedLength(Bytes bytes);

}  // namespace quarvelin
