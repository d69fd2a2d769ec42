#pragma once

// What a scan knows about the sectors of a failing drive that it could not read, and a device that
// keeps it from asking the drive for them again. On a failing drive every failed read can take
// seconds while the drive retries inside; a scan reads what it has not tried, and leaves alone what
// it knows to be bad.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "common/sector_range.h"
#include "device/raw_device.h"

namespace quarvelin {

// Why a sector is not read. The states follow rescue tools' own: a large read failed over it, its
// stretch had its edges read one sector at a time, it failed alone, or the scan skipped it.
enum class SectorState : uint8_t {
  kSkipped,  // not tried: the scan jumped over it while a drive kept failing
  kFailed,   // part of a read of many sectors that failed; not yet tried alone
  kTrimmed,  // inside a failed stretch whose edges were read alone; not tried alone itself
  kBad,      // failed when read alone, or known from elsewhere never to have been read
};

struct MarkedRange {
  SectorRange sectors;
  SectorState state = SectorState::kFailed;
  bool operator==(const MarkedRange&) const = default;
};

// Sector stretches with a state; a sector without one was read, or was never in question.
class SectorStates {
 public:
  // Gives every sector of `range` `state`, or clears them when there is none.
  void Set(SectorRange range, std::optional<SectorState> state);
  // The marked stretches overlapping `range`, clipped to it, in order.
  std::vector<MarkedRange> Within(SectorRange range) const;
  std::vector<MarkedRange> All() const;
  std::optional<SectorState> At(int64_t sector) const;
  bool Empty() const { return runs_.empty(); }

 private:
  struct Run {
    int64_t end;
    SectorState state;
  };
  std::map<int64_t, Run> runs_;  // by first sector; disjoint, neighbours of one state merged
};

// What `ReadGuard::ReadAround` brings back: the bytes of the range with zeros for every sector that
// could not be read (fewer only where the device ends), and those sectors.
struct GuardedRead {
  std::vector<uint8_t> bytes;
  std::vector<SectorRange> unreadable;  // in order, as zeros in `bytes`
  int64_t readable = 0;                 // sectors read
};

// A device that remembers the scan's failed reads and fails any read touching a sector it knows
// not to read, without asking the drive.
class ReadGuard final : public RawDevice {
 public:
  ReadGuard(RawDevice& device, int64_t totalSectors);
  // Owns `device`: a source that was never read in places (an image beside its rescue map).
  ReadGuard(std::unique_ptr<RawDevice> device, int64_t totalSectors);

  int64_t QueryDeviceSize() override { return device_.QueryDeviceSize(); }
  int32_t QuerySectorSize() override { return device_.QuerySectorSize(); }
  // Fails without reaching the device when a sector of the read is marked. A failure the device
  // reports is remembered: one sector as bad, a longer read as failed.
  std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count,
                                         int32_t bytesPerSector) override;

  // Reads `range` around its marked sectors, each unmarked stretch in one read. With `trim`, a
  // stretch that fails is read again one sector at a time from both ends until a sector fails, so
  // a bad sector costs only itself; its inside is left untried. Without it the whole stretch is
  // given up, and, when `probeLast` and the stretch ends where `range` does, its last sector is
  // read alone: a read that fails only because of one sector after a readable stretch (the first
  // bad sector of a dead area) then does not cost the stretch. That stretch is read once more.
  GuardedRead ReadAround(SectorRange range, bool trim, bool probeLast = false);

  // Reads one sector, even inside a failed stretch: trimming its edges. Nothing, without asking the
  // drive, when it is bad or skipped. A success clears it; a failure marks it bad.
  std::vector<uint8_t> ReadAlone(int64_t sector);

  // Reads a failed stretch's edges one sector at a time, forwards from its first sector and
  // backwards from its last, each until a sector fails; its inside becomes trimmed. Each sector
  // read goes to `read`, when given. The readable edges, in order.
  std::vector<SectorRange> Trim(
      SectorRange failed,
      const std::function<void(int64_t sector, const std::vector<uint8_t>&)>& read = nullptr);

  SectorStates& States() { return states_; }
  const SectorStates& States() const { return states_; }
  // Reads that reached the device and failed.
  int64_t FailedReads() const { return failedReads_; }

 private:
  std::vector<uint8_t> Read(SectorRange range);
  void Remember(SectorRange range, SectorState state);

  std::unique_ptr<RawDevice> owned_;
  RawDevice& device_;
  int64_t totalSectors_;
  int32_t sectorSize_;
  SectorStates states_;
  int64_t failedReads_ = 0;
};

}  // namespace quarvelin
