#include "header_search.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUARVELIN_HAVE_AVX2_PREFILTER 1
#endif

namespace quarvelin {
namespace {

uint32_t Pair(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8;
}

uint8_t Folded(uint8_t b) {
  return b >= 'A' && b <= 'Z' ? static_cast<uint8_t>(b + ('a' - 'A')) : b;
}

// The byte, and its other case when it is an ASCII letter and case is ignored.
std::vector<uint8_t> Cases(uint8_t b, bool ignoreCase) {
  const uint8_t lower = Folded(b);
  if (!ignoreCase || lower < 'a' || lower > 'z') return {b};
  return {lower, static_cast<uint8_t>(lower - ('a' - 'A'))};
}

}  // namespace

bool HeaderMatches(std::span<const uint8_t> data, size_t pos, std::span<const uint8_t> header,
                   bool ignoreCase) {
  if (header.empty()) return false;  // a type no header starts
  if (pos > data.size() || data.size() - pos < header.size()) return false;
  if (!ignoreCase) return std::memcmp(data.data() + pos, header.data(), header.size()) == 0;
  for (size_t i = 0; i < header.size(); ++i) {
    if (Folded(data[pos + i]) != Folded(header[i])) return false;
  }
  return true;
}

HeaderIndex::HeaderIndex(const std::vector<FileSignature>& signatures) : pairBits_(65536 / 64) {
  for (size_t row = 0; row < signatures.size(); ++row) {
    const FileSignature& s = signatures[row];
    if (s.header.empty()) continue;  // found at sector starts by its format's own test
    if (s.header.size() < 2) {
      throw std::invalid_argument("the header of " + s.extension +
                                  " is one byte long: too short to tell from noise");
    }
    auto same = std::find_if(patterns_.begin(), patterns_.end(), [&s](const Pattern& p) {
      return p.ignoreCase == s.ignoreCase && p.bytes == s.header;
    });
    if (same == patterns_.end()) {
      same = patterns_.insert(patterns_.end(), Pattern{s.header, s.ignoreCase, {}});
    }
    same->rows.push_back(row);
  }

  size_t firstNonZero = 0;
  bool allHaveNonZero = true;
  // (prefix, pattern) for every case of each header's first two bytes.
  std::vector<std::pair<uint32_t, uint32_t>> starts;
  for (size_t index = 0; index < patterns_.size(); ++index) {
    const std::vector<uint8_t>& header = patterns_[index].bytes;
    longest_ = std::max(longest_, header.size());
    for (const uint8_t b0 : Cases(header[0], patterns_[index].ignoreCase)) {
      for (const uint8_t b1 : Cases(header[1], patterns_[index].ignoreCase)) {
        const uint32_t pair = uint32_t{b0} | uint32_t{b1} << 8;
        pairBits_[pair / 64] |= uint64_t{1} << (pair % 64);
        starts.emplace_back(pair, static_cast<uint32_t>(index));
      }
    }
    const auto nonZero = std::find_if(header.begin(), header.end(), [](uint8_t b) { return b; });
    if (nonZero == header.end()) {
      allHaveNonZero = false;
    } else {
      firstNonZero = std::max(firstNonZero, static_cast<size_t>(nonZero - header.begin()));
    }
  }
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  for (const auto& [pair, index] : starts) {
    if (pairs_.empty() || pairs_.back().pair != pair) {
      pairs_.push_back({pair, static_cast<uint32_t>(pairPatterns_.size()), 0});
    }
    pairPatterns_.push_back(index);
    ++pairs_.back().count;
  }

  // Anchors for the prefilter: up to three header bytes. Distinct anchors are spread over the
  // buckets in order, so anchors that share first bytes share a bucket and alias little with the
  // others; two-byte headers get buckets of their own, since any third byte passes for them.
  const auto mark = [this](uint8_t bit, const uint8_t* anchor, size_t length) {
    low0_[anchor[0] & 15] |= bit;
    high0_[anchor[0] >> 4] |= bit;
    low1_[anchor[1] & 15] |= bit;
    high1_[anchor[1] >> 4] |= bit;
    for (int n = 0; n < 16; ++n) {
      if (length < 3 || (anchor[2] & 15) == n) low2_[n] |= bit;
      if (length < 3 || (anchor[2] >> 4) == n) high2_[n] |= bit;
    }
  };
  // Up to three anchor bytes, then the anchor's length.
  using Anchor = std::array<uint8_t, 4>;
  std::vector<Anchor> shortAnchors;
  std::vector<Anchor> anchors;
  for (const Pattern& pattern : patterns_) {
    const std::vector<uint8_t>& header = pattern.bytes;
    if (header[0] == 0 && header[1] == 0) {
      // Zero-led headers are binary: their letters, if any, match as given.
      if (header.size() < 4) return;  // cannot anchor it away from the zeros: no prefilter
      mark(header[2] != 0 ? 0x40 : 0x80, header.data() + 2, std::min<size_t>(3, header.size() - 2));
      continue;
    }
    const size_t length = std::min<size_t>(3, header.size());
    for (const uint8_t b0 : Cases(header[0], pattern.ignoreCase)) {
      for (const uint8_t b1 : Cases(header[1], pattern.ignoreCase)) {
        for (const uint8_t b2 : Cases(length > 2 ? header[2] : 0, pattern.ignoreCase)) {
          const Anchor anchor{b0, b1, length > 2 ? b2 : uint8_t{0}, static_cast<uint8_t>(length)};
          (length < 3 ? shortAnchors : anchors).push_back(anchor);
        }
      }
    }
  }
  for (auto* list : {&shortAnchors, &anchors}) {
    std::sort(list->begin(), list->end());
    list->erase(std::unique(list->begin(), list->end()), list->end());
  }
  // Buckets 0-5 for anchors that start at the header's first byte. Two-byte anchors with different
  // first bytes ("BM", and FF with an MPEG frame's second byte) get buckets of their own where they
  // can: sharing one, their nibbles would combine into many byte pairs that match none of them.
  std::vector<uint8_t> shortFirst;
  for (const Anchor& a : shortAnchors) {
    if (std::find(shortFirst.begin(), shortFirst.end(), a[0]) == shortFirst.end()) {
      shortFirst.push_back(a[0]);
    }
  }
  const size_t shortBuckets = std::min<size_t>(shortFirst.size(), 2);
  for (const Anchor& a : shortAnchors) {
    const auto first = static_cast<size_t>(std::find(shortFirst.begin(), shortFirst.end(), a[0]) -
                                           shortFirst.begin());
    mark(static_cast<uint8_t>(1u << (first * shortBuckets / shortFirst.size())), a.data(), 2);
  }
  for (size_t i = 0; i < anchors.size(); ++i) {
    const size_t bucket = shortBuckets + i * (6 - shortBuckets) / anchors.size();
    mark(static_cast<uint8_t>(1u << bucket), anchors[i].data(), anchors[i][3]);
  }
#if defined(QUARVELIN_HAVE_AVX2_PREFILTER)
  __builtin_cpu_init();
  vector_ = __builtin_cpu_supports("avx2") != 0;
#endif
  // Where eight bytes are zero, a header can start only at positions whose first non-zero header
  // byte would fall inside them: the first 8 - firstNonZero positions are skipped at once.
  zeroSkip_ = allHaveNonZero && firstNonZero < 8 ? 8 - firstNonZero : 0;
}

std::span<const uint32_t> HeaderIndex::PatternsStartingAt(std::span<const uint8_t> data,
                                                          size_t pos) const {
  if (pos >= data.size() || data.size() - pos < 2) return {};
  const uint32_t pair = Pair(data.data() + pos);
  const auto entry = std::lower_bound(pairs_.begin(), pairs_.end(), pair,
                                      [](const PairEntry& e, uint32_t p) { return e.pair < p; });
  if (entry == pairs_.end() || entry->pair != pair) return {};
  return std::span(pairPatterns_).subspan(entry->first, entry->count);
}

bool HeaderIndex::AnyMatchAt(std::span<const uint8_t> data, size_t pos) const {
  for (const uint32_t i : PatternsStartingAt(data, pos)) {
    const Pattern& p = patterns_[i];
    if (HeaderMatches(data, pos, p.bytes, p.ignoreCase)) return true;
  }
  return false;
}

void HeaderIndex::RowsAt(std::span<const uint8_t> data, size_t pos,
                         std::vector<size_t>& rows) const {
  rows.clear();
  for (const uint32_t i : PatternsStartingAt(data, pos)) {
    const Pattern& p = patterns_[i];
    if (HeaderMatches(data, pos, p.bytes, p.ignoreCase)) {
      rows.insert(rows.end(), p.rows.begin(), p.rows.end());
    }
  }
  std::sort(rows.begin(), rows.end());
}

std::optional<size_t> HeaderIndex::FindNext(std::span<const uint8_t> data, size_t from,
                                            size_t limit) const {
  return vector_ ? FindNextVector(data, from, limit) : FindNextScalar(data, from, limit);
}

#if defined(QUARVELIN_HAVE_AVX2_PREFILTER)
namespace {

struct Lookup {
  __m256i low;
  __m256i high;
};

// Bucket bits per byte of `v` from one pair of nibble tables.
__attribute__((target("avx2"))) __m256i Classify(__m256i v, const Lookup& t) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  return _mm256_and_si256(
      _mm256_shuffle_epi8(t.low, _mm256_and_si256(v, nibble)),
      _mm256_shuffle_epi8(t.high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
}

__attribute__((target("avx2"))) Lookup Tables(const uint8_t* low, const uint8_t* high) {
  return Lookup{
      _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(low))),
      _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(high)))};
}

__attribute__((target("avx2"))) __m256i At(const uint8_t* bytes) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
}

}  // namespace

__attribute__((target("avx2"))) std::optional<size_t> HeaderIndex::FindNextVector(
    std::span<const uint8_t> data, size_t from, size_t limit) const {
  const uint8_t* bytes = data.data();
  const size_t size = data.size();
  limit = std::min(limit, size == 0 ? 0 : size - 1);
  const Lookup byte0 = Tables(low0_, high0_);
  const Lookup byte1 = Tables(low1_, high1_);
  const Lookup byte2 = Tables(low2_, high2_);
  const __m256i firstBuckets = _mm256_set1_epi8(0x3F);
  const __m256i zero = _mm256_setzero_si256();
  size_t p = from;
  // Each block looks at 32 positions: anchors at the header's start (bytes p..p+2) and, for the
  // headers that start with two zero bytes, at its third byte (bytes p+2..p+4).
  for (; p < limit && p + 36 <= size; p += 32) {
    const __m256i v2 = At(bytes + p + 2);
    const __m256i atStart = _mm256_and_si256(
        _mm256_and_si256(Classify(At(bytes + p), byte0), Classify(At(bytes + p + 1), byte1)),
        _mm256_and_si256(Classify(v2, byte2), firstBuckets));
    const __m256i atThird = _mm256_andnot_si256(
        firstBuckets,
        _mm256_and_si256(_mm256_and_si256(Classify(v2, byte0), Classify(At(bytes + p + 3), byte1)),
                         Classify(At(bytes + p + 4), byte2)));
    const __m256i any = _mm256_or_si256(atStart, atThird);
    auto candidates = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(any, zero)));
    // With many headers the nibble tables pass much of what they see. Zero bytes cannot start a
    // header where eight of them follow (see zeroSkip_): a block of zeros is passed over whole.
    if (candidates != 0 && zeroSkip_ != 0 && p + 40 <= size) {
      const __m256i head = At(bytes + p);
      const __m256i tail = At(bytes + p + 8);
      if (_mm256_testz_si256(_mm256_or_si256(head, tail), _mm256_or_si256(head, tail)) != 0) {
        continue;
      }
    }
    for (; candidates != 0; candidates &= candidates - 1) {
      const size_t position = p + static_cast<size_t>(__builtin_ctz(candidates));
      if (position >= limit) return std::nullopt;
      // The first two bytes must start some header: one bit test before the full comparison.
      const uint32_t pair = Pair(bytes + position);
      if ((pairBits_[pair / 64] >> (pair % 64) & 1) == 0) continue;
      if (AnyMatchAt(data, position)) return position;
    }
  }
  return p < limit ? FindNextScalar(data, p, limit) : std::nullopt;
}
#else
std::optional<size_t> HeaderIndex::FindNextVector(std::span<const uint8_t> data, size_t from,
                                                  size_t limit) const {
  return FindNextScalar(data, from, limit);
}
#endif

std::optional<size_t> HeaderIndex::FindNextScalar(std::span<const uint8_t> data, size_t from,
                                                  size_t limit) const {
  const uint8_t* bytes = data.data();
  const size_t size = data.size();
  limit = std::min(limit, size == 0 ? 0 : size - 1);  // a header needs two bytes
  for (size_t p = from; p < limit; ++p) {
    const uint32_t pair = Pair(bytes + p);
    if ((pairBits_[pair / 64] >> (pair % 64) & 1) == 0) continue;
    if (pair == 0 && zeroSkip_ != 0 && p + 8 <= size) {
      uint64_t word;
      std::memcpy(&word, bytes + p, sizeof word);
      if (word == 0) {
        p += zeroSkip_ - 1;
        continue;
      }
    }
    if (AnyMatchAt(data, p)) return p;
  }
  return std::nullopt;
}

}  // namespace quarvelin
