// Carving scans of in-memory disks: the files that land in the output folder and the messages.
#include "scan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "engine_run.h"
#include "fixtures.h"
#include "quarvelin_tools.h"
#include "recovery_engine.h"
#include "signatures.h"

namespace quarvelin {
namespace {

namespace fs = std::filesystem;
using testing::CarvedFiles;
using testing::File;
using testing::Fixture;
using testing::Message;
using testing::RecordA;
using testing::RecorderA;
using testing::TestDisk;
using testing::TextsOf;
using Kind = NativeMessageKind;
using Files = std::vector<File>;

// Disks of 512-byte sectors of random bytes.
TestDisk RandomDisk(size_t sectors) {
  return TestDisk::Random(sectors * 512, 1);
}

class Scan : public testing::EngineTest {
 protected:
  std::string Found(const std::string& folder, const std::string& name, size_t size) const {
    const std::string path = out_ + "/" + folder + "/" + name;
    return path + "|" + name + "|" + std::to_string(size) + "|Native";
  }

  std::string out_ = dir_.File("recovered");
};

TEST_F(Scan, CarvesFilesInDiskOrderIntoTheirFoldersWithTheirMessages) {
  // Small icons before a photo in one chunk: every one of them is found, earliest first.
  const auto png = Fixture("indexed_16_colours_plte.png");
  const auto gif = Fixture("gif87a_still.gif");
  const auto jpeg = Fixture("harbour_jfif_app0.jpg");
  auto d = RandomDisk(4096);
  d.Put(512 * 3, png).Put(512 * 40, gif).Put(512 * 100, jpeg);
  const auto messages = ScanDisk(d, out_);
  const auto files = TextsOf(messages, Kind::FileFound);
  ASSERT_GE(files.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(files.begin(), files.begin() + 3),
            (std::vector<std::string>{Found("Images", "rec_0_0.png", png.size()),
                                      Found("Images", "rec_1_10.gif", gif.size()),
                                      Found("Images", "rec_2_44.jpg", jpeg.size())}));
  const auto carved = CarvedFiles(messages);
  EXPECT_EQ(std::vector(carved.begin(), carved.begin() + 3), (Files{png, gif, jpeg}));
  for (const char* folder : CategoryFolders) EXPECT_TRUE(fs::is_directory(out_ + "/" + folder));
  EXPECT_EQ(messages.back(), (Message{Kind::Finished, std::to_string(files.size()), {}}));
}

TEST_F(Scan, SelectedTypesOnlyAndAHeaderAcrossTheChunkEnd) {
  const auto jpeg = Fixture("harbour_jfif_app0.jpg");
  auto d = RandomDisk(8192);
  d.Put(512 * 10, Fixture("indexed_16_colours_plte.png")).Put(1048576 - 3, jpeg);
  // The JPEG header straddles the first chunk's end.
  EXPECT_EQ(CarvedFiles(ScanDisk(d, out_, {"jpg"})), Files{jpeg});
}

TEST_F(Scan, XmlWithoutADeclarationIsFoundWhereAFileCanStart) {
  // No header starts it: a scan tries the sector starts where text opens with an element. The
  // same text inside a sector is part of some other file.
  const auto xml = Fixture("canonical_no_declaration.xml");
  auto d = RandomDisk(4096);
  d.Put(512 * 7, xml).Put(512 * 40 + 100, xml);
  EXPECT_EQ(CarvedFiles(ScanDisk(d, out_, {"xml"})), Files{xml});
  EXPECT_TRUE(CarvedFiles(ScanDisk(d, out_ + "/html", {"html"})).empty());
}

// A WMV whose header does not record its length: its size is a guess.
const testing::File kAsfHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11};

TEST_F(Scan, AnEstimatedSizeEndsWhereTheNextFileBegins) {
  // Carved up to the next header on a sector start, not to its guessed 50 MiB, and the photo
  // after it (in the second chunk) is carved too.
  const auto jpeg = Fixture("harbour_jfif_app0.jpg");
  auto d = RandomDisk(16384);
  d.Put(512 * 2, kAsfHeader).Put(512 * 3000, jpeg);
  const auto carved = CarvedFiles(ScanDisk(d, out_, {"wmv", "jpg"}));
  ASSERT_EQ(carved.size(), 2u);
  ASSERT_EQ(carved[0].size(), 512u * 2998);
  EXPECT_TRUE(std::equal(kAsfHeader.begin(), kAsfHeader.end(), carved[0].begin()));
  EXPECT_EQ(carved[1], jpeg);
}

TEST_F(Scan, AFileRunningToTheDeviceEndIsCopiedToItsLastSectorAndNoFurther) {
  // The guess runs on to the end of the disk, past the first chunk. Like a raw volume, the disk
  // fails any read that runs over its end.
  auto d = RandomDisk(2048 + 100);
  d.Put(512 * 2000, kAsfHeader);
  d.Unreadable(static_cast<int64_t>(d->bytes.size()), 1 << 20);
  const auto messages = ScanDisk(d, out_, {"wmv"});
  EXPECT_EQ(CarvedFiles(messages), Files({{d->bytes.begin() + 512 * 2000, d->bytes.end()}}));
  for (const auto& text : TextsOf(messages, Kind::Status)) {
    EXPECT_EQ(text.find("Read Error"), std::string::npos) << text;
  }
}

TEST_F(Scan, FailuresEndWithTheirErrorAndFinished) {
  auto unknownSize = RandomDisk(16);
  unknownSize->reportedSize = 0;
  const auto messages = ScanDisk(unknownSize, out_);
  EXPECT_EQ(TextsOf(messages, Kind::Error),
            std::vector<std::string>{
                "Error: Could not determine drive size. Drive may be inaccessible."});
  EXPECT_EQ(messages.back(), (Message{Kind::Finished, "0", {}}));
  EXPECT_FALSE(fs::exists(out_));

  const auto missing = Run(MemoryOpener({}), [this](RecoveryEngine& engine) {
    engine.StartRecovery("missing", out_.c_str(), nullptr, 0, RecordA);
  });
  EXPECT_EQ(TextsOf(missing, Kind::Error),
            std::vector<std::string>{
                "Failed to open drive (missing). Error code: 2. Run as Administrator?"});
  EXPECT_EQ(missing.back(), (Message{Kind::Finished, "0", {}}));
}

TEST_F(Scan, NothingInTheOutputFolderIsOverwrittenAndAFileThatCannotBeCreatedIsReported) {
  const auto png = Fixture("indexed_16_colours_plte.png");
  auto d = RandomDisk(4096);
  d.Put(512 * 3, png).Put(512 * 2100, png);
  // What an earlier scan of another drive left: its rec_0_0.png stays as it is, and the carve
  // takes the next free name. Every name rec_1_2058.png can take is taken, by folders.
  fs::create_directories(out_ + "/Images");
  testing::WriteFile(out_ + "/Images/rec_0_0.png", {'E', ':'});
  fs::create_directories(out_ + "/Images/rec_0_0 (2).png");
  fs::create_directories(out_ + "/Images/rec_1_2058.png");
  for (int k = 2; k <= 100; ++k) {
    fs::create_directories(out_ + "/Images/rec_1_2058 (" + std::to_string(k) + ").png");
  }
  const auto messages = ScanDisk(d, out_, {"png"});
  EXPECT_EQ(TextsOf(messages, Kind::FileFound),
            std::vector<std::string>{Found("Images", "rec_0_0 (3).png", png.size())});
  EXPECT_EQ(testing::ReadFile(out_ + "/Images/rec_0_0 (3).png"), png);
  EXPECT_EQ(testing::ReadFile(out_ + "/Images/rec_0_0.png"), (File{'E', ':'}));
  EXPECT_EQ(
      TextsOf(messages, Kind::Error),
      std::vector<std::string>{"Failed to write output file: " + out_ + "/Images/rec_1_2058.png"});
  EXPECT_EQ(messages.back(), (Message{Kind::Finished, "1", {}}));
}

TEST_F(Scan, BadSectorsCostOnlyThemselvesAndProgressKeepsFlowing) {
  const auto png = Fixture("indexed_16_colours_plte.png");
  const auto jpeg = Fixture("harbour_jfif_app0.jpg");
  auto d = RandomDisk(8192);
  d.Put(512 * 10, png).Put(512 * 1500, jpeg).Put(512 * 6000, png);
  d.Unreadable(512 * 700, 512);   // in the same chunk as the first two files
  d.Unreadable(512 * 2100, 512);  // in a chunk of its own
  // Reported far larger than the bytes held: the rest reads as failed chunks.
  d->reportedSize = int64_t{600000} * 512;
  const auto messages = ScanDisk(d, out_, {"png", "jpg"});
  EXPECT_EQ(CarvedFiles(messages), (Files{png, jpeg, png}));
  // A carve near the start shifts the chunk grid; progress still comes every 256,000 sectors.
  const auto progress = TextsOf(messages, Kind::Progress);
  ASSERT_EQ(progress.size(), 3u);
  EXPECT_EQ(progress[0], "PROGRESS|0.0|1");
  EXPECT_EQ(messages.back(), (Message{Kind::Finished, "3", {}}));
}

TEST_F(Scan, HeadersWhoseEndNeverFollowsDoNotEachSearchTheRestOfTheDisk) {
  // An archive that lost its central directory and end record: every one of its local headers is a
  // candidate whose end search runs to the end of the disk. So is every PDF header in a log that
  // quotes them. After the first search has found no end, the others must not read it all again.
  File archive;
  std::string log;
  for (int i = 0; i < 300; ++i) {
    char name[16];
    const auto nameBytes =
        static_cast<uint16_t>(std::snprintf(name, sizeof name, "f%d.txt", 1000 + i));
    testing::Append(archive, "PK\x03\x04", File{20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                    testing::Le32(64), testing::Le32(64), testing::Le16(nameBytes),
                    testing::Le16(0), name, File(64, static_cast<uint8_t>('a' + i % 26)));
    char line[48];
    std::snprintf(line, sizeof line, "opened %%PDF-1.%d document %d\n", i % 8, i);
    log += line;
  }
  // Near the disk's end, another archive's end record whose comment the disk does not hold.
  const File record = {'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0, 9, 0, 0, 0, 3, 0, 0, 0, 0xFF, 0xFF};
  const auto jpeg = Fixture("harbour_jfif_app0.jpg");
  // The searches end at the end of the disk, or at an unreadable stretch before it.
  for (const bool badSectors : {false, true}) {
    SCOPED_TRACE(badSectors ? "unreadable stretch" : "to the end");
    const auto reads = [&](std::vector<const char*> types) {
      auto d = RandomDisk(8192);
      d.Put(512 * 10, archive).Put(512 * 2500 + 7, testing::Text(log)).Put(512 * 7000, jpeg);
      d.Put(512 * 8100, record);
      if (badSectors) d.Unreadable(512 * 8180, 512 * 4);
      EXPECT_EQ(CarvedFiles(ScanDisk(d, out_, types)), Files{jpeg});
      return d->reads.load();
    };
    // Each search of the 4 MiB disk takes a few reads; 600 of them would take thousands.
    EXPECT_LT(reads({"zip", "pdf", "jpg"}) - reads({"jpg"}), 150);
  }
}

TEST(StartRecovery, RefusesEmptyArgumentsWithFinished) {
  RecorderA().Clear();
  RecoveryEngine engine(MemoryOpener({}));
  engine.StartRecovery(nullptr, "out", nullptr, 0, RecordA);
  engine.StartRecovery("disk", "", nullptr, 3, RecordA);
  const std::vector<Message> expected = {{Kind::Error, "No drive given.", {}},
                                         {Kind::Finished, "0", {}},
                                         {Kind::Error, "No output folder given.", {}},
                                         {Kind::Finished, "0", {}}};
  EXPECT_EQ(RecorderA().Messages(), expected);
}

// Hostile or odd arguments at the export itself, on the process-wide engine and real files: each
// gets a clear error or does the sound thing, and nothing is left half-made.
TEST(StartRecovery, BadArgumentsAtTheExport) {
  testing::TempDir dir;
  const auto jpeg = Fixture("harbour_jfif_app0.jpg");
  const std::string disk = dir.File("disk.img");
  testing::WriteFile(disk, testing::Padded(testing::Concat(File(8192, 0), jpeg),
                                           (8192 + jpeg.size() + 4096 + 511) / 512 * 512));
  auto scan = [&](const char* drive, const std::string& out, std::vector<const char*> types,
                  int32_t count) {
    RecorderA().Clear();
    StartNativeRecovery(drive, out.c_str(), types.empty() ? nullptr : types.data(), count, RecordA);
    EXPECT_TRUE(RecorderA().WaitForKind(Kind::Finished));
    return RecorderA().Messages();
  };
  auto errors = [](const std::vector<Message>& messages) {
    std::vector<std::string> texts;
    for (const Message& m : messages) {
      if (m.kind == Kind::Error || m.kind == Kind::Finished) texts.push_back(m.text);
    }
    return texts;
  };

  // Only unknown types (the filter is case-sensitive) when only carving: an error at once, no
  // folders made. Through the file systems any extension can come back.
  RecorderA().Clear();
  const char* unknown[] = {"JPG", "xyz"};
  const char* carveOnly[] = {"filesystems=no"};
  StartNativeRecoveryWithOptions(disk.c_str(), dir.File("none").c_str(), unknown, 2, carveOnly, 1,
                                 RecordA);
  EXPECT_TRUE(RecorderA().WaitForKind(Kind::Finished));
  EXPECT_EQ(errors(RecorderA().Messages()),
            (std::vector<std::string>{"No known file type selected: JPG, xyz", "0"}));
  EXPECT_FALSE(fs::exists(dir.File("none")));
  EXPECT_EQ(errors(scan(disk.c_str(), dir.File("named"), {"JPG", "xyz"}, 2)),
            (std::vector<std::string>{"0"}));

  // A path far longer than any system allows is a drive that cannot be opened.
  const std::string overlong(40000, 'a');
  const auto refused = errors(scan(overlong.c_str(), dir.File("long"), {}, 0));
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused[0].rfind("Failed to open drive (", 0), 0u);
  EXPECT_EQ(refused[1], "0");

  // Null entries and a negative count are ignored; a non-ASCII output folder works.
  const std::string unicode = dir.File(
      "r\xc3\xa9"
      "cup\xc3\xa9"
      "r\xc3\xa9 \xd1\x84\xd0\xbe\xd1\x82\xd0\xbe");
  EXPECT_EQ(errors(scan(disk.c_str(), unicode, {nullptr, "jpg"}, 2)),
            (std::vector<std::string>{"1"}));
  EXPECT_EQ(errors(scan(disk.c_str(), dir.File("all"), {"jpg"}, -3)),
            (std::vector<std::string>{"1"}));
  size_t carved = 0;
  for (const auto& entry : fs::recursive_directory_iterator(FileSystemPath(unicode))) {
    if (entry.is_regular_file() && entry.path().filename() != "manifest.jsonl" &&
        entry.path().filename() != "scan-progress.json") {
      ++carved;
      EXPECT_EQ(entry.file_size(), jpeg.size());
    }
  }
  EXPECT_EQ(carved, 1u);
}

}  // namespace
}  // namespace quarvelin
