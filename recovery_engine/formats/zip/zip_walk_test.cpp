#include "formats/zip/zip_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "candidate.h"
#include "fixtures.h"
#include "sparse_disk.h"

namespace quarvelin {
namespace {

using testing::Append;
using testing::Candidate;
using testing::Concat;
using testing::File;
using testing::Le16;
using testing::Le32;
using testing::Le64;
using testing::Placement;
using testing::Text;

struct Entry {
  std::string name;
  File data;
  uint16_t method = 0;  // as recorded; the data is kept as given
};

struct Style {
  bool descriptors = false;  // sizes after the data, as a streaming writer leaves them
  bool zip64 = false;        // ZIP64 fields everywhere, as `zip -fz` writes
  std::string comment = {};
};

File MakeZip(const std::vector<Entry>& entries, const Style& style = {}) {
  File out, directory;
  for (const auto& e : entries) {
    const auto offset = static_cast<uint32_t>(out.size());
    const auto size = static_cast<uint32_t>(e.data.size());
    const uint16_t flags = style.descriptors ? 8 : 0;
    const uint32_t localSize = style.descriptors ? 0 : style.zip64 ? 0xFFFFFFFF : size;
    const File localExtra =
        style.zip64 ? Concat(Le16(1), Le16(16), Le64(size), Le64(style.descriptors ? 0 : size))
                    : File{};
    Append(out, "PK\x03\x04", Le16(45), Le16(flags), Le16(e.method), Le32(0), Le32(0),
           Le32(localSize), Le32(localSize), Le16(static_cast<uint16_t>(e.name.size())),
           Le16(static_cast<uint16_t>(localExtra.size())), e.name, localExtra, e.data);
    if (style.descriptors) Append(out, "PK\x07\x08", Le32(0), Le32(size), Le32(size));
    const File extra =
        style.zip64 ? Concat(Le16(1), Le16(24), Le64(size), Le64(size), Le64(offset)) : File{};
    const uint32_t marked = 0xFFFFFFFF;
    Append(directory, "PK\x01\x02", Le16(45), Le16(45), Le16(flags), Le16(e.method), Le32(0),
           Le32(0), Le32(style.zip64 ? marked : size), Le32(style.zip64 ? marked : size),
           Le16(static_cast<uint16_t>(e.name.size())), Le16(static_cast<uint16_t>(extra.size())),
           Le16(0), Le16(0), Le16(0), Le32(0), Le32(style.zip64 ? marked : offset), e.name, extra);
  }
  const auto directoryAt = out.size();
  Append(out, directory);
  const auto count = entries.size();
  if (style.zip64) {
    const auto recordAt = out.size();
    Append(out, "PK\x06\x06", Le64(44), Le16(45), Le16(45), Le32(0), Le32(0), Le64(count),
           Le64(count), Le64(directory.size()), Le64(directoryAt), "PK\x06\x07", Le32(0),
           Le64(recordAt), Le32(1));
  }
  const auto count16 = static_cast<uint16_t>(style.zip64 ? 0xFFFF : count);
  const auto size32 = static_cast<uint32_t>(style.zip64 ? 0xFFFFFFFF : directory.size());
  const auto at32 = static_cast<uint32_t>(style.zip64 ? 0xFFFFFFFF : directoryAt);
  Append(out, "PK\x05\x06", Le32(0), Le16(count16), Le16(count16), Le32(size32), Le32(at32),
         Le16(static_cast<uint16_t>(style.comment.size())), style.comment);
  return out;
}

const std::vector<Entry> kFiles = {{"notes.txt", Text("some notes")},
                                   {"photo.jpg", testing::RandomBytes(3000, 1)}};

ZipWalk Walk(const File& file, Placement p = {}) {
  Candidate candidate(file, p);
  RangeReader reader = candidate.Reader();
  return WalkZip(reader, candidate.Cancel());
}

TEST(ZipWalk, SizesEveryLayoutExactlyWhereverItLies) {
  for (const Style& style : {Style{}, Style{.descriptors = true}, Style{.zip64 = true},
                             Style{.descriptors = true, .zip64 = true, .comment = "a comment"}}) {
    const File zip = MakeZip(kFiles, style);
    for (const Placement p : {Placement{.lead = 100, .randomTrailing = true},
                              Placement{.lead = 700, .bufferBytes = 1024, .sectorSize = 4096},
                              Placement{.lead = 3, .bufferBytes = 600, .trailing = 0}}) {
      const auto walk = Walk(zip, p);
      EXPECT_EQ(walk.length, std::ssize(zip)) << style.descriptors << style.zip64;
      EXPECT_EQ(walk.kind, ZipKind::kZip);
    }
  }
  // Nothing but an end record: an empty archive.
  EXPECT_EQ(Walk(MakeZip({})).length, 22);
}

TEST(ZipWalk, RealArchivesAndDocuments) {
  for (const auto& [extension, kind] :
       {std::pair{"zip", ZipKind::kZip}, {"docx", ZipKind::kDocx}}) {
    for (const auto& path : testing::Fixtures(extension)) {
      const File real = testing::Fixture(path.filename().string());
      const auto walk = Walk(real, {.lead = 9, .bufferBytes = 4096, .randomTrailing = true});
      EXPECT_EQ(walk.length, std::ssize(real)) << path;
      EXPECT_EQ(walk.kind, kind) << path;
    }
  }
}

constexpr std::string_view kOdtType = "application/vnd.oasis.opendocument.text";

ZipWalk WalkEntries(const std::vector<std::string>& names, const Entry& extra = {}) {
  std::vector<Entry> entries;
  for (const auto& name : names) entries.push_back({name, Text("x")});
  if (!extra.name.empty()) entries.push_back(extra);
  return Walk(MakeZip(entries));
}

TEST(ZipWalk, TellsPackagesByTheirEntryNames) {
  const auto kindOf = [](std::vector<std::string> names, const Entry& extra = {}) {
    return WalkEntries(names, extra).kind;
  };
  const struct {
    std::vector<std::string> names;
    ZipKind kind;
  } table[] = {
      {{"[Content_Types].xml", "_rels/.rels", "word/document.xml"}, ZipKind::kDocx},
      {{"xl/workbook.xml", "xl/worksheets/sheet1.xml", "[Content_Types].xml"}, ZipKind::kXlsx},
      {{"[Content_Types].xml", "ppt/presentation.xml"}, ZipKind::kPptx},
      // Office 365 at times names Word's main part document2.xml: the folder still tells.
      {{"[Content_Types].xml", "word/document2.xml"}, ZipKind::kDocx},
      {{"AndroidManifest.xml", "classes.dex", "META-INF/MANIFEST.MF"}, ZipKind::kApk},
      {{"AndroidManifest.xml", "resources.arsc"}, ZipKind::kApk},
      {{"META-INF/MANIFEST.MF", "a.class"}, ZipKind::kJar},
      // Word's document without the package's type list, or the list alone, is no Office file.
      {{"word/document.xml"}, ZipKind::kZip},
      {{"[Content_Types].xml", "other.xml"}, ZipKind::kZip},
      // A library's archive for Android builds carries the manifest but no compiled app: neither
      // an APK nor, with Android's manifest in it, a JAR.
      {{"AndroidManifest.xml", "classes.jar", "META-INF/MANIFEST.MF"}, ZipKind::kZip},
      {{"META-INF/manifest.xml", "content.xml"}, ZipKind::kZip},
  };
  for (const auto& row : table) {
    EXPECT_EQ(kindOf(row.names), row.kind) << ::testing::PrintToString(row.names);
  }
  EXPECT_EQ(WalkEntries({"[Content_Types].xml", "xl/workbook.xml"}).evidence,
            ZipEvidence::kContentTypes);
  EXPECT_EQ(WalkEntries({"a.txt"}).evidence, ZipEvidence::kNone);

  // A document holding a workbook's loose parts is what its main part says, wherever it is listed.
  EXPECT_EQ(kindOf({"[Content_Types].xml", "xl/media/chart.xml", "word/document.xml"}),
            ZipKind::kDocx);
  EXPECT_EQ(kindOf({"[Content_Types].xml", "word/media/a.png", "xl/workbook.xml"}), ZipKind::kXlsx);
  EXPECT_EQ(kindOf({"[Content_Types].xml", "ppt/presentation.xml", "word/document.xml"}),
            ZipKind::kPptx);

  // A jar kept inside an app or a plain archive: only the outer archive's own names count.
  const Entry innerJar{"libs/helper.jar",
                       MakeZip({{"META-INF/MANIFEST.MF", Text("Manifest-Version: 1.0\r\n")}})};
  EXPECT_EQ(kindOf({"AndroidManifest.xml", "classes.dex", "META-INF/MANIFEST.MF"}, innerJar),
            ZipKind::kApk);
  EXPECT_EQ(kindOf({"readme.txt"}, innerJar), ZipKind::kZip);
}

TEST(ZipWalk, TheStoredMediaTypeNamesOpenDocumentsAndBooks) {
  const auto walk = [](std::string_view type, std::vector<std::string> before = {},
                       uint16_t method = 0) {
    return WalkEntries(before, {"mimetype", Text(type), method});
  };
  EXPECT_EQ(walk(kOdtType).kind, ZipKind::kOdt);
  EXPECT_EQ(walk("application/vnd.oasis.opendocument.spreadsheet").kind, ZipKind::kOds);
  EXPECT_EQ(walk("application/vnd.oasis.opendocument.presentation").kind, ZipKind::kOdp);
  EXPECT_EQ(walk("application/epub+zip").kind, ZipKind::kEpub);
  EXPECT_EQ(walk("application/epub+zip").evidence, ZipEvidence::kMimetype);
  // Templates open as documents of their kind; drawings and formulas have no type of their own.
  EXPECT_EQ(walk("application/vnd.oasis.opendocument.spreadsheet-template").kind, ZipKind::kOds);
  EXPECT_EQ(walk("application/vnd.oasis.opendocument.graphics").kind, ZipKind::kZip);
  EXPECT_EQ(walk("application/vnd.oasis.opendocument.textual").kind, ZipKind::kZip);
  // Zipped up again by hand: the entry not first, or with a line end, still names the document.
  EXPECT_EQ(walk(kOdtType, {"content.xml", "META-INF/manifest.xml"}).kind, ZipKind::kOdt);
  EXPECT_EQ(walk(std::string(kOdtType) + "\n").kind, ZipKind::kOdt);
  // A compressed one cannot be read as it stands.
  EXPECT_EQ(walk(kOdtType, {}, 8).kind, ZipKind::kZip);

  // The directory's entry must lead to a local entry of that name.
  File moved = MakeZip({{"a.txt", Text("x")}, {"mimetype", Text(kOdtType)}});
  const auto at = std::search(moved.begin(), moved.end(), kOdtType.begin(), kOdtType.end());
  std::copy_n("mimetypo", 8, at - 8);
  EXPECT_EQ(Walk(moved).kind, ZipKind::kZip);
}

TEST(ZipWalk, AnArchiveCutShortIsNotProvenAndJudgedByItsFirstEntry) {
  const File docx = MakeZip({{"[Content_Types].xml", Text("<Types/>")},
                             {"word/document.xml", testing::RandomBytes(2000, 2)}});
  const File zip = MakeZip(kFiles);
  for (const size_t keep : {docx.size() - 30, docx.size() - 100, size_t{1500}}) {
    const auto walk =
        Walk(File(docx.begin(), docx.begin() + static_cast<ptrdiff_t>(keep)), {.trailing = 0});
    EXPECT_EQ(walk.length, std::nullopt) << keep;
    EXPECT_EQ(walk.kind, ZipKind::kDocx);
    EXPECT_FALSE(walk.fromDirectory);
  }
  EXPECT_EQ(Walk(File(zip.begin(), zip.begin() + 500)).kind, ZipKind::kZip);
  // The local entries that can be followed name the others.
  const File xlsx = MakeZip({{"[Content_Types].xml", Text("<Types/>")},
                             {"xl/workbook.xml", Text("<workbook/>")},
                             {"xl/worksheets/sheet1.xml", testing::RandomBytes(2000, 4)}});
  EXPECT_EQ(Walk(File(xlsx.begin(), xlsx.begin() + 1000), {.trailing = 0}).kind, ZipKind::kXlsx);
  const File odp = MakeZip({{"mimetype", Text("application/vnd.oasis.opendocument.presentation")},
                            {"content.xml", testing::RandomBytes(2000, 5)}});
  EXPECT_EQ(Walk(File(odp.begin(), odp.begin() + 1000), {.trailing = 0}).kind, ZipKind::kOdp);
  // Cut inside its comment, at the device's end.
  const File commented = MakeZip(kFiles, {.comment = "twenty bytes of text"});
  const File cut(commented.begin(), commented.end() - 5);
  EXPECT_EQ(Walk(cut, {.lead = (512 - cut.size() % 512) % 512, .trailing = 0}).length,
            std::nullopt);
}

TEST(ZipWalk, StopsAtItsOwnEndRecordBeforeWhatFollows) {
  // Another archive after it, an archive stored inside it, random bytes with end-record
  // signatures: none of their records closes this archive.
  const File inner = MakeZip(kFiles, {.zip64 = true});
  for (const Style& style : {Style{}, Style{.descriptors = true}, Style{.zip64 = true}}) {
    const File outer = MakeZip({{"inner.zip", inner}, {"b.txt", Text("b")}}, style);
    File noise = testing::RandomBytes(5000, 3);
    for (size_t i = 0; i + 22 < noise.size(); i += 500) {
      std::copy_n("PK\x05\x06", 4, noise.begin() + static_cast<ptrdiff_t>(i));
    }
    EXPECT_EQ(Walk(Concat(outer, MakeZip(kFiles))).length, std::ssize(outer));
    EXPECT_EQ(Walk(Concat(outer, noise)).length, std::ssize(outer));
  }
}

TEST(ZipWalk, AnEntryInsideAnArchiveIsNoArchiveOfItsOwn) {
  // A scan that did not want the package moves on to its second entry's header: that must not come
  // out as a ZIP of the package's tail. A self-extracting archive's first entry, after its
  // program, still does.
  for (const Style& style : {Style{}, Style{.descriptors = true}}) {
    const File zip = MakeZip({{"[Content_Types].xml", Text("<Types/>")},
                              {"xl/workbook.xml", testing::RandomBytes(900, 6)},
                              {"xl/styles.xml", Text("<styleSheet/>")}},
                             style);
    const size_t second = 30 + 19 + 8 + (style.descriptors ? 16 : 0);
    const auto tail = Walk(File(zip.begin() + static_cast<ptrdiff_t>(second), zip.end()));
    EXPECT_TRUE(tail.insideEarlier && !tail.length) << style.descriptors;
    EXPECT_FALSE(Walk(zip).insideEarlier);
  }
  // Offsets count from the program's start: both entries' and the directory's.
  File sfx = MakeZip(kFiles);
  const size_t end = sfx.size() - 22;
  for (const size_t at : {end - 110 + 42, end - 55 + 42, end + 16}) {
    const uint32_t offset = *ReadLe32(sfx, at) + 700;
    std::copy_n(Le32(offset).begin(), 4, sfx.begin() + static_cast<ptrdiff_t>(at));
  }
  const auto sfxWalk = Walk(sfx);
  EXPECT_FALSE(sfxWalk.insideEarlier);
  EXPECT_FALSE(sfxWalk.length);
}

TEST(ZipWalk, HostileFieldsEndTheWalkUnproven) {
  File zip = MakeZip(kFiles);
  // A local size running off the disk, with no end record to search for.
  File huge = zip;
  huge[18] = huge[19] = huge[20] = huge[21] = 0x7F;
  EXPECT_EQ(Walk(File(huge.begin(), huge.begin() + 200)).length, std::nullopt);

  // A ZIP64 locator whose record offset is far off or overflowing, and a record that is not there.
  File z64 = MakeZip(kFiles, {.zip64 = true});
  const size_t locator = z64.size() - 22 - 20;
  for (const uint64_t bogus : {uint64_t{0xFFFFFFFFFFFFFFFF}, uint64_t{0x7FFFFFFFFFFFFFF0}}) {
    File bad = z64;
    std::copy_n(Le64(bogus).begin(), 8, bad.begin() + static_cast<ptrdiff_t>(locator + 8));
    bad[locator - 56] = 'X';  // the ZIP64 end record's signature
    EXPECT_EQ(Walk(bad).length, std::nullopt);
  }
  // A directory entry whose local header would lie past the directory.
  File misplaced = zip;
  misplaced[misplaced.size() - 22 - 55 + 45] = 0x7F;  // the last entry's local offset, top byte
  EXPECT_EQ(Walk(misplaced).length, std::nullopt);
  // An end record that names more entries than its directory holds.
  File miscounted = zip;
  miscounted[miscounted.size() - 12] = 9;
  EXPECT_EQ(Walk(miscounted).length, std::nullopt);

  EXPECT_EQ(Walk(zip, {.cancelled = true}).length, std::nullopt);
}

TEST(ZipWalk, Zip64ArchivePastFourGiB) {
  // One stored 5 GiB entry: its data is only jumped over.
  const int64_t data = int64_t{5} << 30;
  const File name = Text("big.bin");
  const File local =
      Concat("PK\x03\x04", Le16(45), Le16(0), Le16(0), Le32(0), Le32(0), Le32(0xFFFFFFFF),
             Le32(0xFFFFFFFF), Le16(7), Le16(20), name, Le16(1), Le16(16), Le64(data), Le64(data));
  const int64_t directoryAt = std::ssize(local) + data;
  const File entry =
      Concat("PK\x01\x02", Le16(45), Le16(45), Le16(0), Le16(0), Le32(0), Le32(0), Le32(0xFFFFFFFF),
             Le32(0xFFFFFFFF), Le16(7), Le16(20), Le16(0), Le16(0), Le16(0), Le32(0), Le32(0), name,
             Le16(1), Le16(16), Le64(data), Le64(data));
  const int64_t recordAt = directoryAt + std::ssize(entry);
  const File tail =
      Concat(entry, "PK\x06\x06", Le64(44), Le16(45), Le16(45), Le32(0), Le32(0), Le64(1), Le64(1),
             Le64(entry.size()), Le64(static_cast<uint64_t>(directoryAt)), "PK\x06\x07", Le32(0),
             Le64(static_cast<uint64_t>(recordAt)), Le32(1), "PK\x05\x06", Le32(0), Le16(0xFFFF),
             Le16(0xFFFF), Le32(0xFFFFFFFF), Le32(0xFFFFFFFF), Le16(0));
  const int64_t start = 4096;
  testing::SparseDisk disk(start + directoryAt + (int64_t{1} << 20));
  disk.Put(start, local).Put(start + directoryAt, tail);
  const auto chunk = disk.ReadDeviceSectors(0, 64, 512);
  RangeReader reader(chunk, static_cast<size_t>(start), 0, 512, disk);
  EXPECT_EQ(WalkZip(reader, nullptr).length, directoryAt + std::ssize(tail));
}

}  // namespace
}  // namespace quarvelin
