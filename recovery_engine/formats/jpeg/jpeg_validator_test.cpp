#include "formats/jpeg/jpeg_validator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Append;
using testing::Concat;
using testing::File;
using testing::Placement;
using Issues = std::vector<std::string>;

const File kSoi = {0xFF, 0xD8};
const File kEoi = {0xFF, 0xD9};

// A marker segment; its length field counts itself.
File Segment(uint8_t marker, const File& payload) {
  return Concat(File{0xFF, marker}, testing::Be16(static_cast<uint16_t>(payload.size() + 2)),
                payload);
}

// Scan data as an encoder writes it: every FF stuffed with 00, a restart marker now and then.
File ScanData(size_t bytes) {
  File out;
  for (const uint8_t b : testing::RandomBytes(bytes, 7)) {
    out.push_back(b);
    if (b == 0xFF) out.push_back(0x00);
    if (out.size() % 500 == 0) Append(out, File{0xFF, uint8_t(0xD0 + out.size() / 500 % 8)});
  }
  return out;
}

// SOI, frame header of 640 x 480, one scan of 3000 bytes, EOI.
File BaselineJpeg() {
  return Concat(kSoi, Segment(0xC0, {8, 0x01, 0xE0, 0x02, 0x80, 1, 1, 0x11, 0}),
                Segment(0xDA, {1, 1, 0, 0, 63, 0}), File(3000, 0x55), kEoi);
}

// What a camera writes: JFIF, Exif carrying a thumbnail, an ICC profile, tables, fill bytes
// before the frame header, and a progressive pair of scans with a table between them.
File CameraJpeg() {
  const File thumb = Concat(kSoi, Segment(0xC0, {8, 0, 16, 0, 16, 1, 1, 0x11, 0}),
                            Segment(0xDA, {1, 1, 0, 0, 63, 0}), ScanData(300), kEoi);
  return Concat(kSoi, Segment(0xE0, Concat("JFIF", File{0, 1, 2, 0, 0, 1, 0, 1, 0, 0})),
                Segment(0xE1, Concat("Exif", File{0, 0}, thumb)),
                Segment(0xE2, Concat("ICC_PROFILE", File{0, 1, 1})), Segment(0xDB, File(65, 1)),
                File{0xFF, 0xFF, 0xFF}, Segment(0xC2, {8, 0x0B, 0xB8, 0x0F, 0xA0, 1, 1, 0x11, 0}),
                Segment(0xC4, File(30, 2)), Segment(0xDA, {1, 1, 0, 0, 0, 0}), ScanData(5000),
                Segment(0xC4, File(30, 3)), Segment(0xDA, {1, 1, 0, 1, 63, 0}),
                ScanData(70000),  // longer than one read window
                kEoi);
}

JpegValidationResult Validate(const File& file, Placement placement = {.lead = 100}) {
  return testing::Validated(file, placement, ValidateJpeg);
}

TEST(JpegValidator, CameraFileIsSizedAtItsOwnEoiWhereverTheScanMeetsIt) {
  const File file = CameraJpeg();
  // Whole file in the buffer; buffer ending inside it; device sectors of 4096 with random bytes
  // after the file; and the file ending at the device's very end, where a full read window fails.
  for (const Placement placement :
       {Placement{.lead = 100}, Placement{.lead = 700, .bufferBytes = 1024},
        Placement{.lead = 5000, .bufferBytes = 9000, .sectorSize = 4096, .randomTrailing = true},
        Placement{.lead = 512 - file.size() % 512, .bufferBytes = 2048, .trailing = 0}}) {
    const auto r = Validate(file, placement);
    testing::ExpectTrusted(r, std::ssize(file));
    EXPECT_EQ(r.width, 4000);
    EXPECT_EQ(r.height, 3000);
    EXPECT_TRUE(r.hasExif && r.hasIccProfile);
    EXPECT_FALSE(r.hasEmbeddedJpeg) << "the thumbnail is skipped with its APP1 segment";
  }
  EXPECT_EQ(Validate(file, {.cancelled = true}).issues[0],
            "EOI marker not found - file may be truncated");
}

TEST(JpegValidator, BareStreamsArePenalisedAndOthersRejected) {
  const auto bare = Validate({0xFF, 0xD8, 0xFF, 0xD9});
  EXPECT_EQ(bare.size, 4);
  EXPECT_EQ(bare.confidence, 15);
  EXPECT_EQ(bare.issues, (Issues{"No SOS marker found - no image data",
                                 "Could not determine image dimensions", "File unusually small"}));

  const auto notJpeg = Validate({0xFF, 0xD9, 0xFF, 0xD8});
  EXPECT_EQ(notJpeg.confidence, 0);
  EXPECT_EQ(notJpeg.issues, Issues{"Invalid SOI marker"});
}

TEST(JpegValidator, NestedImagesMetInTheWalkAreCounted) {
  File body = BaselineJpeg();
  body.erase(body.end() - 2, body.end());  // drop the EOI
  File nested = body;
  Append(nested, File{0xFF, 0xD8, 0x12, 0xFF, 0xD9, 0x34, 0xFF, 0xD9});
  const auto closed = Validate(nested);
  EXPECT_EQ(closed.size, static_cast<int64_t>(nested.size()));
  EXPECT_EQ(closed.confidence, 100);
  EXPECT_TRUE(closed.hasEmbeddedJpeg);

  Append(body, File{0xFF, 0xD8, 0x12, 0x34});
  const auto open = Validate(body);
  EXPECT_EQ(open.size, 0);
  EXPECT_EQ(open.confidence, 60);
  EXPECT_EQ(open.issues, (Issues{"EOI marker not found - file may be truncated",
                                 "Unclosed embedded JPEG detected"}));
}

TEST(JpegValidator, DamagedMarkersAreReportedAndTheWalkGoesOn) {
  // Stray bytes after the frame header: one sync loss, resumed at a restart marker.
  File stray = BaselineJpeg();
  stray.insert(stray.begin() + 15, {0x12, 0xFF, 0x00, 0xFF, 0xD3});
  const auto resynced = Validate(stray);
  EXPECT_EQ(resynced.size, static_cast<int64_t>(stray.size()));
  EXPECT_EQ(resynced.issues, Issues{"Marker sync lost at offset 15"});

  for (const uint8_t length : {uint8_t{0}, uint8_t{1}}) {
    const auto r = Validate({0xFF, 0xD8, 0xFF, 0xE0, 0x00, length, 0xFF, 0xD9});
    EXPECT_EQ(r.confidence, 0);
    EXPECT_EQ(
        r.issues,
        (Issues{"Invalid marker length at 2", "EOI marker not found - file may be truncated",
                "No SOS marker found - no image data", "Could not determine image dimensions"}));
  }

  // Garbage that loses the sync every five bytes is walked to its end, not reported without bound.
  File garbage = kSoi;
  for (int i = 0; i < 1000; ++i) Append(garbage, File{0xFF, 0xE0, 0x00, 0x02, 0x00});
  Append(garbage, kEoi);
  const auto noisy = Validate(garbage);
  EXPECT_EQ(noisy.size, static_cast<int64_t>(garbage.size()));
  EXPECT_EQ(std::count_if(noisy.issues.begin(), noisy.issues.end(),
                          [](const std::string& s) { return s.starts_with("Marker sync lost"); }),
            100);
}

TEST(JpegValidator, TruncatedFilesNeverGetAFalseEnd) {
  const File file = CameraJpeg();
  for (size_t cut = 2; cut < file.size(); cut += 611) {
    const auto r = Validate(File(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut)),
                            {.lead = 3, .bufferBytes = 4096});
    EXPECT_EQ(r.size, 0) << cut;
    EXPECT_LE(r.confidence, 70) << cut;
  }
}

TEST(JpegValidator, ErasedFlashAfterTheHeaderIsSkippedInWindows) {
  // Erased flash memory reads as FF.
  const File file = testing::Padded(Concat(kSoi, Segment(0xE0, File(14, 0))), 8 << 20, 0xFF);
  testing::Candidate candidate(file, {.bufferBytes = 4096});
  RangeReader reader = candidate.Reader();
  const auto r = ValidateJpeg(reader, nullptr);
  EXPECT_EQ(r.size, 0);
  EXPECT_LT(candidate.Disk()->reads.load(), 1000) << "not one device read per fill byte";
}

}  // namespace
}  // namespace quarvelin
