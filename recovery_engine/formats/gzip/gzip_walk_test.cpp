#include "formats/gzip/gzip_walk.h"

#include <gtest/gtest.h>

#include "candidate.h"
#include "fixtures.h"
#include "formats/gzip/deflate_walk.h"

namespace quarvelin {
namespace {

using testing::Candidate;
using testing::Concat;
using testing::File;
using testing::Fixture;
using testing::Le32;
using testing::Placement;

// Packs deflate bits: fields least significant bit first, Huffman codes most significant first.
class BitWriter {
 public:
  BitWriter& Bits(uint32_t value, int n) {
    for (int i = 0; i < n; ++i) Put((value >> i) & 1);
    return *this;
  }
  BitWriter& Code(uint32_t code, int n) {
    for (int i = n - 1; i >= 0; --i) Put((code >> i) & 1);
    return *this;
  }
  // Fixed-code symbols: a literal byte, a match of length 3, the end of the block.
  BitWriter& Literal(uint8_t b) { return b < 144 ? Code(0x30 + b, 8) : Code(0x190 + b - 144, 9); }
  BitWriter& Match3(int distanceCode) {
    return Code(1, 7).Code(static_cast<uint32_t>(distanceCode), 5);
  }
  BitWriter& EndOfBlock() { return Code(0, 7); }
  File Done() const { return bytes_; }

 private:
  void Put(uint32_t bit) {
    if (used_ % 8 == 0) bytes_.push_back(0);
    bytes_.back() = static_cast<uint8_t>(bytes_.back() | (bit << (used_ % 8)));
    ++used_;
  }
  File bytes_;
  size_t used_ = 0;
};

const File kHeader = {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 3};

File Member(const File& deflate, uint32_t size) {
  return Concat(kHeader, deflate, Le32(0), Le32(size));
}

DeflateWalk Deflate(const File& stream, Placement p = {.lead = 3, .randomTrailing = true}) {
  Candidate candidate(stream, p);
  RangeReader read = candidate.Reader();
  return WalkDeflate(read, 0, INT64_MAX / 2, candidate.Cancel());
}

GzipEnd Gzip(const File& file, Placement p = {.lead = 3, .randomTrailing = true}) {
  Candidate candidate(file, p);
  RangeReader read = candidate.Reader();
  return WalkGzip(read, INT64_MAX / 2, candidate.Cancel());
}

// Real gzip output of each block kind decodes to the length its trailer records, and ends where
// the trailer begins.
TEST(DeflateWalk, RealStreamsOfEveryBlockKindEndAtTheirTrailer) {
  for (const char* name : {"tiny_fixed_huffman_block.gz", "text_dynamic_huffman.gz",
                           "incompressible_stored_blocks.gz", "binary_with_name_field.gz"}) {
    const File file = Fixture(name);
    const auto header = GzipHeaderLength(file);
    ASSERT_TRUE(header) << name;
    const File stream(file.begin() + *header, file.end() - 8);
    for (const Placement p : {Placement{.lead = 3, .randomTrailing = true},
                              Placement{.lead = 100, .bufferBytes = 512, .trailing = 0}}) {
      const DeflateWalk walk = Deflate(stream, p);
      EXPECT_EQ(walk.stop, DeflateStop::kEnd) << name;
      EXPECT_EQ(walk.end, std::ssize(stream)) << name;
      EXPECT_EQ(walk.output, *ReadLe32(file, file.size() - 4)) << name;
    }
  }
}

TEST(DeflateWalk, MatchesReachNoFurtherBackThanTheOutput) {
  // "a", then three bytes one back: fine. A match first, or reaching two back after one byte: no.
  const auto block = [](auto symbols) {
    BitWriter w;
    w.Bits(1, 1).Bits(1, 2);
    symbols(w);
    return w.EndOfBlock().Done();
  };
  const DeflateWalk good = Deflate(block([](BitWriter& w) { w.Literal('a').Match3(0); }));
  EXPECT_EQ(good.stop, DeflateStop::kEnd);
  EXPECT_EQ(good.output, 4);
  EXPECT_EQ(Deflate(block([](BitWriter& w) { w.Match3(0); })).stop, DeflateStop::kInvalid);
  EXPECT_EQ(Deflate(block([](BitWriter& w) { w.Literal('a').Match3(1); })).stop,
            DeflateStop::kInvalid);
  // Distance codes 30 and 31, and block type 3, are never written.
  EXPECT_EQ(Deflate(block([](BitWriter& w) { w.Literal('a').Match3(30); })).stop,
            DeflateStop::kInvalid);
  EXPECT_EQ(Deflate(BitWriter().Bits(1, 1).Bits(3, 2).Done()).stop, DeflateStop::kInvalid);
}

TEST(DeflateWalk, CodeTablesMustBeComplete) {
  // A dynamic block whose code-lengths code gives all 19 symbols one bit (over-subscribed), or
  // only one symbol two bits (incomplete).
  BitWriter over;
  over.Bits(1, 1).Bits(2, 2).Bits(0, 5).Bits(0, 5).Bits(15, 4);
  for (int i = 0; i < 19; ++i) over.Bits(1, 3);
  BitWriter incomplete;
  incomplete.Bits(1, 1)
      .Bits(2, 2)
      .Bits(0, 5)
      .Bits(0, 5)
      .Bits(0, 4)
      .Bits(0, 3)
      .Bits(0, 3)
      .Bits(0, 3)
      .Bits(2, 3);
  EXPECT_EQ(Deflate(Concat(over.Done(), File(64, 0))).stop, DeflateStop::kInvalid);
  EXPECT_EQ(Deflate(Concat(incomplete.Done(), File(64, 0))).stop, DeflateStop::kInvalid);
  // Stored blocks: NLEN must be LEN's complement.
  EXPECT_EQ(Deflate(File{0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'}).output, 3);
  EXPECT_EQ(Deflate(File{0x01, 0x03, 0x00, 0xFC, 0xFE, 'a', 'b', 'c'}).stop, DeflateStop::kInvalid);
}

TEST(GzipWalk, MembersFollowOneAnotherUntilOneIsNotWhole) {
  const File two = Fixture("two_members_concatenated.gz");
  const GzipEnd end = Gzip(two);
  EXPECT_TRUE(end.whole);
  EXPECT_EQ(end.size, std::ssize(two));
  EXPECT_EQ(end.members, 2);
  // A second header whose stream is broken, or a trailer whose ISIZE disagrees, ends the file
  // after the first member.
  const File one = Fixture("text_dynamic_huffman.gz");
  const File broken = Concat(one, kHeader, File{0x07, 0x00, 0x00, 0x00});
  EXPECT_EQ(Gzip(broken).size, std::ssize(one));
  File wrongSize = one;
  wrongSize[wrongSize.size() - 1] ^= 1;
  EXPECT_FALSE(Gzip(wrongSize).whole);
  EXPECT_EQ(Gzip(Concat(one, wrongSize)).size, std::ssize(one));
  // Reserved flags, another method, or a header CRC that disagrees: no member.
  for (const auto& [at, value] : {std::pair<size_t, uint8_t>{3, 0x20}, {2, 7}, {3, 0x02}}) {
    File bad = one;
    bad[at] = value;
    EXPECT_EQ(GzipHeaderLength(bad), std::nullopt) << at;
  }
}

TEST(GzipWalk, CutOrCorruptedStreamsAreNotWhole) {
  const File text = Fixture("text_dynamic_huffman.gz");
  for (const size_t keep : {size_t{12}, text.size() / 2, text.size() - 6}) {
    const File cut(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(keep));
    const GzipEnd end = Gzip(cut, {.lead = 512 - cut.size() % 512, .trailing = 0});
    EXPECT_FALSE(end.whole) << keep;
    EXPECT_LE(end.size, std::ssize(cut)) << keep;
  }
  // The dynamic block's code definitions, damaged.
  File damaged = text;
  damaged[12] ^= 0x5A;
  EXPECT_FALSE(Gzip(damaged).whole);
  // A header match in random data is no file, and costs little.
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    const File noise = Concat(kHeader, testing::RandomBytes(8192, seed));
    EXPECT_FALSE(Gzip(noise).whole) << seed;
  }
  EXPECT_FALSE(Gzip(text, {.cancelled = true}).whole);
}

TEST(GzipWalk, LongStreamsAreReadFromTheDevice) {
  // 40 stored blocks of 65535 bytes: about 2.6 MB, almost all beyond the scan buffer.
  File stream;
  for (int i = 0; i < 40; ++i) {
    stream.insert(stream.end(), {static_cast<uint8_t>(i == 39), 0xFF, 0xFF, 0x00, 0x00});
    stream.resize(stream.size() + 65535, static_cast<uint8_t>(i));
  }
  const File file = Member(stream, 40 * 65535);
  const GzipEnd end = Gzip(file, {.lead = 7, .bufferBytes = 4096, .randomTrailing = true});
  EXPECT_TRUE(end.whole);
  EXPECT_EQ(end.size, std::ssize(file));
}

}  // namespace
}  // namespace quarvelin
