// Carving scans of failing drives: how often the drive is asked for what it cannot give, what the
// scan still finds, and what it says about what it could not read.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "engine_run.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::File;
using testing::Fixture;
using testing::Message;
using testing::TestDisk;
using testing::TextsOf;
using Kind = NativeMessageKind;

constexpr int64_t kSector = 512;
constexpr int64_t kChunk = 2048;

// Every read that reaches a disk, for counting: how many failed, and how often each sector of
// interest was asked for.
struct ReadLog {
  std::mutex lock;
  int64_t failed = 0;
  std::map<int64_t, int> perSector;  // only the sectors being watched
};

class LoggingDevice final : public RawDevice {
 public:
  LoggingDevice(std::shared_ptr<MemoryDisk> disk, std::shared_ptr<ReadLog> log)
      : device_(std::move(disk)), log_(std::move(log)) {}
  int64_t QueryDeviceSize() override { return device_.QueryDeviceSize(); }
  int32_t QuerySectorSize() override { return device_.QuerySectorSize(); }
  std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count, int32_t size) override {
    std::vector<uint8_t> data = device_.ReadDeviceSectors(first, count, size);
    const std::lock_guard hold(log_->lock);
    if (data.empty()) ++log_->failed;
    for (auto it = log_->perSector.lower_bound(first);
         it != log_->perSector.end() && it->first < first + count; ++it) {
      ++it->second;
    }
    return data;
  }

 private:
  MemoryDevice device_;
  std::shared_ptr<ReadLog> log_;
};

// A JPEG, a PNG and a GIF, each small enough to lie inside one chunk.
const std::vector<File>& SmallFiles() {
  static const std::vector<File> files = {Fixture("harbour_jfif_app0.jpg"),
                                          Fixture("indexed_16_colours_plte.png"),
                                          Fixture("gif87a_still.gif")};
  return files;
}

// A 24-bit BMP of random pixels, 768 KiB: its size comes from its header alone.
File Bmp(uint32_t seed) {
  using testing::Le32;
  constexpr uint32_t kPixels = 512 * 512 * 3;
  File bmp = testing::RandomBytes(54 + kPixels, seed);
  testing::Overwrite(
      bmp, 0,
      testing::Concat("BM", Le32(54 + kPixels), Le32(0), Le32(54), Le32(40), Le32(512), Le32(512),
                      Le32(1 | 24 << 16), Le32(0), Le32(kPixels)));
  return bmp;
}

std::string Unreadable(int64_t first, int64_t last, const std::string& size) {
  return "Unreadable: sectors " + std::to_string(first) + " to " + std::to_string(last) + " (" +
         size + ") could not be read and were not searched.";
}

std::vector<std::string> StartingWith(const std::vector<Message>& messages,
                                      const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& text : TextsOf(messages, Kind::Status)) {
    if (text.starts_with(prefix)) found.push_back(text);
  }
  return found;
}

// The manifest line of the carved file `name`; empty when there is none.
std::string ManifestLine(const std::string& out, const std::string& name) {
  std::ifstream manifest(out + "/manifest.jsonl");
  for (std::string line; std::getline(manifest, line);) {
    if (line.find("/" + name + "\"") != std::string::npos) return line;
  }
  return "";
}

class FailingDrive : public testing::EngineTest {
 protected:
  // Scans `disk` (carving only), logging its reads.
  std::vector<Message> Scan(const TestDisk& disk, std::vector<const char*> options = {}) {
    options.push_back("filesystems=no");
    const auto opener = [disk = disk.shared(), log = log_](const std::string&) -> OpenedDevice {
      return {std::make_unique<LoggingDevice>(disk, log), 0};
    };
    return Run(opener, [&](RecoveryEngine& engine) {
      engine.StartRecovery("disk", out_.c_str(), nullptr, 0, testing::RecordA, options.data(),
                           static_cast<int32_t>(options.size()));
    });
  }

  std::shared_ptr<ReadLog> log_ = std::make_shared<ReadLog>();
  std::string out_ = dir_.File("out");
};

TEST_F(FailingDrive, ADeadStretchCostsAFewFailedReadsAndEverythingAroundItIsCarved) {
  // 24 MiB with 8 MiB dead from a chunk's start, and from inside a chunk; files before it, in the
  // readable part of the chunk where it starts, just after it and far after it.
  constexpr int64_t kDead = 8 * kChunk;  // sectors
  for (const int64_t start : {6 * kChunk, 6 * kChunk + 700}) {
    SCOPED_TRACE(start);
    std::filesystem::remove_all(out_);
    log_ = std::make_shared<ReadLog>();
    auto disk = TestDisk::Zeros(24 << 20);
    const std::vector<int64_t> at = {100, 5 * kChunk + 1500, 6 * kChunk + 10, start + kDead + 3,
                                     20 * kChunk};
    std::vector<File> expected;
    for (size_t i = 0; i < at.size(); ++i) {
      if (at[i] >= start && at[i] < start + kDead) continue;
      disk.PutAtSector(at[i], SmallFiles()[i % 3]);
      expected.push_back(SmallFiles()[i % 3]);
    }
    disk.Unreadable(start * kSector, kDead * kSector);
    const auto messages = Scan(disk);

    // Those beside the stretch are found when the scan reads around it, after the others.
    const auto carved = testing::CarvedFiles(messages);
    EXPECT_EQ(carved.size(), expected.size());
    for (const File& file : expected) {
      EXPECT_EQ(std::count(carved.begin(), carved.end(), file),
                std::count(expected.begin(), expected.end(), file));
    }
    // A handful of chunks are tried in each pass, and each edge once alone: not one failed read
    // per sector of the edges, as a re-read in pieces costs.
    EXPECT_LE(log_->failed, 30);
    EXPECT_EQ(StartingWith(messages, "Unreadable: "),
              std::vector<std::string>{Unreadable(start, start + kDead - 1, "8 MB")});
    // A tenth of this drive: the user hears of it once, as soon as it is known.
    const auto nothing = StartingWith(messages, "Nothing readable for ");
    ASSERT_EQ(nothing.size(), 1u);
    // From the first chunk that gave nothing: where the chunk grid, moved by carves, met it.
    const size_t from = nothing[0].find(" from sector ");
    ASSERT_NE(from, std::string::npos) << nothing[0];
    const int64_t sector = std::stoll(nothing[0].substr(from + 13));
    EXPECT_GT(sector, start - kChunk);
    EXPECT_LT(sector, start + kChunk);
    EXPECT_TRUE(nothing[0].ends_with(
        " of the drive): the drive may be failing. Imaging it first is safer."));
  }
}

TEST_F(FailingDrive, AScanStoppedPastADeadStretchStillReadsAroundItWhenResumed) {
  constexpr int64_t kStart = 6 * kChunk + 700;
  constexpr int64_t kDead = 8 * kChunk;
  auto disk = TestDisk::Zeros(24 << 20);
  const std::vector<int64_t> at = {100, 6 * kChunk + 10, kStart + kDead + 3, 20 * kChunk};
  std::vector<File> expected;
  for (size_t i = 0; i < at.size(); ++i) {
    disk.PutAtSector(at[i], SmallFiles()[i % 3]);
    expected.push_back(SmallFiles()[i % 3]);
  }
  disk.Unreadable(kStart * kSector, kDead * kSector);
  // Stopped well past the stretch, before the pass that reads around it.
  const auto opener = [shared = disk.shared(), log = log_](const std::string&) -> OpenedDevice {
    return {std::make_unique<LoggingDevice>(shared, log), 0};
  };
  const char* options[] = {"filesystems=no"};
  const auto first = Run(opener, [&](RecoveryEngine& engine) {
    // (The scan's first reads, of both ends of the drive, are not the carve's.)
    disk->onRead = [&engine](int64_t offset) {
      if (offset >= 21 * kChunk * kSector && offset < 23 * kChunk * kSector) engine.Cancel();
    };
    engine.StartRecovery("disk", out_.c_str(), nullptr, 0, testing::RecordA, options, 1);
  });
  disk->onRead = nullptr;
  ASSERT_EQ(StartingWith(first, "Reading around what could not be read").size(), 0u);
  const auto second = Scan(disk);
  ASSERT_EQ(StartingWith(second, "Resuming the scan from sector ").size(), 1u);
  EXPECT_EQ(StartingWith(second, "Unreadable: "),
            std::vector<std::string>{Unreadable(kStart, kStart + kDead - 1, "8 MB")});
  auto carved = testing::CarvedFiles(first);
  for (const File& file : testing::CarvedFiles(second)) carved.push_back(file);
  // Each once: none written again by the resumed scan.
  EXPECT_EQ(carved.size(), expected.size());
  for (const File& file : expected) {
    EXPECT_EQ(std::count(carved.begin(), carved.end(), file),
              std::count(expected.begin(), expected.end(), file));
  }
}

TEST_F(FailingDrive, ADegradingZoneAsksForEachBadSectorAtMostTwice) {
  // One bad sector every 32 KiB over 2 MiB, and files on both sides of the zone and in it.
  constexpr int64_t kZone = 10 * kChunk + 1000;
  auto disk = TestDisk::Zeros(16 << 20);
  disk.PutAtSector(kZone - 400, SmallFiles()[0]).PutAtSector(kZone + 4200, SmallFiles()[1]);
  disk.PutAtSector(kZone + 64 * 20 + 5, SmallFiles()[2]);
  for (int64_t bad = kZone; bad < kZone + 4096; bad += 64) {
    disk.Unreadable(bad * kSector, kSector);
    log_->perSector[bad] = 0;
  }
  const auto messages = Scan(disk);

  for (const auto& [sector, reads] : log_->perSector) {
    EXPECT_GE(reads, 1) << sector;
    EXPECT_LE(reads, 2) << sector;
  }
  // Around the zone everything is found; inside it, the failed reads' insides are not read
  // sector by sector, and the user is told so.
  EXPECT_EQ(testing::CarvedFiles(messages), (std::vector<File>{SmallFiles()[0], SmallFiles()[1]}));
  // From the first bad sector to the last, in as many stretches as the reads that failed there.
  const auto unreadable = StartingWith(messages, "Unreadable: ");
  ASSERT_FALSE(unreadable.empty());
  EXPECT_TRUE(
      unreadable.front().starts_with("Unreadable: sectors " + std::to_string(kZone) + " to "))
      << unreadable.front();
  EXPECT_NE(unreadable.back().find(" to " + std::to_string(kZone + 63 * 64) + " ("),
            std::string::npos)
      << unreadable.back();
}

TEST_F(FailingDrive, AFileOverBadSectorsIsReportedDamagedWithWhereItsZerosAre) {
  // Bad sectors in the part of the file copied beyond the chunk where it starts.
  const File bmp = Bmp(5);
  constexpr int64_t kAt = 1900;
  auto disk = TestDisk::Zeros(8 << 20);
  disk.PutAtSector(kAt, bmp).Unreadable(2500 * kSector, 8 * kSector);
  log_->perSector = {{2500, 0}, {2507, 0}};
  const auto messages = Scan(disk);

  const std::string name = "rec_0_0.bmp";
  const std::string path = out_ + "/Images/" + name;
  File expected = bmp;
  std::fill_n(expected.begin() + (2500 - kAt) * kSector, 8 * kSector, 0);
  EXPECT_EQ(testing::ReadFile(path), expected);
  EXPECT_EQ(
      TextsOf(messages, Kind::FileFound),
      std::vector<std::string>{path + "|" + name + "|" + std::to_string(bmp.size()) + "|Native"});
  const std::string problem = "sectors 2500-2507 unreadable, written as zeros";
  EXPECT_EQ(StartingWith(messages, "Damaged: "),
            std::vector<std::string>{"Damaged: " + path + ": " + problem});
  const std::string line = ManifestLine(out_, name);
  EXPECT_NE(line.find("\"problem\":\"" + problem + "\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"unreadable\":[[307200,4096]]"), std::string::npos) << line;
  // Once in the failed read of the copy, once alone at the edge of what failed.
  EXPECT_EQ(log_->perSector, (std::map<int64_t, int>{{2500, 2}, {2507, 2}}));
}

TEST_F(FailingDrive, AnImageIsScannedWithItsRescueMap) {
  // The imaging never read 8 sectors inside the file (zeros in the image) and gave up on more
  // after it.
  const File bmp = Bmp(6);
  auto image = TestDisk::Zeros(4 << 20);
  image.PutAtSector(kChunk + 10, bmp);
  for (int64_t s = kChunk + 300; s < kChunk + 308; ++s) {
    std::fill_n(image->bytes.begin() + s * kSector, kSector, 0);
  }
  const auto map = [&](int64_t size) {
    const std::string path = dir_.File("image.map");
    std::ofstream(path) << "# Mapfile. Created by hand\n"
                        << "# current_pos  current_status  current_pass\n"
                        << "0x00000000     +               1\n"
                        << "#      pos        size  status\n"
                        << std::hex << "0x0 0x" << (kChunk + 300) * kSector << " +\n0x"
                        << (kChunk + 300) * kSector << " 0x1000 -\n0x" << (kChunk + 308) * kSector
                        << " 0x" << (size - (kChunk + 308) * kSector - 0x2000) << " +\n0x"
                        << (size - 0x2000) << " 0x2000 ?\n";
    return "map=" + path;
  };
  const std::string good = map(4 << 20);
  const auto messages = Scan(image, {good.c_str()});
  const std::string path = out_ + "/Images/rec_0_2048.bmp";
  EXPECT_EQ(StartingWith(messages, "Damaged: "),
            std::vector<std::string>{
                "Damaged: " + path + ": sectors " + std::to_string(kChunk + 300) + "-" +
                std::to_string(kChunk + 307) + " unreadable, written as zeros"});
  File expected = bmp;
  std::fill_n(expected.begin() + 290 * kSector, 8 * kSector, 0);
  EXPECT_EQ(testing::ReadFile(path), expected);
  EXPECT_EQ(StartingWith(messages, "Unreadable: "),
            (std::vector<std::string>{Unreadable(kChunk + 300, kChunk + 307, "4 KB"),
                                      Unreadable(8192 - 16, 8191, "8 KB")}));

  // A map of another drive: nothing is scanned.
  std::filesystem::remove_all(out_);
  const std::string other = map(8 << 20);
  const auto refused = Scan(image, {other.c_str()});
  EXPECT_EQ(TextsOf(refused, Kind::Error),
            std::vector<std::string>{"The rescue map " + dir_.File("image.map") +
                                     " describes 8388608 bytes, but disk holds 4194304: it is "
                                     "not this image's map. Nothing was scanned."});
  EXPECT_EQ(refused.back(), (Message{Kind::Finished, "0", {}}));
  EXPECT_FALSE(std::filesystem::exists(out_));
}

}  // namespace
}  // namespace quarvelin
