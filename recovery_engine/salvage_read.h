#pragma once

#include <cstdint>
#include <vector>

#include "device/raw_device.h"

namespace quarvelin {

class RecoveryEngine;

// A stretch of sectors: the first and how many.
struct SectorRun {
  int64_t first = 0;
  int64_t count = 0;
};

// For a read of many sectors that failed as a whole (a failing drive's bad sectors): reads the
// sectors again in pieces of 64, and pieces that fail one sector at a time, so that one bad sector
// costs only itself. Sectors that stay unreadable come back as zeros and are listed in
// `unreadable` when it is given. A stretch where no piece can be read is given up at once (empty
// result) rather than tried sector by sector: on a real drive each failing read can take seconds.
std::vector<uint8_t> ReadInPieces(RawDevice& device, int64_t first, int64_t count,
                                  int32_t sectorSize, std::vector<SectorRun>* unreadable = nullptr);

// Reads `count` sectors; when that fails, reads them again in pieces and reports each stretch that
// stays unreadable (now zeros) as "Read Error at sector N. Filling with zeros.". Empty when
// nothing could be read.
std::vector<uint8_t> ReadReportingBadSectors(RecoveryEngine& engine, RawDevice& device,
                                             int64_t first, int64_t count, int32_t sectorSize);

}  // namespace quarvelin
