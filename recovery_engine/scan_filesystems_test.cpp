// Scans that recover through the file systems: real volumes made by the real tools, placed on
// in-memory disks.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "common/sha256.h"
#include "engine_run.h"
#include "fixtures.h"
#include "volumes.h"

namespace quarvelin {
namespace {

namespace fs = std::filesystem;
using testing::File;
using testing::ListedFiles;
using testing::Message;
using testing::RecordA;
using testing::RecorderA;
using testing::TestDisk;
using testing::TextsOf;
using Listed = testing::ListedFile;
using Kind = NativeMessageKind;

// Path under the output folder → SHA-256, for every FileFound line.
std::map<std::string, std::string> Written(const std::vector<Message>& messages,
                                           const std::string& out) {
  std::map<std::string, std::string> written;
  for (const std::string& text : TextsOf(messages, Kind::FileFound)) {
    const std::string path = text.substr(0, text.find('|'));
    written[path.substr(out.size() + 1)] = Sha256Hex(testing::ReadFile(path));
  }
  return written;
}

class FileSystemScan : public testing::EngineTest {
 protected:
  std::string out_ = dir_.File("recovered");
};

TEST_F(FileSystemScan, AVolumeNoTableListsIsFoundMidCarveAndNothingNamedIsCarvedAgain) {
  // A photo in random bytes, then a FAT volume whose partition table is gone.
  const File photo = testing::Fixture("harbour_jfif_app0.jpg");
  const File volume = testing::TestVolume("fat16");
  TestDisk disk = TestDisk::Random(6 << 20, 5);
  disk.Put(512 * 100, photo).Put(4 << 20, volume);
  const auto messages = ScanDisk(disk, out_);
  const auto written = Written(messages, out_);

  std::map<std::string, std::string> named;
  for (const Listed& file : ListedFiles("fat16")) {
    const std::string path = std::string(file.path.ends_with(".pdf")   ? "Documents"
                                         : file.path.ends_with(".jpg") ? "Images"
                                         : file.path.ends_with(".png") ? "Images"
                                         : file.path.ends_with(".mp3") ? "Audio"
                                                                       : "Documents") +
                             "/Volume 1 (FAT)/" + file.path;
    ASSERT_TRUE(written.count(path)) << path;
    if (file.state != "overwritten") {
      EXPECT_EQ(written.at(path), file.sha256) << path;
    }
    named[file.sha256] = path;
  }
  EXPECT_EQ(written.at("Images/rec_0_0.jpg"), Sha256Hex(photo));
  for (const auto& [path, digest] : written) {
    if (path.find("/rec_") != std::string::npos && path != "Images/rec_0_0.jpg") {
      EXPECT_FALSE(named.count(digest)) << path << " is a carved copy of " << named[digest];
    }
  }
  EXPECT_EQ(TextsOf(messages, Kind::Finished),
            std::vector<std::string>{std::to_string(written.size())});
  std::ifstream manifest(out_ + "/manifest.jsonl");
  size_t lines = 0;
  for (std::string line; std::getline(manifest, line);) ++lines;
  EXPECT_EQ(lines, written.size());
}

TEST_F(FileSystemScan, TheCarveSearchesEveryGapBetweenTheFilesItSkips) {
  // Where the volume's files end, as its manifest tells, a photo no directory names.
  TestDisk disk = TestDisk::Of(testing::TestVolume("fat16"));
  std::vector<const char*> noCarve = {"carve=no"};
  const std::string first = dir_.File("first");
  Run(disk.Opener(), [&](RecoveryEngine& engine) {
    engine.StartRecovery("disk", first.c_str(), nullptr, 0, RecordA, noCarve.data(), 1);
  });
  int64_t end = 0;
  std::ifstream manifest(first + "/manifest.jsonl");
  for (std::string line; std::getline(manifest, line);) {
    for (size_t at = line.find("[["); at != std::string::npos; at = line.find("],[", at + 1)) {
      int64_t start = 0;
      int64_t count = 0;
      if (std::sscanf(line.c_str() + at + 2, "%lld,%lld", reinterpret_cast<long long*>(&start),
                      reinterpret_cast<long long*>(&count)) == 2) {
        end = std::max(end, start + count);
      }
    }
  }
  ASSERT_GT(end, 0);
  const File photo = testing::Fixture("harbour_jfif_app0.jpg");
  disk.PutAtSector(end, photo);
  const auto written = Written(ScanDisk(disk, out_), out_);
  const auto carved = std::find_if(written.begin(), written.end(), [&](const auto& entry) {
    return entry.first.find("/rec_") != std::string::npos;
  });
  ASSERT_NE(carved, written.end());
  EXPECT_EQ(carved->second, Sha256Hex(photo));
}

TEST_F(FileSystemScan, AVolumeOnFourKibSectorsComesBackWholeAndAgainBesideTheFirst) {
  const TestDisk disk = TestDisk::Of(testing::TestVolume("fat16_4k"), 4096);
  // Afresh each time: the same scan into the same folder would otherwise only say it is done.
  std::vector<const char*> noCarve = {"carve=no", "resume=no"};
  const auto scan = [&]() {
    return Run(disk.Opener(), [&](RecoveryEngine& engine) {
      engine.StartRecovery("disk", out_.c_str(), nullptr, 0, RecordA, noCarve.data(), 2);
    });
  };
  const auto first = Written(scan(), out_);
  size_t live = 0;
  for (const Listed& file : ListedFiles("fat16_4k")) {
    if (file.state != "live") continue;
    ++live;
    const auto found = std::find_if(first.begin(), first.end(), [&](const auto& entry) {
      return entry.first.ends_with("/" + file.path);
    });
    ASSERT_NE(found, first.end()) << file.path;
    EXPECT_EQ(found->second, file.sha256) << file.path;
  }
  EXPECT_GT(live, 0u);
  // A second scan into the same folder overwrites nothing: every name gets its " (2)".
  const auto second = Written(scan(), out_);
  ASSERT_EQ(second.size(), first.size());
  for (const auto& [path, digest] : second) {
    EXPECT_NE(path.find(" (2)"), std::string::npos) << path;
    EXPECT_FALSE(first.count(path));
  }
}

// The manifest line of the file recovered from `original`; empty when there is none.
std::string ManifestLine(const std::string& out, const std::string& original) {
  std::ifstream manifest(out + "/manifest.jsonl");
  for (std::string line; std::getline(manifest, line);) {
    if (line.find("\"originalPath\":\"" + original + "\"") != std::string::npos) return line;
  }
  return "";
}

TEST_F(FileSystemScan, ADeletedFileWhoseClustersHoldSomethingElseIsSaidToBeDamaged) {
  std::vector<const char*> noCarve = {"carve=no"};
  for (const char* volume : {"exfat_fragmented", "fat32"}) {
    const TestDisk disk = TestDisk::Of(testing::TestVolume(volume));
    Run(disk.Opener(), [&](RecoveryEngine& engine) {
      engine.StartRecovery("disk", out_.c_str(), nullptr, 0, RecordA, noCarve.data(), 1);
    });
  }
  // Its clusters were given to a text file: what comes back is no JPEG.
  const std::string victim = ManifestLine(out_, "/photos/victim.jpg");
  EXPECT_NE(victim.find("\"state\":\"deleted, possibly overwritten\""), std::string::npos);
  EXPECT_NE(victim.find("its content does not start as a .jpg file does"), std::string::npos)
      << victim;
  // Deleted, and whole: no word of damage.
  for (const char* whole : {"/Trip/Day1/harbour view.jpg", "/Trip/last report.docx"}) {
    const std::string line = ManifestLine(out_, whole);
    EXPECT_NE(line.find("\"state\":\"deleted\""), std::string::npos) << line;
    EXPECT_EQ(line.find("problem"), std::string::npos) << line;
  }
}

TEST_F(FileSystemScan, CancellingInTheFileSystemPassEndsWithWhatWasWritten) {
  const TestDisk disk = TestDisk::Of(testing::TestVolume("fat16"));
  const auto messages = Run(disk.Opener(), [&](RecoveryEngine& engine) {
    RecorderA().SetHook([&engine](const Message& m) {
      if (m.kind == Kind::FileFound) engine.Cancel();
    });
    engine.StartRecovery("disk", out_.c_str(), nullptr, 0, RecordA);
  });
  const auto found = TextsOf(messages, Kind::FileFound);
  ASSERT_FALSE(found.empty());
  EXPECT_LT(found.size(), ListedFiles("fat16").size());
  EXPECT_EQ(TextsOf(messages, Kind::Finished),
            std::vector<std::string>{std::to_string(found.size())});
}

TEST_F(FileSystemScan, OptionsAreCheckedBeforeAnythingStarts) {
  const TestDisk disk = TestDisk::Of(testing::TestVolume("fat16"));
  std::vector<const char*> bad = {"carve=maybe"};
  const auto messages = Run(disk.Opener(), [&](RecoveryEngine& engine) {
    engine.StartRecovery("disk", out_.c_str(), nullptr, 0, RecordA, bad.data(), 1);
  });
  EXPECT_EQ(TextsOf(messages, Kind::Error),
            std::vector<std::string>{"Scan option carve takes yes or no, not 'maybe'"});
  EXPECT_EQ(TextsOf(messages, Kind::Finished), std::vector<std::string>{"0"});
  EXPECT_FALSE(fs::exists(out_));
}

}  // namespace
}  // namespace quarvelin
