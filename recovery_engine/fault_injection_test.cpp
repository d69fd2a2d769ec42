// Faults on both sides of the work: unreadable chunks and steps at every position of the drive, bad
// sectors inside a file the scan copies, an output disk that fills up, an output folder that cannot
// be made. Each run must end cleanly and keep every byte it could.
#include <gtest/gtest.h>

#include <filesystem>

#if defined(__linux__)
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

#include "engine_run.h"
#include "fixtures.h"
#include "imaging/rescue_map.h"

namespace quarvelin {
namespace {

namespace fs = std::filesystem;
using testing::File;
using testing::Fixture;
using testing::Message;
using testing::TestDisk;
using Kind = NativeMessageKind;

constexpr int64_t kSector = 512;
constexpr int64_t kChunk = 2048;  // sectors per scan chunk and per image step

struct Placed {
  int64_t sector;
  File bytes;
  std::string extension;
};

// A zeroed disk of `sectors` sectors holding `files`, each at its own sector.
TestDisk DiskWith(int64_t sectors, const std::vector<Placed>& files) {
  auto disk = TestDisk::Zeros(static_cast<size_t>(sectors * kSector));
  for (const Placed& f : files) disk.PutAtSector(f.sector, f.bytes);
  return disk;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == '|')
      parts.emplace_back();
    else
      parts.back().push_back(c);
  }
  return parts;
}

// True when `name` is the `index`th carve ("rec_<index>_<chunk sector>.<ext>") of `file`: the chunk
// it names holds the file's header.
bool NamesFile(const std::string& name, size_t index, const Placed& file) {
  const std::string prefix = "rec_" + std::to_string(index) + "_";
  const std::string suffix = "." + file.extension;
  if (name.rfind(prefix, 0) != 0 || name.size() <= prefix.size() + suffix.size() ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  const int64_t chunk = std::stoll(name.substr(prefix.size()));
  return chunk <= file.sector && file.sector < chunk + kChunk;
}

class Faults : public testing::EngineTest {
 protected:
  // Checks that `messages` carve exactly `files`, in order, each byte for byte into Images, with
  // one progress line after the first chunk and `Finished` with their count.
  void ExpectCarved(const std::vector<Message>& messages, const std::string& out,
                    const std::vector<Placed>& files, int64_t sectors) {
    const std::vector<Message> head = {
        {Kind::Status, "Starting native scan on disk", {}},
        {Kind::Status,
         "Drive Size: " + std::to_string(sectors * kSector / 1048576) +
             " MB. BPS: 512. Total Sectors: " + std::to_string(sectors),
         {}},
        {Kind::Status, "Directories created. Loading signatures...", {}},
        {Kind::Status, "Starting Scan Loop...", {}}};
    ASSERT_EQ(messages.size(), head.size() + files.size() + 2);
    EXPECT_EQ(std::vector<Message>(messages.begin(), messages.begin() + 4), head);
    // The progress line follows the first chunk, and with it the file whose header lies there.
    const size_t inFirst = !files.empty() && files[0].sector < kChunk ? 1 : 0;
    EXPECT_EQ(messages[head.size() + inFirst],
              (Message{Kind::Progress, "PROGRESS|0.0|" + std::to_string(inFirst), {}}));
    for (size_t i = 0, at = head.size(); i < files.size(); ++i, ++at) {
      if (i == inFirst) ++at;
      const auto parts = Split(messages[at].text);
      ASSERT_EQ(messages[at].kind, Kind::FileFound) << messages[at].text;
      ASSERT_EQ(parts.size(), 4u);
      EXPECT_TRUE(NamesFile(parts[1], i, files[i]))
          << parts[1] << " for sector " << files[i].sector;
      EXPECT_EQ(parts[0], out + "/Images/" + parts[1]);
      EXPECT_EQ(parts[2], std::to_string(files[i].bytes.size()));
      EXPECT_EQ(testing::ReadFile(parts[0]), files[i].bytes) << parts[1];
    }
    EXPECT_EQ(messages.back(), (Message{Kind::Finished, std::to_string(files.size()), {}}));
  }
};

TEST_F(Faults, AnUnreadableChunkAnywhereLosesOnlyTheFilesInIt) {
  // One file in each chunk, the last chunk short; some near a chunk's start, some near its end.
  const std::vector<Placed> files = {
      {7, Fixture("harbour_jfif_app0.jpg"), "jpg"},
      {kChunk + 300, Fixture("indexed_16_colours_plte.png"), "png"},
      {2 * kChunk + 2020, Fixture("bottom_up_24bit.bmp"), "bmp"},
      {3 * kChunk, Fixture("adam7_interlaced.png"), "png"},
      {4 * kChunk + 1500, Fixture("gif87a_still.gif"), "gif"},
      {5 * kChunk + 20, Fixture("camera_exif_app1_first_thumbnail.jpg"), "jpg"}};
  const int64_t sectors = 5 * kChunk + 100;
  for (int64_t bad = 0; bad * kChunk < sectors; ++bad) {
    SCOPED_TRACE("unreadable chunk " + std::to_string(bad));
    auto disk = DiskWith(sectors, files).Unreadable(bad * kChunk * kSector, kChunk * kSector);
    std::vector<Placed> kept;
    for (const Placed& f : files) {
      if (f.sector / kChunk != bad) kept.push_back(f);
    }
    const std::string out = dir_.File("out" + std::to_string(bad));
    ExpectCarved(ScanDisk(disk, out, {"jpg", "png", "bmp", "gif"}), out, kept, sectors);
  }
}

// A 1024 x 1024 24-bit BMP (3 MiB of random pixels): its size comes from its header alone.
File LargeBmp() {
  using testing::Le32;
  File bmp = testing::RandomBytes(54 + 3 * 1048576, 3);
  testing::Overwrite(
      bmp, 0,
      testing::Concat("BM", Le32(54 + 3 * 1048576), Le32(0), Le32(54), Le32(40), Le32(1024),
                      Le32(1024), Le32(1 | 24 << 16), Le32(0), Le32(3 * 1048576)));
  return bmp;
}

TEST_F(Faults, BadSectorsInTheCopyBeyondTheChunkAreReportedAndCostOnlyThemselves) {
  // The BMP starts in the first chunk's last sector: all but 1 KiB is copied from the device in
  // 1 MiB blocks from sector 2049 on.
  const Placed bmp{kChunk - 1, LargeBmp(), "bmp"};
  const std::string path = dir_.File("out") + "/Images/rec_0_0.bmp";
  const struct {
    int64_t from, count;
    bool cut;
  } cases[] = {
      {kChunk + 1 + 1000, 1, false},             // one bad sector: only its bytes become zeros
      {kChunk + 1 + kChunk, kChunk + 10, true},  // a dead block: the file keeps what came before
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    fs::remove_all(dir_.File("out"));  // each case names its file rec_0_0.bmp
    const auto disk = DiskWith(4 * kChunk, {bmp}).Unreadable(c.from * kSector, c.count * kSector);
    const auto messages = ScanDisk(disk, dir_.File("out"), {"bmp"});
    auto expected = bmp.bytes;
    const auto at = expected.begin() + (c.from - bmp.sector) * kSector;
    if (c.cut) {
      expected.erase(at, expected.end());
    } else {
      std::fill_n(at, kSector, 0);
    }
    const std::string error = "Read Error at sector " + std::to_string(c.from) +
                              (c.cut ? ". File cut short: " + path : ". Filling with zeros.");
    const std::vector<Message> tail = {
        {Kind::Status, error, {}},
        {Kind::FileFound, path + "|rec_0_0.bmp|" + std::to_string(expected.size()) + "|Native", {}},
        {Kind::Progress, "PROGRESS|0.0|1", {}},
        {Kind::Finished, "1", {}}};
    ASSERT_GE(messages.size(), tail.size());
    EXPECT_EQ(std::vector<Message>(messages.end() - 4, messages.end()), tail);
    EXPECT_EQ(testing::ReadFile(path), expected);
  }
}

TEST_F(Faults, CancelDuringTheCopyBeyondAChunkKeepsWhatWasWritten) {
  const Placed bmp{kChunk - 1, LargeBmp(), "bmp"};
  auto disk = DiskWith(4 * kChunk, {bmp});
  const std::string out = dir_.File("out");
  const auto messages = Run(disk.Opener(), [&](RecoveryEngine& engine) {
    disk->onRead = [&engine](int64_t offset) {
      if (offset == (kChunk + 1) * kSector) engine.Cancel();  // the first read beyond the chunk
    };
    const char* types[] = {"bmp"};
    engine.StartRecovery("disk", out.c_str(), types, 1, testing::RecordA);
  });
  const auto carved = testing::ReadFile(out + "/Images/rec_0_0.bmp");
  ASSERT_EQ(carved.size(), 1024u + 1048576u);
  EXPECT_TRUE(std::equal(carved.begin(), carved.end(), bmp.bytes.begin()));
  EXPECT_EQ(testing::TextsOf(messages, Kind::FileFound),
            std::vector<std::string>{out + "/Images/rec_0_0.bmp|rec_0_0.bmp|" +
                                     std::to_string(carved.size()) + "|Native"});
  EXPECT_EQ(messages.back(), (Message{Kind::Finished, "1", {}}));
}

TEST_F(Faults, AnUnreadableStretchAnywhereInAnImageBecomesZerosInPlace) {
  // Two whole steps, a short third one, and a trailing partial sector.
  const int64_t sectors = 2 * kChunk + 301;
  const File base = testing::RandomBytes(static_cast<size_t>((sectors - 1) * kSector + 100), 21);
  const auto size = std::ssize(base);
  const std::string done = "Imaging Complete. " + std::to_string(size / 1048576) + " MB copied.";
  for (int64_t step = 0; step * kChunk < sectors; ++step) {
    const int64_t first = step * kChunk;
    const int64_t inStep = std::min(kChunk, sectors - first);
    // The whole step, three sectors inside it, and its last sector (on the last step the partial
    // one).
    const std::vector<std::pair<int64_t, int64_t>> runs = {
        {first, inStep}, {first + (step * 523) % (inStep - 3), 3}, {first + inStep - 1, 1}};
    for (const auto& [from, count] : runs) {
      SCOPED_TRACE("sectors " + std::to_string(from) + " + " + std::to_string(count));
      const auto disk = TestDisk::Of(base).Unreadable(from * kSector, count * kSector);
      const auto messages = ImageDisk(disk, dir_.File("copy.img"));
      auto expected = base;
      std::fill(expected.begin() + from * kSector,
                expected.begin() + std::min(size, (from + count) * kSector), 0);
      EXPECT_EQ(testing::ReadFile(dir_.File("copy.img")), expected);
      EXPECT_EQ(testing::ImagingOutcome(messages),
                (std::vector<Message>{
                    {Kind::Status, "Starting Disk Imaging on disk", {}},
                    {Kind::Status, "Source Size: " + std::to_string(size / 1048576) + " MB", {}},
                    {Kind::Status,
                     "Read Error at sector " + std::to_string(from) + ". Filling with zeros.",
                     {}},
                    {Kind::Finished, done, {}}}));
    }
  }
}

// The text the scan reports for a folder that cannot be made, as the file-system library words it.
std::string FolderError(const std::string& folder) {
  try {
    fs::create_directories(folder);
    fs::create_directories(folder + "/Images");
  } catch (const std::exception& e) {
    return std::string("FS Error: ") + e.what();
  }
  return "(folder could be made)";
}

TEST_F(Faults, AnOutputFolderThatCannotBeMadeEndsTheScanBeforeAnyWrite) {
  auto disk = DiskWith(kChunk, {{3, Fixture("harbour_jfif_app0.jpg"), "jpg"}});
  std::vector<std::string> folders = {dir_.File("blocker") + "/recovered"};
  testing::WriteFile(dir_.File("blocker"), {7});
#if defined(__linux__)
  // A read-only folder: a read-only mount for root, whom permissions do not stop.
  const std::string readOnly = dir_.File("ro");
  fs::create_directories(readOnly);
  const bool mounted =
      geteuid() == 0 && ::mount("tmpfs", readOnly.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
  if (!mounted) fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
  if (mounted || geteuid() != 0) folders.insert(folders.end(), {readOnly, readOnly + "/recovered"});
#endif
  for (const std::string& out : folders) {
    SCOPED_TRACE(out);
    const std::string error = FolderError(out);
    const auto messages = ScanDisk(disk, out);
    EXPECT_EQ(messages, (std::vector<Message>{
                            {Kind::Status, "Starting native scan on disk", {}},
                            {Kind::Status, "Drive Size: 1 MB. BPS: 512. Total Sectors: 2048", {}},
                            {Kind::Error, error, {}},
                            {Kind::Finished, "0", {}}}));
  }
  EXPECT_EQ(testing::ReadFile(dir_.File("blocker")), std::vector<uint8_t>{7});
#if defined(__linux__)
  EXPECT_TRUE(fs::is_empty(readOnly));
  if (mounted) ::umount2(readOnly.c_str(), MNT_DETACH);
  fs::permissions(readOnly, fs::perms::owner_all);
#endif
}

#if defined(__linux__)
// A tmpfs of `size` mounted over `folder` for the test's length.
class SmallDisk {
 public:
  SmallDisk(const std::string& folder, const std::string& size) : folder_(folder) {
    fs::create_directories(folder);
    mounted_ = geteuid() == 0 &&
               ::mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  struct statvfs Space() const {
    struct statvfs space {};
    ::statvfs(folder_.c_str(), &space);
    return space;
  }

 private:
  std::string folder_;
  bool mounted_ = false;
};

TEST_F(Faults, AnOutputDiskThatFillsUpEndsTheScanWithTheFilesBeforeIntact) {
  SmallDisk small(dir_.File("small"), "64k");
  if (!small.Mounted()) GTEST_SKIP() << "needs root to mount a small file system";
  const std::string out = dir_.File("small") + "/out";
  const std::vector<Placed> files = {
      {10, Fixture("harbour_jfif_app0.jpg"), "jpg"},
      {kChunk + 10, Fixture("bottom_up_24bit.bmp"), "bmp"},
      {2 * kChunk + 10, Fixture("adam7_interlaced.png"), "png"},
      {3 * kChunk + 10, Fixture("noise_several_idat_chunks.png"), "png"},
      {4 * kChunk + 10, Fixture("gif87a_still.gif"), "gif"},
      {5 * kChunk + 10, Fixture("palette_8bit.bmp"), "bmp"}};
  // The folders take no data blocks; the files fill whole blocks until one no longer fits.
  FolderError(out);
  const auto block = static_cast<int64_t>(small.Space().f_frsize);
  auto room = static_cast<int64_t>(small.Space().f_bavail) * block;
  size_t fit = 0;
  for (int64_t need; fit < files.size(); ++fit, room -= need) {
    need = (static_cast<int64_t>(files[fit].bytes.size()) + block - 1) / block * block;
    if (need > room) break;
  }
  ASSERT_GT(fit, 0u);
  ASSERT_LT(fit, files.size());

  const auto messages = ScanDisk(DiskWith(6 * kChunk, files), out, {"jpg", "png", "bmp", "gif"});
  const auto found = testing::TextsOf(messages, Kind::FileFound);
  const auto errors = testing::TextsOf(messages, Kind::Error);
  ASSERT_EQ(found.size(), fit);
  for (size_t i = 0; i < fit; ++i) {
    const std::string path = Split(found[i])[0];
    EXPECT_TRUE(NamesFile(fs::path(path).filename().string(), i, files[i])) << path;
    EXPECT_EQ(testing::ReadFile(path), files[i].bytes) << path;
  }
  ASSERT_EQ(errors.size(), 1u);
  const std::string prefix = "Failed to write output file: " + out + "/Images/";
  ASSERT_EQ(errors[0].rfind(prefix, 0), 0u) << errors[0];
  EXPECT_TRUE(NamesFile(errors[0].substr(prefix.size()), fit, files[fit])) << errors[0];
  // What reached the disk of the file that did not fit is its start, nothing else.
  const auto partial =
      testing::ReadFile(errors[0].substr(std::string("Failed to write output file: ").size()));
  EXPECT_TRUE(std::equal(partial.begin(), partial.end(), files[fit].bytes.begin()));
  EXPECT_EQ(messages.back(), (Message{Kind::Finished, std::to_string(fit), {}}));
}

TEST_F(Faults, AnImageDiskThatFillsUpPartWayIsAnErrorWithTheCopiedPartExact) {
  SmallDisk small(dir_.File("small"), "1536k");
  if (!small.Mounted()) GTEST_SKIP() << "needs root to mount a small file system";
  const auto disk = TestDisk::Random(3 * 1048576, 8);
  const auto room = static_cast<int64_t>(small.Space().f_bavail * small.Space().f_frsize);
  const std::string output = dir_.File("small") + "/copy.img";
  const auto messages = ImageDisk(disk, output);
  // The rescue map beside the image may not fit either; the image's own error comes last.
  const auto errors = testing::TextsOf(messages, Kind::Error);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(),
            "Imaging Error: Cannot write to " + output + ": No space left on device");
  EXPECT_TRUE(testing::TextsOf(messages, Kind::Finished).empty());
  // What the map says was copied is exact.
  std::string error;
  const std::optional<RescueMap> map = RescueMap::Load(output + ".map", error);
  ASSERT_TRUE(map) << error;
  const int64_t copied = map->Bytes(BlockStatus::kFinished);
  EXPECT_GT(copied, 0);
  EXPECT_LE(copied, room);
  const auto image = testing::ReadFile(output);
  ASSERT_GE(static_cast<int64_t>(image.size()), copied);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + copied, disk->bytes.begin()));
}
#endif

}  // namespace
}  // namespace quarvelin
