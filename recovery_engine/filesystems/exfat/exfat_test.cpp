#include "filesystems/exfat/exfat.h"

#include <gtest/gtest.h>

#include <atomic>
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
using testing::ListedFiles;
using testing::TestVolume;
const auto PathOf = testing::ListedPath;
const auto StateName = testing::ListedState;

// Each image read once: unpacking them byte by byte costs more than reading them.
const File& Volume(const std::string& name) {
  static std::map<std::string, File> loaded;
  auto it = loaded.find(name);
  if (it == loaded.end()) it = loaded.emplace(name, TestVolume(name)).first;
  return it->second;
}

struct Found {
  FileSystemReport report;
  std::multimap<std::string, FoundFile> files;
};

Found ReadAll(const File& image) {
  MemoryBytes volume(image);
  Found found;
  found.report = ReadExfatFiles(
      volume, [&](const FoundFile& file) { found.files.emplace(PathOf(file), file); }, nullptr);
  return found;
}

File Content(const File& image, const FoundFile& file) {
  MemoryBytes volume(image);
  File bytes;
  ReadContent(
      volume, file,
      [&](std::span<const uint8_t> piece) {
        bytes.insert(bytes.end(), piece.begin(), piece.end());
        return true;
      },
      nullptr);
  return bytes;
}

const FoundFile& Only(const Found& found, const std::string& path) {
  EXPECT_EQ(found.files.count(path), 1u) << path;
  static const FoundFile kNone;
  const auto it = found.files.find(path);
  return it == found.files.end() ? kNone : it->second;
}

// Editing real images: entry sets found by name, resealed with a fresh checksum.

size_t EntrySet(const File& image, const std::u16string& name) {
  for (size_t at = 0; at + 96 <= image.size(); at += 32) {
    if ((image[at] | 0x80) != 0x85 || (image[at + 32] | 0x80) != 0xC0) continue;
    if (image[at + 35] != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      const size_t entry = at + 64 + (i / 15) * 32;
      same = ReadLe16(image, entry + 2 + 2 * (i % 15)) == name[i];
    }
    if (same) return at;
  }
  ADD_FAILURE() << "no entry set for that name";
  return 0;
}

void Reseal(File& image, size_t at) {
  const size_t length = (size_t{image[at + 1]} + 1) * 32;
  uint16_t sum = 0;
  for (size_t i = 0; i < length; ++i) {
    if (i == 2 || i == 3) continue;
    const uint8_t byte = i % 32 == 0 ? image[at + i] | 0x80 : image[at + i];
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
  }
  image[at + 2] = static_cast<uint8_t>(sum);
  image[at + 3] = static_cast<uint8_t>(sum >> 8);
}

void PutLe64(File& image, size_t at, uint64_t value) {
  for (size_t i = 0; i < 8; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Le32At(const File& image, size_t at) {
  return ReadLe32(image, at).value_or(0);
}

TEST(ExfatVolumes, EveryListedFileComesBackWithItsStateSizeAndContent) {
  const std::map<std::string, std::pair<std::string, int64_t>> volumes = {
      {"exfat_tree", {"Quarvelin", 4096}},
      {"exfat_fragmented", {"Fragments", 512}},
      {"exfat_4k_sectors", {"Big Sectors", 4096}}};
  for (const auto& [name, expected] : volumes) {
    SCOPED_TRACE(name);
    const File image = Volume(name);
    const Found found = ReadAll(image);
    EXPECT_EQ(found.report.error, "");
    EXPECT_EQ(found.report.kind, "exFAT");
    EXPECT_EQ(found.report.label, expected.first);
    EXPECT_EQ(found.report.clusterBytes, expected.second);
    const auto listed = ListedFiles(name);
    ASSERT_FALSE(listed.empty());
    // Nothing besides what the script made: no directory, metadata or garbage entry set.
    EXPECT_EQ(found.files.size(), listed.size());
    for (const auto& want : listed) {
      SCOPED_TRACE(want.path);
      const FoundFile& file = Only(found, want.path);
      EXPECT_EQ(StateName(file.state), want.state);
      EXPECT_EQ(file.size, want.size);
      EXPECT_EQ(file.problem, "");
      if (want.sha256 != "-" && want.state != "overwritten") {
        EXPECT_EQ(Sha256Hex(Content(image, file)), want.sha256);
      }
    }
  }
}

TEST(ExfatVolumes, FragmentedFilesFollowTheirChainAndTimesAreKept) {
  const File image = Volume("exfat_fragmented");
  const Found found = ReadAll(image);
  // Its content matched above; here the volume is shown to hold it in pieces.
  EXPECT_GT(Only(found, "fragmented.txt").extents.size(), 3u);

  const Found tree = ReadAll(Volume("exfat_tree"));
  const FoundFile& notes = Only(tree, "Documents/notes.txt");
  EXPECT_EQ(notes.modified, 1710498030);
  ASSERT_TRUE(notes.created.has_value());
  EXPECT_GT(*notes.created, 1710498030);  // made when the script ran, after that date

  // The driver writes UTC with a zero offset; local times east and west of it come back to UTC.
  File edited = Volume("exfat_tree");
  const size_t set = EntrySet(edited, u"notes.txt");
  for (const auto& [offset, utc] :
       {std::pair<uint8_t, int64_t>{0x84, 1710498030 - 3600}, {0xFC, 1710498030 + 3600}}) {
    edited[set + 23] = offset;
    Reseal(edited, set);
    EXPECT_EQ(Only(ReadAll(edited), "Documents/notes.txt").modified, utc);
  }
}

TEST(ExfatVolumes, CancellingKeepsWhatWasFoundWithoutAnError) {
  MemoryBytes volume(Volume("exfat_fragmented"));
  std::atomic<bool> cancel{false};
  size_t found = 0;
  const FileSystemReport report = ReadExfatFiles(
      volume,
      [&](const FoundFile&) {
        if (++found == 3) cancel = true;
      },
      &cancel);
  EXPECT_EQ(report.error, "");
  EXPECT_GE(found, 3u);
  EXPECT_LT(found, ListedFiles("exfat_fragmented").size());
}

TEST(ExfatHostile, LoopingChainIsCutWhereItFirstRepeats) {
  File image = Volume("exfat_fragmented");
  const size_t fat = size_t{Le32At(image, 80)} << image[108];
  const size_t set = EntrySet(image, u"fragmented.txt");
  // Twenty steps into the file's chain, send it back to its sixth cluster.
  uint32_t cluster = Le32At(image, set + 32 + 20);
  std::vector<uint32_t> chain{cluster};
  for (int i = 0; i < 20; ++i) chain.push_back(cluster = Le32At(image, fat + 4 * cluster));
  ASSERT_TRUE(WriteLe32(image, fat + 4 * chain.back(), chain[5]));

  const Found found = ReadAll(image);
  const FoundFile& file = Only(found, "fragmented.txt");
  EXPECT_NE(file.problem.find("loops"), std::string::npos) << file.problem;
  int64_t covered = 0;
  for (const auto& extent : file.extents) covered += extent.length;
  EXPECT_EQ(covered, 21 * 512);  // each cluster of the chain once
  EXPECT_EQ(found.files.size(), ListedFiles("exfat_fragmented").size());
}

TEST(ExfatHostile, FolderThatHoldsItselfIsReadOnce) {
  File image = Volume("exfat_tree");
  const size_t documents = EntrySet(image, u"Documents");
  const size_t music = EntrySet(image, u"Music");
  std::copy_n(image.begin() + static_cast<ptrdiff_t>(documents + 32 + 20), 4,
              image.begin() + static_cast<ptrdiff_t>(music + 32 + 20));
  Reseal(image, music);

  const Found found = ReadAll(image);
  EXPECT_EQ(found.files.count("Documents/notes.txt"), 1u);
  EXPECT_EQ(found.files.count("Documents/Music/notes.txt"), 0u);
  EXPECT_EQ(found.files.count("Documents/Music/tone.flac"), 0u);
  EXPECT_EQ(found.files.count("Фото/harbour.jpg"), 1u);
}

TEST(ExfatHostile, DamagedEntrySetsCostOnlyThemselves) {
  const File original = Volume("exfat_tree");
  File image = original;
  // A name length the name entries cannot hold.
  const size_t notes = EntrySet(image, u"notes.txt");
  image[notes + 32 + 3] = 255;
  Reseal(image, notes);
  // A size no volume this small can hold.
  const size_t log = EntrySet(image, u"big log.txt");
  PutLe64(image, log + 32 + 8, uint64_t{1} << 40);
  PutLe64(image, log + 32 + 24, uint64_t{1} << 40);
  Reseal(image, log);
  // A file entry in the last slot of the root's only cluster, wanting two more entries.
  const size_t clusterBytes = size_t{1} << (image[108] + image[109]);
  const uint32_t root = Le32At(image, 96);
  const size_t fat = size_t{Le32At(image, 80)} << image[108];
  ASSERT_EQ(Le32At(image, fat + 4 * root), 0xFFFFFFFFu);
  const size_t rootAt = (size_t{Le32At(image, 88)} << image[108]) + (root - 2) * clusterBytes;
  std::copy_n(image.begin() + static_cast<ptrdiff_t>(notes), 32,
              image.begin() + static_cast<ptrdiff_t>(rootAt + clusterBytes - 32));

  const Found found = ReadAll(image);
  EXPECT_EQ(found.report.error, "");
  EXPECT_EQ(found.files.size(), ListedFiles("exfat_tree").size());
  const FoundFile& named = Only(found, "Documents/notes.txt");
  EXPECT_EQ(Content(image, named),
            Content(original, Only(ReadAll(original), "Documents/notes.txt")));
  const FoundFile& huge = Only(found, "big log.txt");
  EXPECT_NE(huge.problem, "");
  EXPECT_LE(huge.size, static_cast<int64_t>(image.size()));
  for (const auto& extent : huge.extents) {
    EXPECT_LE(extent.offset + extent.length, static_cast<int64_t>(image.size()));
  }
}

TEST(ExfatHostile, ContentPastTheValidLengthReadsAsZeros) {
  File image = Volume("exfat_tree");
  const File before = Content(image, Only(ReadAll(image), "Documents/notes.txt"));
  ASSERT_EQ(before.size(), 40u);
  const size_t notes = EntrySet(image, u"notes.txt");
  PutLe64(image, notes + 32 + 8, 10);
  Reseal(image, notes);
  File expected(before.begin(), before.begin() + 10);
  expected.resize(40, 0);
  EXPECT_EQ(Content(image, Only(ReadAll(image), "Documents/notes.txt")), expected);
}

TEST(ExfatBootSector, BackupServesWhenTheMainIsDamagedAndWithoutEitherThereIsNoVolume) {
  File image = Volume("exfat_4k_sectors");
  const size_t listed = ListedFiles("exfat_4k_sectors").size();
  image[3] = 'X';
  Found found = ReadAll(image);
  EXPECT_EQ(found.report.error, "");
  EXPECT_EQ(found.files.size(), listed);

  image[12 * 4096 + 3] = 'X';
  found = ReadAll(image);
  EXPECT_NE(found.report.error, "");
  EXPECT_TRUE(found.files.empty());

  // A volume cut short: what lies past the cut is missing, and says so.
  File cut = Volume("exfat_tree");
  const Found whole = ReadAll(cut);
  const auto& log = Only(whole, "big log.txt").extents;
  ASSERT_FALSE(log.empty());
  cut.resize(static_cast<size_t>(log.front().offset) + 100000);
  found = ReadAll(cut);
  EXPECT_EQ(found.report.error, "");
  EXPECT_NE(Only(found, "big log.txt").problem, "");
  EXPECT_EQ(Only(found, "Documents/notes.txt").problem, "");
}

}  // namespace
}  // namespace quarvelin
