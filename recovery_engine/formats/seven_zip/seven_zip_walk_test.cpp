#include "formats/seven_zip/seven_zip_walk.h"

#include <gtest/gtest.h>

#include "candidate.h"
#include "fixtures.h"
#include "formats/crc32.h"
#include "sparse_disk.h"

namespace quarvelin {
namespace {

using testing::Candidate;
using testing::Concat;
using testing::File;
using testing::Le32;
using testing::Le64;
using testing::Placement;

// The start header for a next header of `next` bytes standing `offset` bytes after it.
File StartHeader(uint64_t offset, const File& next, uint64_t size = 0) {
  const File fields = Concat(Le64(offset), Le64(size != 0 ? size : next.size()), Le32(Crc32(next)));
  return Concat(File{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4}, Le32(Crc32(fields)), fields);
}

const File kNext = {0x01, 0x04, 0x06, 0x00, 0x01, 0x09, 0x80, 0x00, 0x00};

File SevenZip(size_t packed = 4000) {
  return Concat(StartHeader(packed, kNext), testing::RandomBytes(packed, 5), kNext);
}

std::optional<int64_t> Walk(const File& file, Placement p = {.randomTrailing = true}) {
  Candidate candidate(file, p);
  RangeReader reader = candidate.Reader();
  return WalkSevenZip(reader, candidate.Cancel());
}

TEST(SevenZipWalk, SizedByTheStartHeaderWhenBothHeadersCheck) {
  const File archive = SevenZip();
  for (const Placement p : {Placement{.lead = 10, .randomTrailing = true},
                            Placement{.lead = 700, .bufferBytes = 1000, .sectorSize = 4096},
                            Placement{.lead = 3, .bufferBytes = 600, .trailing = 0}}) {
    EXPECT_EQ(Walk(archive, p), std::ssize(archive));
  }
  EXPECT_EQ(Walk(Concat(archive, SevenZip(100))), std::ssize(archive));
  EXPECT_EQ(Walk(StartHeader(0, {})), 32);
  for (const auto& path : testing::Fixtures("7z")) {
    const File real = testing::Fixture(path.filename().string());
    EXPECT_EQ(Walk(real, {.lead = 5, .bufferBytes = 2048}), std::ssize(real)) << path;
  }
}

TEST(SevenZipWalk, ASignatureWhoseHeadersFailIsNoArchive) {
  const File archive = SevenZip();
  File badStart = archive;
  badStart.at(15) ^= 1;  // next-header offset, under the start header's CRC
  File badNext = archive;
  badNext.at(badNext.size() - 3) ^= 1;
  EXPECT_EQ(Walk(badStart), std::nullopt);
  EXPECT_EQ(Walk(badNext), std::nullopt);
  // Cut short, or naming a next header far past the disk, at the top of 64 bits, or huge.
  const File cut(archive.begin(), archive.end() - 2);
  EXPECT_EQ(Walk(cut, {.lead = (512 - cut.size() % 512) % 512, .trailing = 0}), std::nullopt);
  for (const auto& [offset, size] : {std::pair<uint64_t, uint64_t>{uint64_t{1} << 40, 9},
                                     {0x7FFFFFFFFFFFFFF0, 64},
                                     {0xFFFFFFFFFFFFFFFF, 9},
                                     {0, uint64_t{1} << 40}}) {
    EXPECT_EQ(Walk(Concat(StartHeader(offset, kNext, size), kNext)), std::nullopt) << offset;
  }
  EXPECT_EQ(Walk(archive, {.cancelled = true}), std::nullopt);
}

TEST(SevenZipWalk, NextHeaderPastFourGiB) {
  const int64_t packed = (int64_t{4} << 30) + 12345;
  const int64_t start = 1024;
  testing::SparseDisk disk(start + 32 + packed + 4096);
  disk.Put(start, StartHeader(static_cast<uint64_t>(packed), kNext))
      .Put(start + 32 + packed, kNext);
  const auto chunk = disk.ReadDeviceSectors(0, 8, 512);
  RangeReader reader(chunk, static_cast<size_t>(start), 0, 512, disk);
  EXPECT_EQ(WalkSevenZip(reader, nullptr), 32 + packed + std::ssize(kNext));
}

}  // namespace
}  // namespace quarvelin
