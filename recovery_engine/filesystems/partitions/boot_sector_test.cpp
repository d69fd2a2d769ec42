#include "boot_sector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <vector>

#include "common/byte_fields.h"
#include "fixtures.h"
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

File SectorOf(const File& disk, size_t at) {
  const auto from = disk.begin() + static_cast<std::ptrdiff_t>(at);
  return File(from, from + 512);
}

TEST(RecognizeBootSector, ReadsRealBootSectorsAndTheirBackups) {
  const File disk = TestVolume("mbr_disk");
  struct Case {
    size_t at;
    FileSystemKind kind;
    std::optional<int64_t> backup;
  };
  // FAT12, NTFS (copy after its last sector), FAT16, exFAT (copy at sector 12).
  for (const Case& c : {Case{2048 * 512, FileSystemKind::kFat, std::nullopt},
                        Case{10240 * 512, FileSystemKind::kNtfs, 8191 * 512},
                        Case{20480 * 512, FileSystemKind::kFat, std::nullopt},
                        Case{30720 * 512, FileSystemKind::kExfat, 12 * 512}}) {
    const File sector = SectorOf(disk, c.at);
    const auto boot = RecognizeBootSector(sector);
    ASSERT_TRUE(boot) << c.at;
    EXPECT_EQ(boot->kind, c.kind);
    EXPECT_EQ(boot->length, 4 << 20);
    EXPECT_EQ(boot->backupAt, 0);
    EXPECT_EQ(BackupDistance(sector, *boot), c.backup);
    if (c.backup) {
      const auto copy = RecognizeBootSector(SectorOf(disk, c.at + static_cast<size_t>(*c.backup)));
      ASSERT_TRUE(copy);
      EXPECT_EQ(copy->length, boot->length);
      EXPECT_EQ(BootSectorIdentity(SectorOf(disk, c.at + static_cast<size_t>(*c.backup)), *copy),
                BootSectorIdentity(sector, *boot));
    }
  }
  const File fat32 = SectorOf(TestVolume("gpt_disk"), 2048 * 512);
  const auto boot = RecognizeBootSector(fat32);
  ASSERT_TRUE(boot);
  EXPECT_EQ(BackupDistance(fat32, *boot), 6 * 512);
}

TEST(RecognizeBootSector, AcceptsLargeNtfsClustersAndRejectsWhatNoFormatterWrites) {
  const File ntfs = SectorOf(TestVolume("mbr_disk"), 10240 * 512);
  // 2 MiB clusters are written as a negative power of two: 0xF4 = 2^12 sectors.
  File large = ntfs;
  large[0x0D] = 0xF4;
  WriteLe32(large, 0x28, 1000000);
  WriteLe32(large, 0x30, 1);
  WriteLe32(large, 0x38, 2);
  const auto boot = RecognizeBootSector(large);
  ASSERT_TRUE(boot);
  EXPECT_EQ(boot->length, 1000001 * 512);

  const auto rejected = [&](const File& base, size_t at, uint8_t value) {
    File s = base;
    s[at] = value;
    return !RecognizeBootSector(s).has_value();
  };
  EXPECT_TRUE(rejected(large, 0x0D, 0xF3));  // 4 MiB clusters
  EXPECT_TRUE(rejected(ntfs, 0x0D, 3));      // not a power of two
  EXPECT_TRUE(rejected(ntfs, 0x0C, 0x03));   // 768-byte sectors
  EXPECT_TRUE(rejected(ntfs, 0x37, 0x01));   // MFT far past the volume's end
  EXPECT_TRUE(rejected(ntfs, 0x10, 2));      // a FAT count
  EXPECT_TRUE(rejected(ntfs, 511, 0));       // no 55 AA

  const File exfat = SectorOf(TestVolume("mbr_disk"), 30720 * 512);
  EXPECT_TRUE(rejected(exfat, 40, 1));     // where FAT's fields would be
  EXPECT_TRUE(rejected(exfat, 108, 13));   // 8 KiB sectors
  EXPECT_TRUE(rejected(exfat, 95, 0x10));  // more clusters than the volume holds
  const File fat = SectorOf(TestVolume("mbr_disk"), 2048 * 512);
  EXPECT_TRUE(rejected(fat, 0, 0x00));   // no jump
  EXPECT_TRUE(rejected(fat, 13, 3));     // sectors per cluster
  EXPECT_TRUE(rejected(fat, 16, 0));     // no FAT
  EXPECT_TRUE(rejected(fat, 21, 0x12));  // media byte
  EXPECT_TRUE(rejected(fat, 22, 1));     // a FAT too small for the clusters
}

TEST(RecognizeBootSector, NeverTakesFileContentOrRandomBytesForABootSector) {
  // Every sector of every sample file, with 55 AA forced in, and random sectors that start with a
  // jump and end with 55 AA.
  for (const auto& path : testing::Fixtures()) {
    File file = testing::ReadFile(path.string());
    for (size_t at = 0; at + 512 <= file.size(); at += 512) {
      File sector = SectorOf(file, at);
      sector[510] = 0x55;
      sector[511] = 0xAA;
      EXPECT_FALSE(RecognizeBootSector(sector)) << path << " at " << at;
    }
  }
  File random = testing::RandomBytes(512 * 20000, 11);
  for (size_t at = 0; at < random.size(); at += 512) {
    File sector = SectorOf(random, at);
    sector[0] = 0xEB;
    sector[2] = 0x90;
    sector[510] = 0x55;
    sector[511] = 0xAA;
    EXPECT_FALSE(RecognizeBootSector(sector)) << at;
  }
}

}  // namespace
}  // namespace quarvelin
