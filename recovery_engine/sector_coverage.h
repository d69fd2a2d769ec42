#pragma once

#include <cstdint>
#include <map>

namespace quarvelin {

// The sectors of the source that files recovered through a file system came from: the carve skips
// them, so no file is written twice. Overlapping and adjacent stretches are merged, so a volume of
// a million mostly contiguous files costs little.
class SectorCoverage {
 public:
  // Adds sectors [first, first + count).
  void Add(int64_t first, int64_t count) {
    if (count <= 0) return;
    int64_t end = first + count;
    auto it = ranges_.upper_bound(first);
    if (it != ranges_.begin() && std::prev(it)->second >= first) {
      --it;
      first = it->first;
      end = std::max(end, it->second);
      it = ranges_.erase(it);
    }
    while (it != ranges_.end() && it->first <= end) {
      end = std::max(end, it->second);
      it = ranges_.erase(it);
    }
    ranges_.emplace(first, end);
  }

  // The end of the covered stretch holding `sector`, or `sector` itself when it is not covered.
  int64_t CoveredUntil(int64_t sector) const {
    auto it = ranges_.upper_bound(sector);
    if (it == ranges_.begin()) return sector;
    --it;
    return it->second > sector ? it->second : sector;
  }

  // The first covered sector at or after `sector`; INT64_MAX when there is none.
  int64_t NextCovered(int64_t sector) const {
    if (CoveredUntil(sector) > sector) return sector;
    const auto it = ranges_.upper_bound(sector);
    return it == ranges_.end() ? INT64_MAX : it->first;
  }

  bool Empty() const { return ranges_.empty(); }
  size_t Stretches() const { return ranges_.size(); }

 private:
  std::map<int64_t, int64_t> ranges_;  // first → end, disjoint and not touching
};

}  // namespace quarvelin
