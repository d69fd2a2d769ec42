#include "formats/sqlite/sqlite_walk.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "candidate.h"
#include "fixtures.h"
#include "formats/registry.h"

namespace quarvelin {
namespace {

using testing::Be16;
using testing::Be32;
using testing::Concat;
using testing::File;
using testing::Placement;

constexpr Placement kMidSector{.lead = 300, .randomTrailing = true};

SqliteSize Walk(const File& file, Placement placement = kMidSector) {
  return testing::Validated(file, placement, [](RangeReader& read, const std::atomic<bool>*) {
    return WalkSqlite(read);
  });
}

const FileSignature& Row(const std::string& extension) {
  for (const FileSignature& row : SignatureTable()) {
    if (row.extension == extension) return row;
  }
  throw std::runtime_error("no row for " + extension);
}

TEST(SqliteWalk, StaleOrMissingPageCountLeavesTheLengthOpen) {
  const File f = testing::Fixture("contacts_page_1024.sqlite");
  ASSERT_EQ(Walk(f).size, static_cast<int64_t>(f.size()));
  // A writer that did not keep the count (before 3.7.0): valid-for differs from the change
  // counter, or the count is 0. Recognized, not sized; the carver estimates and cuts at the next
  // file.
  File stale = f;
  testing::Overwrite(stale, 92, Be32(1));
  File zero = f;
  testing::Overwrite(zero, 28, Be32(0));
  for (const File& g : {stale, zero}) {
    const SqliteSize found = Walk(g);
    EXPECT_TRUE(found.database);
    EXPECT_EQ(found.size, 0);
    testing::Candidate candidate(g, kMidSector);
    const CarvedSize carved = candidate.Carve(Row("sqlite"));
    EXPECT_TRUE(carved.estimated);
    EXPECT_FALSE(carved.proven);
  }
  // A count past the device's end: a database cut short, not proven at a length it does not have.
  File longer = f;
  testing::Overwrite(longer, 28, Be32(200));
  EXPECT_EQ(Walk(longer, {.lead = 0, .trailing = 0}).size, 0);
  EXPECT_EQ(Walk(longer, {.lead = 0, .trailing = 200 * 1024}).size, 200 * 1024);
}

TEST(SqliteWalk, HeadersThatDoNotHoldTogetherAreNoDatabase) {
  const File f = testing::Fixture("contacts_page_1024.sqlite");
  // Page sizes that are no power of two or out of range, unknown versions, other payload fractions,
  // a schema format or encoding past the known ones, and a first page that is no table b-tree.
  const std::pair<size_t, File> changes[] = {{16, Be16(1000)},  {16, Be16(256)},  {16, Be16(0)},
                                             {18, File{3}},     {19, File{0}},    {21, File{63}},
                                             {23, File{0}},     {44, Be32(5)},    {56, Be32(4)},
                                             {100, File{0x0A}}, {100, File{0x00}}};
  for (const auto& [at, bytes] : changes) {
    File changed = f;
    testing::Overwrite(changed, at, bytes);
    EXPECT_FALSE(Walk(changed).database) << at;
  }
  // Page size 1 means 65536.
  File big = Concat(f, File(65536 * 2 - f.size(), 0));
  testing::Overwrite(big, 16, Be16(1));
  testing::Overwrite(big, 28, Be32(2));
  EXPECT_EQ(Walk(big).size, 65536 * 2);
  // The magic followed by noise.
  EXPECT_FALSE(
      Walk(Concat(std::string_view("SQLite format 3\0", 16), testing::RandomBytes(4000, 3)))
          .database);
}

}  // namespace
}  // namespace quarvelin
