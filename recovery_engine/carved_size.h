#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "device/raw_device.h"
#include "signatures.h"

namespace quarvelin {

// How long the file is that starts at a header match in the scan buffer.
struct CarvedSize {
  // Bytes from the header offset; 0 when no length was found (always a rejection: every signature
  // has a positive minimum). Compared with the minimum as a signed value.
  int64_t size = 0;
  // True when `size` is an estimate (a format's maximum, or a fixed allowance for data whose end
  // the format does not record) rather than an end measured by a validator, a structure walk or
  // a marker. The carver cuts an estimated file short where the next file's header begins.
  bool estimated = false;
};

// Sizes the candidate whose header matched at `headerOffset` in `scanBuffer` (a chunk read from
// `device` starting at `bufferStartSector`). Trusts the format's validator when its confidence is
// high enough, and otherwise walks the format's structure or searches for its end marker. Reads
// beyond the buffer go to the device. Looks at `cancel` during long walks and searches.
CarvedSize DetermineCarvedSize(const std::atomic<bool>* cancel, std::span<const uint8_t> scanBuffer,
                               uint64_t headerOffset, const FileSignature& signature,
                               RawDevice& device, uint64_t bufferStartSector, int32_t sectorSize);

}  // namespace quarvelin
