#include "salvage_read.h"

#include <string>

#include "recovery_engine.h"

namespace quarvelin {
namespace {

std::vector<uint8_t> Read(RawDevice& device, SectorRange sectors, int32_t sectorSize) {
  return device.ReadDeviceSectors(sectors.First(), static_cast<uint32_t>(sectors.Count()),
                                  sectorSize);
}

}  // namespace

std::vector<uint8_t> ReadInPieces(RawDevice& device, SectorRange sectors, int32_t sectorSize,
                                  std::vector<SectorRange>* unreadable) {
  constexpr int64_t kPieceSectors = 64;
  std::vector<std::vector<uint8_t>> pieces;
  bool anyRead = false;
  for (SectorRange rest = sectors; !rest.Empty(); rest = rest.From(rest.First() + kPieceSectors)) {
    const SectorRange piece = rest.Head(kPieceSectors);
    pieces.push_back(Read(device, piece, sectorSize));
    anyRead = anyRead || !pieces.back().empty();
    if (!pieces.back().empty() &&
        static_cast<int64_t>(pieces.back().size()) < piece.Count() * sectorSize) {
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
    const SectorRange piece =
        sectors.From(sectors.First() + static_cast<int64_t>(i) * kPieceSectors).Head(kPieceSectors);
    for (int64_t one = piece.First(); one < piece.End(); ++one) {
      std::vector<uint8_t> data = Read(device, SectorRange(one, 1), sectorSize);
      if (data.empty()) {
        data.assign(static_cast<size_t>(sectorSize), 0);
        if (unreadable != nullptr) {
          if (!unreadable->empty() && unreadable->back().End() == one) {
            unreadable->back() =
                SectorRange(unreadable->back().First(), unreadable->back().Count() + 1);
          } else {
            unreadable->push_back(SectorRange(one, 1));
          }
        }
      }
      bytes.insert(bytes.end(), data.begin(), data.end());
    }
  }
  return bytes;
}

std::vector<uint8_t> ReadReportingBadSectors(RecoveryEngine& engine, RawDevice& device,
                                             SectorRange sectors, int32_t sectorSize) {
  std::vector<uint8_t> data = Read(device, sectors, sectorSize);
  if (data.empty() && sectors.Count() > 1) {
    // A failing drive: keep every sector that can still be read, zeros for the rest.
    std::vector<SectorRange> unreadable;
    data = ReadInPieces(device, sectors, sectorSize, &unreadable);
    for (const SectorRange& run : unreadable) {
      engine.Emit(NativeMessageKind::Status,
                  "Read Error at sector " + std::to_string(run.First()) + ". Filling with zeros.");
    }
  }
  return data;
}

}  // namespace quarvelin
