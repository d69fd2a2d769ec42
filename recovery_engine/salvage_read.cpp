#include "salvage_read.h"

#include <algorithm>
#include <string>

#include "recovery_engine.h"

namespace quarvelin {

std::vector<uint8_t> ReadInPieces(RawDevice& device, int64_t first, int64_t count,
                                  int32_t sectorSize, std::vector<SectorRun>* unreadable) {
  constexpr int64_t kPieceSectors = 64;
  std::vector<std::vector<uint8_t>> pieces;
  bool anyRead = false;
  for (int64_t piece = first; piece < first + count; piece += kPieceSectors) {
    const int64_t sectors = std::min(kPieceSectors, first + count - piece);
    pieces.push_back(device.ReadDeviceSectors(piece, static_cast<uint32_t>(sectors), sectorSize));
    anyRead = anyRead || !pieces.back().empty();
    if (!pieces.back().empty() &&
        static_cast<int64_t>(pieces.back().size()) < sectors * sectorSize) {
      break;  // the device ends here
    }
  }
  std::vector<uint8_t> bytes;
  if (!anyRead) return bytes;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (!pieces[i].empty()) {
      bytes.insert(bytes.end(), pieces[i].begin(), pieces[i].end());
      continue;
    }
    const int64_t start = first + static_cast<int64_t>(i) * kPieceSectors;
    const int64_t sectors = std::min(kPieceSectors, first + count - start);
    for (int64_t one = start; one < start + sectors; ++one) {
      std::vector<uint8_t> data = device.ReadDeviceSectors(one, 1, sectorSize);
      if (data.empty()) {
        data.assign(static_cast<size_t>(sectorSize), 0);
        if (unreadable != nullptr) {
          if (!unreadable->empty() && unreadable->back().first + unreadable->back().count == one) {
            ++unreadable->back().count;
          } else {
            unreadable->push_back({one, 1});
          }
        }
      }
      bytes.insert(bytes.end(), data.begin(), data.end());
    }
  }
  return bytes;
}

std::vector<uint8_t> ReadReportingBadSectors(RecoveryEngine& engine, RawDevice& device,
                                             int64_t first, int64_t count, int32_t sectorSize) {
  std::vector<uint8_t> data =
      device.ReadDeviceSectors(first, static_cast<uint32_t>(count), sectorSize);
  if (data.empty() && count > 1) {
    // A failing drive: keep every sector that can still be read, zeros for the rest.
    std::vector<SectorRun> unreadable;
    data = ReadInPieces(device, first, count, sectorSize, &unreadable);
    for (const SectorRun& run : unreadable) {
      engine.Emit(NativeMessageKind::Status,
                  "Read Error at sector " + std::to_string(run.first) + ". Filling with zeros.");
    }
  }
  return data;
}

}  // namespace quarvelin
