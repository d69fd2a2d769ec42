#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>

#include "sizing/range_reader.h"

namespace quarvelin {

// What a page walk of an Ogg physical stream found.
struct OggWalk {
  // The file's exact length: every logical stream begun (in every chained link) reached its
  // end-of-stream page, and what follows the last page is not the first page of a new link.
  std::optional<int64_t> end;
  // The end of the last page whose capture pattern and checksum were good, in a walk that began
  // with a beginning-of-stream page; 0 when none was. Without `end` this is as much of a cut or
  // fragmented file as is whole; with it, it equals `end`.
  int64_t lastGoodPage = 0;
  // The end of the last link whose every logical stream ended (0 when none did): a whole file in
  // itself, though a further link may be cut short.
  int64_t lastLinkEnd = 0;
};

// Walks the pages from candidate offset 0, checking each page's checksum, and follows every
// logical stream (multiplexed ones, and chained links one after the other) by its serial number.
// Gives up with nothing when cancelled.
OggWalk WalkOgg(RangeReader& read, const std::atomic<bool>* cancel);

// The checksum of an Ogg page: CRC-32 with polynomial 0x04C11DB7, not reflected, initial value 0,
// no final XOR, computed over the page with its checksum field zeroed.
uint32_t OggCrc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

}  // namespace quarvelin
