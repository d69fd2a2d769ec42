// SQLite: a 100-byte header, then pages of one size; the header counts the pages.

#include "formats/registry.h"
#include "formats/sqlite/sqlite_walk.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// Nothing in a database tells a .db from a .sqlite: the candidate takes the type of the row that
// matched, the first selected one (.sqlite when both are). A database whose page count is stale
// is carved up to its maximum and cut where the next file begins.
CarvedSize Size(SizingJob& job) {
  const SqliteSize found = WalkSqlite(job.Read());
  if (!found.database) return {};
  if (found.size > 0) return SizingJob::Proven(found.size);
  return SizingJob::Estimated(job.MaxSize());
}

}  // namespace

const FileFormat& SqliteFormat() {
  static const FileFormat format{
      "SQLite",
      {{"SQLITE", "sqlite", kDocuments, 512, 256 * MiB}, {"DB", "db", kDocuments, 512, 256 * MiB}},
      {{HeaderText(std::string_view("SQLite format 3\0", 16)), {"sqlite", "db"}, {}}},
      Size,
      nullptr};
  return format;
}

}  // namespace quarvelin
