#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/byte_fields.h"
#include "filesystems/volume.h"
#include "fixtures.h"
#include "formats/crc32.h"
#include "volumes.h"

namespace quarvelin {
namespace {

using testing::File;

// Each disk read once, in one piece: the images are tens of MiB.
const File& TestVolume(const std::string& name) {
  static std::map<std::string, File> disks;
  auto it = disks.find(name);
  if (it == disks.end()) {
    std::ifstream in(testing::VolumePath(name), std::ios::binary | std::ios::ate);
    File bytes(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    EXPECT_FALSE(bytes.empty()) << name;
    it = disks.emplace(name, std::move(bytes)).first;
  }
  return it->second;
}

constexpr size_t kMiB = 1 << 20;

// The volumes a disk's making script put on it, as "kind first length origin" lines.
std::vector<std::string> Expected(const std::string& disk) {
  std::ifstream in(std::string(QUARVELIN_TESTDATA_DIR) + "/volumes/" + disk + ".volumes");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    for (char& c : line) c = c == '\t' ? ' ' : c;
    lines.push_back(line);
  }
  EXPECT_FALSE(lines.empty()) << disk;
  return lines;
}

// Sorted by first byte: a lost volume may be reported after one that follows it.
std::vector<std::string> Lines(std::vector<Volume> volumes) {
  std::sort(volumes.begin(), volumes.end(),
            [](const Volume& a, const Volume& b) { return a.firstByte < b.firstByte; });
  std::vector<std::string> lines;
  for (const Volume& v : volumes) {
    std::ostringstream line;
    line << FileSystemName(v.kind) << ' ' << v.firstByte << ' ' << v.length << ' ' << v.origin;
    lines.push_back(line.str());
  }
  return lines;
}

std::vector<std::string> Found(std::span<const uint8_t> disk, int64_t probeLimit = 0) {
  MemoryBytes source(disk);
  return Lines(FindVolumes(source, probeLimit, nullptr));
}

// The scan's way: the whole source in adjacent chunks.
std::vector<Volume> SearchLost(std::span<const uint8_t> disk, std::vector<Volume> known,
                               size_t chunk, int32_t sectorSize = 512) {
  LostVolumeSearch search(std::move(known), static_cast<int64_t>(disk.size()), sectorSize);
  std::vector<Volume> found;
  for (size_t at = 0; at < disk.size(); at += chunk) {
    const auto part = disk.subspan(at, std::min(chunk, disk.size() - at));
    for (Volume& v : search.Look(part, static_cast<int64_t>(at))) found.push_back(std::move(v));
  }
  return found;
}

TEST(FindVolumes, ListsTheVolumesOfRealPartitionTables) {
  for (const char* disk :
       {"mbr_disk", "gpt_disk", "gpt_4k_disk", "mbr_wiped_disk", "ntfs_backup_disk"}) {
    EXPECT_EQ(Found(TestVolume(disk)), Expected(disk)) << disk;
  }
}

TEST(FindVolumes, TakesAVolumeImageAsTheOneVolume) {
  const File disk = TestVolume("gpt_disk");
  // The FAT32 partition on its own, then with its boot sector gone (its copy at sector 6 remains).
  File volume(disk.begin() + 2048 * 512, disk.begin() + (2048 + 69632) * 512);
  EXPECT_EQ(Found(volume), std::vector<std::string>{"FAT 0 35651584 whole source"});
  std::fill(volume.begin(), volume.begin() + 512, 0);
  EXPECT_EQ(Found(volume),
            std::vector<std::string>{"FAT 0 35651584 whole source (from its backup boot sector)"});
}

TEST(FindVolumes, FallsBackToTheBackupGptWhenThePrimaryIsDamaged) {
  for (const size_t damaged :
       {size_t{512 + 20}, size_t{1024 + 40}}) {  // in the header, in the entry array
    File disk = TestVolume("gpt_disk");
    disk[damaged] ^= 0xFF;
    EXPECT_EQ(Found(disk), Expected("gpt_disk")) << damaged;
  }
}

TEST(FindVolumes, SurvivesAnExtendedChainThatLoops) {
  File disk = TestVolume("mbr_disk");
  // The second EBR's link to a next EBR points at itself (10240 sectors into the extended one).
  const size_t secondEbr = (18432 + 10240) * 512;
  const uint8_t link[16] = {0, 0, 0, 0, 0x05, 0, 0, 0, 0x00, 0x28, 0, 0, 1, 0, 0, 0};
  std::copy(std::begin(link), std::end(link), disk.begin() + secondEbr + 446 + 16);
  EXPECT_EQ(Found(disk), Expected("mbr_disk"));
}

TEST(FindVolumes, ProbesOnlyUpToTheLimitAndNeverOverAListedVolume) {
  const File wiped = TestVolume("mbr_wiped_disk");
  const auto all = Expected("mbr_wiped_disk");
  EXPECT_EQ(Found(wiped, 8 * kMiB), std::vector<std::string>(all.begin(), all.begin() + 2));

  // The NTFS partition left out of the table: the probe finds it, unless its boot sector makes
  // it reach into a listed volume.
  File disk = TestVolume("mbr_disk");
  std::fill(disk.begin() + 446 + 16, disk.begin() + 446 + 32, 0);
  auto expected = Expected("mbr_disk");
  expected[1] = all[1];
  EXPECT_EQ(Found(disk), expected);
  WriteLe32(disk, 10240 * 512 + 0x28, 16383);
  expected.erase(expected.begin() + 1);
  EXPECT_EQ(Found(disk), expected);
}

TEST(LostVolumeSearch, FindsEveryVolumeOfAWipedDiskInAnyChunking) {
  const File& disk = TestVolume("mbr_wiped_disk");
  for (const size_t chunk : {kMiB, size_t{65536 + 512}, size_t{1000}}) {
    EXPECT_EQ(Lines(SearchLost(disk, {}, chunk)), Expected("mbr_wiped_disk")) << chunk;
  }
  // Each volume comes with the chunk holding its boot sector, so that the scan reads its files
  // before carving over them.
  LostVolumeSearch search({}, static_cast<int64_t>(disk.size()), 512);
  for (size_t at = 0; at < disk.size(); at += kMiB) {
    for (const Volume& v :
         search.Look(std::span(disk).subspan(at, kMiB), static_cast<int64_t>(at))) {
      EXPECT_EQ(v.firstByte, static_cast<int64_t>(at)) << v.origin;
    }
  }
}

TEST(LostVolumeSearch, PlacesAVolumeFoundByItsBackupWhereTheBackupSays) {
  File disk = TestVolume("ntfs_backup_disk");
  std::fill(disk.begin(), disk.begin() + 512, 0);  // no table either
  auto expected = Expected("mbr_wiped_disk");
  expected[1] = "NTFS 5242880 4194304 backup boot sector at sector 18431 (no partition lists it)";
  EXPECT_EQ(Lines(SearchLost(disk, {}, kMiB)), expected);

  // At the end of the source only the backup reading fits.
  const size_t ntfsEnd = (10240 + 8192) * 512;
  const File cut(disk.begin(), disk.begin() + ntfsEnd);
  const auto found = Lines(SearchLost(cut, {}, kMiB));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[1], expected[1]);
}

TEST(LostVolumeSearch, ReportsNothingKnownAndNothingInOrdinaryData) {
  const File disk = TestVolume("mbr_disk");
  MemoryBytes source(disk);
  EXPECT_TRUE(SearchLost(disk, FindVolumes(source, 0, nullptr), kMiB).empty());
  // 4096-byte sectors: only sector starts are looked at, and the table's volumes are known.
  const File disk4k = TestVolume("gpt_4k_disk");
  MemoryBytes source4k(disk4k);
  EXPECT_TRUE(SearchLost(disk4k, FindVolumes(source4k, 0, nullptr), kMiB, 4096).empty());

  File ordinary = testing::RandomBytes(8 * kMiB, 7);
  for (const auto& path : testing::Fixtures()) {
    const File file = testing::ReadFile(path.string());
    ordinary.insert(ordinary.end(), file.begin(), file.end());
    ordinary.resize((ordinary.size() + 511) / 512 * 512);
  }
  EXPECT_TRUE(SearchLost(ordinary, {}, kMiB).empty());
  EXPECT_TRUE(Found(ordinary).empty());
}

}  // namespace
}  // namespace quarvelin
