#include "read_guard.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace quarvelin {

void SectorStates::Set(SectorRange range, std::optional<SectorState> state) {
  if (range.Empty()) return;
  int64_t first = range.First();
  int64_t end = range.End();
  // Cut out what the range overlaps, keeping the parts of runs outside it.
  auto it = runs_.upper_bound(first);
  if (it != runs_.begin() && std::prev(it)->second.end > first) --it;
  while (it != runs_.end() && it->first < end) {
    const int64_t runFirst = it->first;
    const Run run = it->second;
    it = runs_.erase(it);
    if (runFirst < first) runs_.emplace(runFirst, Run{first, run.state});
    if (run.end > end) it = runs_.emplace(end, Run{run.end, run.state}).first;
  }
  if (!state) return;
  // Merge with neighbours of the same state.
  auto next = runs_.find(end);
  if (next != runs_.end() && next->second.state == *state) {
    end = next->second.end;
    runs_.erase(next);
  }
  auto before = runs_.lower_bound(first);
  if (before != runs_.begin()) {
    --before;
    if (before->second.end == first && before->second.state == *state) {
      first = before->first;
      runs_.erase(before);
    }
  }
  runs_.emplace(first, Run{end, *state});
}

std::vector<MarkedRange> SectorStates::Within(SectorRange range) const {
  std::vector<MarkedRange> found;
  if (range.Empty()) return found;
  auto it = runs_.upper_bound(range.First());
  if (it != runs_.begin() && std::prev(it)->second.end > range.First()) --it;
  for (; it != runs_.end() && it->first < range.End(); ++it) {
    const int64_t first = std::max(it->first, range.First());
    const int64_t end = std::min(it->second.end, range.End());
    found.push_back({SectorRange(first, end - first), it->second.state});
  }
  return found;
}

std::vector<MarkedRange> SectorStates::All() const {
  std::vector<MarkedRange> all;
  for (const auto& [first, run] : runs_) {
    all.push_back({SectorRange(first, run.end - first), run.state});
  }
  return all;
}

std::optional<SectorState> SectorStates::At(int64_t sector) const {
  const std::vector<MarkedRange> found = Within(SectorRange(sector, 1));
  if (found.empty()) return std::nullopt;
  return found.front().state;
}

ReadGuard::ReadGuard(RawDevice& device, int64_t totalSectors)
    : device_(device), totalSectors_(totalSectors), sectorSize_(device.QuerySectorSize()) {}

ReadGuard::ReadGuard(std::unique_ptr<RawDevice> device, int64_t totalSectors)
    : owned_(std::move(device)),
      device_(*owned_),
      totalSectors_(totalSectors),
      sectorSize_(device_.QuerySectorSize()) {}

std::vector<uint8_t> ReadGuard::Read(SectorRange range) {
  std::vector<uint8_t> data =
      device_.ReadDeviceSectors(range.First(), static_cast<uint32_t>(range.Count()), sectorSize_);
  if (data.empty()) ++failedReads_;
  return data;
}

void ReadGuard::Remember(SectorRange range, SectorState state) {
  // A read running over the device's end fails because the device ends, not because its sectors
  // are bad.
  if (range.End() <= totalSectors_) states_.Set(range, state);
}

std::vector<uint8_t> ReadGuard::ReadDeviceSectors(int64_t first, uint32_t count,
                                                  int32_t bytesPerSector) {
  const std::optional<SectorRange> range = SectorRange::Checked(first, count);
  if (!range || range->Empty() || bytesPerSector != sectorSize_) {
    return device_.ReadDeviceSectors(first, count, bytesPerSector);
  }
  if (!states_.Within(*range).empty()) return {};
  std::vector<uint8_t> data = Read(*range);
  if (data.empty()) Remember(*range, count == 1 ? SectorState::kBad : SectorState::kFailed);
  return data;
}

std::vector<uint8_t> ReadGuard::ReadAlone(int64_t sector) {
  const std::optional<SectorState> state = states_.At(sector);
  if (state == SectorState::kBad || state == SectorState::kSkipped) return {};
  std::vector<uint8_t> data = Read(SectorRange(sector, 1));
  if (data.empty()) {
    Remember(SectorRange(sector, 1), SectorState::kBad);
  } else {
    states_.Set(SectorRange(sector, 1), std::nullopt);
  }
  return data;
}

std::vector<SectorRange> ReadGuard::Trim(
    SectorRange failed, const std::function<void(int64_t, const std::vector<uint8_t>&)>& read) {
  std::vector<SectorRange> edges;
  int64_t front = failed.First();
  for (; front < failed.End(); ++front) {
    const std::vector<uint8_t> data = ReadAlone(front);
    if (data.empty()) break;
    if (read) read(front, data);
  }
  if (front > failed.First()) edges.emplace_back(failed.First(), front - failed.First());
  // The sector that stopped the forward edge is not read again from behind.
  int64_t back = failed.End();
  for (; back - 1 > front; --back) {
    const std::vector<uint8_t> data = ReadAlone(back - 1);
    if (data.empty()) break;
    if (read) read(back - 1, data);
  }
  if (back < failed.End()) edges.emplace_back(back, failed.End() - back);
  // Between the two sectors that failed alone: left for a rescue to scrape.
  if (back - 1 > front + 1) {
    states_.Set(SectorRange(front + 1, back - 1 - (front + 1)), SectorState::kTrimmed);
  }
  return edges;
}

GuardedRead ReadGuard::ReadAround(SectorRange range, bool trim, bool probeLast) {
  GuardedRead result;
  if (range.Empty()) return result;
  // A healthy drive: one read, its buffer kept as it is.
  const bool known = !states_.Within(range).empty();
  std::vector<uint8_t> first;
  if (!known) {
    first = Read(range);
    if (!first.empty()) {
      result.readable = SectorsCovering(static_cast<int64_t>(first.size()), sectorSize_);
      result.bytes = std::move(first);
      return result;
    }
  }
  const auto sector = static_cast<size_t>(sectorSize_);
  result.bytes.assign(static_cast<size_t>(range.Count()) * sector, 0);
  const auto zeros = [&](SectorRange run) {
    if (run.Empty()) return;
    if (!result.unreadable.empty() && result.unreadable.back().End() == run.First()) {
      result.unreadable.back() = SectorRange(result.unreadable.back().First(),
                                             result.unreadable.back().Count() + run.Count());
    } else {
      result.unreadable.push_back(run);
    }
  };
  const auto place = [&](int64_t at, const std::vector<uint8_t>& data) {
    std::memcpy(result.bytes.data() + static_cast<size_t>(at - range.First()) * sector, data.data(),
                data.size());
  };
  // Takes what a read of `gap`, none of it marked, brought; false when the device ends inside it.
  const auto takeGap = [&](SectorRange gap, const std::vector<uint8_t>& data) {
    if (!data.empty()) {
      place(gap.First(), data);
      const int64_t whole = static_cast<int64_t>(data.size()) / sectorSize_;
      result.readable += SectorsCovering(static_cast<int64_t>(data.size()), sectorSize_);
      if (whole < gap.Count()) {
        result.bytes.resize(static_cast<size_t>(gap.First() - range.First()) * sector +
                            data.size());
        return false;
      }
      return true;
    }
    if (gap.Count() == 1) {
      Remember(gap, SectorState::kBad);
      zeros(gap);
      return true;
    }
    Remember(gap, SectorState::kFailed);
    if (trim) {
      int64_t next = gap.First();
      for (const SectorRange edge : Trim(gap, [&](int64_t at, const std::vector<uint8_t>&one) {
             place(at, one);
             ++result.readable;
           })) {
        zeros(SectorRange(next, edge.First() - next));
        next = edge.End();
      }
      zeros(SectorRange(next, gap.End() - next));
      return true;
    }
    if (probeLast && gap.End() == range.End()) {
      const SectorRange rest = gap.Head(gap.Count() - 1);
      const std::vector<uint8_t> last = ReadAlone(gap.End() - 1);
      if (!last.empty()) {
        // The failure lies before the last sector: the rest stays failed, read once.
        place(gap.End() - 1, last);
        ++result.readable;
        zeros(rest);
        return true;
      }
      // The last sector alone may explain the failure: the rest is read on its own, once more.
      states_.Set(rest, std::nullopt);
      const std::vector<uint8_t> again = Read(rest);
      if (static_cast<int64_t>(again.size()) == rest.Count() * sectorSize_) {
        place(rest.First(), again);
        result.readable += rest.Count();
      } else {
        Remember(rest, SectorState::kFailed);
        zeros(rest);
      }
      zeros(SectorRange(gap.End() - 1, 1));
      return true;
    }
    zeros(gap);
    return true;
  };

  const auto readGap = [&](SectorRange gap) { return takeGap(gap, Read(gap)); };
  if (!known) {
    takeGap(range, first);
    return result;
  }
  int64_t at = range.First();
  for (const MarkedRange& marked : states_.Within(range)) {
    if (marked.sectors.First() > at && !readGap(SectorRange(at, marked.sectors.First() - at))) {
      return result;
    }
    zeros(marked.sectors);
    at = marked.sectors.End();
  }
  if (at < range.End()) readGap(SectorRange(at, range.End() - at));
  return result;
}

}  // namespace quarvelin
