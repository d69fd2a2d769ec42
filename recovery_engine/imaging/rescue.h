#pragma once

// Copying a failing drive the way rescue tools do, in phases that put the readable data on the copy
// before any bad area is worked on, and that read each bad sector as few times as possible (a
// failing drive degrades with every read of a bad area):
//   copying   the untried parts in large reads. The first pass skips ahead from an error, further
//             while errors go on, less once reads succeed again; the second pass comes back the
//             other way over what was skipped, leaving a block at its first error; a last sweep
//             reads what is left. A failed read marks its sectors non-trimmed; nothing untried is
//             read twice.
//   trimming  reads the edges of each failed area sector by sector, inwards, until a sector fails
//             at each edge; the inside becomes non-scraped.
//   scraping  reads the inside of each failed area sector by sector.
//   retrying  reads each bad sector again, once per pass, the direction changing every pass.
// Every sector is read at most twice before the retries: once in a large read, once alone.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "device/raw_device.h"
#include "rescue_map.h"

namespace quarvelin {

struct RescueSettings {
  int64_t clusterBytes = 1048576;  // the large reads of the copying phase
  bool scrape = true;
  int retries = 0;
  bool reverse = false;  // the first copying pass goes from the end backwards
};

// How the phases reach the world around them.
struct RescueHooks {
  // Stores sectors read (at the byte offset of their first); false when the image cannot take them.
  std::function<bool(int64_t offset, std::span<const uint8_t> bytes)> write;
  // Called between reads: false ends the rescue (cancelled). May wait while paused.
  std::function<bool()> keepGoing;
  // After every read, with the map as it now stands and whether the read succeeded.
  std::function<void(bool read)> afterRead;
  // A line about the phase beginning ("Trimming 3 failed areas (1.5 MB)...").
  std::function<void(const std::string&)> phase;
};

enum class RescueEnd { kDone, kCancelled, kWriteFailed };

// Runs the phases over everything `map` does not mark finished, picking up at the phase and pass
// the map records. The map is brought up to date after every read.
RescueEnd RunRescue(RawDevice& device, int32_t sectorSize, RescueMap& map,
                    const RescueSettings& settings, const RescueHooks& hooks);

}  // namespace quarvelin
