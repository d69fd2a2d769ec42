#include "rescue.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace quarvelin {
namespace {

constexpr int64_t kLargestSkip = int64_t{1} << 30;

std::string Megabytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
  return text;
}

// How a copying pass goes on after a failed read.
enum class AfterError {
  kSkipGrowing,  // jump ahead, further after each error in a row
  kLeaveBlock,   // leave the rest of this untried block for the sweep
  kSweep,        // go on with the next read
};

class Rescuer {
 public:
  Rescuer(RawDevice& device, int32_t sectorSize, RescueMap& map, const RescueSettings& settings,
          const RescueHooks& hooks)
      : device_(device),
        sector_(sectorSize),
        map_(map),
        settings_(settings),
        hooks_(hooks),
        cluster_(std::max<int64_t>(settings.clusterBytes / sectorSize, 1) * sectorSize) {}

  RescueEnd Run() {
    const bool forward = !settings_.reverse;
    // Where an interrupted rescue stood: the copying pass to go on with, the retry pass.
    const int copyPass = map_.phase == RescuePhase::kCopying ? std::clamp(map_.pass, 1, 3) : 1;
    const int64_t resumeAt = map_.position;
    const bool resuming = map_.Bytes(BlockStatus::kNonTried) < map_.Size();
    static constexpr AfterError kModes[] = {AfterError::kSkipGrowing, AfterError::kLeaveBlock,
                                            AfterError::kSweep};
    for (int pass = copyPass; pass <= 3 && map_.Bytes(BlockStatus::kNonTried) > 0; ++pass) {
      const bool thisWay = (pass % 2 == 1) == forward;
      int64_t from = thisWay ? 0 : map_.Size();
      if (resuming && pass == copyPass) from = resumeAt;
      if (!Copy(pass, thisWay, kModes[pass - 1], from)) return end_;
    }
    // What a map from elsewhere may still leave untried: sweep it.
    while (map_.Bytes(BlockStatus::kNonTried) > 0) {
      if (!Copy(3, forward, AfterError::kSweep, 0)) return end_;
    }
    if (!Trim()) return end_;
    if (settings_.scrape && !Scrape()) return end_;
    const int firstRetry = map_.phase == RescuePhase::kRetrying ? std::max(map_.pass, 1) : 1;
    for (int pass = firstRetry;
         pass <= settings_.retries && map_.Bytes(BlockStatus::kBadSector) > 0; ++pass) {
      if (!Retry(pass, (pass % 2 == 1) == forward)) return end_;
    }
    // Left unscraped on request: a later run goes on with the scraping.
    map_.phase =
        map_.Bytes(BlockStatus::kNonScraped) > 0 ? RescuePhase::kScraping : RescuePhase::kFinished;
    map_.pass = 1;
    map_.position = 0;
    return RescueEnd::kDone;
  }

 private:
  enum class Outcome { kRead, kFailed, kStop };

  // Reads the sectors holding bytes [pos, end) of the source. What came back is stored and marked
  // finished; the rest of [pos, end) is marked `failed`.
  Outcome Read(int64_t pos, int64_t end, BlockStatus failed) {
    if (!hooks_.keepGoing()) {
      end_ = RescueEnd::kCancelled;
      return Outcome::kStop;
    }
    const int64_t first = pos / sector_;
    const int64_t count = (end + sector_ - 1) / sector_ - first;
    const std::vector<uint8_t> data = device_.ReadDeviceSectors(first, static_cast<uint32_t>(count),
                                                                static_cast<int32_t>(sector_));
    const int64_t start = first * sector_;
    int64_t good = std::min<int64_t>(static_cast<int64_t>(data.size()), map_.Size() - start);
    // A short read keeps its whole sectors, or everything up to the end of the source.
    if (start + good < map_.Size()) good -= good % sector_;
    if (good > 0) {
      if (!hooks_.write(start, std::span<const uint8_t>(data).first(static_cast<size_t>(good)))) {
        end_ = RescueEnd::kWriteFailed;
        return Outcome::kStop;
      }
      map_.Set(start, good, BlockStatus::kFinished);
    }
    const int64_t readUntil = start + good;
    if (readUntil < end) map_.Set(std::max(pos, readUntil), end - std::max(pos, readUntil), failed);
    hooks_.afterRead(good > 0);
    return readUntil >= end ? Outcome::kRead : Outcome::kFailed;
  }

  void Announce(RescuePhase phase, int pass, const std::string& line) {
    map_.phase = phase;
    map_.pass = pass;
    hooks_.phase(line);
  }

  std::pair<int64_t, int64_t> AreasOf(BlockStatus status) const {
    int64_t areas = 0;
    for (const MapBlock& block : map_.Blocks()) areas += block.status == status;
    return {areas, map_.Bytes(status)};
  }

  // The nearest block of `status` from `at` in the direction of travel, clipped at `at`.
  std::optional<MapBlock> Nearest(int64_t at, BlockStatus status, bool forward) const {
    return forward ? map_.NextBlock(at, status) : map_.PreviousBlock(at, status);
  }

  // The first `unit`-grid piece of `block` met in the direction of travel, as [pos, end).
  static std::pair<int64_t, int64_t> Piece(const MapBlock& block, bool forward, int64_t unit) {
    if (forward) return {block.pos, std::min(block.End(), (block.pos / unit + 1) * unit)};
    return {std::max(block.pos, (block.End() - 1) / unit * unit), block.End()};
  }

  bool Copy(int pass, bool forward, AfterError afterError, int64_t from) {
    Announce(RescuePhase::kCopying, pass,
             "Imaging: copying, pass " + std::to_string(pass) + " of 3 (" +
                 (forward ? "forwards" : "backwards") + "), " +
                 Megabytes(map_.Bytes(BlockStatus::kNonTried)) + " not tried yet");
    const int64_t largestSkip =
        std::clamp<int64_t>(map_.Size() / 100 / sector_ * sector_, cluster_, kLargestSkip);
    int64_t skip = cluster_;
    int64_t at = from;
    while (true) {
      const std::optional<MapBlock> block = Nearest(at, BlockStatus::kNonTried, forward);
      if (!block) return true;
      // Reads keep to the cluster grid, so a failed one marks no more than one cluster.
      const auto [pos, end] = Piece(*block, forward, cluster_);
      map_.position = forward ? pos : end;
      const Outcome outcome = Read(pos, end, BlockStatus::kNonTrimmed);
      if (outcome == Outcome::kStop) return false;
      if (outcome == Outcome::kRead) {
        skip = std::max(cluster_, skip / 2);
        at = forward ? end : pos;
        continue;
      }
      switch (afterError) {
        case AfterError::kSkipGrowing:
          at = forward ? end + skip : pos - skip;
          skip = std::min(skip * 2, largestSkip);
          break;
        case AfterError::kLeaveBlock:
          at = forward ? block->End() : block->pos;
          break;
        case AfterError::kSweep:
          at = forward ? end : pos;
          break;
      }
      if (at <= 0 && !forward) return true;
    }
  }

  bool Trim() {
    const auto [areas, bytes] = AreasOf(BlockStatus::kNonTrimmed);
    if (areas == 0) return true;
    Announce(RescuePhase::kTrimming, 1,
             "Imaging: trimming the edges of " + std::to_string(areas) + " failed area" +
                 (areas == 1 ? "" : "s") + " (" + Megabytes(bytes) + ")");
    int64_t at = 0;
    while (const std::optional<MapBlock> block = map_.NextBlock(at, BlockStatus::kNonTrimmed)) {
      int64_t pos = block->pos;
      int64_t end = block->End();
      at = end;
      // An edge next to a known bad sector has been trimmed already.
      bool edgeFound = pos > 0 && map_.BlockAt(pos - 1).status == BlockStatus::kBadSector;
      while (!edgeFound && pos < end) {
        const int64_t sectorEnd = std::min(end, (pos / sector_ + 1) * sector_);
        map_.position = pos;
        const Outcome outcome = Read(pos, sectorEnd, BlockStatus::kBadSector);
        if (outcome == Outcome::kStop) return false;
        edgeFound = outcome == Outcome::kFailed;
        pos = sectorEnd;
      }
      edgeFound = end < map_.Size() && map_.BlockAt(end).status == BlockStatus::kBadSector;
      while (!edgeFound && end > pos) {
        const int64_t sectorStart = std::max(pos, (end - 1) / sector_ * sector_);
        map_.position = sectorStart;
        const Outcome outcome = Read(sectorStart, end, BlockStatus::kBadSector);
        if (outcome == Outcome::kStop) return false;
        edgeFound = outcome == Outcome::kFailed;
        end = sectorStart;
      }
      if (pos < end) map_.Set(pos, end - pos, BlockStatus::kNonScraped);
    }
    return true;
  }

  bool Scrape() {
    const auto [areas, bytes] = AreasOf(BlockStatus::kNonScraped);
    if (areas == 0) return true;
    Announce(RescuePhase::kScraping, 1,
             "Imaging: scraping " + std::to_string(areas) + " failed area" +
                 (areas == 1 ? "" : "s") + " (" + Megabytes(bytes) + ") sector by sector");
    int64_t at = 0;
    while (const std::optional<MapBlock> block = map_.NextBlock(at, BlockStatus::kNonScraped)) {
      const int64_t end = std::min(block->End(), (block->pos / sector_ + 1) * sector_);
      map_.position = block->pos;
      if (Read(block->pos, end, BlockStatus::kBadSector) == Outcome::kStop) return false;
      at = end;
    }
    return true;
  }

  bool Retry(int pass, bool forward) {
    const auto [areas, bytes] = AreasOf(BlockStatus::kBadSector);
    Announce(RescuePhase::kRetrying, pass,
             "Imaging: retrying " + std::to_string(bytes / sector_) + " bad sector" +
                 (bytes / sector_ == 1 ? "" : "s") + " in " + std::to_string(areas) + " area" +
                 (areas == 1 ? "" : "s") + ", pass " + std::to_string(pass) + " of " +
                 std::to_string(settings_.retries) + " (" + (forward ? "forwards" : "backwards") +
                 ")");
    // Each bad sector once per pass: a sector that fails again stays behind the position.
    int64_t at = forward ? 0 : map_.Size();
    while (true) {
      const std::optional<MapBlock> block = Nearest(at, BlockStatus::kBadSector, forward);
      if (!block) return true;
      const auto [pos, end] = Piece(*block, forward, sector_);
      map_.position = pos;
      if (Read(pos, end, BlockStatus::kBadSector) == Outcome::kStop) return false;
      at = forward ? end : pos;
    }
  }

  RawDevice& device_;
  const int64_t sector_;
  RescueMap& map_;
  const RescueSettings& settings_;
  const RescueHooks& hooks_;
  const int64_t cluster_;
  RescueEnd end_ = RescueEnd::kDone;
};

}  // namespace

RescueEnd RunRescue(RawDevice& device, int32_t sectorSize, RescueMap& map,
                    const RescueSettings& settings, const RescueHooks& hooks) {
  return Rescuer(device, sectorSize, map, settings, hooks).Run();
}

}  // namespace quarvelin
