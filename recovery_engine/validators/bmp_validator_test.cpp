#include "bmp_validator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Placement;
using File = std::vector<uint8_t>;
using Issues = std::vector<std::string>;

void PutLe(File& f, size_t at, uint32_t value, size_t bytes = 4) {
  for (size_t i = 0; i < bytes; ++i) f[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// An uncompressed bitmap with a 40-byte DIB header, its palette before the rows, and a size field
// that matches what it holds.
File Bmp(int32_t width, int32_t height, uint16_t bitsPerPixel) {
  const uint32_t offset = 54 + (bitsPerPixel <= 8 ? 4u << bitsPerPixel : 0);
  const auto row = static_cast<uint32_t>((bitsPerPixel * width + 31) / 32 * 4);
  const uint32_t size = offset + row * static_cast<uint32_t>(std::abs(height));
  File f(size, 0x5A);
  std::fill(f.begin(), f.begin() + 54, 0);
  f[0] = 'B';
  f[1] = 'M';
  PutLe(f, 2, size);
  PutLe(f, 10, offset);
  PutLe(f, 14, 40);
  PutLe(f, 18, static_cast<uint32_t>(width));
  PutLe(f, 22, static_cast<uint32_t>(height));
  PutLe(f, 26, 1u | uint32_t{bitsPerPixel} << 16);
  return f;
}

BmpValidationResult Validate(const File& file, Placement placement = {.lead = 300}) {
  testing::Candidate candidate(file, placement);
  RangeReader reader = candidate.Reader();
  return ValidateBmp(reader, nullptr);
}

TEST(BmpValidator, CleanImageBottomUpOrTopDown) {
  for (const int32_t height : {100, -100}) {
    for (const size_t buffer : {SIZE_MAX, size_t{320}}) {  // header in the scan buffer or not
      const auto r = Validate(Bmp(100, height, 24), {.lead = 300, .bufferBytes = buffer});
      EXPECT_EQ(r.size, 30'054);
      EXPECT_EQ(r.confidence, 100);
      EXPECT_EQ(r.issues, Issues{});
      EXPECT_EQ(std::vector<int64_t>({r.width, r.height, r.bitsPerPixel}),
                std::vector<int64_t>({100, 100, 24}));
    }
  }
}

TEST(BmpValidator, SizeFieldMustBePlausibleAndMatchThePixels) {
  File f = Bmp(100, 100, 8);  // rows of 100 bytes after 1,078 bytes of header and palette
  const auto withSize = [&f](uint32_t size) {
    PutLe(f, 2, size);
    return Validate(f);
  };
  EXPECT_EQ(withSize(0).issues, Issues{"Suspicious file size in header"});
  EXPECT_EQ(withSize(1'078 + 10'000 + 1'024).issues, Issues{});
  EXPECT_EQ(withSize(1'078 + 10'000 + 1'025).issues, Issues{"File size mismatch"});
  EXPECT_EQ(withSize(104'857'599).size, 104'857'599);
  EXPECT_EQ(withSize(104'857'600).issues,
            (Issues{"File size mismatch", "Suspicious file size in header"}));
  // Run-length coded pixels are far smaller than the rows they decode to.
  PutLe(f, 30, 1);
  EXPECT_EQ(withSize(1'078 + 2'000).issues, Issues{});
}

TEST(BmpValidator, DibHeaderSizeDecidesWhichChecksRun) {
  // An old core-header file: the pixels right after its 26 header bytes, the size from the field.
  File f = Bmp(100, 100, 24);
  PutLe(f, 10, 26);
  PutLe(f, 14, 12);
  auto r = Validate(f);
  EXPECT_EQ(r.issues, Issues{});
  EXPECT_EQ(r.size, 30'054);
  EXPECT_EQ(r.width, 0);

  PutLe(f, 10, 54);
  PutLe(f, 14, 64);
  PutLe(f, 18, 0);
  r = Validate(f);
  EXPECT_EQ(r.issues,
            (Issues{"Unusual DIB header size: 64", "Invalid width: 0", "File size mismatch"}));
  EXPECT_EQ(r.confidence, 45);
  PutLe(f, 14, 16);
  EXPECT_EQ(Validate(f).issues, Issues{"Unusual DIB header size: 16"});
}

TEST(BmpValidator, HostileFieldsAreReportedNotTrusted) {
  File f = Bmp(100, 100, 24);
  PutLe(f, 6, 1);
  PutLe(f, 10, 10);
  PutLe(f, 18, static_cast<uint32_t>(-5));
  PutLe(f, 22, 0x80000000u);  // the most negative height
  PutLe(f, 28, 65'535, 2);
  auto r = Validate(f);
  EXPECT_EQ(r.issues, (Issues{"Reserved bytes are non-zero", "Invalid data offset",
                              "Invalid width: -5", "Invalid height: 2147483648",
                              "Invalid bits per pixel: 65535", "File size mismatch"}));
  EXPECT_EQ(r.height, INT32_MAX);
  EXPECT_EQ(r.size, 30'054);
  // Rows times height far beyond 64 bits: a mismatch, not an overflow.
  PutLe(f, 18, 0x7FFFFFFFu);
  PutLe(f, 22, 0x7FFFFFFFu);
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
