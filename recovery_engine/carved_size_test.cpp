#include "carved_size.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "candidate.h"
#include "validators/acceptance.h"
#include "validators/crc32.h"

namespace quarvelin {
namespace {

using File = std::vector<uint8_t>;
using Result = std::pair<int64_t, bool>;  // size, estimated

const auto Measured = [](int64_t size) { return Result{size, false}; };
const auto Estimated = [](int64_t size) { return Result{size, true}; };
constexpr uint32_t kMiB = 1'048'576;

// Where a file sits when the scan meets it: the chunk (scan buffer) starts at sector `chunkStart`,
// the file `lead` bytes into it; the chunk holds `chunkBytes` (all of the disk by default).
struct Layout {
  size_t lead = 700;
  int64_t chunkStart = 1;
  size_t chunkBytes = SIZE_MAX;
  int32_t sectorSize = 512;
  size_t trailing = 4096;  // zero bytes after the file
  bool cancel = false;
};

struct Disk {
  explicit Disk(const File& file, Layout l) : layout(l) {
    const auto before = static_cast<size_t>(l.chunkStart) * static_cast<size_t>(l.sectorSize);
    disk->sectorSize = l.sectorSize;
    disk->bytes = testing::RandomBytes(before + l.lead, 7);
    disk->bytes.insert(disk->bytes.end(), file.begin(), file.end());
    const size_t sector = static_cast<size_t>(l.sectorSize);
    disk->bytes.resize((disk->bytes.size() + l.trailing + sector - 1) / sector * sector, 0);
  }

  Result Carve(const FileSignature& signature) {
    const size_t begin = static_cast<size_t>(layout.chunkStart * layout.sectorSize);
    const auto chunk = std::span<const uint8_t>(disk->bytes)
                           .subspan(begin, std::min(layout.chunkBytes, disk->bytes.size() - begin));
    const std::atomic<bool> cancel{layout.cancel};
    const auto r = DetermineCarvedSize(&cancel, chunk, layout.lead, signature, device,
                                       static_cast<uint64_t>(layout.chunkStart), layout.sectorSize);
    return {r.size, r.estimated};
  }

  Layout layout;
  std::shared_ptr<MemoryDisk> disk = std::make_shared<MemoryDisk>();
  MemoryDevice device{disk};
};

// The first table row for `extension` whose header the file starts with.
const FileSignature& Row(const std::string& extension, const File& file) {
  for (const auto& row : SignatureTable()) {
    if (row.extension == extension && file.size() >= row.header.size() &&
        std::equal(row.header.begin(), row.header.end(), file.begin())) {
      return row;
    }
  }
  throw std::runtime_error("no " + extension + " row for this file");
}

Result Carve(const std::string& extension, const File& file, Layout layout = {}) {
  return Disk(file, layout).Carve(Row(extension, file));
}

File Bytes(std::initializer_list<int> values) {
  File f;
  for (int v : values) f.push_back(static_cast<uint8_t>(v));
  return f;
}
// Joins bytes: `File(a) << b << "text"`.
File operator<<(File f, const File& more) {
  f.insert(f.end(), more.begin(), more.end());
  return f;
}
File operator<<(File f, const std::string& text) {
  return std::move(f) << File(text.begin(), text.end());
}
File Le32(uint32_t v) {
  return Bytes({int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF), int(v >> 24)});
}
File Be32(uint32_t v) {
  return Bytes({int(v >> 24), int(v >> 16 & 0xFF), int(v >> 8 & 0xFF), int(v & 0xFF)});
}

int64_t LastOf(const File& file, const std::string& text) {
  const auto it = std::find_end(file.begin(), file.end(), text.begin(), text.end());
  return it == file.end() ? -1 : it - file.begin();
}

// What a validator said of a real file, and whether the fields the file must have were found.
struct Verdict {
  int64_t size = 0;
  int32_t confidence = 0;
  std::vector<std::string> issues;
  bool accepted = false;
  bool described = false;
};

template <typename R>
Verdict Of(const R& r, bool described) {
  return {r.size, r.confidence, r.issues, Accepted(r), described};
}

using Validator = std::function<Verdict(RangeReader&, const std::string& name)>;

const std::map<std::string, Validator>& Validators() {
  static const Validator mp4 = [](RangeReader& read, const std::string&) {
    return Of(ValidateMp4(read, nullptr), true);
  };
  static const Validator zip = [](RangeReader& read, const std::string&) {
    return Of(ValidateZip(read, nullptr), true);
  };
  static const std::map<std::string, Validator> validators = {
      {"bmp",
       [](RangeReader& read, const std::string&) { return Of(ValidateBmp(read, nullptr), true); }},
      {"png", [](RangeReader& read,
                 const std::string&) { return Of(ValidatePng(read, nullptr, true), true); }},
      {"gif",
       [](RangeReader& read, const std::string&) {
         const auto r = ValidateGif(read, nullptr);
         return Of(r, r.frameCount > 0);
       }},
      {"jpg",
       [](RangeReader& read, const std::string&) {
         const auto r = ValidateJpeg(read, nullptr);
         return Of(r, r.width > 0);
       }},
      {"mp3",
       [](RangeReader& read, const std::string& name) {
         auto r = ValidateMp3(read, nullptr);
         // A file without ID3 tags is noted as such; that is all that may be said of it.
         if (!r.hasId3v2 && !r.hasId3v1 &&
             r.issues == std::vector<std::string>{"No ID3 tags found"})
           r.issues.clear();
         return Of(r, r.frameCount >= 10 && (r.isVbr || name.find("vbr") == std::string::npos));
       }},
      {"pdf",
       [](RangeReader& read, const std::string&) { return Of(ValidatePdf(read, nullptr), true); }},
      {"mp4", mp4},
      {"mov", mp4},
      {"3gp", mp4},
      {"m4v", mp4},
      {"zip", zip},
      {"docx", zip}};
  return validators;
}

// Every real file its format's validator knows is trusted at its own size, whole in the scan buffer
// and running past the buffer's end.
TEST(CarvedSize, EveryRealFileIsTrustedByItsValidator) {
  int checked = 0;
  for (const auto& [extension, validate] : Validators()) {
    for (const auto& path : testing::Fixtures(extension)) {
      const File file = testing::ReadFile(path.string());
      const std::string name = path.filename().string();
      auto size = static_cast<int64_t>(file.size());
      int32_t confidence = 100;  // the least expected
      std::vector<std::string> issues;
      if (extension == "mp3") {
        confidence = 70;  // short and unusual streams cost some confidence but stay trusted
      } else if (extension == "pdf") {
        // The size runs 10 bytes past the last marker, which covers the line end after it.
        size = LastOf(file, "%%EOF") + 10;
        ASSERT_GE(size, std::ssize(file)) << name;
      } else if (extension == "jpg" && file.size() < 2000) {
        confidence = 85;
        issues = {"File unusually small"};
      }
      for (const testing::Placement placement :
           {testing::Placement{.lead = 700, .trailing = 2 * kMiB, .randomTrailing = true},
            testing::Placement{
                .lead = 333, .bufferBytes = 333 + file.size() / 3, .trailing = 2 * kMiB}}) {
        testing::Candidate candidate(file, placement);
        RangeReader read = candidate.Reader();
        const Verdict v = validate(read, name);
        EXPECT_EQ(v.size, size) << name << " buffer " << placement.bufferBytes;
        EXPECT_GE(v.confidence, confidence) << name;
        EXPECT_EQ(v.issues, issues) << name;
        EXPECT_TRUE(v.accepted && v.described) << name;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 90);
}

TEST(CarvedSize, EveryRealFileGetsItsOwnLength) {
  const std::vector<std::string> unmeasured = {"tif", "psd", "flac", "ogg", "xml"};
  int checked = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(QUARVELIN_TESTDATA_DIR) + "/files")) {
    const std::string extension = entry.path().extension().string().substr(1);
    const File file = testing::ReadFile(entry.path().string());
    const FileSignature& row = Row(extension, file);
    Result expected = Measured(static_cast<int64_t>(file.size()));
    if (std::find(unmeasured.begin(), unmeasured.end(), extension) != unmeasured.end()) {
      expected = Estimated(row.maxSize);
    } else if (extension == "pdf") {
      expected = Measured(LastOf(file, "%%EOF") + 10);
    }  // text files (svg, html, rtf) end with the line end after their closing tag or brace
    // Validators read ahead a megabyte at a time, so the disk goes on well past the file.
    for (const Layout layout :
         {Layout{.trailing = 1'200'000},
          Layout{.chunkStart = 3, .chunkBytes = 4096, .sectorSize = 4096, .trailing = 1'200'000}}) {
      EXPECT_EQ(Disk(file, layout).Carve(row), expected)
          << entry.path().filename() << " sector size " << layout.sectorSize;
      ++checked;
    }
  }
  EXPECT_GT(checked, 150);
}

const auto Filler = [](size_t n) { return File(n, 0x11); };
const auto Sized = [](File f, size_t size) { return f.resize(size, 0x11), f; };
const auto Le64 = [](uint64_t v) { return Le32(uint32_t(v)) << Le32(uint32_t(v >> 32)); };
const auto Fixture = [](const std::string& name) {
  return testing::ReadFile(std::string(QUARVELIN_TESTDATA_DIR) + "/files/" + name);
};

TEST(CarvedSizeRuleBmp, UntrustedHeaderIsNotSized) {
  EXPECT_EQ(Carve("bmp", Sized(Bytes({'B', 'M'}), 80)), Measured(0));
}

File PngChunk(const std::string& type, const File& data, uint32_t length) {
  const File body = File(type.begin(), type.end()) << data;
  return Be32(length) << body << Be32(Crc32(body));
}
File PngStart() {
  return Bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})
         << PngChunk("IHDR", File(13, 0), 13);  // no dimensions: the validator is not trusted
}

TEST(CarvedSizeRulePng, ChunkWalkThenFooterSearch) {
  // The walk needs no CRC; the footer search would miss an IEND whose CRC is damaged.
  File walked = PngStart() << PngChunk("tEXt", Filler(5), 5) << Be32(0) << "IEND" << Be32(0);
  EXPECT_EQ(Carve("png", walked), Measured(static_cast<int64_t>(walked.size())));
  // A length near 2^32 ends the walk instead of standing still; the footer search finds IEND.
  File huge = PngStart() << PngChunk("abcd", Filler(20), 0xFFFFFFF4) << PngChunk("IEND", {}, 0);
  EXPECT_EQ(Carve("png", huge), Measured(static_cast<int64_t>(huge.size())));
}

TEST(CarvedSizeRulePng, ZeroedSpaceAfterACutFileIsNotWalked) {
  Disk disk(PngStart() << PngChunk("IDAT", Filler(300), 300),
            {.lead = 100, .chunkBytes = 512, .trailing = 3 * kMiB});
  EXPECT_EQ(disk.Carve(Row("png", PngStart())), Estimated(1'073'741'824));
  EXPECT_LT(disk.disk->reads, 30);  // not one read per 12 bytes of zeros
}

const auto IcoEntry = [](uint32_t bytes, uint32_t at) {
  return Filler(8) << Le32(bytes) << Le32(at);
};

TEST(CarvedSizeRuleIco, DirectoryGivesTheEndUnlessItPointsPastTheLargestIcon) {
  const File head = Bytes({0, 0, 1, 0, 2, 0});
  EXPECT_EQ(Carve("ico", Sized(File(head) << IcoEntry(100, 38) << IcoEntry(50, 138), 200)),
            Measured(188));
  EXPECT_EQ(Carve("ico", Sized(File(head) << IcoEntry(100, 38) << IcoEntry(0x80000000u, 138), 200)),
            Estimated(10 * kMiB));
  EXPECT_EQ(Carve("ico", Sized(Bytes({0, 0, 1, 0, 0, 0}), 200)), Estimated(10 * kMiB));
}

TEST(CarvedSizeRuleRiff, SizeFieldForTheRowOfItsOwnForm) {
  const auto riff = [](uint32_t size, const std::string& form) {
    return Sized(Bytes({'R', 'I', 'F', 'F'}) << Le32(size) << form, 1200);
  };
  EXPECT_EQ(Carve("webp", riff(1000, "WEBP")), Measured(1008));
  EXPECT_EQ(Carve("webp", riff(0, "WEBP")), Measured(100));
  // An AVI is no WebP: the WebP row, searched first, leaves it to the AVI row.
  EXPECT_EQ(Carve("webp", riff(1000, "AVI ")), Measured(0));
  EXPECT_EQ(Carve("avi", riff(1000, "AVI ")), Measured(1008));
  EXPECT_EQ(Carve("wav", riff(1000, "AVI ")), Measured(0));
}

const auto Atom = [](uint32_t size, const std::string& type) {
  return Be32(size) << type << Filler(size - 8);
};

TEST(CarvedSizeRuleIso, AtomWalkStopsAtZeroedSpaceAndAtTheNextFile) {
  // The odd second atom stops the validator, so the walk sizes the file: 24 + 16 + 100 bytes.
  const File start = Atom(24, "ftyp")
                     << Atom(16, std::string("\x01\x02\x03\x04")) << Atom(100, "mdat");
  EXPECT_EQ(Carve("mp4", File(start) << Be32(0) << "free"), Estimated(140 + 104'857'600));
  EXPECT_EQ(Carve("mp4", start), Measured(140));
  EXPECT_EQ(Carve("mp4", File(start) << Atom(24, "ftyp") << Be32(0) << "mdat"), Measured(140));
  EXPECT_EQ(Carve("mp4", start, {.cancel = true}), Measured(10'000));
}

TEST(CarvedSizeRuleIso, TrustedValidatorWithAnOpenEndedMdatIsAnEstimate) {
  const File f = Atom(24, "ftyp") << Atom(100, "moov") << Be32(0) << "mdat" << Filler(500);
  EXPECT_EQ(Carve("mp4", f), Estimated(124 + 104'857'600));
}

TEST(CarvedSizeRuleAsf, GuessWhenTheHeaderDoesNotSay) {
  const File head = Bytes({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11});
  const File properties = Bytes({0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00,
                                 0xC0, 0x0C, 0x20, 0x53, 0x65});
  EXPECT_EQ(Carve("wmv", Sized(head, 6000)), Estimated(52'428'800));
  EXPECT_EQ(
      Carve("wmv", Sized(File(head) << Filler(30) << properties << Filler(24) << Le64(0), 6000)),
      Estimated(52'428'800));
}

TEST(CarvedSizeRuleMatroska, UnknownSegmentSizeIsNoEnd) {
  const File head =
      Bytes({0x1A, 0x45, 0xDF, 0xA3, 0x84, 0x42, 0x86, 0x81, 0x01, 0x18, 0x53, 0x80, 0x67});
  EXPECT_EQ(
      Carve("mkv",
            Sized(File(head) << Bytes({0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 3000)),
      Estimated(10'737'418'240));
  EXPECT_EQ(Carve("webm", Sized(File(head) << Bytes({0xFF}), 3000)), Estimated(4'294'967'296));
  EXPECT_EQ(Carve("mkv", Sized(File(head) << Bytes({0x4B, 0xB8}), 3000)), Measured(13 + 2 + 3000));
}

// Both archives lie near the device's end, where the validator's big reads come back empty.
TEST(CarvedSizeRuleZip, SearchTakesTheArchivesOwnRecordElseTheLastOne) {
  const File first = Fixture("single_small_text.zip");
  const File second = Fixture("archive_comment.zip");
  const size_t pad = 512 - (512 + 700 + first.size()) % 512;
  EXPECT_EQ(Carve("zip", File(first) << Filler(pad) << second),
            Measured(static_cast<int64_t>(first.size())));

  const auto record = [](const std::string& comment) {
    return Bytes({'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0})
           << Le32(999) << Le32(7) << Bytes({static_cast<int>(comment.size()), 0}) << comment;
  };
  const File crafted = Bytes({'P', 'K', 3, 4})
                       << Filler(300) << record("") << Filler(300) << record("abc");
  EXPECT_EQ(Carve("zip", File(crafted) << Filler(100)),
            Measured(static_cast<int64_t>(crafted.size())));
}

// A scan remembers how far end searches found no end marker (for ZIP, none but certain records);
// the headers it meets later must get the sizes that searches of their own would give.
TEST(CarvedSize, RememberedSearchesGiveTheSizesOfFreshOnes) {
  const auto record = [](int64_t directoryEnd, uint16_t comment) {
    const auto end = static_cast<uint32_t>(directoryEnd);
    return Bytes({'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0})
           << Le32(10) << Le32(end - 10) << Bytes({comment & 0xFF, comment >> 8});
  };
  // Between each ZIP header and the next: a JPEG, a PDF, an RTF and an SVG header.
  struct Kind {
    size_t delta;
    std::string extension;
    File header;
  };
  const std::vector<Kind> kinds = {{0, "zip", Bytes({'P', 'K', 3, 4})},
                                   {150, "jpg", Bytes({0xFF, 0xD8, 0xFF, 0xE0})},
                                   {350, "pdf", File() << "%PDF-1.4"},
                                   {500, "rtf", File() << "{\\rtf1"},
                                   {600, "svg", File() << "<svg"}};
  const FileSignature& pdf = Row("pdf", File() << "%PDF");
  std::vector<std::pair<size_t, const FileSignature*>> headers;
  // No end markers but those put in below.
  File bytes = testing::RandomBytes(40'960, 3);
  std::replace_if(
      bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF || b == '}'; }, 'x');
  const auto put = [&bytes](size_t at, const File& what) {
    std::copy(what.begin(), what.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  };
  for (size_t at = 1'000; at < 30'000; at += 700) {
    for (const Kind& kind : kinds) {
      put(at + kind.delta, kind.header);
      headers.push_back({at + kind.delta, &Row(kind.extension, kind.header)});
    }
  }
  put(12'080, Bytes({0xFF, 0xD9}));
  put(12'090, File() << "}");
  put(12'150, File() << "</svg>");
  put(16'000, record(16'000 - 4'500, 0));  // the header at 4500's own record
  put(20'100, record(5, 60));              // another archive's, whose comment fits
  put(31'000, record(7, 65'535));          // one whose comment runs past the disk's end
  put(9'000, File() << "%%EOF");
  put(20'480, File() << "%PDF-1.7");  // on a sector start: another PDF begins
  headers.push_back({20'480, &pdf});
  put(33'000, File() << "%%EOF");
  std::sort(headers.begin(), headers.end());

  for (const bool bad : {false, true}) {
    SCOPED_TRACE(bad ? "unreadable sector before the last record" : "readable to the end");
    auto disk = std::make_shared<MemoryDisk>();
    disk->bytes = bytes;
    if (bad) disk->AddUnreadable(25'600, 512);
    MemoryDevice device(disk);
    SizingMemo memo;
    memo.deviceBytes = static_cast<int64_t>(bytes.size());
    for (const auto& [at, row] : headers) {
      // As the scan meets it: in a chunk of eight sectors from the header's own.
      const size_t sector = at / 512;
      const auto chunk = std::span<const uint8_t>(bytes).subspan(sector * 512, 4'096);
      const auto size = [&](SizingMemo* m) {
        return DetermineCarvedSize(nullptr, chunk, at - sector * 512, *row, device, sector, 512, m)
            .size;
      };
      EXPECT_EQ(size(&memo), size(nullptr)) << row->extension << " header at " << at;
    }
  }
}

// Bytes after the last tag whose first byte happens to read as a tag type are not walked into.
TEST(CarvedSizeRuleFlv, WalkEndsAtTheLastTagWhoseLengthIsRepeated) {
  const File flv = Fixture("h264_aac.flv");
  File followed = flv;
  followed << Bytes({0x09, 0x10, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0});  // a 1 MiB "video tag"
  followed.resize(followed.size() + 1100000, 0x5A);
  EXPECT_EQ(Carve("flv", followed), Measured(static_cast<int64_t>(flv.size())));
}

TEST(CarvedSizeRule7z, NextHeaderPastTheEndOfNumbersIsNoSize) {
  const File f = Bytes({'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4, 0, 0, 0, 0});
  EXPECT_EQ(Carve("7z", Sized(f << Le64(0xFFFFFFFFFFFFFFF0u) << Le64(0x100), 200)), Measured(0));
}

// A cancelled validator stops at once; the frame walk still sizes what the scan buffer holds.
TEST(CarvedSizeRuleMp3, FrameWalkAfterTheValidator) {
  const File tagged = Fixture("id3v2_and_id3v1_tags.mp3");  // the walk ends before the ID3v1 tag
  EXPECT_EQ(Carve("mp3", tagged, {.cancel = true}),
            Measured(static_cast<int64_t>(tagged.size()) - 128));
}

// A tag longer than the validator looks past is stepped over, not read, to the audio.
TEST(CarvedSizeRuleMp3, FrameWalkStepsOverAHugeTag) {
  // The file starts at byte 1212; the audio 236 bytes into a sector, from which reads go on a
  // megabyte at a time, so that the header of frame 2514 straddles the first two reads.
  constexpr uint32_t kTagBody = 201 * kMiB + 38;
  constexpr int kFrames = 2'520;
  File f = Bytes({'I', 'D', '3', 4, 0, 0})
           << Bytes({int(kTagBody >> 21 & 0x7F), int(kTagBody >> 14 & 0x7F),
                     int(kTagBody >> 7 & 0x7F), int(kTagBody & 0x7F)});
  f.resize(10 + kTagBody, 0);
  for (int i = 0; i < kFrames; ++i)
    f = std::move(f) << Sized(Bytes({0xFF, 0xFB, 0x90, 0x00}), 417);  // 128 kbit/s
  Disk disk(f, {.chunkBytes = 4096});
  EXPECT_EQ(disk.Carve(Row("mp3", f)), Measured(10 + kTagBody + int64_t{kFrames} * 417));
  EXPECT_LT(disk.disk->reads.load(), 10);  // not the 200 it takes to read through the tag
}

// The validator's megabyte reads fail this close to the device's end, so the search decides.
TEST(CarvedSizeRulePdf, SearchStopsAtTheNextPdfStoredOnTheDisk) {
  const File a = Fixture("incremental_updates_three_eof.pdf");
  const File b = Fixture("ghostscript_two_pages.pdf");
  const int64_t lastEof = LastOf(a, "%%EOF");
  EXPECT_EQ(Carve("pdf", a), Measured(lastEof + 9));
  // b starts one byte after a's final line feed: on a sector boundary it is another file, and
  // the allowance after "%%EOF" stops short of it.
  const size_t lead = (1024 - (512 + a.size() + 1) % 512) % 512;
  const File both = File(a) << Bytes({'\n'}) << b;
  EXPECT_EQ(Carve("pdf", both, {.lead = lead}), Measured(static_cast<int64_t>(a.size()) + 1));
  EXPECT_EQ(Carve("pdf", both, {.lead = lead + 1}),
            Measured(static_cast<int64_t>(a.size()) + 1 + LastOf(b, "%%EOF") + 9));
  // An unreadable stretch ends the search with what it has found: the chunk holds only the first
  // of the three "%%EOF" (at 3000).
  Disk cut(a, {.lead = 0, .chunkBytes = 3072});
  cut.disk->AddUnreadable(512 + 3072, 8192);
  EXPECT_EQ(cut.Carve(Row("pdf", a)), Measured(3000 + 9));
}

TEST(CarvedSizeRuleJpeg, MarkerCountSkipsTheThumbnailAcrossReads) {
  // The bad segment length makes the validator give up; the nested EOI straddles the chunk's end.
  File f = Bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01}) << Filler(100) << Bytes({0xFF, 0xD8});
  f = Sized(f, 323) << Bytes({0xFF, 0xD9}) << Filler(500) << Bytes({0xFF, 0xD9});
  EXPECT_EQ(Carve("jpg", f, {.chunkBytes = 1024}), Measured(static_cast<int64_t>(f.size())));
}

TEST(CarvedSizeRuleGif, NoTrailerMeansFooterSearch) {
  const File f = Bytes({'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0,    0, 0x2C,
                        0,   0,   0,   0,   1,   0,   1, 0, 0, 2, 2, 0x4C, 1, 0})
                 << Filler(50) << Bytes({0x00, 0x3B});
  EXPECT_EQ(Carve("gif", File(f) << Filler(100)), Measured(static_cast<int64_t>(f.size())));
}

TEST(CarvedSizeRuleRtf, BracesBalanceAcrossReadsAndEscapes) {
  // The escaped brace straddles the chunk's end; the group in the middle spans several reads.
  const File f = Sized(File() << R"({\rtf1{\fonttbl{\f0 Arial;}}\{ \} \\{\b bold})", 323)
                 << R"(\})" << std::string(700'000, 'a') << R"({\i x}})";
  EXPECT_EQ(Carve("rtf", File(f) << "}}}", {.chunkBytes = 1024}),
            Measured(static_cast<int64_t>(f.size())));
}

TEST(CarvedSizeRuleGeneric, CancelAndUnreadableSectorsGiveTheMaximum) {
  const File svg = Fixture("embedded_png_image.svg");
  EXPECT_EQ(Carve("svg", svg, {.cancel = true}), Estimated(10 * kMiB));
  Disk disk(svg, {.lead = 0, .chunkBytes = 512});
  disk.disk->AddUnreadable(1024, 512);
  EXPECT_EQ(disk.Carve(Row("svg", svg)), Estimated(10 * kMiB));
}

}  // namespace
}  // namespace quarvelin
