#include "filesystems/exfat/exfat.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/byte_fields.h"
#include "common/json_string.h"

namespace quarvelin {
namespace {

constexpr size_t kEntryBytes = 32;
constexpr uint32_t kFirstCluster = 2;
constexpr uint32_t kBadCluster = 0xFFFFFFF7;
constexpr uint32_t kEndOfChain = 0xFFFFFFFF;
// No directory may grow past 256 MiB; a larger claim is damage.
constexpr int64_t kMaxDirectoryBytes = int64_t{256} << 20;
// Directories are read in pieces of this size where their clusters lie together.
constexpr int64_t kDirectoryChunk = int64_t{1} << 20;

// Entry types; a deleted entry keeps its type with the in-use bit (0x80) cleared.
constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kBitmapEntry = 0x81;
constexpr uint8_t kLabelEntry = 0x83;
constexpr uint8_t kFileEntry = 0x85;
constexpr uint8_t kStreamEntry = 0xC0;
constexpr uint8_t kNameEntry = 0xC1;
constexpr uint16_t kDirectoryAttribute = 0x10;
constexpr int kNameUnitsPerEntry = 15;

// What the boot sector says about the volume's layout, in bytes where that is what callers need.
struct Geometry {
  int64_t sectorBytes = 0;
  int64_t clusterBytes = 0;
  int64_t fatOffset = 0;  // the active FAT
  int64_t fatBytes = 0;
  int64_t heapOffset = 0;
  uint32_t clusterCount = 0;
  uint32_t rootCluster = 0;
  int activeFat = 0;

  bool ValidCluster(uint32_t cluster) const {
    return cluster >= kFirstCluster && cluster - kFirstCluster < clusterCount;
  }
  int64_t ClusterOffset(uint32_t cluster) const {
    return heapOffset + static_cast<int64_t>(cluster - kFirstCluster) * clusterBytes;
  }
};

uint32_t BootChecksum(std::span<const uint8_t> region) {
  uint32_t sum = 0;
  for (size_t i = 0; i < region.size(); ++i) {
    // VolumeFlags and PercentInUse change while the volume is in use; they are left out.
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
  }
  return sum;
}

// The boot region starting at `base`: its main boot sector's fields if they describe a sound
// volume, and whether the region's checksum sector agrees.
struct BootRegion {
  Geometry geometry;
  bool checksumGood = false;
};

std::optional<BootRegion> ReadBootRegion(ByteSource& volume, int64_t base,
                                         std::optional<int> wantShift) {
  std::array<uint8_t, 512> sector{};
  if (!volume.Read(base, sector)) return std::nullopt;
  const Bytes b(sector);
  if (std::memcmp(sector.data() + 3, "EXFAT   ", 8) != 0) return std::nullopt;
  if (std::any_of(sector.begin() + 11, sector.begin() + 64, [](uint8_t x) { return x != 0; })) {
    return std::nullopt;
  }
  if (sector[510] != 0x55 || sector[511] != 0xAA) return std::nullopt;
  const int sectorShift = sector[108];
  const int clusterShift = sector[109];
  const int fats = sector[110];
  if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift) return std::nullopt;
  if (wantShift && *wantShift != sectorShift) return std::nullopt;
  if (fats != 1 && fats != 2) return std::nullopt;
  const auto volumeSectors = ReadLe64(b, 72).value_or(0);
  const int64_t fatOffset = ReadLe32(b, 80).value_or(0);
  const int64_t fatLength = ReadLe32(b, 84).value_or(0);
  const int64_t heapOffset = ReadLe32(b, 88).value_or(0);
  const uint32_t clusterCount = ReadLe32(b, 92).value_or(0);
  const uint32_t rootCluster = ReadLe32(b, 96).value_or(0);
  const uint16_t flags = ReadLe16(b, 106).value_or(0);

  // Sector counts fit in 64 bits only up to a point; everything past it is damage.
  if (volumeSectors > (uint64_t{1} << (63 - sectorShift))) return std::nullopt;
  const int64_t volumeSectorCount = static_cast<int64_t>(volumeSectors);
  const int64_t clusterSectors = int64_t{1} << clusterShift;
  if (fatOffset < 24 || fatLength == 0 || clusterCount == 0 || clusterCount > 0xFFFFFFF5u) {
    return std::nullopt;
  }
  if (fatOffset + fatLength * fats > heapOffset) return std::nullopt;
  if (fatLength << sectorShift < (int64_t{clusterCount} + 2) * 4) return std::nullopt;
  const auto heapEnd =
      CheckedAdd(heapOffset, CheckedMul(clusterCount, clusterSectors).value_or(-1));
  if (!heapEnd || *heapEnd > volumeSectorCount) return std::nullopt;

  BootRegion region;
  Geometry& g = region.geometry;
  g.sectorBytes = int64_t{1} << sectorShift;
  g.clusterBytes = g.sectorBytes << clusterShift;
  g.activeFat = (fats == 2 && (flags & 1) != 0) ? 1 : 0;
  g.fatOffset = (fatOffset + fatLength * g.activeFat) << sectorShift;
  g.fatBytes = fatLength << sectorShift;
  g.heapOffset = heapOffset << sectorShift;
  g.clusterCount = clusterCount;
  g.rootCluster = rootCluster;
  if (!g.ValidCluster(rootCluster)) return std::nullopt;

  // Eleven sectors of boot code and parameters, then one of repeated checksums.
  std::vector<uint8_t> sectors(static_cast<size_t>(12 * g.sectorBytes));
  if (volume.Read(base, sectors)) {
    const size_t covered = static_cast<size_t>(11 * g.sectorBytes);
    const auto stored = ReadLe32(sectors, covered);
    region.checksumGood = stored && *stored == BootChecksum(std::span(sectors).first(covered));
  }
  return region;
}

// The main boot region if it is sound; otherwise the backup one, twelve sectors on; otherwise the
// main one whose checksum fails but whose fields still make sense.
std::optional<Geometry> ReadGeometry(ByteSource& volume) {
  const auto main = ReadBootRegion(volume, 0, std::nullopt);
  if (main && main->checksumGood) return main->geometry;
  for (int shift = 9; shift <= 12; ++shift) {
    const auto backup = ReadBootRegion(volume, int64_t{12} << shift, shift);
    if (backup && backup->checksumGood) return backup->geometry;
  }
  if (main) return main->geometry;
  return std::nullopt;
}

// A stretch of the volume (the FAT, the allocation bitmap) read in pages on demand, so a large
// volume's tables never have to sit in memory whole.
class PagedTable {
 public:
  PagedTable(ByteSource& volume, int64_t offset, int64_t length, int64_t pageBytes, size_t maxPages)
      : volume_(volume),
        offset_(offset),
        length_(length),
        pageBytes_(pageBytes),
        maxPages_(maxPages) {}

  std::optional<uint8_t> Byte(int64_t at) {
    if (at < 0 || at >= length_) return std::nullopt;
    const Page* page = Find(at / pageBytes_);
    const int64_t within = at % pageBytes_;
    if (page == nullptr || within >= static_cast<int64_t>(page->bytes.size())) {
      return std::nullopt;
    }
    return page->bytes[static_cast<size_t>(within)];
  }

  std::optional<uint32_t> Le32(int64_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
      const auto byte = Byte(at + i);
      if (!byte) return std::nullopt;
      value = (value << 8) | *byte;
    }
    return value;
  }

 private:
  struct Page {
    int64_t index = 0;
    uint64_t used = 0;
    std::vector<uint8_t> bytes;  // empty when the page could not be read
  };

  const Page* Find(int64_t index) {
    ++clock_;
    if (last_ < pages_.size() && pages_[last_].index == index) {
      pages_[last_].used = clock_;
      return &pages_[last_];
    }
    for (size_t i = 0; i < pages_.size(); ++i) {
      if (pages_[i].index == index) {
        pages_[i].used = clock_;
        last_ = i;
        return &pages_[i];
      }
    }
    Page page;
    page.index = index;
    page.used = clock_;
    const int64_t start = index * pageBytes_;
    page.bytes.resize(static_cast<size_t>(std::min(pageBytes_, length_ - start)));
    if (!volume_.Read(offset_ + start, page.bytes)) ReadSectorBySector(start, page.bytes);
    if (pages_.size() < maxPages_) {
      pages_.push_back(std::move(page));
      last_ = pages_.size() - 1;
    } else {
      last_ = static_cast<size_t>(
          std::min_element(pages_.begin(), pages_.end(),
                           [](const Page& a, const Page& b) { return a.used < b.used; }) -
          pages_.begin());
      pages_[last_] = std::move(page);
    }
    return &pages_[last_];
  }

  // A bad sector costs the table only what lies after it in the page.
  void ReadSectorBySector(int64_t start, std::vector<uint8_t>& bytes) {
    constexpr size_t kPiece = 512;
    size_t good = 0;
    while (good < bytes.size()) {
      const size_t take = std::min(kPiece, bytes.size() - good);
      if (!volume_.Read(offset_ + start + static_cast<int64_t>(good),
                        std::span(bytes).subspan(good, take))) {
        break;
      }
      good += take;
    }
    bytes.resize(good);
  }

  ByteSource& volume_;
  int64_t offset_;
  int64_t length_;
  int64_t pageBytes_;
  size_t maxPages_;
  std::vector<Page> pages_;
  size_t last_ = 0;
  uint64_t clock_ = 0;
};

// A run of clusters that lie together, in file order.
struct ClusterRun {
  uint32_t first = 0;
  int64_t count = 0;
};

// Where a file's or directory's clusters are, and what stopped the walk early.
struct Allocation {
  std::vector<ClusterRun> runs;
  int64_t clusters = 0;
  enum class End { kWhole, kChainEnds, kOutsideVolume, kLoops, kUnreadable } end = End::kWhole;
};

void Append(Allocation& allocation, uint32_t cluster, int64_t count) {
  if (count <= 0) return;
  auto& runs = allocation.runs;
  if (!runs.empty() && runs.back().first + runs.back().count == cluster) {
    runs.back().count += count;
  } else {
    runs.push_back({cluster, count});
  }
  allocation.clusters += count;
}

void Truncate(Allocation& allocation, int64_t clusters) {
  int64_t kept = 0;
  std::vector<ClusterRun> runs;
  for (const auto& run : allocation.runs) {
    if (kept >= clusters) break;
    const int64_t take = std::min(run.count, clusters - kept);
    runs.push_back({run.first, take});
    kept += take;
  }
  allocation.runs = std::move(runs);
  allocation.clusters = kept;
}

class Reader {
 public:
  Reader(ByteSource& volume, const Geometry& geometry, const FileSink& sink, CancelFlag cancel)
      : volume_(volume),
        g_(geometry),
        sink_(sink),
        cancel_(cancel),
        fat_(volume, geometry.fatOffset,
             std::min(geometry.fatBytes, (int64_t{geometry.clusterCount} + 2) * 4), 256 << 10, 32) {
  }

  void Run(FileSystemReport& report);

 private:
  struct PendingDirectory {
    std::vector<std::string> folders;
    uint32_t firstCluster = 0;
    int64_t bytes = 0;  // 0: as far as the chain goes (the root)
    bool noFatChain = false;
    bool deleted = false;
  };

  Allocation Contiguous(uint32_t first, int64_t clusters) const;
  Allocation Chain(uint32_t first, int64_t maxClusters);
  Allocation Locate(uint32_t first, int64_t clusters, bool noFatChain, bool deleted);
  std::optional<bool> InUse(uint32_t cluster);
  bool AnyInUse(const Allocation& allocation);
  void ReadBitmapEntry(std::span<const uint8_t> entry);
  void WalkDirectory(const PendingDirectory& directory, FileSystemReport* report);
  size_t TakeEntrySet(std::span<const uint8_t> entries, bool inDeletedFolder,
                      const PendingDirectory& directory);
  void EmitFile(const PendingDirectory& directory, std::string name,
                std::span<const uint8_t> fileEntry, std::span<const uint8_t> stream, bool deleted);

  ByteSource& volume_;
  Geometry g_;
  const FileSink& sink_;
  CancelFlag cancel_;
  PagedTable fat_;
  std::optional<PagedTable> bitmap_;
  std::unordered_set<uint32_t> walked_;  // first clusters of the directories read so far
  int64_t directoryClusters_ = 0;
  std::vector<PendingDirectory> live_;
  std::vector<PendingDirectory> deleted_;
};

Allocation Reader::Contiguous(uint32_t first, int64_t clusters) const {
  Allocation allocation;
  if (!g_.ValidCluster(first)) {
    allocation.end = Allocation::End::kOutsideVolume;
    return allocation;
  }
  const int64_t available = int64_t{g_.clusterCount} - (first - kFirstCluster);
  Append(allocation, first, std::min(clusters, available));
  if (clusters > available) allocation.end = Allocation::End::kOutsideVolume;
  return allocation;
}

// Follows the FAT from `first` for at most `maxClusters` clusters. A chain that comes back on
// itself is cut where it first repeats: the walk keeps a cluster it saw at a doubling distance
// back and stops when it meets it again, so a loop is found without a table of every cluster.
Allocation Reader::Chain(uint32_t first, int64_t maxClusters) {
  Allocation allocation;
  uint32_t cluster = first;
  uint32_t marker = cluster;
  int64_t power = 1;
  int64_t sinceMarker = 0;
  while (allocation.clusters < maxClusters) {
    if (!g_.ValidCluster(cluster)) {
      allocation.end = Allocation::End::kOutsideVolume;
      break;
    }
    Append(allocation, cluster, 1);
    if (allocation.clusters == maxClusters) break;
    const auto next = fat_.Le32(int64_t{cluster} * 4);
    if (!next) {
      allocation.end = Allocation::End::kUnreadable;
      break;
    }
    if (*next == kEndOfChain || *next == kBadCluster || *next < kFirstCluster) {
      allocation.end = Allocation::End::kChainEnds;
      break;
    }
    cluster = *next;
    ++sinceMarker;
    if (cluster == marker) {
      // The loop is `sinceMarker` long; it starts at the first cluster that comes back that
      // many steps later.
      int64_t start = 0;
      uint32_t a = first;
      uint32_t b = first;
      for (int64_t i = 0; i < sinceMarker; ++i) b = fat_.Le32(int64_t{b} * 4).value_or(0);
      while (a != b && start < allocation.clusters) {
        a = fat_.Le32(int64_t{a} * 4).value_or(0);
        b = fat_.Le32(int64_t{b} * 4).value_or(0);
        ++start;
      }
      Truncate(allocation, std::min(allocation.clusters, start + sinceMarker));
      allocation.end = Allocation::End::kLoops;
      break;
    }
    if (sinceMarker == power) {
      marker = cluster;
      power *= 2;
      sinceMarker = 0;
    }
  }
  return allocation;
}

// The clusters of `clusters` clusters' worth of content starting at `first`. A deleted file's
// FAT entries may have been cleared or reused: they are trusted only when they still describe a
// chain of exactly the right length, and otherwise the content is taken to lie together, as it
// does for most files.
Allocation Reader::Locate(uint32_t first, int64_t clusters, bool noFatChain, bool deleted) {
  if (noFatChain) return Contiguous(first, clusters);
  if (!deleted) return Chain(first, clusters);
  Allocation chain = Chain(first, clusters);
  if (chain.end == Allocation::End::kWhole && chain.clusters == clusters) {
    const auto last = fat_.Le32(int64_t{chain.runs.back().first + chain.runs.back().count - 1} * 4);
    if (last && *last == kEndOfChain) return chain;
  }
  return Contiguous(first, clusters);
}

std::optional<bool> Reader::InUse(uint32_t cluster) {
  if (!bitmap_ || !g_.ValidCluster(cluster)) return std::nullopt;
  const int64_t bit = cluster - kFirstCluster;
  const auto byte = bitmap_->Byte(bit / 8);
  if (!byte) return std::nullopt;
  return ((*byte >> (bit % 8)) & 1) != 0;
}

bool Reader::AnyInUse(const Allocation& allocation) {
  for (const auto& run : allocation.runs) {
    for (int64_t i = 0; i < run.count; ++i) {
      if (InUse(static_cast<uint32_t>(run.first + i)).value_or(false)) return true;
    }
  }
  return false;
}

void Reader::ReadBitmapEntry(std::span<const uint8_t> entry) {
  // With two FATs there are two bitmaps; the one that goes with the active FAT counts.
  if ((entry[1] & 1) != g_.activeFat || bitmap_) return;
  const uint32_t first = ReadLe32(entry, 20).value_or(0);
  const auto length = AsLength(ReadLe64(entry, 24).value_or(0));
  const int64_t needed = (int64_t{g_.clusterCount} + 7) / 8;
  if (!g_.ValidCluster(first) || !length || *length < needed) return;
  const int64_t clusters = (needed + g_.clusterBytes - 1) / g_.clusterBytes;
  if (clusters > int64_t{g_.clusterCount} - (first - kFirstCluster)) return;
  // The bitmap lies in one stretch of clusters: it is written at format time, before anything
  // could fragment it.
  bitmap_.emplace(volume_, g_.ClusterOffset(first), needed, 1 << 20, 64);
}

std::string Utf8FromUtf16(std::span<const uint16_t> units) {
  std::string out;
  auto put = [&out](uint32_t c) { AppendUtf8(out, static_cast<char32_t>(c)); };
  constexpr uint32_t kReplacement = 0xFFFD;
  for (size_t i = 0; i < units.size(); ++i) {
    const uint32_t u = units[i];
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      put(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
      ++i;
    } else if (u >= 0xD800 && u < 0xE000) {
      put(kReplacement);
    } else if (u == 0 || u == '/' || u == '\\') {
      // Never valid in a name; kept out so a damaged name cannot reach another folder.
      put(kReplacement);
    } else {
      put(u);
    }
  }
  return out;
}

uint16_t SetChecksum(std::span<const uint8_t> entries, bool deleted) {
  uint16_t sum = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == 2 || i == 3) continue;
    uint8_t byte = entries[i];
    // Deleting a set clears the in-use bit of every entry type the checksum was taken over.
    if (deleted && i % kEntryBytes == 0) byte |= kInUse;
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
  }
  return sum;
}

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// A timestamp with its 10 ms part and its offset from UTC, as seconds since 1970 UTC. Without a
// valid offset the local time is taken as UTC.
std::optional<int64_t> Timestamp(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset) {
  const int64_t seconds = (stamp & 0x1F) * 2;
  const int64_t minute = (stamp >> 5) & 0x3F;
  const int64_t hour = (stamp >> 11) & 0x1F;
  const int64_t day = (stamp >> 16) & 0x1F;
  const int64_t month = (stamp >> 21) & 0x0F;
  const int64_t year = 1980 + ((stamp >> 25) & 0x7F);
  if (seconds > 58 || minute > 59 || hour > 23 || day < 1 || month < 1 || month > 12) {
    return std::nullopt;
  }
  int64_t t = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + seconds;
  if (tenMs < 200) t += tenMs / 100;
  if ((utcOffset & 0x80) != 0) {
    // A signed count of 15-minute steps in the low seven bits.
    const int quarters = (utcOffset & 0x40) != 0 ? (utcOffset & 0x7F) - 128 : (utcOffset & 0x7F);
    t -= int64_t{quarters} * 15 * 60;
  }
  return t;
}

std::string ByteCount(int64_t n) {
  return std::to_string(n) + " bytes";
}

void Reader::EmitFile(const PendingDirectory& directory, std::string name,
                      std::span<const uint8_t> fileEntry, std::span<const uint8_t> stream,
                      bool deleted) {
  FoundFile file;
  file.folders = directory.folders;
  file.name = std::move(name);
  file.state = deleted ? FileState::kDeleted : FileState::kLive;
  file.created = Timestamp(ReadLe32(fileEntry, 8).value_or(0), fileEntry[20], fileEntry[22]);
  file.modified = Timestamp(ReadLe32(fileEntry, 12).value_or(0), fileEntry[21], fileEntry[23]);

  const bool noFatChain = (stream[1] & 2) != 0;
  const uint32_t first = ReadLe32(stream, 20).value_or(0);
  // Sizes past what a signed length holds are damage; they are clipped below like any other
  // size larger than the volume.
  const int64_t dataLength = AsLength(ReadLe64(stream, 24).value_or(0)).value_or(INT64_MAX);
  const int64_t validLength =
      std::min(AsLength(ReadLe64(stream, 8).value_or(0)).value_or(INT64_MAX), dataLength);
  const int64_t heapBytes = int64_t{g_.clusterCount} * g_.clusterBytes;
  file.size = dataLength;

  if (dataLength > 0) {
    const int64_t clusters =
        std::min(dataLength / g_.clusterBytes + (dataLength % g_.clusterBytes != 0 ? 1 : 0),
                 int64_t{g_.clusterCount});
    Allocation allocation;
    if (first == 0) {
      allocation.end = Allocation::End::kChainEnds;
    } else {
      allocation = Locate(first, clusters, noFatChain, deleted);
    }
    if (deleted && AnyInUse(allocation)) file.state = FileState::kOverwritten;

    // The content beyond the valid length was never written and reads as zeros.
    const int64_t onDisk =
        std::min(validLength, CheckedMul(allocation.clusters, g_.clusterBytes).value_or(0));
    int64_t placed = 0;
    for (const auto& run : allocation.runs) {
      if (placed >= onDisk) break;
      const int64_t length = std::min(run.count * g_.clusterBytes, onDisk - placed);
      file.extents.push_back({g_.ClusterOffset(run.first), length, false});
      placed += length;
    }
    const bool whole = allocation.end == Allocation::End::kWhole &&
                       allocation.clusters * g_.clusterBytes >= dataLength;
    if (dataLength > heapBytes) {
      // No file can be larger than the cluster heap: keep what the volume holds.
      file.problem = "recorded size of " + ByteCount(dataLength) + " is larger than the volume; " +
                     ByteCount(placed) + " recovered";
      file.size = placed;
    } else if (!whole) {
      const char* why = "cluster chain ends";
      if (allocation.end == Allocation::End::kLoops) why = "cluster chain loops back";
      if (allocation.end == Allocation::End::kOutsideVolume) why = "clusters run off the volume";
      if (allocation.end == Allocation::End::kUnreadable) why = "cluster table is unreadable";
      const int64_t found = std::min(allocation.clusters * g_.clusterBytes, dataLength);
      file.problem =
          std::string(why) + " after " + std::to_string(found) + " of " + ByteCount(dataLength);
    }
    if (placed == validLength && validLength < file.size) {
      file.extents.push_back({0, file.size - validLength, true});
    }
  }
  sink_(file);
}

// Takes the entry set starting at `entries[0]`; returns how many entries it used (at least 1).
size_t Reader::TakeEntrySet(std::span<const uint8_t> entries, bool inDeletedFolder,
                            const PendingDirectory& directory) {
  const uint8_t type = entries[0];
  const bool deleted = (type & kInUse) == 0 || inDeletedFolder;
  const size_t secondaries = entries[1];
  const size_t available = entries.size() / kEntryBytes - 1;
  if (secondaries < 2 || secondaries > 18 || secondaries > available) return 1;
  const auto set = entries.first((secondaries + 1) * kEntryBytes);
  const bool markedDeleted = (type & kInUse) == 0;
  const auto stored = ReadLe16(set, 2).value_or(0);
  if (SetChecksum(set, markedDeleted) != stored) return 1;
  const auto stream = set.subspan(kEntryBytes, kEntryBytes);
  if ((stream[0] | kInUse) != kStreamEntry) return 1;

  const size_t nameLength = stream[3];
  std::vector<uint16_t> units;
  for (size_t i = 2; i <= secondaries && units.size() < nameLength; ++i) {
    const auto entry = set.subspan(i * kEntryBytes, kEntryBytes);
    if ((entry[0] | kInUse) != kNameEntry) break;
    for (int k = 0; k < kNameUnitsPerEntry && units.size() < nameLength; ++k) {
      units.push_back(ReadLe16(entry, 2 + 2 * static_cast<size_t>(k)).value_or(0));
    }
  }
  // Fewer name entries than the length says: the name is what they hold, without the padding.
  if (units.size() < nameLength) {
    while (!units.empty() && units.back() == 0) units.pop_back();
  }
  std::string name = Utf8FromUtf16(units);
  if (name.empty() || name == "." || name == "..") return secondaries + 1;

  const uint16_t attributes = ReadLe16(set, 4).value_or(0);
  if ((attributes & kDirectoryAttribute) != 0) {
    PendingDirectory sub;
    sub.folders = directory.folders;
    sub.folders.push_back(std::move(name));
    sub.firstCluster = ReadLe32(stream, 20).value_or(0);
    sub.bytes = std::min(AsLength(ReadLe64(stream, 24).value_or(0)).value_or(INT64_MAX),
                         kMaxDirectoryBytes);
    sub.noFatChain = (stream[1] & 2) != 0;
    sub.deleted = deleted;
    if (g_.ValidCluster(sub.firstCluster) && sub.bytes > 0) {
      (deleted ? deleted_ : live_).push_back(std::move(sub));
    }
  } else {
    EmitFile(directory, std::move(name), set.first(kEntryBytes), stream, deleted);
  }
  return secondaries + 1;
}

void Reader::WalkDirectory(const PendingDirectory& directory, FileSystemReport* report) {
  // A directory reached twice (a cycle, or a deleted one whose clusters a live one now uses) is
  // read only the first time.
  if (!walked_.insert(directory.firstCluster).second) return;
  // Live folders hold each cluster once, and deleted ones at most share them with live ones; a
  // volume whose folders claim more than that is damaged beyond what is worth reading.
  if (directoryClusters_ > 2 * int64_t{g_.clusterCount} + 1024) return;
  const int64_t maxClusters = std::min<int64_t>(
      (directory.bytes > 0 ? directory.bytes : kMaxDirectoryBytes) / g_.clusterBytes +
          (directory.bytes % g_.clusterBytes != 0 ? 1 : 0),
      g_.clusterCount);
  const Allocation allocation =
      directory.bytes == 0 ? Chain(directory.firstCluster, std::max<int64_t>(maxClusters, 1))
                           : Locate(directory.firstCluster, std::max<int64_t>(maxClusters, 1),
                                    directory.noFatChain, directory.deleted);
  directoryClusters_ += allocation.clusters;

  // The directory's entries go through a window that holds the rest of the current piece plus
  // whatever set began before it, so an entry set may cross pieces and clusters.
  std::vector<uint8_t> window;
  size_t at = 0;
  size_t run = 0;
  int64_t inRun = 0;  // clusters of `run` already read
  auto more = [&]() {
    while (run < allocation.runs.size() && inRun >= allocation.runs[run].count) {
      ++run;
      inRun = 0;
    }
    if (run >= allocation.runs.size()) return false;
    const ClusterRun& r = allocation.runs[run];
    const int64_t clusters =
        std::min(r.count - inRun, std::max<int64_t>(kDirectoryChunk / g_.clusterBytes, 1));
    window.erase(window.begin(), window.begin() + static_cast<ptrdiff_t>(at));
    at = 0;
    const size_t old = window.size();
    window.resize(old + static_cast<size_t>(clusters * g_.clusterBytes));
    const int64_t offset = g_.ClusterOffset(static_cast<uint32_t>(r.first + inRun));
    std::span<uint8_t> piece = std::span(window).subspan(old);
    if (!volume_.Read(offset, piece)) {
      // Unreadable clusters read as unused entries; the readable ones around them still count.
      for (int64_t c = 0; c < clusters; ++c) {
        auto one = piece.subspan(static_cast<size_t>(c * g_.clusterBytes),
                                 static_cast<size_t>(g_.clusterBytes));
        if (!volume_.Read(offset + c * g_.clusterBytes, one)) std::fill(one.begin(), one.end(), 0);
      }
    }
    inRun += clusters;
    return true;
  };

  constexpr size_t kLongestSet = 19 * kEntryBytes;
  bool ended = false;
  while (!Cancelled(cancel_)) {
    if (!ended && window.size() - at < kLongestSet) ended = !more();
    if (window.size() - at < kEntryBytes) break;
    const auto entries = std::span<const uint8_t>(window).subspan(at);
    const uint8_t type = entries[0];
    size_t used = 1;
    if ((type | kInUse) == kFileEntry) {
      used = TakeEntrySet(entries, directory.deleted, directory);
    } else if (report != nullptr && type == kLabelEntry && report->label.empty()) {
      std::array<uint16_t, 11> units{};
      const size_t count = std::min<size_t>(entries[1], units.size());
      for (size_t i = 0; i < count; ++i) units[i] = ReadLe16(entries, 2 + 2 * i).value_or(0);
      report->label = Utf8FromUtf16(std::span(units).first(count));
    }
    at += used * kEntryBytes;
  }
}

void Reader::Run(FileSystemReport& report) {
  // The bitmap's entry is in the root directory, and deleted files are judged by it: find it
  // before anything else is read.
  {
    const Allocation root = Chain(g_.rootCluster, kMaxDirectoryBytes / g_.clusterBytes);
    std::vector<uint8_t> cluster(static_cast<size_t>(g_.clusterBytes));
    for (const auto& run : root.runs) {
      for (int64_t i = 0; i < run.count && !bitmap_; ++i) {
        if (!volume_.Read(g_.ClusterOffset(static_cast<uint32_t>(run.first + i)), cluster)) {
          continue;
        }
        for (size_t e = 0; e + kEntryBytes <= cluster.size(); e += kEntryBytes) {
          if (cluster[e] == kBitmapEntry)
            ReadBitmapEntry(std::span(cluster).subspan(e, kEntryBytes));
        }
      }
      if (bitmap_ || Cancelled(cancel_)) break;
    }
  }

  PendingDirectory root;
  root.firstCluster = g_.rootCluster;
  WalkDirectory(root, &report);
  // Live folders first: a deleted folder whose first cluster a live one took over is not read.
  while (!Cancelled(cancel_)) {
    auto& stack = live_.empty() ? deleted_ : live_;
    if (stack.empty()) break;
    const PendingDirectory directory = std::move(stack.back());
    stack.pop_back();
    WalkDirectory(directory, nullptr);
  }
}

}  // namespace

FileSystemReport ReadExfatFiles(ByteSource& volume, const FileSink& sink, CancelFlag cancel) {
  FileSystemReport report;
  const auto found = ReadGeometry(volume);
  if (!found) {
    report.error = "not an exFAT volume, or its boot sectors are damaged";
    return report;
  }
  // An image cut short holds only the clusters that fit in it; the rest are outside the volume.
  Geometry geometry = *found;
  const int64_t fit =
      std::max<int64_t>(volume.Size() - geometry.heapOffset, 0) / geometry.clusterBytes;
  geometry.clusterCount = static_cast<uint32_t>(std::min<int64_t>(geometry.clusterCount, fit));
  if (!geometry.ValidCluster(geometry.rootCluster)) {
    report.error = "the exFAT volume is cut short before its root folder";
    return report;
  }
  report.kind = "exFAT";
  report.clusterBytes = geometry.clusterBytes;
  Reader reader(volume, geometry, sink, cancel);
  reader.Run(report);
  return report;
}

}  // namespace quarvelin
