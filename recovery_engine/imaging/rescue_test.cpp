#include "rescue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace quarvelin {
namespace {

constexpr int32_t kSector = 512;
constexpr int64_t kMiB = 1048576;

// A failing drive: every read touching a bad sector fails whole, as a drive's does. Keeps every
// request, so a test can count how often each sector was asked for.
class FailingDrive final : public RawDevice {
 public:
  FailingDrive(int64_t bytes, std::set<int64_t> bad)
      : bytes_(Pattern(bytes)),
        bad_(std::move(bad)),
        failedReadsOf_(static_cast<size_t>(bytes / kSector + 1)),
        goodReadsOf_(failedReadsOf_.size()) {}

  int64_t QueryDeviceSize() override { return static_cast<int64_t>(bytes_.size()); }
  int32_t QuerySectorSize() override { return kSector; }
  std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count, int32_t) override {
    const bool fails = bad_.lower_bound(first) != bad_.lower_bound(first + count);
    const auto from = static_cast<size_t>(first);
    const size_t to = std::min(goodReadsOf_.size(), from + count);
    for (size_t s = from; s < to; ++s) ++(fails ? failedReadsOf_ : goodReadsOf_)[s];
    failedReads += fails;
    if (fails || from * kSector >= bytes_.size()) return {};
    const auto end = std::min(bytes_.size(), to * kSector);
    return std::vector<uint8_t>(bytes_.begin() + static_cast<ptrdiff_t>(from * kSector),
                                bytes_.begin() + static_cast<ptrdiff_t>(end));
  }

  int MostReadsOfABadSector() const {
    int most = 0;
    for (const int64_t s : bad_) most = std::max(most, failedReadsOf_[static_cast<size_t>(s)]);
    return most;
  }
  // Sectors read successfully more than once.
  int64_t GoodSectorsReadAgain() const {
    return std::count_if(goodReadsOf_.begin(), goodReadsOf_.end(), [](int n) { return n > 1; });
  }

  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  const std::set<int64_t>& Bad() const { return bad_; }
  void Heal(int64_t sector) { bad_.erase(sector); }
  int64_t failedReads = 0;

 private:
  // Bytes that differ from sector to sector, cheaply.
  static std::vector<uint8_t> Pattern(int64_t bytes) {
    std::vector<uint8_t> pattern(static_cast<size_t>(bytes));
    uint32_t x = 12345;
    for (uint8_t& b : pattern) {
      x = x * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(x >> 24);
    }
    return pattern;
  }

  std::vector<uint8_t> bytes_;
  std::set<int64_t> bad_;
  std::vector<int> failedReadsOf_;
  std::vector<int> goodReadsOf_;
};

std::set<int64_t> Stretch(int64_t first, int64_t count) {
  std::set<int64_t> sectors;
  for (int64_t s = first; s < first + count; ++s) sectors.insert(s);
  return sectors;
}

// A rescue into memory; stops after `stopAfter` reads when given.
struct Rescuing {
  std::vector<uint8_t> image;
  int64_t reads = 0;
  std::optional<int64_t> stopAfter;
  std::vector<std::string> phases;

  RescueEnd Go(RawDevice& drive, RescueMap& map, const RescueSettings& settings = {}) {
    image.resize(static_cast<size_t>(map.Size()));
    RescueHooks hooks;
    hooks.write = [this](int64_t offset, std::span<const uint8_t> bytes) {
      std::copy(bytes.begin(), bytes.end(), image.begin() + offset);
      return true;
    };
    hooks.keepGoing = [this] { return !stopAfter || reads < *stopAfter; };
    hooks.afterRead = [this](bool) { ++reads; };
    hooks.phase = [this](const std::string& line) { phases.push_back(line); };
    return RunRescue(drive, kSector, map, settings, hooks);
  }
};

// What a perfect rescue of `drive` holds: every readable sector, zeros for the bad ones.
std::vector<uint8_t> Readable(const FailingDrive& drive) {
  std::vector<uint8_t> bytes = drive.Bytes();
  for (const int64_t s : drive.Bad()) {
    std::fill_n(bytes.begin() + s * kSector, kSector, 0);
  }
  return bytes;
}

TEST(Rescue, ADegradingZoneGivesUpEveryReadableSectorAndReadsEachBadOneAtMostTwice) {
  // One bad sector every 32 KiB over 2 MiB, starting off the cluster grid.
  std::set<int64_t> bad;
  for (int64_t s = 8 * 2048 + 300; s < 10 * 2048 + 300; s += 64) bad.insert(s);
  FailingDrive drive(16 * kMiB, bad);
  RescueMap map(drive.QueryDeviceSize());
  Rescuing run;
  EXPECT_EQ(run.Go(drive, map), RescueEnd::kDone);
  EXPECT_EQ(run.image, Readable(drive));
  EXPECT_EQ(map.Bytes(BlockStatus::kBadSector), static_cast<int64_t>(bad.size()) * kSector);
  EXPECT_EQ(map.Bytes(BlockStatus::kFinished) + map.Bytes(BlockStatus::kBadSector), map.Size());
  EXPECT_LE(drive.MostReadsOfABadSector(), 2);
  EXPECT_EQ(drive.GoodSectorsReadAgain(), 0);
  EXPECT_EQ(map.phase, RescuePhase::kFinished);
}

TEST(Rescue, ADeadStretchCostsAFewFailedReadsBeforeTheReadableRestIsSafe) {
  for (const int64_t start : {int64_t{8 * 2048}, int64_t{8 * 2048 + 600}}) {
    SCOPED_TRACE(start);
    FailingDrive drive(24 * kMiB, Stretch(start, 8 * 2048));
    RescueMap map(drive.QueryDeviceSize());
    Rescuing run;
    RescueSettings settings;
    settings.scrape = false;
    EXPECT_EQ(run.Go(drive, map, settings), RescueEnd::kDone);
    // Everything outside the stretch is on the copy; the stretch is bad at its edges and not
    // scraped inside.
    EXPECT_EQ(run.image, Readable(drive));
    EXPECT_EQ(map.Bytes(BlockStatus::kFinished), map.Size() - 8 * kMiB);
    EXPECT_EQ(map.Bytes(BlockStatus::kBadSector), 2 * kSector);
    EXPECT_EQ(map.phase, RescuePhase::kScraping);
    EXPECT_LE(drive.failedReads, 16);
    EXPECT_EQ(drive.GoodSectorsReadAgain(), 0);

    // Scraping later reads the inside once, sector by sector.
    const int64_t before = drive.failedReads;
    EXPECT_EQ(run.Go(drive, map), RescueEnd::kDone);
    EXPECT_EQ(drive.failedReads - before, 8 * 2048 - 2);
    EXPECT_LE(drive.MostReadsOfABadSector(), 2);
    EXPECT_EQ(map.Bytes(BlockStatus::kBadSector), 8 * kMiB);
  }
}

TEST(Rescue, AnInterruptedRescueGoesOnFromItsMapAndEndsAsAnUninterruptedOne) {
  std::set<int64_t> bad = Stretch(5 * 2048 + 17, 3000);
  for (int64_t s = 20 * 2048; s < 21 * 2048; s += 100) bad.insert(s);
  FailingDrive whole(24 * kMiB, bad);
  RescueMap wholeMap(whole.QueryDeviceSize());
  Rescuing uninterrupted;
  uninterrupted.Go(whole, wholeMap);

  FailingDrive drive(24 * kMiB, bad);
  RescueMap map(drive.QueryDeviceSize());
  Rescuing run;
  // Stopped at many points of every phase; each time the map goes through its text, as a map file
  // read back by the next run does.
  for (int64_t stop = 3;; stop += 97) {
    run.stopAfter = stop;
    if (run.Go(drive, map) == RescueEnd::kDone) break;
    std::string error;
    std::optional<RescueMap> saved = RescueMap::Parse(map.Text({}), error);
    ASSERT_TRUE(saved) << error;
    map = std::move(*saved);
  }
  EXPECT_EQ(run.image, uninterrupted.image);
  EXPECT_EQ(map.Text({}), wholeMap.Text({}));
  EXPECT_EQ(drive.GoodSectorsReadAgain(), 0);
  EXPECT_LE(drive.MostReadsOfABadSector(), 2);
}

TEST(Rescue, RetriesReadBadSectorsAgainAndTheFirstPassCanRunBackwards) {
  FailingDrive drive(8 * kMiB, {100, 5000, 9000});
  RescueMap map(drive.QueryDeviceSize());
  Rescuing run;
  RescueSettings settings;
  settings.reverse = true;
  EXPECT_EQ(run.Go(drive, map, settings), RescueEnd::kDone);
  EXPECT_EQ(map.Bytes(BlockStatus::kBadSector), 3 * kSector);
  EXPECT_NE(run.phases.front().find("backwards"), std::string::npos);

  // A sector a drive gives up on a later try.
  drive.Heal(5000);
  settings.retries = 2;
  EXPECT_EQ(run.Go(drive, map, settings), RescueEnd::kDone);
  EXPECT_EQ(map.Bytes(BlockStatus::kBadSector), 2 * kSector);
  EXPECT_EQ(run.image, Readable(drive));
  EXPECT_EQ(run.phases.back(),
            "Imaging: retrying 2 bad sectors in 2 areas, pass 2 of 2 (forwards)");
}

}  // namespace
}  // namespace quarvelin
