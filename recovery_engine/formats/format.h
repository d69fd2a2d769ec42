#pragma once

// What the engine knows about one format, in one place: the types (extensions) it writes, the
// headers that start them, how a candidate is sized and named from its content, and what
// `identify` prints. The registry (registry.h) lists the formats; the scan, the sizing, identify,
// the fuzz targets and the table-driven tests loop over it.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "carved_size.h"
#include "common/byte_fields.h"
#include "signatures.h"
#include "sizing/range_reader.h"

namespace quarvelin {

class SizingJob;

// One extension a scan can write.
struct FileType {
  std::string name;       // upper-case type name
  std::string extension;  // lower-case, no dot
  FileCategory category = kImages;
  // The smallest file a guessed size may give (a walk that proves a file whole keeps it whatever
  // its size) and the largest length an estimate may take.
  int64_t minSize = 0;
  int64_t maxSize = 0;
  // Left out of a scan for every type, carved only when chosen by name (plain text: carved
  // unasked, every stretch of text on a disk would come out as a file).
  bool onlyWhenSelected = false;
};

// A header that starts files of some of a format's types.
struct FormatHeader {
  std::vector<uint8_t> bytes;
  std::vector<std::string> types;  // extensions this header starts, in search order
  std::vector<uint8_t> footer;     // a closing marker a fallback search looks for; may be empty
  bool ignoreCase = false;         // ASCII letters match in either case
};

// What `identify` says beyond the format's name.
struct FormatReport {
  bool validated = false;  // the fields below are a validator's findings
  int64_t size = 0;
  int32_t confidence = 0;
  bool accepted = false;  // carving would trust `size`
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::string> issues;
};

struct FileFormat {
  std::string_view name;  // the family, for logs and tests: "ISO media"
  std::vector<FileType> types;
  std::vector<FormatHeader> headers;
  // Sizes a candidate whose header matched one of `headers`, and says which of `types` it is when
  // the content decides (CarvedSize::extension).
  CarvedSize (*size)(SizingJob& job) = nullptr;
  // Checks a whole file (for `identify`); may be null for formats without a validator.
  FormatReport (*report)(RangeReader& read, std::string_view extension) = nullptr;
  // For a format some of whose files no fixed header starts (XML without a declaration): the type
  // such a file is sized as, and whether the bytes at a sector start may begin one. A scan that
  // selects that type tries every sector start the test passes.
  std::string_view unheadedType = {};
  bool (*startsUnheaded)(Bytes bytes) = nullptr;
};

}  // namespace quarvelin
