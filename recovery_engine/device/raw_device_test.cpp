#include "raw_device.h"

#include <gtest/gtest.h>

#include "memory_device.h"
#include "temp_dir.h"
#include "test_disk.h"

namespace quarvelin {
namespace {

using testing::RandomBytes;
using testing::TempDir;

TEST(NormalizeDevicePath, DriveSpellingsBecomeTheVolumePath) {
  EXPECT_EQ(NormalizeDevicePath("C:\\"), "\\\\.\\C:");
  EXPECT_EQ(NormalizeDevicePath("C:"), "\\\\.\\C:");
  EXPECT_EQ(NormalizeDevicePath("\\\\.\\C:"), "\\\\.\\C:");
  EXPECT_EQ(NormalizeDevicePath("\\\\.\\C:\\"), "\\\\.\\C:");
}

TEST(NormalizeDevicePath, OtherPathsPassUnchanged) {
  EXPECT_EQ(NormalizeDevicePath("\\\\.\\PhysicalDrive0"), "\\\\.\\PhysicalDrive0");
  EXPECT_EQ(NormalizeDevicePath("C"), "C");
  EXPECT_EQ(NormalizeDevicePath(""), "");
  EXPECT_EQ(NormalizeDevicePath("\\"), "\\");
  EXPECT_EQ(NormalizeDevicePath("D:\\images\\disk.img"), "D:\\images\\disk.img");
  // Only one trailing backslash is dropped, and a short path keeps its own.
  EXPECT_EQ(NormalizeDevicePath("C:\\\\"), "C:\\");
}

TEST(ReadByteCount, RefusesCountsBeyondOneRead) {
  EXPECT_EQ(ReadByteCount(2048, 512), 1048576u);
  EXPECT_EQ(ReadByteCount(0, 512), 0u);
  EXPECT_EQ(ReadByteCount(1, 0), 0u);
  EXPECT_EQ(ReadByteCount(1, -4096), 0u);
  EXPECT_EQ(ReadByteCount(0x200000, 4096), 0u);  // 8 GiB would wrap in 32 bits
}

// The platform backend (Win32 under Wine, POSIX natively) on an ordinary image file.
TEST(PlatformDevice, ReadsAnImageFileInWholeSectors) {
  TempDir dir;
  const auto bytes = RandomBytes(10 * 512 + 100, 7);
  testing::WriteFile(dir.File("disk.img"), bytes);

  OpenedDevice opened = OpenRawDevice(dir.File("disk.img"));
  ASSERT_TRUE(opened.device) << "error " << opened.error;
  RawDevice& device = *opened.device;
  EXPECT_EQ(device.QueryDeviceSize(), static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(device.QuerySectorSize(), 512);

  const auto middle = device.ReadDeviceSectors(3, 2, 512);
  ASSERT_EQ(middle.size(), 1024u);
  EXPECT_TRUE(std::equal(middle.begin(), middle.end(), bytes.begin() + 1536));

  // Crossing the end yields just the bytes that exist; past the end, nothing.
  const auto tail = device.ReadDeviceSectors(9, 4, 512);
  ASSERT_EQ(tail.size(), 612u);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.begin() + 9 * 512));
  EXPECT_TRUE(device.ReadDeviceSectors(11, 1, 512).empty());
  EXPECT_TRUE(device.ReadDeviceSectors(0, 0, 512).empty());
  EXPECT_TRUE(device.ReadDeviceSectors(-1, 1, 512).empty());
  EXPECT_TRUE(device.ReadDeviceSectors(INT64_MAX / 2, 1, 512).empty());
}

TEST(PlatformDevice, MissingPathFailsWithTheSystemsReason) {
  TempDir dir;
  OpenedDevice opened = OpenRawDevice(dir.File("no-such-disk.img"));
  EXPECT_FALSE(opened.device);
  EXPECT_NE(opened.error, 0);
}

TEST(MemoryDevice, ModelsFaultsOfRealDrives) {
  const auto disk = testing::TestDisk::Random(8 * 4096, 3, 4096).Unreadable(5 * 4096 + 10, 1);
  MemoryDevice device(disk.shared());

  EXPECT_EQ(device.QuerySectorSize(), 4096);
  EXPECT_EQ(device.ReadDeviceSectors(0, 5, 4096).size(), 5u * 4096);
  EXPECT_TRUE(device.ReadDeviceSectors(4, 2, 4096).empty());
  EXPECT_EQ(device.ReadDeviceSectors(6, 4, 4096).size(), 2u * 4096);

  disk->reportsSectorSize = false;
  disk->reportedSize = 0;
  EXPECT_EQ(device.QuerySectorSize(), 512);
  EXPECT_EQ(device.QueryDeviceSize(), 0);

  auto open = MemoryOpener({{"disk", disk.shared()}});
  EXPECT_TRUE(open("disk").device);
  EXPECT_EQ(open("other").error, 2);
}

}  // namespace
}  // namespace quarvelin
