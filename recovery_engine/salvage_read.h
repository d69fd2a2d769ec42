#pragma once

#include <cstdint>
#include <vector>

#include "common/sector_range.h"
#include "device/raw_device.h"

namespace quarvelin {

class RecoveryEngine;

// For a read of many sectors that failed as a whole (a failing drive's bad sectors): reads the
// sectors again in pieces of 64, and pieces that fail one sector at a time, so that one bad sector
// costs only itself. Sectors that stay unreadable come back as zeros and are listed in
// `unreadable` when it is given. A stretch where no piece can be read is given up at once (empty
// result) rather than tried sector by sector: on a real drive each failing read can take seconds.
std::vector<uint8_t> ReadInPieces(RawDevice& device, SectorRange sectors, int32_t sectorSize,
                                  std::vector<SectorRange>* unreadable = nullptr);

// Reads `sectors`; when that fails, reads them again in pieces and reports each stretch that stays
// unreadable (now zeros) as "Read Error at sector N. Filling with zeros.". Empty when nothing could
// be read.
std::vector<uint8_t> ReadReportingBadSectors(RecoveryEngine& engine, RawDevice& device,
                                             SectorRange sectors, int32_t sectorSize);

}  // namespace quarvelin
