#include "formats/png/png_validator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "candidate.h"
#include "formats/crc32.h"

namespace quarvelin {
namespace {

using testing::Append;
using testing::File;
using Issues = std::vector<std::string>;

File Chunk(const std::string& type, const File& data, bool badCrc = false) {
  const File body = testing::Concat(type, data);
  return testing::Concat(testing::Be32(static_cast<uint32_t>(data.size())), body,
                         testing::Be32(Crc32(body) ^ (badCrc ? 1u : 0u)));
}

const File kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const File kIhdr = {0, 0, 0, 16, 0, 0, 0, 8, 8, 2, 0, 0, 0};  // 16 x 8, 8-bit RGB

// IHDR at 8, IDAT at 33, IEND at 65: 77 bytes.
File MinimalPng() {
  return testing::Concat(kSignature, Chunk("IHDR", kIhdr), Chunk("IDAT", File(20, 0x5A)),
                         Chunk("IEND", {}));
}

PngValidationResult Validate(const File& file, testing::Placement placement = {.lead = 300},
                             bool verifyCrc = true) {
  return testing::Validated(file, placement, [verifyCrc](RangeReader& read, const auto* cancel) {
    return ValidatePng(read, cancel, verifyCrc);
  });
}

TEST(PngValidator, MinimalFileIsCleanWhereverTheScanBufferEnds) {
  for (const size_t buffer : {SIZE_MAX, size_t{310}, size_t{340}, size_t{370}}) {
    for (const int32_t sector : {512, 4096}) {
      const auto r = Validate(
          MinimalPng(),
          {.lead = 300, .bufferBytes = buffer, .sectorSize = sector, .randomTrailing = true});
      testing::ExpectTrusted(r, 77);
      EXPECT_EQ(
          std::vector<uint32_t>({r.width, r.height, r.bitDepth, r.colorType, r.hasIdat, r.hasIend}),
          std::vector<uint32_t>({16, 8, 8, 2, 1, 1}));
    }
  }
}

TEST(PngValidator, CrcMismatchesCostTenEachAndNameTheChunk) {
  const File f =
      testing::Concat(kSignature, Chunk("IHDR", kIhdr, true), Chunk("IDAT", File(20, 1), true),
                      Chunk("IDAT", File(70'000, 2), true),  // too big to be checked
                      Chunk("IEND", {}, true));
  auto r = Validate(f);
  EXPECT_EQ(r.issues, (Issues{"CRC error in IHDR chunk at 8", "CRC error in IDAT chunk at 33",
                              "CRC error in IEND chunk at 70077"}));
  EXPECT_EQ(r.crcErrorCount, 3);
  EXPECT_EQ(r.confidence, 70);
  EXPECT_EQ(Validate(f, {.lead = 300}, false).confidence, 100);

  // Thousands of tiny bad chunks are all counted, but the findings stay bounded.
  File many = MinimalPng();
  many.resize(65);
  for (int i = 0; i < 1500; ++i) Append(many, Chunk("zzZz", {}, true));
  Append(many, Chunk("IEND", {}));
  r = Validate(many);
  EXPECT_EQ(r.crcErrorCount, 1500);
  EXPECT_EQ(r.issues.size(), 1000u);
}

TEST(PngValidator, FindingsInOrder) {
  const File textFirst = testing::Concat(kSignature, Chunk("tEXt", File(3, 'x')),
                                         Chunk("IHDR", kIhdr), Chunk("IEND", {}));
  EXPECT_EQ(Validate(textFirst).issues,
            (Issues{"First chunk is not IHDR", "No IDAT chunk - no image data",
                    "Invalid image dimensions"}));
  File hugeLength = MinimalPng();
  hugeLength[33] = 0x80;  // IDAT length 0x80000014
  EXPECT_EQ(Validate(hugeLength).issues,
            (Issues{"Invalid chunk length: 2147483668", "No IDAT chunk - no image data",
                    "No IEND chunk - file truncated"}));
  hugeLength[1] = 'X';
  EXPECT_EQ(Validate(hugeLength).issues, Issues{"Invalid PNG signature"});
  // Three bytes at the very end of the device.
  EXPECT_EQ(Validate({0x89, 'P', 'N'}, {.lead = 509, .trailing = 0}).issues,
            Issues{"Cannot read PNG signature"});
  EXPECT_EQ(Validate(MinimalPng(), {.lead = 300, .cancelled = true}).issues,
            (Issues{"No IDAT chunk - no image data", "No IEND chunk - file truncated",
                    "Invalid image dimensions"}));
}

TEST(PngValidator, CutOrCorruptFilesNeverHangOrGetASize) {
  const File full = MinimalPng();
  // The device ends where the file is cut (up to IEND's CRC: a readable IEND header ends the file).
  for (size_t cut = 8; cut < 73; ++cut) {
    const auto r = Validate(File(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)),
                            {.lead = 1024 - cut, .trailing = 0});
    EXPECT_EQ(r.size, 0) << cut;
    if (cut == 65) {
      EXPECT_EQ(r.issues[0], "Truncated chunk header at 65");
    }
  }
  // Zeroed free space after the cut: not a run of empty chunks to walk for megabytes.
  testing::Candidate candidate(File(full.begin(), full.begin() + 65),
                               {.bufferBytes = 4096, .trailing = 4u << 20});
  RangeReader reader = candidate.Reader();
  EXPECT_EQ(ValidatePng(reader, nullptr, true).issues,
            (Issues{"Invalid chunk type at 65", "No IEND chunk - file truncated"}));
  EXPECT_EQ(candidate.Disk()->reads.load(), 0);

  for (const size_t at : {size_t{8}, size_t{33}}) {
    for (const uint32_t length : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFF4u}) {
      File bad = full;
      testing::Overwrite(bad, at, testing::Be32(length));
      const auto r = Validate(bad, {.lead = 300, .randomTrailing = true});
      EXPECT_EQ(r.size, 0) << at << " " << length;
    }
  }
}

}  // namespace
}  // namespace quarvelin
