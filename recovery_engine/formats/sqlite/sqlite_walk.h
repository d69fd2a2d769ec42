#pragma once

#include <cstdint>

#include "sizing/range_reader.h"

namespace quarvelin {

// What the 100-byte header of an SQLite database at candidate offset 0 says of its length.
struct SqliteSize {
  bool database = false;  // the header holds together as a database's
  // Page size × page count, when the page count is current (its "valid-for" number equals the
  // change counter) and the database's last byte can be read; 0 otherwise.
  int64_t size = 0;
};

// Checks the header (magic, page size, file format versions, payload fractions, a table b-tree
// as the first page) and takes the length from the in-header page count. Writers before 3.7.0
// left that count stale; such a database is recognized but its length is not known.
SqliteSize WalkSqlite(RangeReader& read);

}  // namespace quarvelin
