#pragma once

// How the engine words damage: a recovered file that is not whole, a stretch of the source that
// could not be read. One wording for every pass, so a user (and the manifest) reads them alike.

#include <cstdint>
#include <string>
#include <vector>

#include "common/sector_range.h"

namespace quarvelin {

// "sectors 2048-2055, 4096 unreadable, written as zeros": the source sectors a file holds as
// zeros, in order. A long list ends with how many more there are.
std::string UnreadableSectorsProblem(const std::vector<SectorRange>& sectors);

// Adds `part` to the problem text of a file ("; " between parts).
void AddProblem(std::string& problem, const std::string& part);

// The status line of a recovered file that is not whole: "Damaged: <path>: <problem>".
std::string DamagedFileLine(const std::string& path, const std::string& problem);

// A size as a user reads it: "512 bytes", "24 KB", "8 MB".
std::string SizeText(int64_t bytes);

// The status line of a stretch of the source that could not be read: "Unreadable: sectors
// 163840 to 180223 (8 MB) could not be read and were not searched."
std::string UnreadableStretchLine(SectorRange sectors, int32_t sectorSize);

}  // namespace quarvelin
