#include "formats/sqlite/sqlite_walk.h"

#include <cstring>

#include "common/byte_fields.h"

namespace quarvelin {
namespace {

constexpr int32_t kHeaderSize = 100;
// The first page holds the header and then the schema table's b-tree page header.
constexpr int32_t kFirstPageBytes = kHeaderSize + 8;
// Page counts are 32-bit; beyond this a count is more likely noise than a database.
constexpr int64_t kLargest = int64_t{1} << 40;

constexpr uint8_t kInteriorTable = 0x05;
constexpr uint8_t kLeafTable = 0x0D;

}  // namespace

SqliteSize WalkSqlite(RangeReader& read) {
  const auto header = read(0, kFirstPageBytes);
  if (header.empty() || std::memcmp(header.data(), "SQLite format 3", 16) != 0) return {};
  const uint32_t field = *ReadBe16(header, 16);
  const int64_t pageSize = field == 1 ? 65536 : field;
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) return {};
  // Write and read versions: 1 legacy (rollback journal), 2 WAL.
  for (const size_t at : {size_t{18}, size_t{19}}) {
    if (header[at] != 1 && header[at] != 2) return {};
  }
  // The usable part of a page is at least 480 bytes; the payload fractions are fixed.
  if (pageSize - header[20] < 480 || header[21] != 64 || header[22] != 32 || header[23] != 32) {
    return {};
  }
  const uint32_t schemaFormat = *ReadBe32(header, 44);
  const uint32_t encoding = *ReadBe32(header, 56);
  if (schemaFormat > 4 || encoding > 3) return {};
  // The schema table's root page follows the header on page 1.
  const uint8_t pageType = header[kHeaderSize];
  if (pageType != kLeafTable && pageType != kInteriorTable) return {};

  SqliteSize found{.database = true};
  const uint32_t changeCounter = *ReadBe32(header, 24);
  const uint32_t pages = *ReadBe32(header, 28);
  const uint32_t validFor = *ReadBe32(header, 92);
  if (pages == 0 || validFor != changeCounter) return found;
  const int64_t size = pageSize * pages;
  if (size > kLargest || read(size - 1, 1).empty()) return found;
  found.size = size;
  return found;
}

}  // namespace quarvelin
