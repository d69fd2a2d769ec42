// Scans that stop part-way (a cancel, a killed process) and are started again into the same folder.
#include "scan_progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "common/sha256.h"
#include "engine_run.h"
#include "fixtures.h"
#include "manifest.h"
#include "volumes.h"

namespace quarvelin {
namespace {

namespace fs = std::filesystem;
using testing::File;
using testing::Message;
using testing::RecordA;
using testing::RecorderA;
using testing::TestDisk;
using testing::TextsOf;
using Kind = NativeMessageKind;
using Folder = std::map<std::string, std::string>;

constexpr const char* kLoopStarts = "Starting Scan Loop...";
constexpr const char* kResuming = "Resuming the scan from sector ";

// Every recovered file under `out` (path under it → SHA-256), the scan's own records aside.
Folder Contents(const std::string& out) {
  Folder files;
  for (const auto& entry : fs::recursive_directory_iterator(out)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name == Manifest::kFileName ||
        name == ScanProgress::kFileName) {
      continue;
    }
    files[fs::relative(entry.path(), out).generic_string()] =
        Sha256Hex(testing::ReadFile(entry.path().string()));
  }
  return files;
}

std::vector<std::string> ManifestLines(const std::string& out) {
  std::ifstream in(out + "/" + Manifest::kFileName);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool StartsWith(const std::vector<Message>& messages, const std::string& start) {
  for (const Message& m : messages) {
    if (m.kind == Kind::Status && m.text.starts_with(start)) return true;
  }
  return false;
}

// Photos and icons spread over eight chunks of random bytes.
TestDisk PicturesDisk() {
  const File png = testing::Fixture("indexed_16_colours_plte.png");
  const File gif = testing::Fixture("gif87a_still.gif");
  const File jpeg = testing::Fixture("harbour_jfif_app0.jpg");
  TestDisk disk = TestDisk::Random(8 << 20, 3);
  const File* files[] = {&png, &gif, &jpeg};
  int64_t sector = 40;
  for (int i = 0; sector < 16000; ++i, sector += 1500 + 37 * i) {
    disk.PutAtSector(sector, *files[i % 3]);
  }
  return disk;
}

class ResumedScan : public testing::EngineTest {
 protected:
  std::vector<Message> Scan(const TestDisk& disk, const std::string& out,
                            std::vector<const char*> options = {}) {
    return Run(disk.Opener(), [&](RecoveryEngine& engine) {
      engine.StartRecovery("disk", out.c_str(), types_.data(), static_cast<int32_t>(types_.size()),
                           RecordA, options.data(), static_cast<int32_t>(options.size()));
    });
  }

  // A scan cancelled as the `files`th file is reported or at the first read the carve makes at or
  // past `cancelAt` bytes; `atLoop` runs when the carve begins.
  std::vector<Message> Interrupted(const TestDisk& disk, const std::string& out, size_t files,
                                   int64_t cancelAt = INT64_MAX,
                                   const std::function<void()>& atLoop = nullptr) {
    std::atomic<bool> armed = false;
    std::atomic<size_t> found = 0;
    const auto messages = Run(disk.Opener(), [&](RecoveryEngine& engine) {
      RecorderA().SetHook([&](const Message& m) {
        if (m.kind == Kind::FileFound && ++found == files) engine.Cancel();
        if (m.text != kLoopStarts) return;
        if (atLoop) atLoop();
        armed = true;
      });
      disk->onRead = [&](int64_t offset) {
        if (armed && offset >= cancelAt) engine.Cancel();
      };
      engine.StartRecovery("disk", out.c_str(), types_.data(), static_cast<int32_t>(types_.size()),
                           RecordA);
    });
    disk->onRead = nullptr;
    return messages;
  }

  std::vector<const char*> types_ = {"png", "gif", "jpg"};
  std::string out_ = dir_.File("recovered");
  std::string whole_ = dir_.File("uninterrupted");
};

TEST_F(ResumedScan, GoesOnFromWhereItWasCancelledAndEndsWithWhatOneRunWrites) {
  const TestDisk disk = PicturesDisk();
  const auto reference = Scan(disk, whole_);
  const Folder expected = Contents(whole_);
  ASSERT_GE(expected.size(), 9u);

  // Cancelled as the sixth file is written: the resumed scan finds it again and leaves it be.
  const auto first = Interrupted(disk, out_, 6);
  const size_t before = TextsOf(first, Kind::FileFound).size();
  ASSERT_EQ(before, 6u);

  // The resumed carve reads nothing before where it goes on from.
  std::atomic<bool> carving = false;
  std::atomic<int64_t> lowest = INT64_MAX;
  disk->onRead = [&](int64_t offset) {
    if (carving) lowest = std::min<int64_t>(lowest, offset);
  };
  const auto second = Run(disk.Opener(), [&](RecoveryEngine& engine) {
    RecorderA().SetHook([&](const Message& m) {
      if (m.text == kLoopStarts) carving = true;
    });
    engine.StartRecovery("disk", out_.c_str(), types_.data(), static_cast<int32_t>(types_.size()),
                         RecordA);
  });
  disk->onRead = nullptr;
  const auto resuming = std::find_if(
      second.begin(), second.end(), [](const Message& m) { return m.text.starts_with(kResuming); });
  ASSERT_NE(resuming, second.end());
  const int64_t from = std::stoll(resuming->text.substr(std::string(kResuming).size()));
  EXPECT_GT(from, 0);
  EXPECT_GE(lowest, from * 512);
  EXPECT_TRUE(resuming->text.ends_with(": " + std::to_string(before) + " files already recovered."))
      << resuming->text;

  EXPECT_EQ(Contents(out_), expected);
  EXPECT_EQ(ManifestLines(out_).size(), expected.size());
  EXPECT_EQ(TextsOf(first, Kind::FileFound).size() + TextsOf(second, Kind::FileFound).size(),
            expected.size());
  EXPECT_EQ(TextsOf(second, Kind::Finished), TextsOf(reference, Kind::Finished));

  // Done: the same scan again writes nothing, and says so; asked to, it starts afresh.
  const auto third = Scan(disk, out_);
  EXPECT_TRUE(StartsWith(third, "This scan of the drive into this folder is already complete: " +
                                    std::to_string(expected.size()) + " files recovered."));
  EXPECT_TRUE(TextsOf(third, Kind::FileFound).empty());
  EXPECT_EQ(Contents(out_), expected);
  const auto afresh = Scan(disk, out_, {"resume=no"});
  EXPECT_EQ(TextsOf(afresh, Kind::FileFound).size(), expected.size());
  EXPECT_EQ(Contents(out_).size(), 2 * expected.size());
}

TEST_F(ResumedScan, AfterAKillFilesSinceTheLastSaveAreNotWrittenTwiceAndAHalfWrittenOneIsRedone) {
  const TestDisk disk = PicturesDisk();
  Scan(disk, whole_);
  const Folder expected = Contents(whole_);
  const std::string progress = out_ + "/" + ScanProgress::kFileName;
  const std::string early = dir_.File("early-progress.json");

  // The progress as saved when the carve began, while files went on being written: a process
  // killed then leaves exactly this.
  Interrupted(disk, out_, 0, 6 << 20, [&] { fs::copy_file(progress, early); });
  // Removed first: the Windows build's library does not overwrite on copy.
  fs::remove(progress);
  fs::copy_file(early, progress);
  // And the file being written when it died: half there, not in the manifest.
  std::vector<std::string> lines = ManifestLines(out_);
  ASSERT_GE(lines.size(), 3u);
  const std::string last = lines.back();
  lines.pop_back();
  {
    std::ofstream manifest(out_ + "/" + Manifest::kFileName, std::ios::trunc);
    for (const std::string& line : lines) manifest << line << '\n';
    manifest << last.substr(0, last.size() / 2);  // its line cut off mid-way
  }
  const size_t at = last.find("\"file\":\"") + 8;
  const std::string partial = out_ + "/" + last.substr(at, last.find('"', at) - at);
  fs::resize_file(partial, fs::file_size(partial) / 2);

  const auto resumed = Scan(disk, out_);
  EXPECT_TRUE(StartsWith(resumed, std::string(kResuming) + "0 (0.0%): " +
                                      std::to_string(lines.size()) + " files already recovered."));
  EXPECT_EQ(Contents(out_), expected);
  EXPECT_EQ(TextsOf(resumed, Kind::FileFound).size(), expected.size() - lines.size());
  // One readable line per file: the cut-off one was ended before the next was added.
  const auto records = ManifestLines(out_);
  EXPECT_EQ(records.size(), expected.size() + 1);
  std::string problem;
  const auto read = ReadScanRecords(out_, 0, problem);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->files, static_cast<int64_t>(expected.size()));
}

TEST_F(ResumedScan, AFileACancelCutShortIsWrittenAgainBesideIt) {
  const TestDisk disk = PicturesDisk();
  Scan(disk, whole_);
  const Folder expected = Contents(whole_);
  // Cancelled while sizing the photo at sector 11580: what was written of it is kept.
  const auto first = Interrupted(disk, out_, 0, 5 << 20);
  const std::string cut = "Images/rec_8_11580.jpg";
  ASSERT_TRUE(Contents(out_).contains(cut));
  ASSERT_NE(Contents(out_).at(cut), expected.at(cut));
  const std::string shortened = Contents(out_).at(cut);

  Scan(disk, out_);
  Folder wanted = expected;
  wanted["Images/rec_8_11580 (2).jpg"] = expected.at(cut);
  wanted[cut] = shortened;
  EXPECT_EQ(Contents(out_), wanted);
}

TEST_F(ResumedScan, ProgressOfAnotherScanOrDamagedIsNotUsedAndNothingIsOverwritten) {
  const TestDisk disk = PicturesDisk();
  TestDisk other = PicturesDisk();
  other->bytes[100] ^= 1;  // same size, one byte apart within what the fingerprint reads
  const std::string progress = out_ + "/" + ScanProgress::kFileName;
  const std::string kept = dir_.File("kept-progress.json");
  Interrupted(disk, out_, 4);
  fs::copy_file(progress, kept);
  const Folder before = Contents(out_);

  struct Case {
    const char* what;
    std::function<std::vector<Message>()> scan;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"another drive", [&] { return Scan(other, out_); }, "it is of another drive"},
      {"other types",
       [&] {
         types_ = {"png", "jpg"};
         const auto messages = Scan(disk, out_);
         types_ = {"png", "gif", "jpg"};
         return messages;
       },
       "it is of a scan with other options"},
      {"no carve", [&] { return Scan(disk, out_, {"carve=no"}); },
       "it is of a scan with other options"},
      {"cut off",
       [&] {
         fs::resize_file(progress, fs::file_size(progress) / 2);
         return Scan(disk, out_);
       },
       "it is damaged (it is not a JSON object)"},
      {"a wrong field",
       [&] {
         std::ofstream(progress) << "{\"version\":1,\"source\":{\"bytes\":-5}}";
         return Scan(disk, out_);
       },
       "it is damaged (its field \"bytes\" is missing or wrong)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(progress);
    fs::copy_file(kept, progress);
    const auto messages = c.scan();
    EXPECT_TRUE(StartsWith(messages, "The scan progress in this folder is not used: " + c.why +
                                         ". Scanning afresh; files already here are kept."));
    EXPECT_FALSE(StartsWith(messages, kResuming));
    const Folder now = Contents(out_);
    for (const auto& [file, sha] : before) EXPECT_EQ(now.at(file), sha) << file;
  }
}

TEST_F(ResumedScan, NamedFilesWrittenBeforeAnInterruptionAreNotWrittenAgain) {
  // A FAT volume with its files, then the carve over the rest.
  const TestDisk disk = TestDisk::Of(testing::TestVolume("fat16"));
  types_ = {};
  Scan(disk, whole_);
  const Folder expected = Contents(whole_);

  std::atomic<int> found = 0;
  const auto first = Run(disk.Opener(), [&](RecoveryEngine& engine) {
    RecorderA().SetHook([&engine, &found](const Message& m) {
      if (m.kind == Kind::FileFound && ++found == 3) engine.Cancel();
    });
    engine.StartRecovery("disk", out_.c_str(), nullptr, 0, RecordA);
  });
  ASSERT_EQ(TextsOf(first, Kind::FileFound).size(), 3u);
  const auto second = Scan(disk, out_);
  EXPECT_TRUE(StartsWith(second, std::string(kResuming) + "0 (0.0%): 3 files already recovered."));
  EXPECT_EQ(Contents(out_), expected);
  EXPECT_EQ(ManifestLines(out_).size(), expected.size());
}

TEST(ScanProgressFile, ReadsBackWhatItWroteAndNoCutOfIt) {
  ScanProgress p;
  p.sourceBytes = 4000000000;
  p.sectorSize = 4096;
  p.fingerprint = "ab12";
  p.fileTypes = {"jpg", "pdf"};
  p.only = "/Fotos/\"2019\"/**";
  p.carve = false;
  p.manifestStart = 77;
  p.fileSystemsDone = true;
  p.carvedUntil = 123456;
  p.carveCounter = 42;
  p.lostVolumes.push_back({FileSystemKind::kNtfs, 1048576, 999, "boot sector at sector 2048", 0});
  const std::string text = ScanProgressJson(p);
  std::string problem;
  const auto back = ParseScanProgress(text, problem);
  ASSERT_TRUE(back);
  EXPECT_EQ(ScanProgressJson(*back), text);
  EXPECT_EQ(ProgressMismatch(*back, p), "");
  for (size_t cut = 0; cut + 2 < text.size(); ++cut) {
    EXPECT_FALSE(ParseScanProgress(text.substr(0, cut), problem)) << cut;
  }
  EXPECT_FALSE(ParseScanProgress(std::string(10000, '['), problem));
  // Places past the source's end are not believed.
  ScanProgress beyond = p;
  beyond.carvedUntil = p.sourceBytes;
  EXPECT_FALSE(ParseScanProgress(ScanProgressJson(beyond), problem));
  beyond = p;
  beyond.lostVolumes[0].length = INT64_MAX;
  EXPECT_FALSE(ParseScanProgress(ScanProgressJson(beyond), problem));
}

}  // namespace
}  // namespace quarvelin
