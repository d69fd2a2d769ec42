#include "header_search.h"

#include <algorithm>
#include <cstring>

namespace quarvelin {
namespace {

uint32_t Pair(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }

}  // namespace

HeaderIndex::HeaderIndex(const std::vector<FileSignature>& signatures) : pairBits_(65536 / 64) {
  size_t firstNonZero = 0;
  bool allHaveNonZero = true;
  for (const FileSignature& s : signatures) {
    if (headers_.size() == 64) break;
    const size_t index = headers_.size();
    headers_.push_back(s.header);
    if (s.header.size() < 2) continue;  // never matched: too short to tell from noise
    longest_ = std::max(longest_, s.header.size());
    const uint32_t pair = Pair(s.header.data());
    pairBits_[pair / 64] |= uint64_t{1} << (pair % 64);
    auto entry = std::find_if(pairMasks_.begin(), pairMasks_.end(),
                              [pair](const auto& e) { return e.first == pair; });
    if (entry == pairMasks_.end()) entry = pairMasks_.insert(pairMasks_.end(), {pair, 0});
    entry->second |= uint64_t{1} << index;
    const auto nonZero = std::find_if(s.header.begin(), s.header.end(), [](uint8_t b) { return b; });
    if (nonZero == s.header.end()) {
      allHaveNonZero = false;
    } else {
      firstNonZero = std::max(firstNonZero, static_cast<size_t>(nonZero - s.header.begin()));
    }
  }
  std::sort(pairMasks_.begin(), pairMasks_.end());
  // Where eight bytes are zero, a header can start only at positions whose first non-zero header
  // byte would fall inside them: the first 8 - firstNonZero positions are skipped at once.
  zeroSkip_ = allHaveNonZero && firstNonZero < 8 ? 8 - firstNonZero : 0;
}

uint64_t HeaderIndex::MatchesAt(std::span<const uint8_t> data, size_t pos) const {
  if (pos >= data.size() || data.size() - pos < 2) return 0;
  const uint32_t pair = Pair(data.data() + pos);
  const auto entry = std::lower_bound(pairMasks_.begin(), pairMasks_.end(),
                                      std::pair<uint32_t, uint64_t>{pair, 0});
  if (entry == pairMasks_.end() || entry->first != pair) return 0;
  const size_t available = data.size() - pos;
  uint64_t matches = 0;
  for (uint64_t candidates = entry->second; candidates != 0; candidates &= candidates - 1) {
    const auto i = static_cast<size_t>(__builtin_ctzll(candidates));
    const auto& h = headers_[i];
    if (h.size() <= available && std::memcmp(data.data() + pos, h.data(), h.size()) == 0) {
      matches |= uint64_t{1} << i;
    }
  }
  return matches;
}

std::optional<size_t> HeaderIndex::FindNext(std::span<const uint8_t> data, size_t from,
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
    if (MatchesAt(data, p) != 0) return p;
  }
  return std::nullopt;
}

}  // namespace quarvelin
