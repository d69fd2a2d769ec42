#include "formats/zip/zip_validator.h"

#include <gtest/gtest.h>

#include <string>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Concat;
using testing::File;
using testing::Le16;
using testing::Le32;
using testing::Placement;
using Issues = std::vector<std::string>;
constexpr size_t kMiB = 1 << 20;

// An archive as far as sizing looks at it: a local header, `body` bytes of entries, a central
// directory of `entries` records and the end record that names it.
File MakeZip(size_t body, uint16_t entries = 1, const std::string& comment = "") {
  const auto directory = static_cast<uint32_t>(4 + body);
  return Concat("PK\x03\x04", File(body, 'd'),
                testing::Padded(Concat("PK\x01\x02"), 46u * entries, 'c'), "PK\x05\x06", Le32(0),
                Le16(entries), Le16(entries), Le32(46u * entries), Le32(directory),
                Le16(static_cast<uint16_t>(comment.size())), comment);
}

ZipValidationResult Validate(const File& file, Placement placement = {.trailing = 3 * kMiB}) {
  return testing::Validated(file, placement, ValidateZip);
}

TEST(ZipValidator, SizesAnArchiveByItsEndRecordAndComment) {
  // The second one's end record straddles the seam between the first two megabyte reads.
  for (const auto& zip : {MakeZip(3000, 2, "ten bytes!"), MakeZip(kMiB - 70, 2)}) {
    for (const Placement p :
         {Placement{.lead = 700, .trailing = 3 * kMiB, .randomTrailing = true},
          Placement{.lead = 700, .bufferBytes = 1500, .sectorSize = 4096, .trailing = 3 * kMiB}}) {
      const auto r = Validate(zip, p);
      EXPECT_EQ(std::pair(r.size, r.confidence), std::pair(std::ssize(zip), 100));
      EXPECT_EQ(r.entryCount, 2);
      EXPECT_TRUE(r.hasEndOfCentralDirectory && r.centralDirectoryVerified && r.issues.empty());
    }
  }
}

TEST(ZipValidator, TwoArchivesBackToBackAreEachSizedOnTheirOwn) {
  const auto first = MakeZip(500), second = MakeZip(900, 3, "note");
  EXPECT_EQ(Validate(Concat(first, second)).size, std::ssize(first));
  EXPECT_EQ(Validate(Concat(second, first)).size, std::ssize(second));

  // With no record whose directory ends where the record starts, the last record within reach
  // decides.
  auto odd = first;
  odd[odd.size() - 10] ^= 1;  // directory size
  const auto r = Validate(Concat(odd, second));
  EXPECT_EQ(std::pair(r.size, r.entryCount), std::pair(std::ssize(odd) + std::ssize(second), 3));
}

TEST(ZipValidator, AZip64ArchiveEndsAtItsOwnRecords) {
  // As `zip -fz` writes it: the classic record's fields hold markers and a ZIP64 end record with
  // its locator stands before it; a second archive follows within reach.
  const auto body = MakeZip(600);
  const File directory(body.begin() + 604, body.end() - 22);
  const File zip64 =
      Concat(File(body.begin(), body.begin() + 604), directory, "PK\x06\x06", testing::Le64(44),
             File(12, 0), testing::Le64(1), testing::Le64(1), testing::Le64(directory.size()),
             testing::Le64(604), "PK\x06\x07", Le32(0), testing::Le64(604 + directory.size()),
             Le32(1), "PK\x05\x06", Le32(0), Le16(0xFFFF), Le16(0xFFFF), Le32(0xFFFFFFFF),
             Le32(0xFFFFFFFF), Le16(0));
  const auto r = Validate(Concat(zip64, MakeZip(900)));
  EXPECT_EQ(r.size, std::ssize(zip64));
  EXPECT_TRUE(r.hasEndOfCentralDirectory);
}

TEST(ZipValidator, ReportsDamagedOrForeignData) {
  File empty = {'P', 'K', 5, 6};
  empty.resize(22);
  const auto e = Validate(empty);
  EXPECT_EQ(std::pair(e.size, e.confidence), std::pair(int64_t{22}, 100));
  EXPECT_TRUE(e.hasEndOfCentralDirectory && !e.centralDirectoryVerified && e.issues.empty());

  const auto foreign = Validate({'M', 'Z', 3, 4, 0, 0});
  EXPECT_EQ(std::pair(foreign.size, foreign.confidence), std::pair(int64_t{0}, 0));
  EXPECT_EQ(foreign.issues, Issues{"Invalid ZIP signature"});
  EXPECT_EQ(Validate({}, {.trailing = 0}).issues, Issues{"Invalid ZIP signature"});

  const auto zip = MakeZip(5000, 1, "comment");
  auto spanned = zip, forward = zip, huge = zip;
  testing::Overwrite(spanned, 2, File{7, 8});
  forward[zip.size() - 12] = 0x40;                   // directory offset past the end record
  std::fill(huge.end() - 19, huge.end() - 7, 0xFF);  // every count, size and offset at its maximum
  const auto s = Validate(spanned), f = Validate(forward);
  EXPECT_EQ(std::pair(s.issues, s.confidence), std::pair(Issues{"Not a local file header"}, 80));
  EXPECT_EQ(std::pair(f.issues, f.size),
            std::pair(Issues{"Central directory not verified"}, std::ssize(zip)));
  const auto h = Validate(huge);
  EXPECT_EQ(std::pair(h.size, h.entryCount), std::pair(std::ssize(zip) - 7 + 0xFFFF, 0xFFFF));

  const Issues noEnd{"No End of Central Directory found", "Central directory not verified"};
  EXPECT_EQ(Validate(zip, {.trailing = 3 * kMiB, .cancelled = true}).issues, noEnd);
  for (size_t cut = 4; cut < zip.size(); cut += 97) {
    const auto r = Validate(File(zip.begin(), zip.begin() + static_cast<ptrdiff_t>(cut)));
    if (cut < zip.size() - 29) {
      EXPECT_EQ(std::pair(r.issues, r.confidence), std::pair(noEnd, 40));
    }
    EXPECT_LE(r.size, std::ssize(zip));
  }
}

}  // namespace
}  // namespace quarvelin
