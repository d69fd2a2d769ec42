#include "filesystems/byte_source.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_disk.h"

namespace quarvelin {
namespace {

using testing::RandomBytes;
using testing::TestDisk;

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t at, size_t length) {
  return {bytes.begin() + static_cast<ptrdiff_t>(at),
          bytes.begin() + static_cast<ptrdiff_t>(at + length)};
}

TEST(DeviceBytes, ReadsAnyStretchOfItsPartOfTheDevice) {
  for (const int32_t sectorSize : {512, 4096}) {
    const TestDisk disk = TestDisk::Random(1 << 20, 3, sectorSize);
    const int64_t start = 8 * sectorSize;
    DeviceBytes volume(disk.device(), start, 600000);
    EXPECT_EQ(volume.Size(), 600000);
    // Small reads through the cache, across block and sector edges; a large one past it.
    for (const auto& [at, length] : std::vector<std::pair<size_t, size_t>>{
             {0, 1}, {511, 2}, {65530, 20}, {1000, 70000}, {599990, 10}, {0, 600000}}) {
      std::vector<uint8_t> out(length);
      ASSERT_TRUE(volume.Read(static_cast<int64_t>(at), out)) << at;
      EXPECT_EQ(out, Slice(disk.bytes(), static_cast<size_t>(start) + at, length)) << at;
    }
    std::vector<uint8_t> out(11);
    EXPECT_FALSE(volume.Read(599990, out));
    EXPECT_FALSE(volume.Read(-1, out));
    EXPECT_FALSE(volume.Read(INT64_MAX - 4, out));
  }
}

TEST(DeviceBytes, IsClippedToTheDeviceAndFailsOnlyWhereSectorsAreBad) {
  TestDisk disk = TestDisk::Random(300000, 4);
  disk.Unreadable(70000, 1);  // sector 136, in the second 64 KiB block
  DeviceBytes volume(disk.device(), 0, 1 << 30);
  EXPECT_EQ(volume.Size(), 300000);
  std::vector<uint8_t> out(100);
  ASSERT_TRUE(volume.Read(65536, out));  // before the bad sector, same block
  EXPECT_EQ(out, Slice(disk.bytes(), 65536, 100));
  EXPECT_FALSE(volume.Read(69990, out));
  std::vector<uint8_t> large(200000);
  EXPECT_FALSE(volume.Read(0, large));
  ASSERT_TRUE(volume.Read(140000, out));
  EXPECT_EQ(out, Slice(disk.bytes(), 140000, 100));
}

}  // namespace
}  // namespace quarvelin
