#include "partition_table.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>

#include "boot_sector.h"
#include "common/byte_fields.h"
#include "formats/crc32.h"

namespace quarvelin {
namespace {

constexpr size_t kMbrEntries = 446;
constexpr uint8_t kProtectiveGpt = 0xEE;
constexpr int kMaxLogicalDrives = 256;  // far beyond what any tool makes; bounds a hostile chain
constexpr int64_t kMaxGptEntryBytes = 1 << 20;

bool IsExtended(uint8_t type) {
  return type == 0x05 || type == 0x0F || type == 0x85;
}

struct MbrEntry {
  uint8_t type = 0;
  int64_t start = 0;  // sectors
  int64_t sectors = 0;
};

// The four entries of a sector holding an MBR or EBR; nothing when it holds no partition table
// (no 55 AA, or boot flags other than 0x00 / 0x80, as in a boot sector's code).
std::optional<std::array<MbrEntry, 4>> ReadEntries(ByteSource& source, int64_t at) {
  std::array<uint8_t, kBootSectorBytes> sector{};
  if (!source.Read(at, sector)) return std::nullopt;
  if (sector[510] != 0x55 || sector[511] != 0xAA) return std::nullopt;
  std::array<MbrEntry, 4> entries{};
  for (size_t i = 0; i < 4; ++i) {
    const size_t base = kMbrEntries + 16 * i;
    if (sector[base] != 0x00 && sector[base] != 0x80) return std::nullopt;
    entries[i].type = sector[base + 4];
    entries[i].start = ReadLe32(sector, base + 8).value_or(0);
    entries[i].sectors = ReadLe32(sector, base + 12).value_or(0);
  }
  return entries;
}

bool Listed(const MbrEntry& e) {
  return e.type != 0 && e.start != 0 && e.sectors != 0;
}

bool BootSectorAt(ByteSource& source, int64_t at) {
  std::array<uint8_t, kBootSectorBytes> sector{};
  return source.Read(at, sector) && RecognizeBootSector(sector).has_value();
}

// A logical drive's entry in an EBR is relative to that EBR; the link to the next EBR is
// relative to the extended partition's start.
void ReadLogicalDrives(ByteSource& source, int64_t extendedStart, int32_t sectorSize,
                       std::vector<Partition>& out, CancelFlag cancel) {
  std::set<int64_t> visited;
  int64_t ebr = extendedStart;
  int number = 5;
  for (int step = 0; step < kMaxLogicalDrives && !Cancelled(cancel); ++step) {
    if (!visited.insert(ebr).second) break;
    const auto entries = ReadEntries(source, ebr * sectorSize);
    if (!entries) break;
    const MbrEntry& logical = (*entries)[0];
    if (Listed(logical) && !IsExtended(logical.type)) {
      out.push_back({(ebr + logical.start) * sectorSize, logical.sectors * sectorSize,
                     "extended partition " + std::to_string(number)});
      ++number;
    }
    const MbrEntry& next = (*entries)[1];
    if (!Listed(next) || !IsExtended(next.type)) break;
    ebr = extendedStart + next.start;
  }
}

std::vector<Partition> ReadMbr(ByteSource& source, const std::array<MbrEntry, 4>& entries,
                               int32_t sectorSize, CancelFlag cancel) {
  std::vector<Partition> partitions;
  std::optional<int64_t> extended;
  for (size_t i = 0; i < entries.size(); ++i) {
    const MbrEntry& e = entries[i];
    if (!Listed(e)) continue;
    if (IsExtended(e.type)) {
      if (!extended) extended = e.start;
      continue;
    }
    partitions.push_back(
        {e.start * sectorSize, e.sectors * sectorSize, "MBR partition " + std::to_string(i + 1)});
  }
  if (extended) ReadLogicalDrives(source, *extended, sectorSize, partitions, cancel);
  return partitions;
}

// MBR addresses are in the disk's logical sectors, which the table does not give: a disk with
// 4096-byte sectors is told by boot sectors lying where 4096-byte addresses put them.
int32_t MbrSectorSize(ByteSource& source, const std::array<MbrEntry, 4>& entries) {
  for (const int32_t size : {512, 4096}) {
    for (const MbrEntry& e : entries) {
      if (Listed(e) && !IsExtended(e.type) && BootSectorAt(source, e.start * size)) return size;
    }
  }
  return 512;
}

// A GPT header at `lba` (primary at 1, backup at the last sector) with its entry array, both
// checked against their CRCs.
std::optional<std::vector<Partition>> ReadGpt(ByteSource& source, int32_t sectorSize, int64_t lba) {
  std::vector<uint8_t> header(static_cast<size_t>(sectorSize));
  const auto at = CheckedMul(lba, sectorSize);
  if (!at || !source.Read(*at, header)) return std::nullopt;
  if (std::string_view(reinterpret_cast<const char*>(header.data()), 8) != "EFI PART") {
    return std::nullopt;
  }
  const uint32_t headerSize = ReadLe32(header, 12).value_or(0);
  if (headerSize < 92 || headerSize > static_cast<uint32_t>(sectorSize)) return std::nullopt;
  const uint32_t headerCrc = ReadLe32(header, 16).value_or(0);
  std::vector<uint8_t> zeroed(header.begin(), header.begin() + headerSize);
  std::fill(zeroed.begin() + 16, zeroed.begin() + 20, 0);
  if (Crc32(zeroed) != headerCrc) return std::nullopt;
  if (ReadLe64(header, 24) != static_cast<uint64_t>(lba)) return std::nullopt;
  const auto entriesLba = AsLength(ReadLe64(header, 72).value_or(0));
  const int64_t count = ReadLe32(header, 80).value_or(0);
  const int64_t entrySize = ReadLe32(header, 84).value_or(0);
  if (!entriesLba || entrySize < 128 || (entrySize & (entrySize - 1)) != 0) return std::nullopt;
  const auto arrayBytes = CheckedMul(count, entrySize);
  if (!arrayBytes || *arrayBytes > kMaxGptEntryBytes) return std::nullopt;
  std::vector<uint8_t> array(static_cast<size_t>(*arrayBytes));
  const auto arrayAt = CheckedMul(*entriesLba, sectorSize);
  if (!arrayAt || !source.Read(*arrayAt, array)) return std::nullopt;
  if (Crc32(array) != ReadLe32(header, 88)) return std::nullopt;

  std::vector<Partition> partitions;
  for (int64_t i = 0; i < count; ++i) {
    const Bytes entry = Bytes(array).subspan(static_cast<size_t>(i * entrySize), 128);
    if (std::all_of(entry.begin(), entry.begin() + 16, [](uint8_t b) { return b == 0; })) continue;
    const auto first = AsLength(ReadLe64(entry, 32).value_or(0));
    const auto last = AsLength(ReadLe64(entry, 40).value_or(0));
    if (!first || !last || *last < *first) continue;
    const auto firstByte = CheckedMul(*first, sectorSize);
    const auto length = CheckedMul(*last - *first + 1, sectorSize);
    if (!firstByte || !length) continue;
    partitions.push_back({*firstByte, *length, "GPT partition " + std::to_string(i + 1)});
  }
  return partitions;
}

}  // namespace

PartitionTable ReadPartitionTable(ByteSource& source, CancelFlag cancel) {
  PartitionTable table;
  const auto mbr = ReadEntries(source, 0);
  const bool protective = mbr && std::any_of(mbr->begin(), mbr->end(), [](const MbrEntry& e) {
                            return e.type == kProtectiveGpt;
                          });
  if (mbr && !protective) {
    table.found = true;
    table.sectorSize = MbrSectorSize(source, *mbr);
    table.partitions = ReadMbr(source, *mbr, table.sectorSize, cancel);
    return table;
  }
  // A protective MBR, or none at all (a wiped sector 0 leaves the GPT behind it readable).
  for (const int32_t size : {512, 4096}) {
    if (Cancelled(cancel)) break;
    auto partitions = ReadGpt(source, size, 1);
    if (!partitions) partitions = ReadGpt(source, size, source.Size() / size - 1);
    if (partitions) {
      table.found = true;
      table.sectorSize = size;
      table.partitions = std::move(*partitions);
      break;
    }
  }
  return table;
}

}  // namespace quarvelin
