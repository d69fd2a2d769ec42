#include "formats/bmp/bmp_validator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::File;
using testing::Le16;
using testing::Le32;
using testing::Overwrite;
using Issues = std::vector<std::string>;

// An uncompressed bitmap with a 40-byte DIB header, its palette before the rows, and a size field
// that matches what it holds.
File Bmp(int32_t width, int32_t height, uint16_t bitsPerPixel) {
  const uint32_t offset = 54 + (bitsPerPixel <= 8 ? 4u << bitsPerPixel : 0);
  const auto row = static_cast<uint32_t>((bitsPerPixel * width + 31) / 32 * 4);
  const uint32_t size = offset + row * static_cast<uint32_t>(std::abs(height));
  return testing::Padded(
      testing::Concat("BM", Le32(size), Le32(0), Le32(offset), Le32(40),
                      Le32(static_cast<uint32_t>(width)), Le32(static_cast<uint32_t>(height)),
                      Le16(1), Le16(bitsPerPixel), File(24, 0)),
      size, 0x5A);
}

BmpValidationResult Validate(const File& file, testing::Placement placement = {.lead = 300}) {
  return testing::Validated(file, placement, ValidateBmp);
}

TEST(BmpValidator, CleanImageBottomUpOrTopDown) {
  for (const int32_t height : {100, -100}) {
    for (const size_t buffer : {SIZE_MAX, size_t{320}}) {  // header in the scan buffer or not
      const auto r = Validate(Bmp(100, height, 24), {.lead = 300, .bufferBytes = buffer});
      testing::ExpectTrusted(r, 30'054);
      EXPECT_EQ(std::vector<int64_t>({r.width, r.height, r.bitsPerPixel}),
                std::vector<int64_t>({100, 100, 24}));
    }
  }
}

TEST(BmpValidator, SizeFieldMustBePlausibleAndMatchThePixels) {
  File f = Bmp(100, 100, 8);  // rows of 100 bytes after 1,078 bytes of header and palette
  const auto withSize = [&f](uint32_t size) {
    Overwrite(f, 2, Le32(size));
    return Validate(f);
  };
  EXPECT_EQ(withSize(0).issues, Issues{"Suspicious file size in header"});
  EXPECT_EQ(withSize(1'078 + 10'000 + 1'024).issues, Issues{});
  EXPECT_EQ(withSize(1'078 + 10'000 + 1'025).issues, Issues{"File size mismatch"});
  EXPECT_EQ(withSize(104'857'599).size, 104'857'599);
  EXPECT_EQ(withSize(104'857'600).issues,
            (Issues{"File size mismatch", "Suspicious file size in header"}));
  // Run-length coded pixels are far smaller than the rows they decode to.
  Overwrite(f, 30, Le32(1));
  EXPECT_EQ(withSize(1'078 + 2'000).issues, Issues{});
}

TEST(BmpValidator, DibHeaderSizeDecidesWhichChecksRun) {
  // An old core-header file: the pixels right after its 26 header bytes, the size from the field.
  File f = Bmp(100, 100, 24);
  Overwrite(f, 10, Le32(26));
  Overwrite(f, 14, Le32(12));
  auto r = Validate(f);
  EXPECT_EQ(r.issues, Issues{});
  EXPECT_EQ(r.size, 30'054);
  EXPECT_EQ(r.width, 0);

  Overwrite(f, 10, Le32(54));
  Overwrite(f, 14, Le32(64));
  Overwrite(f, 18, Le32(0));
  r = Validate(f);
  EXPECT_EQ(r.issues,
            (Issues{"Unusual DIB header size: 64", "Invalid width: 0", "File size mismatch"}));
  EXPECT_EQ(r.confidence, 45);
  Overwrite(f, 14, Le32(16));
  EXPECT_EQ(Validate(f).issues, Issues{"Unusual DIB header size: 16"});
}

TEST(BmpValidator, HostileFieldsAreReportedNotTrusted) {
  File f = Bmp(100, 100, 24);
  Overwrite(f, 6, Le32(1));
  Overwrite(f, 10, Le32(10));
  Overwrite(f, 18, Le32(static_cast<uint32_t>(-5)));
  Overwrite(f, 22, Le32(0x80000000u));  // the most negative height
  Overwrite(f, 28, Le16(65'535));
  auto r = Validate(f);
  EXPECT_EQ(r.issues, (Issues{"Reserved bytes are non-zero", "Invalid data offset",
                              "Invalid width: -5", "Invalid height: 2147483648",
                              "Invalid bits per pixel: 65535", "File size mismatch"}));
  EXPECT_EQ(r.height, INT32_MAX);
  EXPECT_EQ(r.size, 30'054);
  // Rows times height far beyond 64 bits: a mismatch, not an overflow.
  Overwrite(f, 18, Le32(0x7FFFFFFFu));
  Overwrite(f, 22, Le32(0x7FFFFFFFu));
  EXPECT_EQ(Validate(f).issues.back(), "File size mismatch");

  f[1] = 'N';
  r = Validate(f);
  EXPECT_EQ(r.issues, Issues{"Invalid BMP signature"});
  // Only 40 header bytes before the device ends.
  r = Validate(File(f.begin(), f.begin() + 40), {.lead = 512 - 40, .trailing = 0});
  EXPECT_EQ(r.issues, Issues{"Cannot read BMP header"});
}

}  // namespace
}  // namespace quarvelin
