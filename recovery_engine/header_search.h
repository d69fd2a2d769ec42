#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "signatures.h"

namespace quarvelin {

// True when `header` starts at `pos` in `data`; with `ignoreCase`, ASCII letters match in either
// case. An empty header (a type no header starts) matches nowhere.
bool HeaderMatches(std::span<const uint8_t> data, size_t pos, std::span<const uint8_t> header,
                   bool ignoreCase);

// Finds where the headers of a set of signatures begin in a buffer, fast enough to keep up with a
// disk: one table lookup per byte on ordinary data, and runs of zero bytes (common on real disks,
// and the start of several headers) skipped a word at a time.
class HeaderIndex {
 public:
  // `signatures` in search order. Rows with the same header share one pattern; there may be any
  // number of them. Rows without a header (types found at sector starts by their format's own
  // test) are left out; a one-byte header cannot be told from noise and throws
  // std::invalid_argument rather than be dropped unseen.
  explicit HeaderIndex(const std::vector<FileSignature>& signatures);

  // The first position p in [from, limit) where at least one header matches in full. Bytes past
  // `limit` (up to data.size()) are looked at for headers that start before it.
  std::optional<size_t> FindNext(std::span<const uint8_t> data, size_t from, size_t limit) const;

  // True when some header matches in full at `pos`.
  bool AnyMatchAt(std::span<const uint8_t> data, size_t pos) const;

  // The rows (indices into the signatures given) whose header matches at `pos`, in search order.
  std::vector<size_t> RowsAt(std::span<const uint8_t> data, size_t pos) const {
    std::vector<size_t> rows;
    RowsAt(data, pos, rows);
    return rows;
  }
  // The same into `rows`, which is cleared first (a scan reuses one vector for every candidate).
  void RowsAt(std::span<const uint8_t> data, size_t pos, std::vector<size_t>& rows) const;

  size_t LongestHeader() const { return longest_; }
  size_t PatternCount() const { return patterns_.size(); }

 private:
  std::optional<size_t> FindNextScalar(std::span<const uint8_t> data, size_t from,
                                       size_t limit) const;
  std::optional<size_t> FindNextVector(std::span<const uint8_t> data, size_t from,
                                       size_t limit) const;
  // The patterns that start with the two bytes at `pos` (empty when none does, or fewer than two
  // bytes are left), to be checked in full.
  std::span<const uint32_t> PatternsStartingAt(std::span<const uint8_t> data, size_t pos) const;

  struct Pattern {
    std::vector<uint8_t> bytes;
    bool ignoreCase = false;
    std::vector<size_t> rows;
  };
  std::vector<Pattern> patterns_;
  // Bit set for every two-byte prefix (first byte | second byte << 8) some header starts with.
  std::vector<uint64_t> pairBits_;
  // For each such prefix, where in pairPatterns_ its headers are listed; sorted by prefix.
  struct PairEntry {
    uint32_t pair = 0;
    uint32_t first = 0;
    uint32_t count = 0;
  };
  std::vector<PairEntry> pairs_;
  // Pattern indices, ascending within each prefix's stretch.
  std::vector<uint32_t> pairPatterns_;
  size_t zeroSkip_ = 0;
  // Nibble tables of the vector prefilter: bit b of lowN[x & 15] & highN[x >> 4] is set when byte
  // x can be byte N of an anchor in bucket b. Buckets 0-5 anchor a header at its first two
  // bytes; 6 and 7 at bytes 2 and 3, for the headers that start with two zero bytes, so that zero
  // runs raise no candidates at all.
  alignas(16) uint8_t low0_[16] = {};
  alignas(16) uint8_t high0_[16] = {};
  alignas(16) uint8_t low1_[16] = {};
  alignas(16) uint8_t high1_[16] = {};
  // Byte 2 of the anchor, where the header has one (every bucket bit set for two-byte anchors).
  alignas(16) uint8_t low2_[16] = {};
  alignas(16) uint8_t high2_[16] = {};
  bool vector_ = false;
  size_t longest_ = 0;
};

}  // namespace quarvelin
