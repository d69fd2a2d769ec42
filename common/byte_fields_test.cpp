#include "common/byte_fields.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace quarvelin {
namespace {

TEST(ByteFields, ReadAndWriteBothByteOrdersWithinBoundsOnly) {
  const std::vector<uint8_t> b = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  EXPECT_EQ(ReadBe16(b, 0), 0x0102);
  EXPECT_EQ(ReadLe16(b, 6), 0x0807);
  EXPECT_EQ(ReadBe24(b, 1), 0x020304u);
  EXPECT_EQ(ReadLe24(b, 0), 0x030201u);
  EXPECT_EQ(ReadBe32(b, 4), 0x05060708u);
  EXPECT_EQ(ReadLe32(b, 0), 0x04030201u);
  EXPECT_EQ(ReadLe48(b, 2), 0x080706050403u);
  EXPECT_EQ(ReadBe64(b, 0), 0x0102030405060708u);
  EXPECT_EQ(ReadLe64(b, 0), 0x0807060504030201u);
  EXPECT_FALSE(ReadBe16(b, 7));
  EXPECT_FALSE(ReadLe32(b, 5));
  EXPECT_FALSE(ReadLe48(b, 3));
  EXPECT_FALSE(ReadBe64(b, 1));
  EXPECT_FALSE(ReadBe16(b, SIZE_MAX));
  // A driver's short reply: the field it left out reads as the caller says.
  EXPECT_EQ(ReadLe32(std::vector<uint8_t>(3, 0xFF), 0).value_or(0), 0u);

  std::vector<uint8_t> out(6, 0);
  EXPECT_TRUE(WriteLe32(out, 2, 0x0A0B0C0D));
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 0x0D, 0x0C, 0x0B, 0x0A}));
  EXPECT_FALSE(WriteLe32(out, 3, 0xFFFFFFFF));
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 0x0D, 0x0C, 0x0B, 0x0A}));

  EXPECT_FALSE(CheckedAdd(INT64_MAX, 1));
  EXPECT_EQ(CheckedAdd(1, 2, 3), 6);
  EXPECT_FALSE(CheckedMul(INT64_MAX / 2 + 1, 2));
  EXPECT_EQ(CheckedMul(-4, 512), -2048);
  EXPECT_FALSE(AsLength(UINT64_MAX));
}

}  // namespace
}  // namespace quarvelin
