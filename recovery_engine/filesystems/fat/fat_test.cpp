#include "filesystems/fat/fat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/byte_fields.h"
#include "common/sha256.h"
#include "filesystems/file_content.h"
#include "volumes.h"

namespace quarvelin {
namespace {

using testing::File;
using testing::TestVolume;
const auto PathOf = testing::ListedPath;
const auto StateName = testing::ListedState;

// NAME.files by path.
std::map<std::string, testing::ListedFile> ListedFiles(const std::string& name) {
  std::map<std::string, testing::ListedFile> files;
  for (testing::ListedFile& file : testing::ListedFiles(name)) files[file.path] = file;
  return files;
}

struct Scan {
  FileSystemReport report;
  std::map<std::string, FoundFile> files;
  int emitted = 0;
};

Scan Read(ByteSource& volume, CancelFlag cancel = nullptr) {
  Scan scan;
  scan.report = ReadFatFiles(
      volume,
      [&](const FoundFile& file) {
        ++scan.emitted;
        scan.files[PathOf(file)] = file;
      },
      cancel);
  return scan;
}

Scan Read(const File& image) {
  MemoryBytes volume(image);
  return Read(volume);
}

std::string ContentSha256(const File& image, const FoundFile& file) {
  MemoryBytes volume(image);
  Sha256 hash;
  ReadContent(
      volume, file,
      [&](std::span<const uint8_t> bytes) {
        hash.Update(bytes);
        return true;
      },
      nullptr);
  return hash.FinishHex();
}

// The offset of the directory entry with this 11-byte short name (first one found).
size_t EntryOffset(const File& image, std::string_view shortName) {
  for (size_t at = 0; at + 32 <= image.size(); at += 32) {
    if (std::equal(shortName.begin(), shortName.end(), image.begin() + static_cast<ptrdiff_t>(at),
                   [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; })) {
      return at;
    }
  }
  ADD_FAILURE() << "no entry " << shortName;
  return 0;
}

void Put16(File& image, size_t at, uint16_t value) {
  image[at] = static_cast<uint8_t>(value);
  image[at + 1] = static_cast<uint8_t>(value >> 8);
}

TEST(FatVolumes, EveryListedFileIsFoundWithItsStateSizeAndContent) {
  const struct {
    const char* name;
    const char* kind;
    const char* label;
    int64_t clusterBytes;
  } volumes[] = {
      {"fat12", "FAT12", "FLOPPY", 512},       {"fat16", "FAT16", "HOLIDAY", 2048},
      {"fat32", "FAT32", "FIRSTFIT", 512},     {"fat16_4k", "FAT16", "BIGSECTORS", 4096},
      {"quick_format", "FAT16", "AFTER", 512},
  };
  for (const auto& v : volumes) {
    SCOPED_TRACE(v.name);
    const File image = TestVolume(v.name);
    const Scan scan = Read(image);
    EXPECT_EQ(scan.report.error, "");
    EXPECT_EQ(scan.report.kind, v.kind);
    EXPECT_EQ(scan.report.label, v.label);
    EXPECT_EQ(scan.report.clusterBytes, v.clusterBytes);
    const auto listed = ListedFiles(v.name);
    ASSERT_FALSE(listed.empty());
    // Nothing more: no folder, no metadata, and after the quick format none of the old files.
    std::vector<std::string> found, expected;
    for (const auto& [path, file] : scan.files) found.push_back(path);
    for (const auto& [path, file] : listed) expected.push_back(path);
    EXPECT_EQ(found, expected);
    EXPECT_EQ(scan.emitted, std::ssize(scan.files));
    for (const auto& [path, want] : listed) {
      SCOPED_TRACE(path);
      const auto it = scan.files.find(path);
      if (it == scan.files.end()) continue;
      const FoundFile& file = it->second;
      EXPECT_EQ(StateName(file.state), want.state);
      EXPECT_EQ(file.size, want.size);
      EXPECT_EQ(file.problem, "");
      EXPECT_TRUE(file.modified.has_value());
      if (want.state != "overwritten") {
        EXPECT_EQ(ContentSha256(image, file), want.sha256);
      }
    }
  }
}

TEST(FatVolumes, FollowsAFragmentedChainAndSeesReusedClusters) {
  const File image = TestVolume("fat32");
  const Scan scan = Read(image);
  const auto wav = scan.files.find("work/fragmented recording.wav");
  ASSERT_NE(wav, scan.files.end());
  // Written into the gap a deleted file left, then on past the file after it.
  EXPECT_GE(wav->second.extents.size(), 2u);
  const auto essay = scan.files.find("work/_SSAYD~1.TXT");
  ASSERT_NE(essay, scan.files.end());
  EXPECT_EQ(essay->second.state, FileState::kOverwritten);
  EXPECT_EQ(essay->second.extents.size(), 1u);
}

TEST(FatHostile, ChainsThatLoopOrLeaveTheVolumeAreCutShortAndSaySo) {
  const File original = TestVolume("fat16");
  const size_t fat = 4 * 512;  // reserved sectors of this image
  const size_t entry = EntryOffset(original, "MIXEDC~1PDF");
  const uint16_t first = ReadLe16(original, entry + 26).value_or(0);
  {
    File image = original;
    Put16(image, fat + 2 * first, first);  // the first cluster points to itself
    const Scan scan = Read(image);
    const FoundFile& pdf = scan.files.at("Mixed Case Long Name.pdf");
    EXPECT_EQ(pdf.problem, "cluster chain loops after 2048 of 3916 bytes");
    EXPECT_EQ(pdf.extents.size(), 1u);
  }
  {
    File image = original;
    Put16(image, entry + 26, 0xFFF0);
    const Scan scan = Read(image);
    const FoundFile& pdf = scan.files.at("Mixed Case Long Name.pdf");
    EXPECT_NE(pdf.problem, "");
    EXPECT_TRUE(pdf.extents.empty());
  }
  {
    File image = original;
    Put16(image, fat + 2 * first, 0);  // the chain runs into a free cluster
    const Scan scan = Read(image);
    EXPECT_EQ(scan.files.at("Mixed Case Long Name.pdf").problem,
              "cluster chain reaches a free cluster after 2048 of 3916 bytes");
  }
  {
    File image = original;
    image[entry + 28] = image[entry + 29] = image[entry + 30] = image[entry + 31] = 0xFF;
    const Scan scan = Read(image);
    const FoundFile& pdf = scan.files.at("Mixed Case Long Name.pdf");
    EXPECT_EQ(pdf.size, 0xFFFFFFFF);
    EXPECT_EQ(pdf.problem, "cluster chain ends after 4096 of 4294967295 bytes");
    for (const Extent& extent : pdf.extents) {
      EXPECT_LE(extent.offset + extent.length, std::ssize(image));
    }
  }
}

TEST(FatHostile, DeletedFileSizedPastTheVolumeIsClipped) {
  File image = TestVolume("fat12");
  const size_t entry = EntryOffset(image, "\xE5LD     TXT");
  image[entry + 31] = 0x7F;  // about 2 GiB on a 1.44 MB floppy
  const Scan scan = Read(image);
  const FoundFile& old = scan.files.at("_LD.TXT");
  EXPECT_NE(old.problem, "");
  EXPECT_EQ(old.state, FileState::kDeleted);  // it was written last: all after it is free
  int64_t covered = 0;
  for (const Extent& extent : old.extents) {
    EXPECT_LE(extent.offset + extent.length, std::ssize(image));
    covered += extent.length;
  }
  EXPECT_GT(covered, 0);
}

TEST(FatHostile, DirectoryPointingBackAtTheRootIsReadOnce) {
  File image = TestVolume("fat32");
  const Scan before = Read(image);
  const size_t work = EntryOffset(image, "WORK       ");
  Put16(image, work + 26, 2);  // the root directory's cluster
  Put16(image, work + 20, 0);
  const Scan scan = Read(image);
  EXPECT_EQ(scan.report.error, "");
  EXPECT_EQ(scan.emitted, std::ssize(scan.files));
  EXPECT_EQ(scan.files.count("between the others.bin"), 1u);
  for (const auto& [path, file] : scan.files) EXPECT_EQ(path.find("work/"), std::string::npos);
  EXPECT_LT(scan.files.size(), before.files.size());
}

TEST(FatHostile, LongNameWithTheWrongChecksumFallsBackToTheShortName) {
  File image = TestVolume("fat16");
  const size_t entry = EntryOffset(image, "CAF\x90ME~1TXT");
  image[entry - 32 + 13] ^= 0x55;
  const Scan scan = Read(image);
  EXPECT_EQ(scan.files.count("café menu.txt"), 0u);
  ASSERT_EQ(scan.files.count("CAFÉME~1.TXT"), 1u);
  EXPECT_EQ(scan.files.at("CAFÉME~1.TXT").size, 39);
}

TEST(FatVolumes, TimesAreLocalTimeTakenAsUtc) {
  File image = TestVolume("fat12");
  const size_t entry = EntryOffset(image, "README  TXT");
  const uint16_t date = (2024 - 1980) << 9 | 2 << 5 | 29;
  const uint16_t time = 13 << 11 | 45 << 5 | 29;  // 13:45:58
  Put16(image, entry + 22, time);
  Put16(image, entry + 24, date);
  Put16(image, entry + 14, time);
  Put16(image, entry + 16, date);
  image[entry + 13] = 150;  // and 1.5 seconds more
  const FoundFile readme = Read(image).files.at("README.TXT");
  EXPECT_EQ(readme.modified, 1709214358);
  EXPECT_EQ(readme.created, 1709214359);
  Put16(image, entry + 24, date & ~0x1E0);  // month 0
  EXPECT_FALSE(Read(image).files.at("README.TXT").modified.has_value());
}

TEST(FatHostile, UnsoundBootSectorIsAnErrorAndNothingIsFound) {
  const File original = TestVolume("fat12");
  for (const auto& [at, value] :
       std::vector<std::pair<size_t, uint8_t>>{{13, 0},     // no sectors per cluster
                                               {11, 0x01},  // 257-byte sectors
                                               {16, 0},     // no FAT
                                               {0, 0}}) {   // no jump instruction
    File image = original;
    image[at] = value;
    const Scan scan = Read(image);
    EXPECT_NE(scan.report.error, "") << at;
    EXPECT_EQ(scan.emitted, 0) << at;
  }
  const File empty;
  EXPECT_NE(Read(empty).report.error, "");
}

// A volume whose first FAT has a bad sector.
class FailingBytes final : public ByteSource {
 public:
  FailingBytes(const File& bytes, int64_t badFrom, int64_t badTo)
      : bytes_(bytes), badFrom_(badFrom), badTo_(badTo) {}
  int64_t Size() const override { return bytes_.Size(); }
  bool Read(int64_t offset, std::span<uint8_t> out) override {
    if (offset < badTo_ && offset + std::ssize(out) > badFrom_) return false;
    return bytes_.Read(offset, out);
  }

 private:
  MemoryBytes bytes_;
  int64_t badFrom_, badTo_;
};

TEST(FatHostile, BadSectorInTheFirstTableIsReadFromTheSecond) {
  const File image = TestVolume("fat16");
  FailingBytes volume(image, 4 * 512, 5 * 512);
  const Scan scan = Read(volume);
  const auto& album = scan.files.at("Фото отпуск/album.mp3");
  EXPECT_EQ(album.problem, "");
  EXPECT_EQ(ContentSha256(image, album), ListedFiles("fat16").at("Фото отпуск/album.mp3").sha256);
}

TEST(FatHostile, CancelledReadStopsWithoutAnError) {
  const File image = TestVolume("fat16");
  MemoryBytes volume(image);
  const std::atomic<bool> cancel{true};
  const Scan scan = Read(volume, &cancel);
  EXPECT_EQ(scan.report.error, "");
  EXPECT_EQ(scan.emitted, 0);
}

}  // namespace
}  // namespace quarvelin
