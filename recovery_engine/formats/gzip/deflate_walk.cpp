#include "formats/gzip/deflate_walk.h"

#include <algorithm>
#include <array>

#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr int32_t kWindowBytes = 1 << 20;
constexpr int kMaxCodeBits = 15;
// Codes this long or shorter are decoded by one table look-up; longer ones (rare) bit by bit.
constexpr int kFastBits = 10;
constexpr int kLiteralCodes = 288;
constexpr int kDistanceCodes = 32;
constexpr int kEndOfBlock = 256;

// The bits of the stream, least significant first, read window by window.
class BitReader {
 public:
  BitReader(RangeReader& read, int64_t start, int64_t limit, const std::atomic<bool>* cancel)
      : read_(read), limit_(limit), cancel_(cancel), next_(start) {}

  // True when `n` (at most 57) bits are at hand.
  bool Need(int n) {
    if (count_ < n) Refill();
    return count_ >= n;
  }
  // The next `n` bits, which Need(n) made sure of.
  uint32_t Peek(int n) const { return static_cast<uint32_t>(bits_ & ((uint64_t{1} << n) - 1)); }
  void Drop(int n) {
    bits_ = n >= 64 ? 0 : bits_ >> n;
    count_ -= n;
  }
  uint32_t Take(int n) {
    const uint32_t v = Peek(n);
    Drop(n);
    return v;
  }
  void Align() { Drop(count_ % 8); }
  // After Align: the offset of the next byte the stream has not used.
  int64_t Offset() const { return next_ - count_ / 8; }
  // After Align: passes over `n` bytes without reading them.
  void Skip(int64_t n) {
    const int64_t held = count_ / 8;
    if (n <= held) {
      Drop(static_cast<int>(n * 8));
      return;
    }
    bits_ = 0;
    count_ = 0;
    next_ += n - held;
  }
  bool Cancelled() const { return cancelled_; }

 private:
  void Refill() {
    while (count_ <= 56 && next_ < limit_) {
      int64_t at = next_ - bufferStart_;
      if (at < 0 || at >= std::ssize(buffer_)) {
        if (!Load()) return;
        at = 0;
      }
      // As many bytes as the bit buffer takes, or the window holds.
      const auto stop =
          std::min<int64_t>({std::ssize(buffer_), at + (64 - count_) / 8, at + (limit_ - next_)});
      for (; at < stop; ++at, ++next_, count_ += 8) {
        bits_ |= uint64_t{buffer_[static_cast<size_t>(at)]} << count_;
      }
    }
  }

  bool Load() {
    if (dry_) return false;
    if (IsCancelled(cancel_)) {
      cancelled_ = dry_ = true;
      return false;
    }
    const auto want = static_cast<int32_t>(std::min<int64_t>(kWindowBytes, limit_ - next_));
    buffer_ = read_.ReadWindow(next_, want, 1);
    bufferStart_ = next_;
    // What cannot be read here cannot be read further on either.
    if (buffer_.empty()) dry_ = true;
    return !buffer_.empty();
  }

  RangeReader& read_;
  int64_t limit_;
  const std::atomic<bool>* cancel_;
  Bytes buffer_;
  int64_t bufferStart_ = 0;
  int64_t next_;  // the first byte not yet in `bits_`
  uint64_t bits_ = 0;
  int count_ = 0;
  bool dry_ = false;
  bool cancelled_ = false;
};

constexpr int kInvalid = -1;
constexpr int kCut = -2;

// A canonical Huffman code: a look-up table for the short codes, and the code counts and symbols
// in code order for the long ones.
class Huffman {
 public:
  // Builds the code of `lengths`. Over-subscribed lengths are never valid; an incomplete code only
  // as encoders write one: a single code of one bit, or (for distances) no code at all. A code
  // lengths code has to be complete.
  bool Build(const uint8_t* lengths, int n, bool mustBeComplete) {
    counts_.fill(0);
    for (int s = 0; s < n; ++s) ++counts_[lengths[s]];
    counts_[0] = 0;
    size_t longest = 0;
    for (size_t len = 1; len <= kMaxCodeBits; ++len) {
      if (counts_[len] != 0) longest = len;
    }
    empty_ = longest == 0;
    if (empty_) return !mustBeComplete;
    int left = 1;
    for (size_t len = 1; len <= kMaxCodeBits; ++len) {
      left = (left << 1) - counts_[len];
      if (left < 0) return false;
    }
    if (left > 0 && (mustBeComplete || longest != 1)) return false;

    std::array<uint16_t, kMaxCodeBits + 2> offsets{};
    for (size_t len = 1; len <= kMaxCodeBits; ++len) {
      offsets[len + 1] = static_cast<uint16_t>(offsets[len] + counts_[len]);
    }
    std::array<uint32_t, kMaxCodeBits + 1> nextCode{};
    uint32_t code = 0;
    for (size_t len = 1; len <= kMaxCodeBits; ++len) {
      code = (code + counts_[len - 1]) << 1;
      nextCode[len] = code;
    }
    fast_.fill(0);
    for (int s = 0; s < n; ++s) {
      const size_t len = lengths[s];
      if (len == 0) continue;
      symbols_[offsets[len]++] = static_cast<uint16_t>(s);
      if (len > kFastBits) continue;
      // Codes are packed most significant bit first: the table is indexed by the reversed code.
      uint32_t reversed = 0;
      for (uint32_t c = nextCode[len]++, i = 0; i < static_cast<uint32_t>(len); ++i, c >>= 1) {
        reversed = (reversed << 1) | (c & 1);
      }
      for (uint32_t r = reversed; r < (1u << kFastBits); r += 1u << len) {
        fast_[r] = static_cast<uint16_t>(static_cast<size_t>(s) << 4 | len);
      }
    }
    return true;
  }

  bool Empty() const { return empty_; }

  // The next symbol, kInvalid for bits that are no code, kCut when the stream ends first.
  int Decode(BitReader& bits) const {
    if (bits.Need(kFastBits)) {
      const uint16_t entry = fast_[bits.Peek(kFastBits)];
      if (entry != 0) {
        bits.Drop(entry & 15);
        return entry >> 4;
      }
    }
    // A long code, or one near the stream's end: one bit at a time.
    int code = 0;
    int first = 0;
    int index = 0;
    for (size_t len = 1; len <= kMaxCodeBits; ++len) {
      if (!bits.Need(1)) return kCut;
      code |= static_cast<int>(bits.Take(1));
      const int count = counts_[len];
      if (code - first < count) return symbols_[static_cast<size_t>(index + code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return kInvalid;
  }

 private:
  std::array<uint16_t, 1 << kFastBits> fast_{};
  std::array<uint16_t, kMaxCodeBits + 1> counts_{};
  std::array<uint16_t, kLiteralCodes> symbols_{};
  bool empty_ = true;
};

struct FixedCodes {
  Huffman literals;
  Huffman distances;
};

const FixedCodes& Fixed() {
  static const FixedCodes codes = [] {
    FixedCodes c;
    std::array<uint8_t, kLiteralCodes> lit{};
    std::fill(lit.begin(), lit.begin() + 144, uint8_t{8});
    std::fill(lit.begin() + 144, lit.begin() + 256, uint8_t{9});
    std::fill(lit.begin() + 256, lit.begin() + 280, uint8_t{7});
    std::fill(lit.begin() + 280, lit.end(), uint8_t{8});
    std::array<uint8_t, kDistanceCodes> dist{};
    dist.fill(5);
    c.literals.Build(lit.data(), kLiteralCodes, true);
    c.distances.Build(dist.data(), kDistanceCodes, true);
    return c;
  }();
  return codes;
}

// Match lengths (codes 257..285) and distances (codes 0..29): base and extra bits.
struct Extra {
  std::array<uint16_t, 29> lengthBase{};
  std::array<uint8_t, 29> lengthBits{};
  std::array<uint16_t, 30> distanceBase{};
  std::array<uint8_t, 30> distanceBits{};
};

constexpr Extra MakeExtra() {
  Extra e;
  int base = 3;
  for (size_t i = 0; i < 28; ++i) {
    e.lengthBits[i] = static_cast<uint8_t>(i < 8 ? 0 : (i - 4) / 4);
    e.lengthBase[i] = static_cast<uint16_t>(base);
    base += 1 << e.lengthBits[i];
  }
  e.lengthBase[28] = 258;
  base = 1;
  for (size_t i = 0; i < 30; ++i) {
    e.distanceBits[i] = static_cast<uint8_t>(i < 2 ? 0 : i / 2 - 1);
    e.distanceBase[i] = static_cast<uint16_t>(base);
    base += 1 << e.distanceBits[i];
  }
  return e;
}
constexpr Extra kExtra = MakeExtra();

struct DynamicCodes {
  Huffman literals;
  Huffman distances;
  Huffman lengths;
};

// Reads a dynamic block's code definitions; kCut, kInvalid or 0.
int ReadDynamic(BitReader& bits, DynamicCodes& codes) {
  static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                         11, 4,  12, 3, 13, 2, 14, 1, 15};
  if (!bits.Need(14)) return kCut;
  const int literals = static_cast<int>(bits.Take(5)) + 257;
  const int distances = static_cast<int>(bits.Take(5)) + 1;
  const int lengthCodes = static_cast<int>(bits.Take(4)) + 4;
  if (literals > 286 || distances > 30) return kInvalid;
  std::array<uint8_t, 19> cl{};
  for (int i = 0; i < lengthCodes; ++i) {
    if (!bits.Need(3)) return kCut;
    cl[kOrder[i]] = static_cast<uint8_t>(bits.Take(3));
  }
  if (!codes.lengths.Build(cl.data(), 19, true)) return kInvalid;

  std::array<uint8_t, 286 + 30> lengths{};
  const int total = literals + distances;
  for (int n = 0; n < total;) {
    const int sym = codes.lengths.Decode(bits);
    if (sym < 0) return sym;
    if (sym < 16) {
      lengths[static_cast<size_t>(n++)] = static_cast<uint8_t>(sym);
      continue;
    }
    uint8_t value = 0;
    int repeat = 0;
    if (!bits.Need(7)) return kCut;
    if (sym == 16) {
      if (n == 0) return kInvalid;
      value = lengths[static_cast<size_t>(n - 1)];
      repeat = 3 + static_cast<int>(bits.Take(2));
    } else if (sym == 17) {
      repeat = 3 + static_cast<int>(bits.Take(3));
    } else {
      repeat = 11 + static_cast<int>(bits.Take(7));
    }
    if (n + repeat > total) return kInvalid;
    std::fill_n(lengths.begin() + n, repeat, value);
    n += repeat;
  }
  // A block has to be able to end.
  if (lengths[kEndOfBlock] == 0) return kInvalid;
  if (!codes.literals.Build(lengths.data(), literals, false) ||
      !codes.distances.Build(lengths.data() + literals, distances, false)) {
    return kInvalid;
  }
  return 0;
}

// Decodes one Huffman-coded block's symbols; kCut, kInvalid or 0 at its end-of-block code.
int WalkCodes(BitReader& bits, const Huffman& literals, const Huffman& distances,
              int64_t& produced) {
  for (;;) {
    int sym = literals.Decode(bits);
    if (sym < 0) return sym;
    if (sym < kEndOfBlock) {
      ++produced;
      continue;
    }
    if (sym == kEndOfBlock) return 0;
    sym -= 257;
    if (sym >= 29) return kInvalid;
    const auto i = static_cast<size_t>(sym);
    if (!bits.Need(kExtra.lengthBits[i])) return kCut;
    const int64_t length = kExtra.lengthBase[i] + bits.Take(kExtra.lengthBits[i]);
    if (distances.Empty()) return kInvalid;
    const int d = distances.Decode(bits);
    if (d < 0) return d;
    if (d >= 30) return kInvalid;
    const auto j = static_cast<size_t>(d);
    if (!bits.Need(kExtra.distanceBits[j])) return kCut;
    const int64_t distance = kExtra.distanceBase[j] + bits.Take(kExtra.distanceBits[j]);
    // Nothing before the stream's first byte can be copied.
    if (distance > produced) return kInvalid;
    produced += length;
  }
}

}  // namespace

DeflateWalk WalkDeflate(RangeReader& read, int64_t start, int64_t limit,
                        const std::atomic<bool>* cancel) {
  BitReader bits(read, start, limit, cancel);
  DeflateWalk walk{.end = start};
  DynamicCodes dynamic;
  const auto stopped = [&](int why) {
    walk.stop = bits.Cancelled() ? DeflateStop::kCancelled
                : why == kCut    ? DeflateStop::kCut
                                 : DeflateStop::kInvalid;
    return walk;
  };
  for (int64_t produced = 0;;) {
    if (!bits.Need(3)) return stopped(kCut);
    const bool final = bits.Take(1) != 0;
    const uint32_t type = bits.Take(2);
    int result = 0;
    if (type == 0) {
      bits.Align();
      if (!bits.Need(32)) return stopped(kCut);
      const uint32_t length = bits.Take(16);
      if ((length ^ bits.Take(16)) != 0xFFFF) return stopped(kInvalid);
      bits.Skip(length);
      produced += length;
    } else if (type == 1) {
      result = WalkCodes(bits, Fixed().literals, Fixed().distances, produced);
    } else if (type == 2) {
      result = ReadDynamic(bits, dynamic);
      if (result == 0) result = WalkCodes(bits, dynamic.literals, dynamic.distances, produced);
    } else {
      return stopped(kInvalid);
    }
    if (result != 0) return stopped(result);
    ++walk.blocks;
    walk.output = produced;
    if (final) {
      bits.Align();
      walk.end = bits.Offset();
      walk.stop = DeflateStop::kEnd;
      return walk;
    }
    walk.end = bits.Offset();
  }
}

}  // namespace quarvelin
