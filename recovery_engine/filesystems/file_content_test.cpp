#include "filesystems/file_content.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_disk.h"

namespace quarvelin {
namespace {

using testing::File;
using testing::RandomBytes;
using testing::TestDisk;

struct Copy {
  File bytes;
  ContentResult result;
};

Copy CopyOut(ByteSource& volume, const FoundFile& file, size_t refuseAfter = SIZE_MAX) {
  Copy copy;
  copy.result = ReadContent(
      volume, file,
      [&](std::span<const uint8_t> piece) {
        if (copy.bytes.size() + piece.size() > refuseAfter) return false;
        copy.bytes.insert(copy.bytes.end(), piece.begin(), piece.end());
        return true;
      },
      nullptr);
  return copy;
}

File Part(const File& bytes, size_t at, size_t length) {
  return {bytes.begin() + static_cast<ptrdiff_t>(at),
          bytes.begin() + static_cast<ptrdiff_t>(at + length)};
}

TEST(ReadContent, JoinsExtentsInFileOrderWithSparseOnesAsZerosUpToTheSize) {
  const TestDisk disk = TestDisk::Random(4 << 20, 9);
  DeviceBytes volume(disk.device(), 4096, 4 << 20);
  FoundFile file;
  // Out of disk order, a hole, and a last extent running past the size (the cluster's slack).
  file.extents = {{3 << 20, 5000, false}, {0, 3000, true}, {8192, 2 << 20, false}};
  file.size = 5000 + 3000 + 1500000;
  const Copy copy = CopyOut(volume, file);
  const File expected = testing::Concat(Part(disk.bytes(), 4096 + (3 << 20), 5000), File(3000, 0),
                                        Part(disk.bytes(), 4096 + 8192, 1500000));
  EXPECT_EQ(copy.bytes, expected);
  EXPECT_EQ(copy.result.written, file.size);
  EXPECT_TRUE(copy.result.unreadable.empty());

  // A resident file is its own bytes; an empty one hands nothing on.
  FoundFile small;
  small.size = 3;
  small.resident = File{1, 2, 3, 4};
  EXPECT_EQ(CopyOut(volume, small).bytes, (File{1, 2, 3}));
  EXPECT_EQ(CopyOut(volume, FoundFile{}).result.written, 0);
}

TEST(ReadContent, ZerosOnlyTheUnreadableSectorsAndStopsWhereTheExtentsOrTheWriterDo) {
  TestDisk disk = TestDisk::Random(1 << 20, 10);
  disk.Unreadable(70000, 1);  // sector 136
  DeviceBytes volume(disk.device(), 0, 1 << 20);
  FoundFile file;
  file.extents = {{65536, 200000, false}};
  file.size = 200000;
  const Copy copy = CopyOut(volume, file);
  ASSERT_EQ(copy.bytes.size(), 200000u);
  File expected = Part(disk.bytes(), 65536, 200000);
  std::fill(expected.begin() + (136 * 512 - 65536), expected.begin() + (137 * 512 - 65536), 0);
  EXPECT_EQ(copy.bytes, expected);
  ASSERT_EQ(copy.result.unreadable.size(), 1u);
  EXPECT_EQ(copy.result.unreadable[0], std::make_pair(int64_t{136 * 512 - 65536}, int64_t{512}));

  // Extents that fall short (or leave the volume) end the copy early, and say so by its length.
  file.extents = {{0, 1000, false}, {(1 << 20) - 10, 100, false}};
  file.size = 5000;
  const Copy shortCopy = CopyOut(volume, file);
  EXPECT_EQ(shortCopy.result.written, 1100);
  EXPECT_EQ(shortCopy.result.unreadable.size(), 1u);

  file.extents = {{0, 1 << 20, false}};
  file.size = 1 << 20;
  const Copy refused = CopyOut(volume, file, 1000);
  EXPECT_TRUE(refused.result.writerFailed);
  EXPECT_EQ(refused.result.written, 0);
}

}  // namespace
}  // namespace quarvelin
