#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "header_search.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// Finds where another file stored on the disk begins inside a candidate's bytes: a sector start
// (past the candidate's first byte) at which the header of one of the selected types matches.
// Files begin on sector starts, so a header there ends any search for this file's end; one that
// is not on a sector start is just bytes inside this file.
class StoredFileStops {
 public:
  // `headers` may be null: then nothing stops a search.
  StoredFileStops(const RangeReader& read, const HeaderIndex* headers) : headers_(headers) {
    if (headers_ == nullptr) return;
    const std::optional<int64_t> first = read.NextSectorStart(0);
    if (!first) {
      headers_ = nullptr;
      return;
    }
    firstStart_ = *first;
    sectorSize_ = read.SectorSize();
  }

  // Bytes after a sector start that must be at hand to judge it.
  int64_t Reach() const {
    return headers_ != nullptr ? static_cast<int64_t>(headers_->LongestHeader()) : 0;
  }

  // The first candidate offset in [from, to) where another file begins. `bytes` hold the
  // candidate's bytes from offset `base`; a header that would run past their end does not match,
  // so the caller keeps `to` at least Reach() bytes short of their end unless nothing follows.
  std::optional<int64_t> First(std::span<const uint8_t> bytes, int64_t base, int64_t from,
                               int64_t to) const {
    if (headers_ == nullptr) return std::nullopt;
    from = std::max({from, firstStart_, base});
    to = std::min(to, base + static_cast<int64_t>(bytes.size()));
    if (from >= to) return std::nullopt;
    int64_t at = firstStart_ + (from - firstStart_ + sectorSize_ - 1) / sectorSize_ * sectorSize_;
    for (; at < to; at += sectorSize_) {
      if (headers_->AnyMatchAt(bytes, static_cast<size_t>(at - base))) return at;
    }
    return std::nullopt;
  }

 private:
  const HeaderIndex* headers_;
  int64_t firstStart_ = 0;  // the first sector start after the candidate's first byte
  int64_t sectorSize_ = 0;
};

}  // namespace quarvelin
