#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// What a compound file holds, from the names of its top-level streams (or, failing those, the root
// storage's class id).
enum class CfbKind { kUnknown, kWord, kExcel, kPowerPoint, kOutlookMessage };

// The walk of a compound file (Word, Excel and PowerPoint 97-2003 documents, Outlook messages).
struct CfbWalk {
  // The file's length when the header, the allocation table, the directory and every large
  // stream's sector chain hold together and the last sector can be read.
  std::optional<int64_t> end;
  // The length the allocation table gives when the file does not hold together, or its last
  // sector is missing; 0 when not even the table could be read.
  int64_t reached = 0;
  CfbKind kind = CfbKind::kUnknown;
  int32_t sectorSize = 0;
  int64_t sectors = 0;  // sectors after the header that the file occupies
  int64_t streams = 0;  // stream entries in the directory
  std::string issue;    // why the file is not proven whole
};

// Walks the compound file that starts at candidate offset 0.
CfbWalk WalkCfb(RangeReader& read, const std::atomic<bool>* cancel);

// The type a top-level stream or storage name points to (UTF-8 of the directory's UTF-16 name).
CfbKind CfbKindOfName(std::string_view name);

// The file extension of that kind; empty for an unknown one.
std::string_view CfbExtension(CfbKind kind);

}  // namespace quarvelin
