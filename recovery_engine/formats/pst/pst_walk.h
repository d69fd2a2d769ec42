#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "sizing/range_reader.h"

namespace quarvelin {

// The length of the Outlook personal folders file (PST) at candidate offset 0, as its header's
// root structure records it (ibFileEof), in both the ANSI (32-bit) and the Unicode (64-bit)
// layout. Nothing unless the header's CRCs hold, the length is sane and its last byte can be read.
// Offline folder files (OST, client magic "SO") are not taken.
std::optional<int64_t> WalkPst(RangeReader& read);

// The CRC-32 the file uses for its header and pages: the reflected polynomial 0xEDB88320 with
// initial value 0 and no final XOR.
uint32_t PstCrc(std::span<const uint8_t> bytes);

}  // namespace quarvelin
