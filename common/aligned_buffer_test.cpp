#include "common/aligned_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quarvelin {
namespace {

TEST(AlignedBufferTest, AddressAndLengthAreWholeSectors) {
  // 520-byte sectors (some enterprise disks) align to the next power of two.
  const struct {
    uint32_t sector;
    uintptr_t alignment;
  } cases[] = {{512, 512}, {4096, 4096}, {520, 1024}};
  for (const auto& c : cases) {
    for (size_t length : {size_t{0}, size_t{1}, size_t{c.sector}, size_t{3} * c.sector + 7}) {
      AlignedBuffer buffer(length, c.sector);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.data()) % c.alignment, 0u);
      EXPECT_EQ(buffer.size() % c.sector, 0u);
      EXPECT_GE(buffer.size(), length);
      EXPECT_GE(buffer.size(), size_t{c.sector});
      EXPECT_EQ(buffer.data()[buffer.size() - 1], 0);
    }
  }
}

}  // namespace
}  // namespace quarvelin
