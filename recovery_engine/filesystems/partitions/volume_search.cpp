#include <algorithm>
#include <array>

#include "boot_sector.h"
#include "common/byte_fields.h"
#include "filesystems/volume.h"
#include "partition_table.h"

namespace quarvelin {
namespace {

constexpr int64_t kMiB = 1 << 20;
constexpr size_t kMaxPending = 4096;      // boot sectors awaiting their copy; bounds a hostile disk
constexpr size_t kMaxMftRecords = 65536;  // first MFT records remembered, one or two a volume

// The first record of an NTFS MFT (or of its mirror): "FILE", in use, record number 0.
bool IsFirstMftRecord(std::span<const uint8_t> sector) {
  return sector[0] == 'F' && sector[1] == 'I' && sector[2] == 'L' && sector[3] == 'E' &&
         ReadLe16(sector, 0x04) == 0x30 && (sector[0x16] & 1) != 0 && ReadLe32(sector, 0x2C) == 0;
}

using Sector = std::array<uint8_t, kBootSectorBytes>;

std::string SectorOrigin(const char* what, int64_t at, int64_t sectorSize) {
  return std::string(what) + " at sector " + std::to_string(at / sectorSize) +
         " (no partition lists it)";
}

// The volume a boot sector at `at` describes, its length clipped to the source.
std::optional<Volume> VolumeAt(const BootSector& boot, int64_t at, int64_t sourceBytes,
                               std::string origin, int64_t bootCopyAt = 0) {
  if (at < 0 || (sourceBytes > 0 && at >= sourceBytes)) return std::nullopt;
  const int64_t length = sourceBytes > 0 ? std::min(boot.length, sourceBytes - at) : boot.length;
  return Volume{boot.kind, at, length, std::move(origin), bootCopyAt};
}

std::optional<Volume> PrimaryAt(ByteSource& source, int64_t at, std::string origin) {
  Sector sector{};
  if (!source.Read(at, sector)) return std::nullopt;
  const auto boot = RecognizeBootSector(sector);
  if (!boot) return std::nullopt;
  return VolumeAt(*boot, at, source.Size(), std::move(origin));
}

// A volume whose own boot sector is damaged, told by the copy it keeps: NTFS in the sector after
// its last, FAT32 at sector 6 (as a rule), exFAT at sector 12. The copy must name the distance it
// lies at, so a neighbour's boot sector is not taken for it.
std::optional<Volume> FromBackupAt(ByteSource& source, int64_t first, int64_t length,
                                   const std::string& origin) {
  const int64_t distances[] = {6 * 512, 12 * 512, 6 * 4096, 12 * 4096, length - 512, length - 4096};
  for (const int64_t distance : distances) {
    if (distance <= 0 || distance >= length) continue;
    const auto at = CheckedAdd(first, distance);
    Sector sector{};
    if (!at || !source.Read(*at, sector)) continue;
    const auto boot = RecognizeBootSector(sector);
    if (!boot || BackupDistance(sector, *boot) != distance) continue;
    return VolumeAt(*boot, first, source.Size(), origin + " (from its backup boot sector)",
                    distance);
  }
  return std::nullopt;
}

bool Covers(const Volume& v, int64_t at) {
  return at >= v.firstByte && at - v.firstByte < v.length;
}

bool Overlap(const Volume& a, const Volume& b) {
  return a.firstByte < b.firstByte + b.length && b.firstByte < a.firstByte + a.length;
}

// The usual partition starts no listed volume covers: sector 63 (old DOS alignment) and every
// 1 MiB boundary. One sector read per place, since a large disk has a million of them.
std::vector<Volume> Probe(ByteSource& source, int64_t limit, int32_t sectorSize,
                          const std::vector<Volume>& listed, CancelFlag cancel) {
  std::vector<Volume> found;
  const auto covered = [&](int64_t at) {
    return std::any_of(listed.begin(), listed.end(),
                       [&](const Volume& v) { return Covers(v, at); }) ||
           std::any_of(found.begin(), found.end(), [&](const Volume& v) { return Covers(v, at); });
  };
  const auto tryAt = [&](int64_t at) {
    if (covered(at)) return;
    auto volume = PrimaryAt(source, at, SectorOrigin("boot sector", at, sectorSize));
    if (!volume) return;
    // A table outranks a probe: a volume reaching into a listed one is an old one's remains.
    if (std::any_of(listed.begin(), listed.end(),
                    [&](const Volume& v) { return Overlap(v, *volume); })) {
      return;
    }
    found.push_back(std::move(*volume));
  };
  if (63 * 512 < limit) tryAt(63 * 512);
  for (int64_t at = kMiB; at < limit && !Cancelled(cancel); at += kMiB) tryAt(at);
  return found;
}

}  // namespace

std::vector<Volume> FindVolumes(ByteSource& source, int64_t probeLimit, CancelFlag cancel) {
  const int64_t size = source.Size();
  std::vector<Volume> listed;
  int32_t sectorSize = 512;
  if (auto whole = PrimaryAt(source, 0, "whole source")) {
    listed.push_back(std::move(*whole));
  } else {
    const PartitionTable table = ReadPartitionTable(source, cancel);
    sectorSize = table.sectorSize;
    for (const Partition& p : table.partitions) {
      if (Cancelled(cancel)) break;
      auto volume = PrimaryAt(source, p.firstByte, p.origin);
      if (!volume) volume = FromBackupAt(source, p.firstByte, p.length, p.origin);
      if (volume) listed.push_back(std::move(*volume));
    }
    // A volume (not a disk) whose boot sector is damaged.
    if (!table.found) {
      if (auto damaged = FromBackupAt(source, 0, size, "whole source")) {
        listed.push_back(std::move(*damaged));
      }
    }
  }
  const int64_t limit = probeLimit > 0 ? std::min(probeLimit, size) : size;
  std::vector<Volume> probed = Probe(source, limit, sectorSize, listed, cancel);

  std::vector<Volume> volumes = std::move(listed);
  volumes.insert(volumes.end(), std::make_move_iterator(probed.begin()),
                 std::make_move_iterator(probed.end()));
  // Listed ones come first, so a stable sort keeps them where a probe found the same start.
  std::stable_sort(volumes.begin(), volumes.end(),
                   [](const Volume& a, const Volume& b) { return a.firstByte < b.firstByte; });
  volumes.erase(
      std::unique(volumes.begin(), volumes.end(),
                  [](const Volume& a, const Volume& b) { return a.firstByte == b.firstByte; }),
      volumes.end());
  return volumes;
}

LostVolumeSearch::LostVolumeSearch(std::vector<Volume> known, int64_t sourceBytes,
                                   int32_t sectorSize)
    : known_(std::move(known)), sourceBytes_(sourceBytes), sectorSize_(sectorSize) {
  if (sectorSize_ < 512 || (sectorSize_ & (sectorSize_ - 1)) != 0) sectorSize_ = 512;
  for (const Volume& v : known_) starts_.insert(v.firstByte);
}

std::vector<Volume> LostVolumeSearch::Look(std::span<const uint8_t> bytes, int64_t first) {
  std::vector<Volume> out;
  if (first < 0) return out;
  const size_t size = bytes.size();
  const size_t step = static_cast<size_t>(sectorSize_);
  // A sector the previous chunk cut off, completed from this one.
  const bool carried = !carry_.empty() && carryAt_ + static_cast<int64_t>(carry_.size()) == first;
  if (carried && carry_.size() + size < kBootSectorBytes) {
    carry_.insert(carry_.end(), bytes.begin(), bytes.end());
    return out;
  }
  if (carried) {
    const size_t need = kBootSectorBytes - carry_.size();
    carry_.insert(carry_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(need));
    Check(carry_, carryAt_, out);
  }
  carry_.clear();
  size_t i = static_cast<size_t>((sectorSize_ - first % sectorSize_) % sectorSize_);
  // The hot loop: every sector of the disk passes here, nearly all of them failing the first
  // compare.
  for (; i < size && size - i >= kBootSectorBytes; i += step) {
    const uint8_t lead = bytes[i];
    if (lead == 0xEB || lead == 0xE9 || lead == 'F') {
      Check(bytes.subspan(i, kBootSectorBytes), first + static_cast<int64_t>(i), out);
    }
  }
  if (i < size) {
    carry_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end());
    carryAt_ = first + static_cast<int64_t>(i);
  }
  // Every sector starting before the chunk's last 511 bytes has now been seen whole.
  const int64_t end = first + static_cast<int64_t>(size);
  Settle(end - static_cast<int64_t>(kBootSectorBytes) + 1, out);
  return out;
}

void LostVolumeSearch::Check(std::span<const uint8_t> sector, int64_t at,
                             std::vector<Volume>& out) {
  if (IsFirstMftRecord(sector)) {
    if (mftRecords_.size() < kMaxMftRecords) mftRecords_.insert(at);
    return;
  }
  if (!MayBeBootSector(sector.data())) return;
  Settle(at, out);
  Consider(sector, at, out);
}

// Decides a boot sector at `at`: which volume it belongs to, if a new one.
void LostVolumeSearch::Consider(std::span<const uint8_t> sector, int64_t at,
                                std::vector<Volume>& out) {
  const auto boot = RecognizeBootSector(sector);
  if (!boot) return;
  const uint64_t identity = BootSectorIdentity(sector, *boot);
  // The copy a waiting primary keeps, where it keeps it: the primary is sound.
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (it->backupAt == at && it->identity == identity) {
      Volume primary = std::move(it->primary);
      pending_.erase(it);
      Report(std::move(primary), out);
      return;
    }
  }
  if (starts_.count(at) != 0) return;
  const auto distance = BackupDistance(sector, *boot);
  const auto backupStart = distance ? CheckedAdd(at, -*distance) : std::nullopt;
  const bool mayBeBackup = backupStart && *backupStart >= 0;
  // The backup of a volume known already.
  if (mayBeBackup && starts_.count(*backupStart) != 0) return;
  const auto primary =
      VolumeAt(*boot, at, sourceBytes_, SectorOrigin("boot sector", at, sectorSize_));
  if (!primary) return;
  const bool primaryFits = sourceBytes_ <= 0 || boot->length <= sourceBytes_ - at;
  // An NTFS volume's copy lies at its end, too far on to wait for: its MFT tells instead. A
  // backup's volume has its MFT (or the MFT's mirror) behind it, where the scan has been.
  const bool ntfs = boot->kind == FileSystemKind::kNtfs;
  const bool mftBehind = ntfs && mayBeBackup && MftSeen(sector, *backupStart);
  if (!mayBeBackup || (ntfs && primaryFits && !mftBehind)) {
    Report(*primary, out);
  } else if (!primaryFits || mftBehind) {
    if (auto v = VolumeAt(*boot, *backupStart, sourceBytes_,
                          SectorOrigin("backup boot sector", at, sectorSize_), *distance)) {
      Report(std::move(*v), out);
    }
  } else if (pending_.size() < kMaxPending) {
    // Either reading fits: a sound primary's copy turns up `distance` bytes on.
    pending_.push_back({*primary, at + *distance, *distance, identity});
  } else {
    Report(*primary, out);
  }
}

// Waiting boot sectors whose copy would have shown before `before` and did not: each is the
// backup of a volume whose own boot sector is gone.
void LostVolumeSearch::Settle(int64_t before, std::vector<Volume>& out) {
  for (size_t i = 0; i < pending_.size();) {
    if (pending_[i].backupAt >= before) {
      ++i;
      continue;
    }
    const Pending p = std::move(pending_[i]);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
    const int64_t start = p.primary.firstByte - p.distance;
    if (starts_.count(start) != 0) continue;
    BootSector boot{p.primary.kind, p.primary.length, 0};
    if (auto v = VolumeAt(boot, start, sourceBytes_,
                          SectorOrigin("backup boot sector", p.primary.firstByte, sectorSize_),
                          p.distance)) {
      Report(std::move(*v), out);
    }
  }
}

// Whether the first record of an MFT, or of its mirror, was seen where the boot sector puts it
// for a volume starting at `start`.
bool LostVolumeSearch::MftSeen(std::span<const uint8_t> sector, int64_t start) const {
  const int64_t bps = ReadLe16(sector, 0x0B).value_or(0);
  const uint8_t raw = sector[0x0D];
  if (raw > 0x80 && 256 - raw > 20) return false;
  const int64_t clusterBytes = raw <= 0x80 ? raw * bps : (int64_t{1} << (256 - raw)) * bps;
  for (const size_t field : {size_t{0x30}, size_t{0x38}}) {
    const auto cluster = AsLength(ReadLe64(sector, field).value_or(0));
    const auto offset = cluster ? CheckedMul(*cluster, clusterBytes) : std::nullopt;
    const auto at = offset ? CheckedAdd(start, *offset) : std::nullopt;
    if (at && mftRecords_.count(*at) != 0) return true;
  }
  return false;
}

void LostVolumeSearch::Report(Volume volume, std::vector<Volume>& out) {
  if (!starts_.insert(volume.firstByte).second) return;
  known_.push_back(volume);
  out.push_back(std::move(volume));
}

}  // namespace quarvelin
