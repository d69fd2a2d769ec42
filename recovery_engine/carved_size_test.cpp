#include "carved_size.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "candidate.h"
#include "fixtures.h"
#include "formats/crc32.h"
#include "formats/format.h"
#include "formats/registry.h"
#include "header_search.h"

namespace quarvelin {
namespace {

using testing::Candidate;
using testing::Concat;
using testing::ExpectTrusted;
using testing::File;
using testing::Fixture;
using testing::Le32;
using testing::Placement;
using Issues = std::vector<std::string>;
using Result = std::pair<int64_t, bool>;  // size, estimated

const auto Measured = [](int64_t size) { return Result{size, false}; };
const auto Estimated = [](int64_t size) { return Result{size, true}; };
constexpr uint32_t kMiB = 1'048'576;
// Where the scan meets a crafted file unless a test says otherwise: mid-sector in the second chunk.
constexpr Placement kScanned{.lead = 700, .chunkStart = 1};

// True when the row's format finds files no header starts, and `file` passes its test.
bool FoundAtSectorStart(const FileSignature& row, const File& file) {
  return row.format->startsUnheaded != nullptr && row.extension == row.format->unheadedType &&
         row.format->startsUnheaded(file);
}

// The first table row for `extension` (any, when empty) whose header the file starts with; else
// the first whose format's sector-start test it passes.
const FileSignature* FindRow(const std::string& extension, const File& file) {
  for (const bool unheaded : {false, true}) {
    for (const auto& row : SignatureTable()) {
      if ((extension.empty() || row.extension == extension) &&
          (unheaded ? FoundAtSectorStart(row, file)
                    : HeaderMatches(file, 0, row.header, row.ignoreCase))) {
        return &row;
      }
    }
  }
  return nullptr;
}

bool StartsWithHeader(const File& file) {
  return std::any_of(SignatureTable().begin(), SignatureTable().end(), [&](const auto& row) {
    return HeaderMatches(file, 0, row.header, row.ignoreCase);
  });
}

const FileSignature& Row(const std::string& extension, const File& file) {
  if (const FileSignature* row = FindRow(extension, file)) return *row;
  throw std::runtime_error("no " + extension + " row for this file");
}

Result Carve(Candidate& candidate, const FileSignature& row) {
  const CarvedSize r = candidate.Carve(row);
  return {r.size, r.estimated};
}

Result Carve(const std::string& extension, const File& file,
             const Placement& placement = kScanned) {
  Candidate candidate(file, placement);
  return Carve(candidate, Row(extension, file));
}

int64_t LastOf(const File& file, const std::string& text) {
  const auto it = std::find_end(file.begin(), file.end(), text.begin(), text.end());
  return it == file.end() ? -1 : it - file.begin();
}

// Where the scan may meet a real file: at a sector start with the device ending soon after it;
// mid-sector with zeroed space or other data after it; across the scan buffer's end, with the
// device going on or ending soon after; with 4096-byte sectors. Sizing is handed buffers of whole
// sectors, as a scan reads them; a validator may be handed any.
std::vector<Placement> WhereverTheScanMeetsIt(size_t fileSize, bool wholeSectors) {
  const auto buffer = [&](size_t bytes) {
    return wholeSectors ? (bytes + 511) / 512 * 512 : bytes;
  };
  constexpr size_t kFar = 1'200'000;
  return {
      {},
      {.lead = 700, .chunkStart = 1, .trailing = kFar},
      {.lead = 700, .trailing = 2 * kMiB, .randomTrailing = true},
      {.lead = 333, .trailing = 2 * kMiB},
      {.lead = 333, .bufferBytes = buffer(333 + fileSize / 3), .trailing = 2 * kMiB},
      {.lead = 333, .bufferBytes = buffer(333 + fileSize / 2), .trailing = 2 * kMiB},
      {.lead = 999, .bufferBytes = buffer(999 + fileSize / 3)},
      {.lead = 700, .chunkStart = 3, .bufferBytes = 4096, .sectorSize = 4096, .trailing = kFar},
  };
}

// Validators read ahead a megabyte at a time; closer than that to the device's end, the reads of
// those that need them (ZIP, PDF) fail and sizing falls back to its searches.
const auto NearTheDeviceEnd = [](const Placement& placement) { return placement.trailing < kMiB; };

// How long a real file is by its own structure. A PDF's length runs past its last marker by the
// allowance for the line end after it: 10 bytes by the validator, 9 by the search that sizes it
// near the device's end. Text files (svg, html, rtf) end with the line end after their closing
// tag or brace.
// The length a validator gives a real file: the PDF validator allows for a line end after "%%EOF".
int64_t OwnLength(const std::string& extension, const File& file) {
  if (extension != "pdf") return std::ssize(file);
  return LastOf(file, "%%EOF") + 10;
}

// Runs `check` on every real file of `extension`, met at every placement.
template <typename Check>
void ForEverySample(const std::string& extension, bool wholeSectors, Check check) {
  const auto paths = testing::Fixtures(extension);
  ASSERT_FALSE(paths.empty()) << "no " << extension << " samples";
  for (const auto& path : paths) {
    const File file = testing::ReadFile(path.string());
    if (FindRow("", file) == nullptr) continue;
    // A file no header starts (XML without a declaration, plain text) is found at sector starts
    // only.
    const bool headed = StartsWithHeader(file);
    for (Placement placement : WhereverTheScanMeetsIt(file.size(), wholeSectors)) {
      const auto sector = static_cast<size_t>(placement.sectorSize);
      if (!headed) {
        placement.lead = (placement.lead + sector - 1) / sector * sector;
        // A sector start at the buffer's end is the next buffer's first.
        if (placement.lead >= placement.bufferBytes)
          placement.bufferBytes = placement.lead + sector;
      }
      SCOPED_TRACE(path.filename().string() + " " + ::testing::PrintToString(placement));
      check(file, path.filename().string(), placement);
    }
  }
}

const auto ParamName = [](const ::testing::TestParamInfo<std::string>& info) { return info.param; };

// Parameter: a format's extension.
class SampleFiles : public ::testing::TestWithParam<std::string> {};

// Every real file gets its own length and its own type, whichever row of its format matched.
TEST_P(SampleFiles, AreSizedExactlyAndNamedWhereverTheScanMeetsIt) {
  // Types whose files nothing in their content tells from those of the type listed before them
  // (a database named .db or .sqlite): they take the name of the row that matched, which is their
  // own when that type alone is selected.
  const bool namedByRow = GetParam() == "db";
  ForEverySample(GetParam(), true, [&](const File& file, const std::string&, const Placement& at) {
    Candidate candidate(file, at);
    const FileSignature* row = namedByRow ? FindRow(GetParam(), file) : FindRow("", file);
    const CarvedSize size = candidate.Carve(*row);
    EXPECT_EQ((Result{size.size, size.estimated}), Measured(std::ssize(file)));
    EXPECT_EQ(size.extension.empty() ? row->extension : std::string(size.extension), GetParam());
  });
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, SampleFiles,
                         ::testing::ValuesIn(testing::FixtureExtensions()), ParamName);

// What each format's validator must say of a real file: trusted at its own length, and the fields
// the file must have found.
using Check = std::function<void(RangeReader&, const File&, const std::string& name)>;
template <typename Validate>
Check Trusted(Validate validate) {
  return [validate](RangeReader& read, const File& file, const std::string&) {
    ExpectTrusted(validate(read, nullptr), std::ssize(file));
  };
}

const std::map<std::string, Check>& Checks() {
  static const std::map<std::string, Check> checks = {
      {"bmp", Trusted(ValidateBmp)},
      {"png",
       Trusted([](RangeReader& read, auto cancel) { return ValidatePng(read, cancel, true); })},
      {"gif",
       [](RangeReader& read, const File& file, const std::string&) {
         const auto r = ValidateGif(read, nullptr);
         ExpectTrusted(r, std::ssize(file));
         EXPECT_GT(r.frameCount, 0);
       }},
      {"jpg",
       [](RangeReader& read, const File& file, const std::string&) {
         const auto r = ValidateJpeg(read, nullptr);
         const bool small = file.size() < 2000;
         ExpectTrusted(r, std::ssize(file), small ? 85 : 100,
                       small ? Issues{"File unusually small"} : Issues{});
         EXPECT_GT(r.width, 0);
       }},
      {"mp3",
       [](RangeReader& read, const File& file, const std::string& name) {
         // Short and unusual streams cost some confidence but stay trusted; a stream without ID3
         // tags is noted as such, and that is all that may be said of it.
         const auto r = ValidateMp3(read, nullptr);
         const bool tagged = r.hasId3v2 || r.hasId3v1;
         ExpectTrusted(r, std::ssize(file), 70, tagged ? Issues{} : Issues{"No ID3 tags found"});
         EXPECT_GE(r.frameCount, 10);
         EXPECT_TRUE(r.isVbr || name.find("vbr") == std::string::npos);
       }},
      {"pdf",
       [](RangeReader& read, const File& file, const std::string&) {
         ASSERT_GE(OwnLength("pdf", file), std::ssize(file));
         ExpectTrusted(ValidatePdf(read, nullptr), OwnLength("pdf", file));
       }},
      {"mp4", Trusted(ValidateMp4)},
      {"mov", Trusted(ValidateMp4)},
      {"3gp", Trusted(ValidateMp4)},
      {"m4v", Trusted(ValidateMp4)},
      {"zip", Trusted(ValidateZip)},
      {"docx", Trusted(ValidateZip)},
      {"xlsx", Trusted(ValidateZip)},
      {"pptx", Trusted(ValidateZip)},
      {"odt", Trusted(ValidateZip)},
      {"ods", Trusted(ValidateZip)},
      {"odp", Trusted(ValidateZip)},
      {"epub", Trusted(ValidateZip)},
      {"jar", Trusted(ValidateZip)},
      {"apk", Trusted(ValidateZip)}};
  return checks;
}

std::vector<std::string> ValidatedFormats() {
  std::vector<std::string> formats;
  for (const auto& [extension, check] : Checks()) formats.push_back(extension);
  return formats;
}

// Parameter: the extension of a format that has a validator.
class ValidatedSampleFiles : public ::testing::TestWithParam<std::string> {};

TEST_P(ValidatedSampleFiles, AreTrustedByTheirValidatorWhereverTheScanMeetsIt) {
  const Check& check = Checks().at(GetParam());
  const bool readsAhead = GetParam() == "pdf" || FormatOf(GetParam()) == &ZipFormat();
  ForEverySample(GetParam(), false,
                 [&](const File& file, const std::string& name, const Placement& at) {
                   if (readsAhead && NearTheDeviceEnd(at)) return;
                   Candidate candidate(file, at);
                   RangeReader read = candidate.Reader();
                   check(read, file, name);
                 });
}

INSTANTIATE_TEST_SUITE_P(EveryValidatedFormat, ValidatedSampleFiles,
                         ::testing::ValuesIn(ValidatedFormats()), ParamName);

const auto Filler = [](size_t n) { return File(n, 0x11); };
const auto Sized = [](const File& f, size_t size) { return testing::Padded(f, size, 0x11); };

TEST(CarvedSizeRuleBmp, UntrustedHeaderIsNotSized) {
  EXPECT_EQ(Carve("bmp", Sized(testing::Text("BM"), 80)), Measured(0));
}

File PngChunk(const std::string& type, const File& data, uint32_t length) {
  const File body = Concat(type, data);
  return Concat(testing::Be32(length), body, testing::Be32(Crc32(body)));
}
File PngStart() {
  return Concat(File{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A},
                PngChunk("IHDR", File(13, 0), 13));  // no dimensions: the validator is not trusted
}

TEST(CarvedSizeRulePng, ChunkWalkThenFooterSearch) {
  // The walk needs no CRC; the footer search would miss an IEND whose CRC is damaged.
  const File walked = Concat(PngStart(), PngChunk("tEXt", Filler(5), 5), testing::Be32(0), "IEND",
                             testing::Be32(0));
  EXPECT_EQ(Carve("png", walked), Measured(std::ssize(walked)));
  // A length near 2^32 ends the walk instead of standing still; the footer search finds IEND.
  const File huge =
      Concat(PngStart(), PngChunk("abcd", Filler(20), 0xFFFFFFF4), PngChunk("IEND", {}, 0));
  EXPECT_EQ(Carve("png", huge), Measured(std::ssize(huge)));
}

TEST(CarvedSizeRulePng, ZeroedSpaceAfterACutFileIsNotWalked) {
  Candidate cut(Concat(PngStart(), PngChunk("IDAT", Filler(300), 300)),
                {.lead = 100, .chunkStart = 1, .bufferBytes = 512, .trailing = 3 * kMiB});
  EXPECT_EQ(Carve(cut, Row("png", PngStart())), Estimated(1'073'741'824));
  EXPECT_LT(cut.Disk()->reads, 30);  // not one read per 12 bytes of zeros
}

// Four bytes that begin an icon also begin much other data: only a plausible directory is an icon,
// and anything else is dropped rather than carved at the largest icon's size over what follows.
TEST(CarvedSizeRuleIco, DirectoryGivesTheEndOrNoIconAtAll) {
  const File icon = Fixture("png_entry_256px.ico");
  EXPECT_EQ(Carve("ico", icon, {.lead = 700, .chunkStart = 1, .randomTrailing = true}),
            Measured(std::ssize(icon)));
  File pastLargest = icon;
  testing::Overwrite(pastLargest, 6 + 8, Le32(0x80000000u));
  EXPECT_EQ(Carve("ico", pastLargest), Measured(0));
  EXPECT_EQ(Carve("ico", Sized(File{0, 0, 1, 0, 0, 0}, 200)), Measured(0));
}

TEST(CarvedSizeRuleRiff, SizeFieldAndTheTypeItsFormNames) {
  const auto carve = [](uint32_t size, const std::string& form) {
    Candidate candidate(Sized(Concat("RIFF", Le32(size), form), 1200), kScanned);
    const CarvedSize r = candidate.Carve(Row("webp", testing::Text("RIFF")));
    return std::pair{Result{r.size, r.estimated}, std::string(r.extension)};
  };
  EXPECT_EQ(carve(1000, "WEBP"), std::pair(Measured(1008), std::string("webp")));
  EXPECT_EQ(carve(0, "WEBP"), std::pair(Measured(100), std::string("webp")));
  // Whichever row matched, the form decides: an AVI is no WebP.
  EXPECT_EQ(carve(1000, "AVI "), std::pair(Measured(1008), std::string("avi")));
  EXPECT_EQ(carve(1000, "WAVE"), std::pair(Measured(1008), std::string("wav")));
  EXPECT_EQ(carve(1000, "RMID").first, Measured(0));
}

File Atom(uint32_t size, const std::string& type) {
  return Concat(testing::Be32(size), type, Filler(size - 8));
}

TEST(CarvedSizeRuleIso, TrustedValidatorWithAnOpenEndedMdatIsAnEstimate) {
  const File f = Concat(Atom(24, "ftyp"), Atom(100, "moov"), testing::Be32(0), "mdat", Filler(500));
  EXPECT_EQ(Carve("mp4", f), Estimated(124 + 104'857'600));
}

TEST(CarvedSizeRuleAsf, GuessWhenTheHeaderDoesNotSay) {
  const File head = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11};
  const File properties = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                           0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  EXPECT_EQ(Carve("wmv", Sized(head, 6000)), Estimated(52'428'800));
  EXPECT_EQ(
      Carve("wmv", Sized(Concat(head, Filler(30), properties, Filler(24), testing::Le64(0)), 6000)),
      Estimated(52'428'800));
}

TEST(CarvedSizeRuleMatroska, UnknownSegmentSizeIsNoEnd) {
  const File head = {0x1A, 0x45, 0xDF, 0xA3, 0x84, 0x42, 0x86, 0x81, 0x01, 0x18, 0x53, 0x80, 0x67};
  EXPECT_EQ(
      Carve("mkv", Sized(Concat(head, File{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 3000)),
      Estimated(10'737'418'240));
  EXPECT_EQ(Carve("webm", Sized(Concat(head, File{0xFF}), 3000)), Estimated(4'294'967'296));
  EXPECT_EQ(Carve("mkv", Sized(Concat(head, File{0x4B, 0xB8}), 3000)), Measured(13 + 2 + 3000));
}

// An end-of-central-directory record of one entry.
File ZipEndRecord(uint32_t directorySize, uint32_t directoryOffset, const std::string& comment,
                  uint16_t commentLength) {
  return Concat("PK\x05\x06", File{0, 0, 0, 0, 1, 0, 1, 0}, Le32(directorySize),
                Le32(directoryOffset), testing::Le16(commentLength), comment);
}

// Both archives lie near the device's end, where the validator's big reads come back empty.
TEST(CarvedSizeRuleZip, SearchTakesTheArchivesOwnRecordElseTheLastOne) {
  const File first = Fixture("single_small_text.zip");
  const File second = Fixture("archive_comment.zip");
  const size_t pad = 512 - (512 + 700 + first.size()) % 512;
  EXPECT_EQ(Carve("zip", Concat(first, Filler(pad), second)), Measured(std::ssize(first)));

  const File crafted = Concat("PK\x03\x04", Filler(300), ZipEndRecord(999, 7, "", 0), Filler(300),
                              ZipEndRecord(999, 7, "abc", 3));
  // A record no directory confirms is a guess: the carve may be cut where the next file begins.
  EXPECT_EQ(Carve("zip", Concat(crafted, Filler(100))), Estimated(std::ssize(crafted)));
}

TEST(CarvedSizeRuleZip, TheDirectoryNamesTheTypeWhicheverRowMatched) {
  const auto carve = [](const File& file, const std::string& row) {
    Candidate candidate(file, kScanned);
    const CarvedSize r = candidate.Carve(Row(row, file));
    return std::pair{r.size, std::string(r.extension)};
  };
  for (const auto& name : {"single_small_text.zip", "made_by_7zip.zip"}) {
    const File zip = Fixture(name);
    EXPECT_EQ(carve(zip, "docx"), std::pair(std::ssize(zip), std::string("zip"))) << name;
    EXPECT_EQ(carve(zip, "zip"), std::pair(std::ssize(zip), std::string("zip"))) << name;
  }
  const File docx = Fixture("pandoc_report.docx");
  EXPECT_EQ(carve(docx, "zip"), std::pair(std::ssize(docx), std::string("docx")));
}

// A scan remembers how far end searches found no end marker (for ZIP, none but certain records);
// the headers it meets later must get the sizes that searches of their own would give.
TEST(CarvedSize, RememberedSearchesGiveTheSizesOfFreshOnes) {
  const auto record = [](int64_t directoryEnd, uint16_t comment) {
    return ZipEndRecord(10, static_cast<uint32_t>(directoryEnd) - 10, "", comment);
  };
  // Between each ZIP header and the next: a JPEG, a PDF, an RTF and an SVG header.
  struct Kind {
    size_t delta;
    std::string extension;
    File header;
  };
  const std::vector<Kind> kinds = {{0, "zip", testing::Text("PK\x03\x04")},
                                   {150, "jpg", File{0xFF, 0xD8, 0xFF, 0xE0}},
                                   {350, "pdf", testing::Text("%PDF-1.4")},
                                   {500, "rtf", testing::Text("{\\rtf1")},
                                   {600, "svg", testing::Text("<svg")}};
  const FileSignature& pdf = Row("pdf", testing::Text("%PDF"));
  std::vector<std::pair<size_t, const FileSignature*>> headers;
  // No end markers but those put in below.
  File bytes = testing::RandomBytes(40'960, 3);
  std::replace_if(
      bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF || b == '}'; }, 'x');
  auto base = testing::TestDisk::Of(bytes);
  for (size_t at = 1'000; at < 30'000; at += 700) {
    for (const Kind& kind : kinds) {
      base.Put(at + kind.delta, kind.header);
      headers.push_back({at + kind.delta, &Row(kind.extension, kind.header)});
    }
  }
  base.Put(12'080, File{0xFF, 0xD9}).Put(12'090, testing::Text("}"));
  base.Put(12'150, testing::Text("</svg>"));
  base.Put(16'000, record(16'000 - 4'500, 0));  // the header at 4500's own record
  base.Put(20'100, record(5, 60));              // another archive's, whose comment fits
  base.Put(31'000, record(7, 65'535));          // one whose comment runs past the disk's end
  base.Put(9'000, testing::Text("%%EOF"));
  base.Put(20'480, testing::Text("%PDF-1.7"));  // on a sector start: another PDF begins
  headers.push_back({20'480, &pdf});
  base.Put(33'000, testing::Text("%%EOF"));
  std::sort(headers.begin(), headers.end());

  for (const bool bad : {false, true}) {
    SCOPED_TRACE(bad ? "unreadable sector before the last record" : "readable to the end");
    auto disk = testing::TestDisk::Of(base.bytes());
    if (bad) disk.Unreadable(25'600, 512);
    SizingMemo memo;
    memo.deviceBytes = std::ssize(disk.bytes());
    for (const auto& [at, row] : headers) {
      // As the scan meets it: in a chunk of eight sectors from the header's own.
      const size_t sector = at / 512;
      const auto size = [&, at = at, row = row](SizingMemo* m) {
        return DetermineCarvedSize(nullptr, disk.Chunk(static_cast<int64_t>(sector), 4'096),
                                   at - sector * 512, *row, disk.device(), sector, 512, m)
            .size;
      };
      EXPECT_EQ(size(&memo), size(nullptr)) << row->extension << " header at " << at;
    }
  }
}

// Bytes after the last tag whose first byte happens to read as a tag type are not walked into.
TEST(CarvedSizeRuleFlv, WalkEndsAtTheLastTagWhoseLengthIsRepeated) {
  const File flv = Fixture("h264_aac.flv");
  File followed =
      Concat(flv, File{0x09, 0x10, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0});  // a 1 MiB "video tag"
  followed.resize(followed.size() + 1100000, 0x5A);
  EXPECT_EQ(Carve("flv", followed), Measured(std::ssize(flv)));
}

TEST(CarvedSizeRule7z, NextHeaderPastTheEndOfNumbersIsNoSize) {
  const File f = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4, 0, 0, 0, 0};
  EXPECT_EQ(
      Carve("7z", Sized(Concat(f, testing::Le64(0xFFFFFFFFFFFFFFF0u), testing::Le64(0x100)), 200)),
      Measured(0));
}

TEST(CarvedSizeRule7z, OnlyAStartHeaderWhoseCrcChecksIsSized) {
  // Its next header is not on the disk: the start header's claim is all there is to go by.
  const File fields = Concat(testing::Le64(5000), testing::Le64(40), testing::Le32(0));
  const File start =
      Concat(File{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4}, testing::Le32(Crc32(fields)), fields);
  EXPECT_EQ(Carve("7z", Sized(start, 200)), Measured(5072));
  File damaged = start;
  damaged[13] ^= 1;
  EXPECT_EQ(Carve("7z", Sized(damaged, 200)), Measured(0));
}

// The frame walk takes the tags after the audio along; a cancelled scan claims no length at all.
TEST(CarvedSizeRuleMp3, FrameWalkWithItsTags) {
  const File tagged = Fixture("id3v2_and_id3v1_tags.mp3");
  EXPECT_EQ(Carve("mp3", tagged, {.lead = 700, .chunkStart = 1, .bufferBytes = 4096}),
            Measured(std::ssize(tagged)));
  EXPECT_EQ(Carve("mp3", tagged, {.lead = 700, .chunkStart = 1, .cancelled = true}), Measured(0));

  // Five frames of a voice memo, less than the row's minimum: proven whole, so kept all the same.
  File memo;
  for (int i = 0; i < 5; ++i) testing::Append(memo, Sized(File{0xFF, 0xE3, 0x18, 0xC4}, 72));
  Candidate candidate(memo, kScanned);
  const CarvedSize size = candidate.Carve(Row("mp3", File{0xFF, 0xFB}));
  EXPECT_EQ(size.size, 360);
  EXPECT_TRUE(size.proven);
}

// A tag longer than the validator looks past is stepped over, not read, to the audio.
TEST(CarvedSizeRuleMp3, FrameWalkStepsOverAHugeTag) {
  // The file starts at byte 1212; the audio 236 bytes into a sector, from which reads go on a
  // megabyte at a time, so that the header of frame 2514 straddles the first two reads.
  constexpr uint32_t kTagBody = 201 * kMiB + 38;
  constexpr int kFrames = 2'520;
  File f = Concat(File{'I', 'D', '3', 4, 0, 0},
                  File{uint8_t(kTagBody >> 21 & 0x7F), uint8_t(kTagBody >> 14 & 0x7F),
                       uint8_t(kTagBody >> 7 & 0x7F), uint8_t(kTagBody & 0x7F)});
  f.resize(10 + kTagBody, 0);
  for (int i = 0; i < kFrames; ++i)
    testing::Append(f, Sized(File{0xFF, 0xFB, 0x90, 0x00}, 417));  // 128 kbit/s
  Candidate candidate(f, {.lead = 700, .chunkStart = 1, .bufferBytes = 4096});
  EXPECT_EQ(Carve(candidate, Row("mp3", f)), Measured(10 + kTagBody + int64_t{kFrames} * 417));
  EXPECT_LT(candidate.Disk()->reads.load(), 10);  // not the 200 it takes to read through the tag
}

TEST(CarvedSizeRulePdf, EndsWithTheLastRevisionAndStopsAtTheNextPdfStoredOnTheDisk) {
  const File a = Fixture("incremental_updates_three_eof.pdf");
  const File b = Fixture("ghostscript_two_pages.pdf");
  EXPECT_EQ(Carve("pdf", a), Measured(std::ssize(a)));
  // b starts one byte after a's final line feed: on a sector boundary it is another file.
  const size_t lead = (1024 - (512 + a.size() + 1) % 512) % 512;
  const File both = Concat(a, File{'\n'}, b);
  EXPECT_EQ(Carve("pdf", both, {.lead = lead, .chunkStart = 1}), Measured(std::ssize(a)));
  // An unreadable stretch ends the search with what it has proven: the chunk holds only the
  // first of the three revisions, whose update is cut off.
  Candidate cut(a, {.chunkStart = 1, .bufferBytes = 3072});
  cut.Disk().Unreadable(512 + 3072, 8192);
  EXPECT_EQ(Carve(cut, Row("pdf", a)), Measured(0));
}

TEST(CarvedSizeRuleJpeg, MarkerCountSkipsTheThumbnailAcrossReads) {
  // The bad segment length makes the validator give up; the nested EOI straddles the chunk's end.
  const File f = Concat(
      Sized(Concat(File{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01}, Filler(100), File{0xFF, 0xD8}), 323),
      File{0xFF, 0xD9}, Filler(500), File{0xFF, 0xD9});
  EXPECT_EQ(Carve("jpg", f, {.lead = 700, .chunkStart = 1, .bufferBytes = 1024}),
            Measured(std::ssize(f)));
}

TEST(CarvedSizeRuleGif, NoTrailerMeansFooterSearch) {
  const File f = Concat(File{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0,    0, 0x2C,
                             0,   0,   0,   0,   1,   0,   1, 0, 0, 2, 2, 0x4C, 1, 0},
                        Filler(50), File{0x00, 0x3B});
  EXPECT_EQ(Carve("gif", Concat(f, Filler(100))), Measured(std::ssize(f)));
}

TEST(CarvedSizeRuleRtf, BracesBalanceAcrossReadsAndEscapes) {
  // The escaped brace straddles the chunk's end; the group in the middle spans several reads.
  const File f =
      Concat(Sized(testing::Text(R"({\rtf1{\fonttbl{\f0 Arial;}}\{ \} \\{\b bold})"), 323), R"(\})",
             std::string(700'000, 'a'), R"({\i x}})");
  EXPECT_EQ(Carve("rtf", Concat(f, "}}}"), {.lead = 700, .chunkStart = 1, .bufferBytes = 1024}),
            Measured(std::ssize(f)));
}

TEST(CarvedSizeRuleGeneric, CancelAndUnreadableSectorsGiveTheMaximum) {
  const File svg = Fixture("embedded_png_image.svg");
  EXPECT_EQ(Carve("svg", svg, {.lead = 700, .chunkStart = 1, .cancelled = true}),
            Estimated(10 * kMiB));
  Candidate cut(svg, {.chunkStart = 1, .bufferBytes = 512});
  cut.Disk().Unreadable(1024, 512);
  EXPECT_EQ(Carve(cut, Row("svg", svg)), Estimated(10 * kMiB));
}

}  // namespace
}  // namespace quarvelin
