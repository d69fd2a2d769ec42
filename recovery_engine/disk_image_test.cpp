// Imaging: what lands in the image file and the messages that report it.
#include "disk_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "common/sha256.h"
#include "engine_run.h"

namespace quarvelin {
namespace {

using testing::Message;
using testing::TestDisk;
using testing::TextsOf;
using Kind = NativeMessageKind;

constexpr int64_t kMiB = 1048576;

class DiskImage : public testing::EngineTest {
 protected:
  // Images `source` as the engine opens it through `opener` (the platform's devices by default).
  static std::vector<Message> Image(const std::string& source, const std::string& output,
                                    DeviceOpener opener = OpenRawDevice) {
    return Run(std::move(opener), [&](RecoveryEngine& engine) {
      engine.StartDiskImage(source.c_str(), output.c_str(), testing::RecordA);
    });
  }
};

TEST_F(DiskImage, CopiesAnImageFileByteForByteThroughThePlatformBackend) {
  // Not a whole number of sectors: the last partial sector is copied too.
  const auto bytes = testing::RandomBytes(5 * kMiB + 1000, 5);
  testing::WriteFile(dir_.File("source.img"), bytes);
  const auto messages = Image(dir_.File("source.img"), dir_.File("copy.img"));
  const std::vector<Message> expected = {
      {Kind::Status, "Starting Disk Imaging on " + dir_.File("source.img"), {}},
      {Kind::Status, "Source Size: 5 MB", {}},
      {Kind::Finished, "Imaging Complete. 5 MB copied.", {}},
  };
  EXPECT_EQ(testing::ImagingOutcome(messages), expected);
  EXPECT_EQ(testing::ReadFile(dir_.File("copy.img")), bytes);
  // The checksums are said, and stored beside the image as sha256sum and md5sum write them.
  const std::string sha256 = Sha256Hex(bytes);
  const auto statuses = TextsOf(messages, Kind::Status);
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Image SHA-256: " + sha256),
            statuses.end());
  EXPECT_EQ(testing::ReadText(dir_.File("copy.img.sha256")), sha256 + "  copy.img\n");
  const std::string md5 = testing::ReadText(dir_.File("copy.img.md5"));
  EXPECT_EQ(md5.size(), 32u + 11u);
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Image MD5: " + md5.substr(0, 32)),
            statuses.end());
}

TEST_F(DiskImage, AnOutputThatIsTheSourceIsRefusedAndTheSourceKept) {
  const auto bytes = testing::RandomBytes(kMiB, 6);
  const std::string source = dir_.File("source.img");
  testing::WriteFile(source, bytes);
  std::vector<std::string> outputs = {source, dir_.File(".") + "/source.img"};
  std::error_code noLinks;
  std::filesystem::create_symlink(source, dir_.File("link.img"), noLinks);
  if (!noLinks) outputs.push_back(dir_.File("link.img"));
  for (const std::string& output : outputs) {
    EXPECT_EQ(
        Image(source, output),
        (std::vector<Message>{
            {Kind::Status, "Starting Disk Imaging on " + source, {}},
            {Kind::Error, "Output file is on the drive being imaged. Choose another drive.", {}},
        }))
        << output;
    EXPECT_EQ(testing::ReadFile(source), bytes);
  }
}

TEST_F(DiskImage, UnreadableSectorsBecomeZerosOfTheirLengthOnLargeSectors) {
  const int32_t sectorSize = 4096;
  const int64_t step = 2048 * int64_t{sectorSize};
  const auto disk =
      TestDisk::Random(static_cast<size_t>(4 * step + 5 * sectorSize), 9, sectorSize)
          .Unreadable(step, step)                          // a whole step is dead
          .Unreadable(3 * step + 5 * sectorSize + 77, 1);  // one bad sector: only it is lost

  const auto messages = ImageDisk(disk, dir_.File("copy.img"));
  auto expected = disk->bytes;
  std::fill(expected.begin() + step, expected.begin() + 2 * step, 0);
  const auto bad = expected.begin() + 3 * step + 5 * sectorSize;
  std::fill(bad, bad + sectorSize, 0);
  EXPECT_EQ(testing::ReadFile(dir_.File("copy.img")), expected);
  const auto statuses = TextsOf(testing::ImagingOutcome(messages), Kind::Status);
  EXPECT_EQ(std::vector<std::string>(statuses.begin() + 2, statuses.end()),
            (std::vector<std::string>{"Read Error at sector 2048. Filling with zeros.",
                                      "Read Error at sector 6149. Filling with zeros."}));
  EXPECT_EQ(TextsOf(messages, Kind::Finished).size(), 1u);
}

TEST_F(DiskImage, ADeviceThatDeliversLessThanItsSizeKeepsEverySectorInPlace) {
  const auto disk = TestDisk::Random(static_cast<size_t>(kMiB + 4096), 13);
  disk->reportedSize = 3 * kMiB;  // e.g. a card that stops answering part-way
  const auto messages = ImageDisk(disk, dir_.File("copy.img"));

  auto expected = disk->bytes;
  expected.resize(static_cast<size_t>(3 * kMiB), 0);
  EXPECT_EQ(testing::ReadFile(dir_.File("copy.img")), expected);
  // One stretch, from the first sector missing to the end the device claims.
  const std::vector<std::string> errors = {"Read Error at sector 2056. Filling with zeros."};
  const auto statuses = TextsOf(testing::ImagingOutcome(messages), Kind::Status);
  EXPECT_EQ(std::vector<std::string>(statuses.begin() + 2, statuses.end()), errors);
  EXPECT_EQ(TextsOf(messages, Kind::Finished),
            std::vector<std::string>{"Imaging Complete. 3 MB copied."});
}

TEST_F(DiskImage, FailuresEndTheWorkWithTheirErrorAndLeaveAnExistingFileAlone) {
  const auto disk = TestDisk::Random(4096, 1);
  const auto unknownSize = TestDisk::Of(disk.bytes());
  unknownSize->reportedSize = 0;
  testing::WriteFile(dir_.File("keep.img"), {1, 2, 3});
  const std::string unwritable = dir_.File("no-such-folder/copy.img");
  const struct {
    TestDisk disk;
    std::string source, output, error;
  } cases[] = {
      {unknownSize, "disk", dir_.File("keep.img"), "Failed to determine source size."},
      {disk, "missing", dir_.File("keep.img"), "Failed to open source drive. Check permissions."},
      {disk, "disk", unwritable, "Failed to create output file: " + unwritable},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Image(c.source, c.output, c.disk.Opener()),
              (std::vector<Message>{{Kind::Status, "Starting Disk Imaging on " + c.source, {}},
                                    {Kind::Error, c.error, {}}}));
    EXPECT_EQ(testing::ReadFile(dir_.File("keep.img")), (std::vector<uint8_t>{1, 2, 3}));
  }
}

TEST_F(DiskImage, AStoppedImagingGoesOnFromItsMapAndAMapOfAnotherDriveIsNeverUsed) {
  const auto disk =
      TestDisk::Random(static_cast<size_t>(6 * kMiB), 4).Unreadable(3 * kMiB + 700, 9);
  const std::string image = dir_.File("copy.img");
  // Stopped part-way by a cancel, then started again as the interface does: it resumes.
  auto first = Run(disk.Opener(), [&](RecoveryEngine& engine) {
    disk->onRead = [&engine](int64_t offset) {
      if (offset == 2 * kMiB) engine.Cancel();
    };
    engine.StartDiskImage("disk", image.c_str(), testing::RecordA);
  });
  ASSERT_EQ(TextsOf(first, Kind::Status).back(), "Imaging Cancelled.");
  disk->onRead = nullptr;
  const int64_t readsBefore = disk->reads.load();
  const auto second = Image("disk", image, disk.Opener());
  EXPECT_EQ(TextsOf(second, Kind::Finished),
            std::vector<std::string>{"Imaging Complete. 6 MB copied."});
  const auto statuses = TextsOf(second, Kind::Status);
  EXPECT_TRUE(std::any_of(statuses.begin(), statuses.end(), [](const std::string& s) {
    return s.starts_with("Resuming the imaging recorded in ");
  }));
  auto expected = disk->bytes;
  std::fill_n(expected.begin() + 3 * kMiB + 512, 512, 0);
  EXPECT_EQ(testing::ReadFile(image), expected);
  // The three mebibytes read before the stop are not read again.
  EXPECT_LT(disk->reads.load() - readsBefore, 4 + 2 * 2048);

  // Asked to start over, or to resume nothing, it refuses and keeps what is there.
  const std::string mapOption = "map=" + dir_.File("other.map");
  const struct {
    std::vector<std::string> options;
    std::string error;
  } refusals[] = {
      {{"resume=no"},
       "A rescue map is already at " + image +
           ".map: resume that imaging, or move the map away to start over."},
      {{"resume=yes", mapOption},
       "Nothing to resume: there is no rescue map at " + dir_.File("other.map") + "."},
  };
  for (const auto& refusal : refusals) {
    std::vector<const char*> options;
    for (const std::string& o : refusal.options) options.push_back(o.c_str());
    const auto messages = Run(disk.Opener(), [&](RecoveryEngine& engine) {
      engine.StartDiskImage("disk", image.c_str(), testing::RecordA, options.data(),
                            static_cast<int32_t>(options.size()));
    });
    EXPECT_EQ(TextsOf(messages, Kind::Error), std::vector<std::string>{refusal.error});
    EXPECT_EQ(testing::ReadFile(image), expected);
  }

  // The same image and map offered for a drive of another size, or of the same size with other
  // bytes, are refused; the image stays as it is.
  const auto larger = TestDisk::Random(static_cast<size_t>(7 * kMiB), 4);
  const auto other = TestDisk::Random(static_cast<size_t>(6 * kMiB), 5);
  for (const TestDisk* drive : {&larger, &other}) {
    const auto messages = Image("disk", image, drive->Opener());
    const auto errors = TextsOf(messages, Kind::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(drive == &larger ? "is of a source of 6291456 bytes"
                                              : "do not hold what this source holds"),
              std::string::npos)
        << errors[0];
    EXPECT_EQ(testing::ReadFile(image), expected);
  }
  testing::WriteFile(image + ".map", {'n', 'o', '\n'});
  const auto messages = Image("disk", image, disk.Opener());
  EXPECT_EQ(TextsOf(messages, Kind::Error),
            std::vector<std::string>{"Cannot use the rescue map " + image +
                                     ".map: line 1: not a mapfile status line. Move it away to "
                                     "start the imaging over."});
}

#if defined(__linux__)
TEST_F(DiskImage, AFullOutputDiskIsAnErrorNotACompleteImage) {
  const std::string map = "map=" + dir_.File("full.map");
  const auto messages =
      ImageDisk(TestDisk::Random(static_cast<size_t>(2 * kMiB), 1), "/dev/full", {map.c_str()});
  EXPECT_EQ(TextsOf(messages, Kind::Error),
            std::vector<std::string>{
                "Imaging Error: Cannot write to /dev/full: No space left on device"});
  EXPECT_TRUE(TextsOf(messages, Kind::Finished).empty());
}
#endif

}  // namespace
}  // namespace quarvelin
