#pragma once

// A stretch of device sectors: the first, how many, and where it ends. Sector numbers are signed
// 64-bit; a range never starts before sector 0, never holds fewer than 0 sectors, and always ends
// where a 64-bit number can say, so `End()` and the byte arithmetic on it need no further checks.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "common/byte_fields.h"

namespace quarvelin {

class SectorRange {
 public:
  constexpr SectorRange() = default;
  // Throws std::out_of_range when the numbers break the invariant: the caller's arithmetic went
  // wrong. Numbers from outside (a channel call, a disk structure) go through `Checked` instead.
  constexpr SectorRange(int64_t first, int64_t count) : first_(first), count_(count) {
    if (!Valid(first, count)) throw std::out_of_range("invalid sector range");
  }
  static constexpr std::optional<SectorRange> Checked(int64_t first, int64_t count) {
    if (!Valid(first, count)) return std::nullopt;
    return SectorRange(first, count);
  }

  constexpr int64_t First() const { return first_; }
  constexpr int64_t Count() const { return count_; }
  // One past the last sector.
  constexpr int64_t End() const { return first_ + count_; }
  constexpr bool Empty() const { return count_ == 0; }
  constexpr bool Contains(int64_t sector) const { return sector >= first_ && sector < End(); }

  // The first `sectors` of the range (all of it when it holds fewer).
  constexpr SectorRange Head(int64_t sectors) const {
    return {first_, std::clamp<int64_t>(sectors, 0, count_)};
  }
  // The part from `sector` on: all of it before the range, nothing after it.
  constexpr SectorRange From(int64_t sector) const {
    const int64_t start = std::clamp(sector, first_, End());
    return {start, End() - start};
  }

  // Where the range starts and how long it is in bytes, for `sectorSize`-byte sectors; nothing when
  // a 64-bit byte count cannot say it.
  constexpr std::optional<int64_t> ByteOffset(int64_t sectorSize) const {
    return CheckedMul(first_, sectorSize);
  }
  constexpr std::optional<int64_t> ByteLength(int64_t sectorSize) const {
    return CheckedMul(count_, sectorSize);
  }

  constexpr bool operator==(const SectorRange&) const = default;

 private:
  static constexpr bool Valid(int64_t first, int64_t count) {
    return first >= 0 && count >= 0 && count <= INT64_MAX - first;
  }

  int64_t first_ = 0;
  int64_t count_ = 0;
};

}  // namespace quarvelin
