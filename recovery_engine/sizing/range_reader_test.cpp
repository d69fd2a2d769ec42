#include "sizing/range_reader.h"

#include <gtest/gtest.h>

#include "candidate.h"
#include "common/byte_fields.h"
#include "formats/crc32.h"

namespace quarvelin {
namespace {

using testing::Candidate;
using testing::Placement;
using testing::RandomBytes;

std::vector<uint8_t> Copy(std::span<const uint8_t> s) {
  return {s.begin(), s.end()};
}

TEST(RangeReader, ServesTheBufferTheDeviceOrNothing) {
  const auto file = RandomBytes(10000, 4);
  // The file starts 700 bytes into the disk; the scan buffer holds the first 4096 disk bytes.
  Candidate candidate(file, Placement{.lead = 700, .bufferBytes = 4096});
  RangeReader read = candidate.Reader();
  auto& disk = *candidate.Disk();

  EXPECT_EQ(Copy(read(0, 3396)), std::vector<uint8_t>(file.begin(), file.begin() + 3396));
  EXPECT_EQ(disk.reads.load(), 0) << "inside the buffer: no device read";

  // A window near the buffer's end is the buffer's tail, unless that is shorter than needed.
  EXPECT_EQ(Copy(read.ReadWindow(3000, 4096, 4)),
            std::vector<uint8_t>(file.begin() + 3000, file.begin() + 3396));
  EXPECT_EQ(disk.reads.load(), 0);
  EXPECT_EQ(Copy(read.ReadWindow(3390, 4096, 10)),
            std::vector<uint8_t>(file.begin() + 3390, file.begin() + 7486));
  disk.reads = 0;

  // Across the buffer's end: one read of the covering sectors.
  EXPECT_EQ(Copy(read(3000, 1000)), std::vector<uint8_t>(file.begin() + 3000, file.begin() + 4000));
  EXPECT_EQ(disk.reads.load(), 1);

  // Before the candidate: served from the device.
  EXPECT_EQ(Copy(read(-700, 700)),
            std::vector<uint8_t>(disk.bytes.begin(), disk.bytes.begin() + 700));
  EXPECT_EQ(disk.reads.load(), 2);

  // Past the device's end: nothing, not the bytes that exist.
  const auto deviceEnd = static_cast<int64_t>(disk.bytes.size()) - 700;
  EXPECT_TRUE(read(deviceEnd - 10, 20).empty());
  EXPECT_EQ(read(deviceEnd - 10, 10).size(), 10u);
  EXPECT_TRUE(read(-701, 10).empty());
  EXPECT_TRUE(read(0, -1).empty());
  EXPECT_TRUE(read(INT64_MAX - 5, 10).empty());

  // The longest run: at the device's end what the one read got; before a bad sector, by halving.
  const auto before = disk.reads.load();
  EXPECT_EQ(Copy(read.ReadLongest(deviceEnd - 10, 4096)),
            std::vector<uint8_t>(disk.bytes.end() - 10, disk.bytes.end()));
  EXPECT_EQ(disk.reads.load(), before + 1);
  disk.AddUnreadable(700 + 6000, 1);
  EXPECT_EQ(read.ReadLongest(5000, 4096).size(), 512u * 13 - 700 - 5000);
  EXPECT_TRUE(read.ReadLongest(deviceEnd, 10).empty());

  EXPECT_FALSE(read.StartsSector(0));
  EXPECT_TRUE(read.StartsSector(512 - 700 + 1024));
  EXPECT_FALSE(read.StartsSector(INT64_MAX));
  EXPECT_EQ(read.NextSectorStart(0), 512 - 700 + 1024 - 512);
  EXPECT_EQ(read.NextSectorStart(836), 836 + 512);
  EXPECT_EQ(read.NextSectorStart(INT64_MAX), std::nullopt);
}

TEST(RangeReader, WalkWindowsViewTheBufferAndCopyWhatTheDeviceGives) {
  const auto file = RandomBytes(10000, 5);
  Candidate candidate(file, Placement{.lead = 700, .bufferBytes = 4096, .trailing = 0});
  RangeReader read = candidate.Reader();
  WalkWindow window(read, 1024);
  const auto first = window.At(100, 4);
  EXPECT_TRUE(read.InBuffer(first));
  EXPECT_EQ(Copy(first), std::vector<uint8_t>(file.begin() + 100, file.begin() + 1124));
  EXPECT_EQ(window.At(1000, 100).size(), 124u) << "served from the window it holds";

  // Past the buffer: a copy that outlives the reader's next read.
  const auto copied = window.At(5000, 8);
  EXPECT_FALSE(read.InBuffer(copied));
  EXPECT_EQ(read(0, 4).size(), 4u);
  EXPECT_EQ(Copy(copied), std::vector<uint8_t>(file.begin() + 5000, file.begin() + 6024));
  EXPECT_TRUE(window.At(10052 - 2, 8).empty());  // two bytes before the device ends
}

TEST(Crc32, MatchesTheStandardCheckValue) {
  const std::string text = "123456789";
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  EXPECT_EQ(Crc32(bytes), 0xCBF43926u);
  EXPECT_EQ(Crc32Update(Crc32(bytes.first(4)), bytes.subspan(4)), 0xCBF43926u);
}

}  // namespace
}  // namespace quarvelin
