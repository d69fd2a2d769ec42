#include "formats/cfb/cfb_walk.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Concat;
using testing::File;
using testing::Le16;
using testing::Le32;
using testing::Le64;
using testing::Placement;
using testing::RandomBytes;

constexpr uint32_t kEnd = 0xFFFFFFFE;
constexpr uint32_t kFree = 0xFFFFFFFF;
constexpr uint32_t kFatSector = 0xFFFFFFFD;
constexpr uint32_t kDifatSector = 0xFFFFFFFC;
constexpr uint32_t kNone = 0xFFFFFFFF;

struct Entry {
  std::string name;
  uint8_t type = 2;  // a stream
  uint64_t size = 5'000;
  uint32_t child = kNone;
  uint32_t right = kNone;
  bool last = false;  // the last of its siblings
  std::array<uint8_t, 16> classId = {};
};

struct Built {
  File bytes;
  int32_t sectorSize = 0;
  uint32_t firstData = 0;  // the first stream's first sector
  // The file offset of FAT entry `n` (all in the first FAT sector for small files).
  size_t FatEntry(uint32_t n) const { return static_cast<size_t>(sectorSize) + 4 * n; }
};

// A compound file laid out as writers do: FAT sectors, DIFAT sectors, the directory, then each
// large stream's sectors in turn. Entry 0 is the root; unless an entry links elsewhere, the
// root's entries are chained as right siblings.
Built Build(std::vector<Entry> entries, int shift = 9, uint32_t fatSectors = 1) {
  const size_t ss = size_t{1} << shift;
  const uint32_t perSector = static_cast<uint32_t>(ss) / 4;
  const uint32_t difatSectors =
      fatSectors > 109 ? (fatSectors - 109 + perSector - 2) / (perSector - 1) : 0;
  const uint32_t dirSectors = static_cast<uint32_t>((entries.size() * 128 + ss - 1) / ss);
  std::vector<uint32_t> fat;
  const auto allocate = [&fat](uint32_t count) {
    const auto first = static_cast<uint32_t>(fat.size());
    for (uint32_t i = 1; i <= count; ++i) fat.push_back(i < count ? first + i : kEnd);
    return first;
  };
  fat.insert(fat.end(), fatSectors, kFatSector);
  const auto firstDifat = static_cast<uint32_t>(fat.size());
  fat.insert(fat.end(), difatSectors, kDifatSector);
  const uint32_t firstDir = allocate(dirSectors);
  Built built{.bytes = {},
              .sectorSize = static_cast<int32_t>(ss),
              .firstData = static_cast<uint32_t>(fat.size())};
  std::vector<uint32_t> starts(entries.size(), kEnd);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].size >= 4096 || (i == 0 && entries[i].size > 0)) {
      starts[i] = allocate(static_cast<uint32_t>((entries[i].size + ss - 1) / ss));
    }
  }
  fat.resize(size_t{fatSectors} * perSector, kFree);

  File header =
      Concat(File{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}, File(16, 0), Le16(0x3E),
             Le16(shift == 9 ? 3 : 4), Le16(0xFFFE), Le16(static_cast<uint64_t>(shift)), Le16(6),
             File(6, 0), Le32(shift == 9 ? 0 : dirSectors), Le32(fatSectors), Le32(firstDir),
             Le32(0), Le32(4096), Le32(kEnd), Le32(0), Le32(difatSectors > 0 ? firstDifat : kEnd),
             Le32(difatSectors));
  for (uint32_t i = 0; i < 109; ++i) testing::Append(header, Le32(i < fatSectors ? i : kFree));
  header.resize(static_cast<size_t>(ss), 0);

  File body;
  for (const uint32_t entry : fat) testing::Append(body, Le32(entry));
  for (uint32_t d = 0; d < difatSectors; ++d) {
    for (uint32_t i = 0; i + 1 < perSector; ++i) {
      const uint32_t n = 109 + d * (perSector - 1) + i;
      testing::Append(body, Le32(n < fatSectors ? n : kFree));
    }
    testing::Append(body, Le32(d + 1 < difatSectors ? firstDifat + d + 1 : kEnd));
  }
  File dir;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    File name;
    for (const char c : e.name) testing::Append(name, Le16(static_cast<uint8_t>(c)));
    const uint32_t right = e.right != kNone || e.last || i == 0 || i + 1 == entries.size()
                               ? e.right
                               : static_cast<uint32_t>(i + 1);
    const uint32_t child = i == 0 && e.child == kNone && entries.size() > 1 ? 1 : e.child;
    testing::Append(dir, testing::Padded(name, 64), Le16(2 * (e.name.size() + 1)),
                    File{static_cast<uint8_t>(i == 0 ? 5 : e.type), 1}, Le32(kNone), Le32(right),
                    Le32(child), e.classId, File(20, 0), Le32(starts[i]), Le64(e.size));
  }
  testing::Append(body, testing::Padded(dir, size_t{dirSectors} * ss));
  for (size_t i = 0; i < entries.size(); ++i) {
    if (starts[i] == kEnd) continue;
    const size_t sectors = (entries[i].size + ss - 1) / ss;
    testing::Append(body, testing::Padded(RandomBytes(entries[i].size, static_cast<uint32_t>(i)),
                                          sectors * ss));
  }
  built.bytes = Concat(header, body);
  return built;
}

const Placement kPlacements[] = {
    {.lead = 100, .randomTrailing = true},
    {.lead = 300, .bufferBytes = 700, .trailing = 70'000, .randomTrailing = true},
};

CfbWalk Walk(const File& file, Placement placement = kPlacements[0]) {
  return testing::Validated(file, placement, WalkCfb);
}

std::vector<Entry> Document(const std::string& stream = "WordDocument") {
  return {{.name = "Root Entry", .size = 640}, {.name = stream}, {.name = "1Table", .size = 300}};
}

TEST(CfbWalk, EndsAfterTheHighestSectorInUseWhateverFollows) {
  for (const int shift : {9, 12}) {
    const Built f = Build(Document(), shift);
    for (const auto& placement : kPlacements) {
      const CfbWalk walk = Walk(f.bytes, placement);
      EXPECT_EQ(walk.end, static_cast<int64_t>(f.bytes.size())) << shift << walk.issue;
      EXPECT_EQ(walk.kind, CfbKind::kWord);
      EXPECT_EQ(walk.sectorSize, 1 << shift);
      EXPECT_EQ(walk.streams, 2);
    }
    // Two files back to back: the first ends where its table says.
    EXPECT_EQ(Walk(Concat(f.bytes, f.bytes), {.lead = 7}).end,
              static_cast<int64_t>(f.bytes.size()));
  }
  // Sectors freed at the end (a stream that shrank) are not part of the file.
  Built shrunk = Build(Document());
  const uint32_t text = shrunk.firstData + 2;  // after the mini stream
  testing::Overwrite(shrunk.bytes, shrunk.FatEntry(text + 8), Le32(kEnd));
  testing::Overwrite(shrunk.bytes, shrunk.FatEntry(text + 9), Le32(kFree));
  testing::Overwrite(shrunk.bytes, 1024 + 128 + 120, Le64(4'500));
  EXPECT_EQ(Walk(shrunk.bytes).end, static_cast<int64_t>(shrunk.bytes.size()) - 512);
}

TEST(CfbWalk, TopLevelNamesDecideTheType) {
  const std::pair<std::string, CfbKind> names[] = {
      {"WordDocument", CfbKind::kWord},
      {"Workbook", CfbKind::kExcel},
      {"Book", CfbKind::kExcel},
      {"PowerPoint Document", CfbKind::kPowerPoint},
      {"__substg1.0_0037001F", CfbKind::kOutlookMessage},
      {"__properties_version1.0", CfbKind::kOutlookMessage},
      {"Catalog", CfbKind::kUnknown},  // a thumbnail cache
      {"WordDocumentX", CfbKind::kUnknown},
  };
  for (const auto& [name, kind] : names) {
    EXPECT_EQ(CfbKindOfName(name), kind) << name;
    const CfbWalk walk = Walk(Build(Document(name)).bytes);
    EXPECT_TRUE(walk.end) << name;
    EXPECT_EQ(walk.kind, kind) << name;
  }
  EXPECT_EQ(CfbExtension(CfbKind::kOutlookMessage), "msg");
  EXPECT_EQ(CfbExtension(CfbKind::kUnknown), "");

  // A workbook embedding a Word document: the document's stream lies in a storage below.
  std::vector<Entry> workbook = {{.name = "Root Entry", .size = 0},
                                 {.name = "MBD0001", .type = 1, .size = 0, .child = 3},
                                 {.name = "Workbook", .last = true},
                                 {.name = "WordDocument"}};
  EXPECT_EQ(Walk(Build(workbook).bytes).kind, CfbKind::kExcel);
  // A message carrying an attached document stays a message, whatever the order of its entries.
  const std::vector<Entry> message = {{.name = "Root Entry", .size = 0},
                                      {.name = "WordDocument"},
                                      {.name = "__substg1.0_0E1D001F", .size = 40},
                                      {.name = "__nameid_version1.0", .type = 1, .size = 0}};
  EXPECT_EQ(Walk(Build(message).bytes).kind, CfbKind::kOutlookMessage);

  // Unknown names: the root's class says what wrote it.
  std::vector<Entry> classed = Document("Contents");
  classed[0].classId = {0x20, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  EXPECT_EQ(Walk(Build(classed).bytes).kind, CfbKind::kExcel);

  // Sibling links that lead back to an entry already met are no tree.
  workbook[2].right = 1;
  EXPECT_FALSE(Walk(Build(workbook).bytes).end);
}

TEST(CfbWalk, DifatChainListsTheFatSectorsBeyondTheHeader) {
  std::vector<Entry> big = Document();
  big[1].size = 60'000;
  const Built f = Build(big, 9, 110);
  const CfbWalk walk = Walk(f.bytes, kPlacements[1]);
  EXPECT_EQ(walk.end, static_cast<int64_t>(f.bytes.size())) << walk.issue;
  EXPECT_EQ(walk.kind, CfbKind::kWord);

  // The DIFAT sector (sector 110) names itself next, or a FAT sector past its list is claimed.
  File loop = f.bytes;
  testing::Overwrite(loop, 72, Le32(2));
  testing::Overwrite(loop, 512 * 111 + 508, Le32(110));
  EXPECT_FALSE(Walk(loop).end);
  File more = f.bytes;
  testing::Overwrite(more, 44, Le32(111));
  EXPECT_FALSE(Walk(more).end);
  File marker = f.bytes;
  testing::Overwrite(marker, 512 * 111, Le32(kEnd));
  EXPECT_FALSE(Walk(marker).end);
}

TEST(CfbWalk, BrokenChainsAreNotProven) {
  const Built f = Build(Document());
  const uint32_t text = f.firstData + 2;  // after the mini stream
  const std::pair<uint32_t, uint32_t> changes[] = {
      {text + 4, text + 2},     // a loop inside the text stream
      {text + 4, 5'000},        // a step past the table
      {text + 4, kEnd},         // a chain shorter than its stream
      {text + 4, 1},            // into the directory
      {1, 1},                   // the directory names itself next
      {text + 9, f.firstData},  // the text runs into the mini stream
  };
  for (const auto& [at, value] : changes) {
    File changed = f.bytes;
    testing::Overwrite(changed, f.FatEntry(at), Le32(value));
    const CfbWalk walk = Walk(changed);
    EXPECT_FALSE(walk.end) << at << " " << value;
    EXPECT_GT(walk.reached, 0);
  }
  // A root entry that is not one.
  File notRoot = f.bytes;
  testing::Overwrite(notRoot, 512 * 2 + 66, File{1});
  EXPECT_FALSE(Walk(notRoot).end);
}

TEST(CfbWalk, CutFilesReachTheirTableAndFalseHeadersNothing) {
  const Built f = Build(Document());
  const auto size = static_cast<int64_t>(f.bytes.size());
  const File cut(f.bytes.begin(), f.bytes.end() - 700);
  const CfbWalk walk = Walk(cut, {.lead = 0, .trailing = 0});
  EXPECT_FALSE(walk.end);
  EXPECT_EQ(walk.reached, size);
  EXPECT_EQ(Walk(f.bytes, {.lead = 0, .trailing = 0}).end, size);
  // Only the header survives.
  EXPECT_EQ(Walk(File(f.bytes.begin(), f.bytes.begin() + 512), {.lead = 0, .trailing = 0}).reached,
            0);

  // The signature before other data, and headers with one fixed field wrong.
  EXPECT_EQ(Walk(Concat(File(f.bytes.begin(), f.bytes.begin() + 8), RandomBytes(9'000, 3))).reached,
            0);
  const std::pair<size_t, File> changes[] = {
      {26, Le16(5)},     {30, Le16(12)}, {28, Le16(0xFEFF)}, {32, Le16(7)},
      {56, Le32(8192)},  {44, Le32(0)},  {44, Le32(70'000)}, {40, Le32(1)},
      {76, Le32(kFree)}, {80, Le32(0)},  {72, Le32(1'000)},  {48, Le32(kEnd)},
  };
  for (const auto& [at, bytes] : changes) {
    File changed = f.bytes;
    testing::Overwrite(changed, at, bytes);
    EXPECT_FALSE(Walk(changed).end) << at;
  }
  for (uint32_t seed = 0; seed < 200; ++seed) {
    File noise = RandomBytes(4'096, seed);
    testing::Overwrite(noise, 0, File(f.bytes.begin(), f.bytes.begin() + 76));
    EXPECT_FALSE(Walk(noise).end) << seed;
  }
  EXPECT_FALSE(Walk(f.bytes, {.cancelled = true}).end);
}

}  // namespace
}  // namespace quarvelin
