#include "formats/tiff/tiff_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "candidate.h"
#include "fixtures.h"
#include "signatures.h"

namespace quarvelin {
namespace {

// How a Sony maker note starts after its "SONY DSC" text's first word.
constexpr uint8_t kSonyNote[] = {'S', 'O', 'N', 'Y', 0};

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

// A RAW's skeleton, little-endian: IFD0 (Make, SubIFDs, EXIF, DNGVersion or Software), a SubIFD
// whose strip holds the sensor data, an EXIF IFD that may carry a maker note.
struct RawOptions {
  std::string make = "NIKON CORPORATION";
  bool cfa = true;  // the SubIFD's photometric interpretation is a colour filter array
  bool dng = false;
  bool cr2Header = false;
  File makerNote = {};
  uint64_t stripAt = 0;  // where the strip claims to lie, when not where it does
};

File Raw(const RawOptions& o, TiffFile* out = nullptr) {
  TiffFile t(false, false);
  if (o.cr2Header) t.Add(testing::Concat("CR", File{2, 0}, t.U32(0)));
  const uint64_t ifd0 = t.AddIfd({{271, 2, o.make.size() + 1, t.U32(0)},
                                  {330, kLong, 1, t.U32(0)},
                                  {34665, kLong, 1, t.U32(0)},
                                  o.dng ? Field{50706, 1, 4, File{1, 4, 0, 0}}
                                        : Field{305, 2, 4, testing::Concat("raw", File{0})}});
  t.SetFirstIfd(ifd0);
  const auto field = [&](uint64_t ifd, uint64_t entry) { return ifd + 2 + 12 * entry + 8; };
  File make(o.make.begin(), o.make.end());
  make.push_back(0);
  t.Set(field(ifd0, 0), t.U32(t.Add(make)));
  const uint64_t strip = t.Add(testing::RandomBytes(600, 7));
  const uint64_t sub = t.AddIfd({{262, kShort, 1, t.Inline(t.U16(o.cfa ? 32803 : 2))},
                                 {273, kLong, 1, t.Inline(t.U32(o.stripAt ? o.stripAt : strip))},
                                 {279, kLong, 1, t.Inline(t.U32(600))}});
  t.Set(field(ifd0, 1), t.U32(sub));
  std::vector<Field> exif = {{34855, kShort, 1, t.Inline(t.U16(200))}};
  if (!o.makerNote.empty()) {
    exif.push_back({37500, 7, o.makerNote.size(), t.U32(t.Add(o.makerNote))});
  }
  t.Set(field(ifd0, 2), t.U32(t.AddIfd(exif)));
  if (out) *out = t;
  return t.Bytes();
}

TiffWalk WalkFile(const File& file, Placement placement = kPlacements[0]) {
  return testing::Validated(file, placement, WalkTiffFile);
}

std::string KindOf(const File& file) {
  const TiffWalk walk = WalkFile(file);
  EXPECT_EQ(walk.status, TiffWalk::Status::kWhole);
  EXPECT_EQ(walk.end, static_cast<int64_t>(file.size()));
  return std::string(TiffKindExtension(walk.kind));
}

TEST(TiffKind, DngFirstThenTheMakersHeadersThenTheMakeOfSensorData) {
  EXPECT_EQ(KindOf(Raw({})), "nef");
  EXPECT_EQ(KindOf(Raw({.make = "SONY"})), "arw");
  // A DNG keeps the camera's Make; DNGVersion wins over Canon's header too.
  EXPECT_EQ(KindOf(Raw({.make = "SONY", .dng = true})), "dng");
  EXPECT_EQ(KindOf(Raw({.make = "Canon", .dng = true, .cr2Header = true})), "dng");
  EXPECT_EQ(KindOf(Raw({.make = "Canon", .cr2Header = true})), "cr2");
  // No header of Canon's: a TIFF, whatever its Make.
  EXPECT_EQ(KindOf(Raw({.make = "Canon"})), "tif");
  // A camera's own TIFF or an EXIF block holds no sensor data.
  EXPECT_EQ(KindOf(Raw({.cfa = false})), "tif");
  EXPECT_EQ(KindOf(Raw({.make = "SONY", .cfa = false})), "tif");
  EXPECT_EQ(KindOf(Raw({.make = "Nikon Scan"})), "tif");
  // Nikon's maker note names the file when the Make does not.
  EXPECT_EQ(KindOf(Raw({.make = "Unknown", .makerNote = testing::Concat("Nikon", File(20, 0))})),
            "nef");
  // Olympus's and Panasonic's headers in place of 42.
  for (const auto& [magic, kind] : {std::pair{"RO", "orf"}, {"RS", "orf"}, {"U\0", "rw2"}}) {
    File f = Raw({.make = "Foo Corp", .cfa = false});
    testing::Overwrite(f, 2, File(magic, magic + 2));
    EXPECT_EQ(KindOf(f), kind) << magic;
  }
}

TEST(TiffKind, RawEndsAtItsMakerNotesValuesAndWithinACamerasReach) {
  // A "SONY DSC" maker-note IFD whose one out-of-line value lies after everything else.
  TiffFile base(false, false);
  const File note =
      testing::Concat("SONY DSC ", File(3, 0), testing::Le16(1), testing::Le16(0x2001),
                      testing::Le16(7), testing::Le32(100), testing::Le32(0), testing::Le32(0));
  const File plain = Raw({.make = "SONY", .makerNote = note}, &base);
  EXPECT_EQ(WalkFile(plain).end, static_cast<int64_t>(plain.size()));
  TiffFile t = base;
  const uint64_t preview = t.Add(testing::RandomBytes(100, 8));
  // The value field of the note's one entry: after the prefix, the count and the entry's head.
  const auto at = std::search(t.Bytes().begin(), t.Bytes().end(), note.begin(), note.end());
  ASSERT_NE(at, t.Bytes().end());
  t.Set(static_cast<uint64_t>(at - t.Bytes().begin()) + 12 + 2 + 8, t.U32(preview));
  EXPECT_EQ(WalkFile(t.Bytes()).end, static_cast<int64_t>(t.Bytes().size()));
  EXPECT_EQ(TiffKindExtension(WalkFile(t.Bytes()).kind), "arw");
  // A note with an entry no one can measure counts only as its own bytes.
  TiffFile odd = t;
  odd.Set(static_cast<uint64_t>(at - t.Bytes().begin()) + 12 + 2 + 2, odd.U16(0));
  EXPECT_EQ(WalkFile(odd.Bytes()).end, static_cast<int64_t>(preview));
  // A TIFF's maker note is not walked.
  File tiff = t.Bytes();
  testing::Overwrite(tiff,
                     static_cast<uint64_t>(std::search(tiff.begin(), tiff.end(),
                                                       std::begin(kSonyNote), std::end(kSonyNote)) -
                                           tiff.begin()),
                     File{'S', 'U', 'N', 'Y'});
  EXPECT_EQ(WalkFile(tiff).end, static_cast<int64_t>(preview));

  // A strip 600 MiB in: a TIFF may reach that far (and is cut here); a camera's RAW does not.
  const File far = Raw({.stripAt = 600 << 20});
  EXPECT_EQ(WalkFile(far).status, TiffWalk::Status::kBroken);
  EXPECT_EQ(WalkFile(Raw({.cfa = false, .stripAt = 600 << 20})).status, TiffWalk::Status::kCut);

  // A SubIFD chained back to IFD0 is walked once.
  TiffFile loop(false, false);
  const File looped = Raw({}, &loop);
  const File subIfd = {3,    0, 0x06,
                       0x01, 3, 0};  // three entries, the first PhotometricInterpretation
  const auto sub = std::search(looped.begin(), looped.end(), subIfd.begin(), subIfd.end());
  ASSERT_NE(sub, looped.end());
  loop.Set(static_cast<uint64_t>(sub - looped.begin()) + 2 + 3 * 12, loop.U32(8));
  EXPECT_EQ(KindOf(loop.Bytes()), "nef");
}

// How the scan sizes RAWs that are cut short, broken, or only look like one.
TEST(TiffKind, CutBrokenAndFalseRawsAreSizedAsFarAsTheyHoldTogether) {
  const auto carve = [](const File& file, const std::string& extension, Placement at) {
    for (const auto& row : LoadSignatures({extension})) {
      if (file.size() >= row.header.size() &&
          std::equal(row.header.begin(), row.header.end(), file.begin())) {
        return testing::Candidate(file, at).Carve(row);
      }
    }
    return CarvedSize{.size = -1};
  };
  // Cut 2000 bytes short at the device's end: as far as the structure reaches, not proven.
  const File nef = testing::Fixture("nikon_big_endian_12bit.nef");
  const File cut(nef.begin(), nef.end() - 2000);
  CarvedSize size = carve(cut, "nef", {.lead = 0, .trailing = 0});
  EXPECT_EQ(size.size, static_cast<int64_t>(nef.size()));
  EXPECT_FALSE(size.proven || size.estimated);
  EXPECT_EQ(size.extension, "nef");
  // A strip beyond a camera's reach: estimated, as a TIFF whose walk fails.
  size = carve(Raw({.stripAt = 600 << 20}), "nef", {});
  EXPECT_TRUE(size.estimated && !size.proven);
  EXPECT_EQ(size.extension, "nef");
  // Olympus's header in text ("IMMORTAL") and Panasonic's before bytes that are no IFD.
  File text(2000, 'A');
  testing::Overwrite(text, 0, File{'M', 'M', 'O', 'R', 'T', 'A', 'L', ' ', 'S', 'O', 'U', 'L'});
  EXPECT_EQ(carve(text, "orf", {.randomTrailing = true}).size, 0);
  File rw2 = testing::Concat("IIU", File{0}, testing::Le32(8), testing::RandomBytes(3000, 9));
  EXPECT_EQ(carve(rw2, "rw2", {.randomTrailing = true}).size, 0);
  // Panasonic's raw data at an offset no strip measures: its length is unknown.
  const File panasonic = testing::Fixture("panasonic_raw_data_last.rw2");
  File unmeasured = panasonic;
  const File counts = testing::Concat(testing::Le16(279), testing::Le16(4), testing::Le32(1));
  const auto entry =
      std::search(unmeasured.begin(), unmeasured.end(), counts.begin(), counts.end());
  ASSERT_NE(entry, unmeasured.end());
  testing::Overwrite(unmeasured, static_cast<uint64_t>(entry - unmeasured.begin()) + 8,
                     testing::Le32(0));
  EXPECT_EQ(WalkFile(unmeasured).status, TiffWalk::Status::kBroken);
  EXPECT_TRUE(carve(unmeasured, "rw2", {}).estimated);
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
