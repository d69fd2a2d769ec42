#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>

#include "device/raw_device.h"
#include "signatures.h"
#include "sizing/sizing_memo.h"

namespace quarvelin {

class HeaderIndex;

// How long the file is that starts at a header match in the scan buffer, and what it is.
struct CarvedSize {
  // Bytes from the header offset; 0 when no length was found (always a rejection).
  int64_t size = 0;
  // True when `size` is an estimate (a format's maximum, or a fixed allowance for data whose end
  // the format does not record) rather than an end measured by a validator, a structure walk or
  // a marker. The carver cuts an estimated file short where the next file's header begins.
  bool estimated = false;
  // True when the format's own structure proves the file whole at `size`: such a file is kept
  // even when it is smaller than its type's minimum, which only bounds guesses.
  bool proven = false;
  // The type the content shows it to be, when the format has several (a ZIP holding a Word
  // document is a DOCX); empty for the matched row's own type. Points into the registry.
  std::string_view extension = {};
};

// Sizes the candidate whose header matched at `headerOffset` in `scanBuffer` (a chunk read from
// `device` starting at `bufferStartSector`) with the format of `signature`'s row: its structure
// walk, and where that proves nothing its validator, an end-marker search or an estimate. Reads
// beyond the buffer go to the device. Looks at `cancel` during long walks and searches. `memo`,
// when given, is consulted and added to; one memo serves one scan of one device. `nextFiles`, when
// given, holds the headers of the selected types: an end search stops at a sector where one of them
// begins, since another file is stored there.
CarvedSize DetermineCarvedSize(const std::atomic<bool>* cancel, std::span<const uint8_t> scanBuffer,
                               uint64_t headerOffset, const FileSignature& signature,
                               RawDevice& device, uint64_t bufferStartSector, int32_t sectorSize,
                               SizingMemo* memo = nullptr, const HeaderIndex* nextFiles = nullptr);

}  // namespace quarvelin
