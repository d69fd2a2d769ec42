#include "formats/tiff/tiff_walk.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::File;
using testing::Placement;

// Where a file meets the scan: wholly in the scan buffer, or with only its first bytes there and
// random data after it either way.
const Placement kPlacements[] = {
    {.lead = 100, .randomTrailing = true},
    {.lead = 100, .bufferBytes = 612, .trailing = 70'000, .randomTrailing = true},
};

std::optional<int64_t> Walk(const File& file, Placement placement = kPlacements[0]) {
  return testing::Validated(file, placement, WalkTiff);
}

// One IFD entry: its value field holds the values themselves or, when they do not fit, an offset.
struct Field {
  uint16_t tag;
  uint16_t type;
  uint64_t count;
  File value;
};

// Lays out a TIFF of either byte order and either offset width, piece by piece.
class TiffFile {
 public:
  TiffFile(bool bigEndian, bool bigTiff) : bigEndian_(bigEndian), bigTiff_(bigTiff) {
    bytes_ = testing::Concat(bigEndian ? "MM" : "II", U16(bigTiff ? 43 : 42));
    if (bigTiff) testing::Append(bytes_, U16(8), U16(0));
    testing::Append(bytes_, Offset(0));
  }

  File U16(uint64_t v) const { return bigEndian_ ? testing::Be16(v) : testing::Le16(v); }
  File U32(uint64_t v) const { return bigEndian_ ? testing::Be32(v) : testing::Le32(v); }
  File U64(uint64_t v) const { return bigEndian_ ? testing::Be64(v) : testing::Le64(v); }
  File Offset(uint64_t v) const { return bigTiff_ ? U64(v) : U32(v); }
  // Values small enough for the value field, padded to its width.
  File Inline(File values) const { return testing::Padded(values, bigTiff_ ? 8 : 4); }

  uint64_t Add(const File& bytes) {
    const uint64_t at = bytes_.size();
    testing::Append(bytes_, bytes);
    return at;
  }
  uint64_t AddIfd(const std::vector<Field>& fields, uint64_t next = 0) {
    File ifd = bigTiff_ ? U64(fields.size()) : U16(fields.size());
    for (const auto& f : fields) {
      testing::Append(ifd, U16(f.tag), U16(f.type), bigTiff_ ? U64(f.count) : U32(f.count),
                      f.value);
    }
    testing::Append(ifd, Offset(next));
    return Add(ifd);
  }
  void SetFirstIfd(uint64_t at) { testing::Overwrite(bytes_, bigTiff_ ? 8 : 4, Offset(at)); }
  void Set(uint64_t at, const File& bytes) { testing::Overwrite(bytes_, at, bytes); }
  const File& Bytes() const { return bytes_; }

 private:
  bool bigEndian_;
  bool bigTiff_;
  File bytes_;
};

constexpr uint16_t kShort = 3, kLong = 4, kRational = 5, kLong8 = 16;

// A striped page with an EXIF IFD, in which the second strip lies furthest and an EXIF value
// after everything else decides the end.
File Striped(bool bigEndian, bool bigTiff, uint64_t* exifValueAt = nullptr) {
  TiffFile t(bigEndian, bigTiff);
  const uint64_t strip0 = t.Add(testing::RandomBytes(300, 1));
  const uint64_t counts = t.Add(testing::Concat(t.U32(300), t.U32(5'000), t.U32(200)));
  const uint64_t strip2 = t.Add(testing::RandomBytes(200, 2));
  const uint64_t offsets = t.Add(testing::Concat(t.U32(strip0), t.U32(0), t.U32(strip2)));
  const uint64_t exif = t.AddIfd({{33434, kRational, 2, t.Offset(0)}});
  const uint64_t page = t.AddIfd({{256, kShort, 1, t.Inline(t.U16(10))},
                                  {273, kLong, 3, t.Offset(offsets)},
                                  {279, kLong, 3, t.Offset(counts)},
                                  {34665, kLong, 1, t.Inline(t.U32(exif))}});
  const uint64_t strip1 = t.Add(testing::RandomBytes(5'000, 3));
  t.Set(offsets + 4, t.U32(strip1));
  const uint64_t rational = t.Add(testing::Concat(t.U32(1), t.U32(100), t.U32(1), t.U32(50)));
  t.Set(exif + (bigTiff ? 8 + 12 : 2 + 8), t.Offset(rational));
  t.SetFirstIfd(page);
  if (exifValueAt) *exifValueAt = exif + (bigTiff ? 8 + 12 : 2 + 8);
  return t.Bytes();
}

TEST(TiffWalk, ExactLengthInEitherByteOrderClassicOrBig) {
  for (const bool bigEndian : {false, true}) {
    for (const bool bigTiff : {false, true}) {
      const File f = Striped(bigEndian, bigTiff);
      for (const auto& placement : kPlacements) {
        EXPECT_EQ(Walk(f, placement), static_cast<int64_t>(f.size()))
            << bigEndian << bigTiff << ::testing::PrintToString(placement);
      }
      // Another TIFF right behind it is not taken in either.
      EXPECT_EQ(Walk(testing::Concat(f, f)), static_cast<int64_t>(f.size()));
    }
  }
}

TEST(TiffWalk, TilesSubIfdsPagesAndThumbnailsAllReachTheEnd) {
  for (const bool bigTiff : {false, true}) {
    TiffFile t(false, bigTiff);
    const uint16_t offsetType = bigTiff ? kLong8 : kLong;
    const auto offsetField = [&](uint64_t v) { return t.Inline(bigTiff ? t.U64(v) : t.U32(v)); };
    const uint64_t tile = t.Add(testing::RandomBytes(64, 4));
    const uint64_t thumbnail = t.Add(testing::RandomBytes(90, 5));
    const uint64_t reduced =
        t.AddIfd({{273, kLong, 1, t.Inline(t.U32(tile))}, {279, kShort, 1, t.Inline(t.U16(64))}});
    // A second page whose old-style JPEG thumbnail comes last.
    const uint64_t second = t.AddIfd(
        {{513, kLong, 1, t.Inline(t.U32(thumbnail))}, {514, kLong, 1, t.Inline(t.U32(90))}});
    // Sparse tiles (offset 0, length 0) are skipped.
    const uint64_t first =
        t.AddIfd({{324, offsetType, 2, t.Offset(0)},
                  {325, kShort, 2, t.Inline(testing::Concat(t.U16(64), t.U16(0)))},
                  {330, offsetType, 1, offsetField(reduced)}},
                 second);
    const uint64_t tiles = t.Add(bigTiff ? testing::Concat(t.U64(tile), t.U64(0))
                                         : testing::Concat(t.U32(tile), t.U32(0)));
    t.Set(first + (bigTiff ? 8 + 12 : 2 + 8), t.Offset(tiles));
    t.SetFirstIfd(first);
    const File base = t.Bytes();
    EXPECT_EQ(Walk(base), static_cast<int64_t>(base.size())) << bigTiff;

    // Moving any one range past the others moves the end with it: a tile, a sub-IFD's strip, the
    // second page's thumbnail.
    const uint64_t valueField = bigTiff ? 8 + 12 : 2 + 8;
    const std::pair<uint64_t, uint64_t> ranges[] = {
        {tiles, 64}, {reduced + valueField, 64}, {second + valueField, 90}};
    for (const auto& [field, length] : ranges) {
      TiffFile moved = t;
      const uint64_t far = moved.Add(testing::RandomBytes(300, 6));
      moved.Set(field, field == tiles && bigTiff ? moved.U64(far) : moved.U32(far));
      EXPECT_EQ(Walk(moved.Bytes()), static_cast<int64_t>(far + length)) << field;
    }
  }
}

TEST(TiffWalk, UnprovenWhenCutShortCancelledOrHostile) {
  uint64_t exifValue = 0;
  const File f = Striped(false, false, &exifValue);
  // The last strip runs past the end of the device.
  EXPECT_EQ(Walk(testing::Padded(f, 5'120), {.lead = 0, .trailing = 0}), std::nullopt);
  EXPECT_EQ(Walk(f, {.lead = 0, .trailing = 0}), static_cast<int64_t>(f.size()));
  EXPECT_EQ(Walk(f, {.lead = 100, .cancelled = true}), std::nullopt);

  const uint64_t entries = 8 + 300 + 12 + 200 + 12 + 18 + 2;  // the page IFD's first entry
  const std::pair<uint64_t, File> changes[] = {
      {4, testing::Le32(3)},  // the first IFD inside the header
      // Field types no writer uses: their values cannot be measured.
      {entries + 2, testing::Le16(14)},
      {entries + 2, testing::Le16(19)},
      // 2^32 doubles; a value ending past what 32-bit offsets reach.
      {exifValue - 6, testing::Concat(testing::Le16(12), testing::Le32(0xFFFF'FFFF))},
      {exifValue, testing::Le32(0xFFFF'FFFC)},
      // Strip offsets without as many byte counts leave strips unmeasured.
      {entries + 24 + 4, testing::Le32(2)},
  };
  for (const auto& [at, bytes] : changes) {
    File changed = f;
    testing::Overwrite(changed, at, bytes);
    EXPECT_EQ(Walk(changed), std::nullopt) << at;
  }
  // Four billion strips.
  File manyStrips = f;
  testing::Overwrite(manyStrips, entries + 12 + 4, testing::Le32(0xFFFF'FFFF));
  testing::Overwrite(manyStrips, entries + 24 + 4, testing::Le32(0xFFFF'FFFF));
  EXPECT_EQ(Walk(manyStrips), std::nullopt);

  // IFDs that point back at themselves or each other are walked once.
  TiffFile t(false, false);
  const uint64_t a = t.AddIfd({{256, kShort, 1, t.Inline(t.U16(1))}, {34665, kLong, 1, t.U32(0)}});
  const uint64_t b = t.AddIfd({{256, kShort, 1, t.Inline(t.U16(1))}}, a);
  t.Set(a + 2 + 12 + 8, t.U32(a));
  t.Set(a + 2 + 2 * 12, t.U32(b));
  t.SetFirstIfd(a);
  EXPECT_EQ(Walk(t.Bytes()), static_cast<int64_t>(t.Bytes().size()));

  // A BigTIFF offset beyond what 63 bits hold.
  TiffFile big(true, true);
  big.SetFirstIfd(big.AddIfd({{33434, kRational, 2, big.U64(0x8000'0000'0000'0000)}}));
  EXPECT_EQ(Walk(big.Bytes()), std::nullopt);
}

TEST(TiffWalk, RealFilesComeBackExact) {
  for (const std::string name :
       {"intel_little_endian_lzw.tif", "motorola_big_endian.tif", "two_pages_deflate.tif"}) {
    const File f = testing::Fixture(name);
    for (const auto& placement : kPlacements) {
      EXPECT_EQ(Walk(f, placement), static_cast<int64_t>(f.size())) << name;
    }
  }
}

}  // namespace
}  // namespace quarvelin
