#include "filesystems/ntfs/ntfs.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/byte_fields.h"
#include "common/sha256.h"
#include "filesystems/file_content.h"
#include "filesystems/ntfs/mft_record.h"
#include "filesystems/ntfs/run_list.h"
#include "volumes.h"

namespace quarvelin {
namespace {

using testing::File;
using Listed = testing::ListedFile;
const auto FileList = testing::ListedFiles;
const auto PathOf = testing::ListedPath;
const auto StateName = testing::ListedState;

// Each image is read once: the tests copy it when they edit it.
const File& TestVolume(const std::string& name) {
  static std::map<std::string, File> loaded;
  auto it = loaded.find(name);
  if (it == loaded.end()) it = loaded.emplace(name, testing::TestVolume(name)).first;
  return it->second;
}

struct Listing {
  FileSystemReport report;
  std::multimap<std::string, FoundFile> files;  // by path
};

Listing ReadAll(const File& image) {
  MemoryBytes volume(image);
  Listing out;
  out.report = ReadNtfsFiles(
      volume, [&](const FoundFile& f) { out.files.emplace(PathOf(f), f); }, nullptr);
  return out;
}

const FoundFile& Only(const Listing& listing, const std::string& path) {
  EXPECT_EQ(listing.files.count(path), 1u) << path;
  const auto it = listing.files.find(path);
  if (it == listing.files.end()) throw std::runtime_error("not found: " + path);
  return it->second;
}

std::string ContentSha(const File& image, const FoundFile& file) {
  MemoryBytes volume(image);
  Sha256 sha;
  const ContentResult result = ReadContent(
      volume, file,
      [&](std::span<const uint8_t> piece) {
        sha.Update(piece);
        return true;
      },
      nullptr);
  EXPECT_TRUE(result.unreadable.empty()) << PathOf(file);
  return sha.FinishHex();
}

// Where a record with a $FILE_NAME of `name` lies in the image, and how long records are.
struct RecordAt {
  size_t offset = 0;
  size_t size = 0;
};

RecordAt FindRecord(const File& image, const std::string& name) {
  const int8_t perRecord = static_cast<int8_t>(image[0x40]);
  const size_t size = perRecord < 0
                          ? size_t{1} << -perRecord
                          : static_cast<size_t>(perRecord) * *ReadLe16(image, 0x0B) * image[0x0D];
  for (size_t at = 0; at + size <= image.size(); at += size) {
    if (image[at] != 'F' || image[at + 1] != 'I') continue;
    File copy(image.begin() + static_cast<ptrdiff_t>(at),
              image.begin() + static_cast<ptrdiff_t>(at + size));
    if (!ApplyFixups(copy)) continue;
    const auto record = ParseRecord(copy);
    if (!record || record->base.record != 0) continue;
    for (const Attribute& a : record->attributes) {
      if (a.type == kFileName && a.value.size() > 0x42 &&
          Utf16ToUtf8(a.value.subspan(0x42, 2u * a.value[0x40])) == name) {
        return {at, size};
      }
    }
  }
  throw std::runtime_error("no record named " + name);
}

// Edits a record as the file system would: fix-ups undone, `edit` applied, the update sequence
// written back.
void EditRecord(File& image, const RecordAt& at,
                const std::function<void(std::span<uint8_t>)>& edit) {
  std::span<uint8_t> record(image.data() + at.offset, at.size);
  ASSERT_TRUE(ApplyFixups(record));
  edit(record);
  const size_t usa = *ReadLe16(record, 4);
  for (size_t i = 0; i < at.size / 512; ++i) {
    const size_t last = (i + 1) * 512 - 2;
    record[usa + 2 + 2 * i] = record[last];
    record[usa + 3 + 2 * i] = record[last + 1];
    record[last] = record[usa];
    record[last + 1] = record[usa + 1];
  }
}

// The offset inside the record of the first attribute of `type`.
size_t AttributeOffset(std::span<const uint8_t> record, uint32_t type) {
  size_t at = *ReadLe16(record, 0x14);
  while (*ReadLe32(record, at) != type) at += *ReadLe32(record, at + 4);
  return at;
}

void SetParent(std::span<uint8_t> record, uint64_t reference) {
  const size_t name = AttributeOffset(record, kFileName);
  const size_t value = name + *ReadLe16(record, name + 0x14);
  for (size_t i = 0; i < 8; ++i) record[value + i] = static_cast<uint8_t>(reference >> (8 * i));
}

uint64_t ReferenceTo(const File& image, const RecordAt& at) {
  File copy(image.begin() + static_cast<ptrdiff_t>(at.offset),
            image.begin() + static_cast<ptrdiff_t>(at.offset + at.size));
  EXPECT_TRUE(ApplyFixups(copy));
  const uint64_t number = *ReadLe32(copy, 0x2C);
  return number | (uint64_t{*ReadLe16(copy, 0x10)} << 48);
}

class NtfsVolumes : public ::testing::TestWithParam<const char*> {};

TEST_P(NtfsVolumes, FindEveryListedFileWithItsPathSizeStateAndContent) {
  const File& image = TestVolume(GetParam());
  const Listing listing = ReadAll(image);
  ASSERT_EQ(listing.report.error, "");
  EXPECT_EQ(listing.report.kind, "NTFS");
  EXPECT_EQ(listing.report.label, std::string("Quarvelin ") + GetParam());
  size_t live = 0;
  for (const Listed& want : FileList(GetParam())) {
    SCOPED_TRACE(want.path);
    const FoundFile& found = Only(listing, want.path);
    EXPECT_FALSE(found.orphan);
    EXPECT_EQ(found.size, want.size);
    EXPECT_EQ(StateName(found.state), want.state);
    EXPECT_EQ(found.problem, "");
    if (want.state == "live") ++live;
    // Compressed content needs the decompressor; its layout is checked below.
    if (want.state != "overwritten" && found.compressionUnit == 0) {
      EXPECT_EQ(ContentSha(image, found), want.sha256);
    }
  }
  // Nothing else is live: no metadata file, no second copy of a hard-linked file.
  size_t liveFound = 0;
  for (const auto& [path, f] : listing.files) liveFound += f.state == FileState::kLive ? 1 : 0;
  EXPECT_EQ(liveFound, live);
}

TEST_P(NtfsVolumes, KeepSmallFilesInTheirRecordsAndDescribeSparseFragmentedAndCompressedOnes) {
  const File& image = TestVolume(GetParam());
  const Listing listing = ReadAll(image);
  EXPECT_TRUE(Only(listing, "Documents/note.txt").resident.has_value());
  EXPECT_TRUE(Only(listing, "Trash/Letters/short.txt").resident.has_value());
  EXPECT_TRUE(Only(listing, "Documents/empty.txt").extents.empty());

  const FoundFile& sparse = Only(listing, "sparse.bin");
  ASSERT_FALSE(sparse.extents.empty());
  EXPECT_TRUE(sparse.extents.front().sparse);

  EXPECT_GT(Only(listing, "fragmented.txt").extents.size(), 3u);
  EXPECT_GT(Only(listing, "Trash/Letters/fragmented draft.txt").extents.size(), 1u);

  const FoundFile& compressed = Only(listing, "Compressed/compressible.txt");
  EXPECT_EQ(compressed.compressionUnit, 16 * listing.report.clusterBytes);
  int64_t covered = 0;
  for (const Extent& e : compressed.extents) covered += e.length;
  EXPECT_EQ(covered % compressed.compressionUnit, 0);
  EXPECT_GE(covered, compressed.size);
  EXPECT_TRUE(compressed.created.has_value() && compressed.modified.has_value());
}

INSTANTIATE_TEST_SUITE_P(RealImages, NtfsVolumes, ::testing::Values("ntfs_512", "ntfs_4k"));

TEST(NtfsPaths, FileUnderAFreedReusedOrLoopingFolderIsAnOrphanWithTheChainBelowTheBreak) {
  File image = TestVolume("ntfs_512");
  const RecordAt reports = FindRecord(image, "Reports");
  const RecordAt year = FindRecord(image, "2024");
  const RecordAt photos = FindRecord(image, "2019");

  // A live file's folder no longer in use.
  EditRecord(image, reports, [](std::span<uint8_t> r) { r[0x16] &= 0xFE; });
  // A deleted file's folder reused: its sequence number moved on.
  EditRecord(image, photos,
             [](std::span<uint8_t> r) { r[0x10] = static_cast<uint8_t>(r[0x10] + 5); });
  Listing listing = ReadAll(image);
  const FoundFile& tiny = Only(listing, "tiny.txt");
  EXPECT_TRUE(tiny.orphan);
  EXPECT_EQ(tiny.state, FileState::kLive);
  const FoundFile& report = Only(listing, "2024/quarterly report.pdf");
  EXPECT_TRUE(report.orphan);
  const FoundFile& pieces = Only(listing, "pieces.txt");
  EXPECT_TRUE(pieces.orphan);
  EXPECT_NE(pieces.state, FileState::kLive);
  EXPECT_FALSE(Only(listing, "Trash/Letters/letter.pdf").orphan);

  // Two folders each other's parent.
  image = TestVolume("ntfs_512");
  const uint64_t toReports = ReferenceTo(image, reports);
  const uint64_t toYear = ReferenceTo(image, year);
  EditRecord(image, reports, [&](std::span<uint8_t> r) { SetParent(r, toYear); });
  EditRecord(image, year, [&](std::span<uint8_t> r) { SetParent(r, toReports); });
  listing = ReadAll(image);
  bool found = false;
  for (const auto& [path, f] : listing.files) {
    if (f.name != "quarterly report.pdf") continue;
    found = true;
    EXPECT_TRUE(f.orphan);
    EXPECT_LE(f.folders.size(), 2u);
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(listing.files.count("Documents/note.txt"), 1u);
}

TEST(NtfsHostile, BadRunListsAttributesAndFixupsCostOnlyTheirOwnFile) {
  const File& original = TestVolume("ntfs_512");
  const RecordAt song = FindRecord(original, "tagged song.mp3");
  auto withData = [&](const std::function<void(std::span<uint8_t>, size_t)>& edit) {
    File image = original;
    EditRecord(image, song, [&](std::span<uint8_t> r) { edit(r, AttributeOffset(r, kData)); });
    return image;
  };
  auto pairsAt = [](std::span<uint8_t> r, size_t data) { return data + *ReadLe16(r, data + 0x20); };

  // A run far past the volume's end, then a run of absurd length.
  const File pastEnd = withData([&](std::span<uint8_t> r, size_t data) {
    const size_t p = pairsAt(r, data);
    r[p] = static_cast<uint8_t>((r[p] & 0x0F) | 0x40);
    const size_t lcn = p + 1 + (r[p] & 0x0F);
    r[lcn] = 0;
    r[lcn + 1] = 0;
    r[lcn + 2] = 0;
    r[lcn + 3] = 0x70;
    r[lcn + 4] = 0;  // end of the list
  });
  const File absurd = withData([&](std::span<uint8_t> r, size_t data) {
    const size_t p = pairsAt(r, data);
    r[p + 1] = 0xFF;
    if ((r[p] & 0x0F) > 1) r[p + 2] = 0x7F;
  });
  for (const File* image : {&pastEnd, &absurd}) {
    const Listing listing = ReadAll(*image);
    const FoundFile& f = Only(listing, "Music/tagged song.mp3");
    EXPECT_NE(f.problem, "");
    for (const Extent& e : f.extents) {
      EXPECT_LE(e.offset + e.length, static_cast<int64_t>(image->size()));
    }
    EXPECT_EQ(listing.files.count("fragmented.txt"), 1u);
  }

  // An attribute claiming to run past the record: the record's earlier attributes still name it.
  const File longAttribute =
      withData([&](std::span<uint8_t> r, size_t data) { r[data + 5] = 0x7F; });
  const Listing cut = ReadAll(longAttribute);
  EXPECT_EQ(cut.files.count("Music/tagged song.mp3"), 1u);
  EXPECT_EQ(cut.files.count("fragmented.txt"), 1u);

  // A torn first MFT record: the mirror's copy maps the MFT instead.
  File tornMft = original;
  const size_t mft =
      static_cast<size_t>(*ReadLe64(original, 0x30)) * *ReadLe16(original, 0x0B) * original[0x0D];
  tornMft[mft + 510] ^= 0xFF;
  EXPECT_EQ(ReadAll(tornMft).files.count("fragmented.txt"), 1u);

  // A torn record is left out; nothing else is lost.
  File torn = original;
  torn[song.offset + 1022] ^= 0xFF;
  const Listing tornListing = ReadAll(torn);
  EXPECT_EQ(tornListing.files.count("Music/tagged song.mp3"), 0u);
  EXPECT_EQ(tornListing.files.count("Documents/note.txt"), 1u);
}

TEST(NtfsFlags, EncryptedFileIsEmittedAsStoredAndSaysWhy) {
  File image = TestVolume("ntfs_512");
  EditRecord(image, FindRecord(image, "tagged song.mp3"), [](std::span<uint8_t> r) {
    const size_t info = AttributeOffset(r, kStandardInformation);
    r[info + *ReadLe16(r, info + 0x14) + 0x21] |= 0x40;  // FILE_ATTRIBUTE_ENCRYPTED
  });
  const Listing listing = ReadAll(image);
  const FoundFile& song = Only(listing, "Music/tagged song.mp3");
  EXPECT_EQ(song.problem,
            "encrypted with EFS: written as stored, unreadable without the owner's key");
  EXPECT_FALSE(song.extents.empty());
}

TEST(NtfsHostile, AttributeListNamingItsOwnRecordIsReadOnce) {
  File image = TestVolume("ntfs_512");
  const RecordAt linked = FindRecord(image, "linked.txt");
  const uint64_t self = ReferenceTo(image, linked);
  // So many names that the list left the record: its one run holds the entries.
  File record(image.begin() + static_cast<ptrdiff_t>(linked.offset),
              image.begin() + static_cast<ptrdiff_t>(linked.offset + linked.size));
  ASSERT_TRUE(ApplyFixups(record));
  const size_t list = AttributeOffset(record, kAttributeList);
  ASSERT_EQ(record[list + 8], 1);
  const DecodedRuns runs =
      DecodeRunList(std::span(record).subspan(list + *ReadLe16(record, list + 0x20)), 0);
  ASSERT_EQ(runs.runs.size(), 1u);
  const size_t clusterBytes = size_t{*ReadLe16(image, 0x0B)} * image[0x0D];
  const size_t first = static_cast<size_t>(runs.runs[0].lcn) * clusterBytes;
  const size_t length = static_cast<size_t>(*ReadLe64(record, list + 0x30));
  for (size_t at = first; at < first + length; at += *ReadLe16(image, at + 4)) {
    for (size_t i = 0; i < 8; ++i) image[at + 0x10 + i] = static_cast<uint8_t>(self >> (8 * i));
  }
  const Listing listing = ReadAll(image);
  EXPECT_EQ(listing.files.count("Links/linked.txt"), 1u);
  EXPECT_EQ(listing.files.count("Documents/note.txt"), 1u);
}

TEST(NtfsBootSector, OtherVolumesAndBrokenGeometryAreErrorsWithNothingFound) {
  const File& original = TestVolume("ntfs_4k");
  for (const auto& [at, value] : std::vector<std::pair<size_t, uint8_t>>{
           {3, 'X'}, {0x0B, 0x03}, {0x0D, 0x00}, {0x40, 0x00}, {0x30, 0xFF}}) {
    File image = original;
    image[at] = value;
    if (at == 0x30) image[0x36] = 0x7F;
    size_t found = 0;
    MemoryBytes volume(image);
    const FileSystemReport report = ReadNtfsFiles(
        volume, [&](const FoundFile&) { ++found; }, nullptr);
    EXPECT_NE(report.error, "") << at;
    EXPECT_EQ(found, 0u);
  }
}

TEST(NtfsRunList, SignedDeltasSparseRunsAndDamage) {
  // 0x21: one length byte, two offset bytes; 0x01: sparse; 0x11 with a negative delta.
  const File pairs = {0x21, 0x10, 0x00, 0x01, 0x01, 0x08, 0x11, 0x04, 0xF0, 0x00};
  const DecodedRuns runs = DecodeRunList(pairs, 0);
  ASSERT_FALSE(runs.damaged);
  ASSERT_EQ(runs.runs.size(), 3u);
  EXPECT_EQ(runs.runs[0].lcn, 0x100);
  EXPECT_TRUE(runs.runs[1].sparse);
  EXPECT_EQ(runs.runs[1].vcn, 0x10);
  EXPECT_EQ(runs.runs[2].lcn, 0x100 - 0x10);
  EXPECT_EQ(runs.runs[2].vcn, 0x18);
  // Running off the end, a cluster below zero, a zero length.
  EXPECT_TRUE(DecodeRunList(File{0x21, 0x10}, 0).damaged);
  EXPECT_TRUE(DecodeRunList(File{0x11, 0x01, 0x80, 0x00}, 0).damaged);
  EXPECT_TRUE(DecodeRunList(File{0x11, 0x00, 0x05, 0x00}, 0).damaged);
}

}  // namespace
}  // namespace quarvelin
