#include "formats/tar/tar_walk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Candidate;
using testing::Concat;
using testing::File;
using testing::Placement;

enum class Sum { kUnsigned, kSigned, kWrong };

// `value` as `digits` octal digits at `at`, then a zero byte.
void Octal(uint8_t* at, int64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i, value >>= 3)
    at[i] = static_cast<uint8_t>('0' + (value & 7));
  at[digits] = 0;
}

// A 512-byte header; `size` goes in as octal unless `base256`.
File Header(const std::string& name, int64_t size, char type = '0', bool gnu = false,
            Sum sum = Sum::kUnsigned, bool base256 = false) {
  File h(512, 0);
  std::memcpy(h.data(), name.data(), std::min<size_t>(name.size(), 100));
  std::memcpy(h.data() + 100, "0000644", 7);
  if (base256) {
    h[124] = 0x80;
    for (int i = 0; i < 8; ++i)
      h[135 - static_cast<size_t>(i)] = static_cast<uint8_t>(size >> (8 * i));
  } else {
    Octal(h.data() + 124, size, 11);
  }
  h[156] = static_cast<uint8_t>(type);
  std::memcpy(h.data() + 257,
              gnu ? "ustar  \0"
                  : "ustar\0"
                    "00",
              8);
  int64_t total = 8 * ' ';
  for (size_t i = 0; i < 512; ++i) {
    if (i < 148 || i >= 156) total += sum == Sum::kSigned ? static_cast<int8_t>(h[i]) : h[i];
  }
  if (sum == Sum::kWrong) ++total;
  Octal(h.data() + 148, total, 6);
  return h;
}

File Data(size_t size) {
  return testing::Padded(testing::RandomBytes(size, 4), (size + 511) / 512 * 512);
}
const File kEnd(1024, 0);

TarEnd Walk(const File& file, Placement p = {.lead = 0, .randomTrailing = true}) {
  Candidate candidate(file, p);
  RangeReader read = candidate.Reader();
  return WalkTar(read, INT64_MAX / 2, candidate.Cancel());
}

TEST(TarWalk, HeadersCheckTheirSumEitherWay) {
  // A name with bytes above 127 sums differently as signed bytes, as some old writers summed.
  const std::string name = "caf\xC3\xA9.txt";
  EXPECT_TRUE(IsTarHeader(Header(name, 3)));
  EXPECT_TRUE(IsTarHeader(Header(name, 3, '0', true, Sum::kSigned)));
  EXPECT_FALSE(IsTarHeader(Header(name, 3, '0', false, Sum::kWrong)));
  // The magic in random data, without a sum that agrees.
  for (uint32_t seed = 1; seed <= 50; ++seed) {
    File noise = testing::RandomBytes(512, seed);
    std::memcpy(noise.data() + 257,
                "ustar\0"
                "00",
                8);
    EXPECT_FALSE(IsTarHeader(noise)) << seed;
  }
}

TEST(TarWalk, NumbersInOctalOrBase256) {
  const auto number = [](const std::string& text) {
    return TarNumber(Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  };
  EXPECT_EQ(number(std::string("00000001750\0", 12)), 1000);
  EXPECT_EQ(number(std::string("   1750 \0\0\0\0", 12)), 1000);
  EXPECT_EQ(number(std::string(12, '\0')), 0);
  EXPECT_EQ(number("0000000175x0"), std::nullopt);
  EXPECT_EQ(number(std::string("\x80\0\0\0\0\0\0\0\0\0\x10\x00", 12)), 4096);
  EXPECT_EQ(number(std::string(12, '\xFF')), std::nullopt);  // negative
  EXPECT_EQ(number(std::string("\x80\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 12)),
            std::nullopt);  // beyond any disk
}

TEST(TarWalk, StepsOverMembersToTheZeroBlocksAndTheRecordPadding) {
  const File archive =
      Concat(Header("a.txt", 700), Data(700), Header("dir/", 9999, '5'),
             Header("big.bin", 1536, '0', true, Sum::kUnsigned, true), Data(1536),
             Header("././@LongLink", 120, 'L', true), Data(120), Header("long", 5), Data(5), kEnd);
  const TarEnd end = Walk(archive);
  EXPECT_TRUE(end.whole);
  EXPECT_EQ(end.size, std::ssize(archive));
  // Zeros to the 10240-byte record are tar's padding: taken when all there and zero.
  const TarEnd padded = Walk(archive, {.lead = 0, .trailing = 20000});
  EXPECT_EQ(padded.size, kTarRecord);
  // A pax record's size overrides the header's.
  const std::string record = "12 size=600\n";
  const File pax =
      Concat(Header("PaxHeaders/x", std::ssize(record), 'x'),
             testing::Padded(testing::Text(record), 512), Header("x", 0), Data(600), kEnd);
  EXPECT_EQ(Walk(pax).size, std::ssize(pax));
}

TEST(TarWalk, CutOrOverwrittenArchivesKeepTheirWholeMembers) {
  const File first = Concat(Header("a.txt", 700), Data(700));
  const File second = Concat(Header("b.txt", 1000), Data(1000));
  // Overwritten after the first member, by random data, or by a header whose sum is wrong.
  const TarEnd overwritten = Walk(Concat(first, testing::RandomBytes(4096, 8)));
  EXPECT_FALSE(overwritten.whole);
  EXPECT_EQ(overwritten.size, std::ssize(first));
  EXPECT_EQ(Walk(Concat(first, Header("b", 1, '0', false, Sum::kWrong), kEnd)).size,
            std::ssize(first));
  // Cut where the device ends, in the second member's data.
  const File cut = Concat(first, File(second.begin(), second.begin() + 600));
  const TarEnd atDeviceEnd = Walk(cut, {.lead = 0, .trailing = 0});
  EXPECT_FALSE(atDeviceEnd.whole);
  EXPECT_EQ(atDeviceEnd.size, std::ssize(first));
  EXPECT_FALSE(Walk(Concat(first, second, kEnd), {.cancelled = true}).whole);
}

}  // namespace
}  // namespace quarvelin
