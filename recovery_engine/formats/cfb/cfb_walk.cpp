#include "formats/cfb/cfb_walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr uint8_t kSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Sector numbers at and above this are markers, not sectors.
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kNoStream = 0xFFFFFFFF;

constexpr int32_t kHeaderDifatEntries = 109;
constexpr int32_t kEntrySize = 128;
// No file we carve is larger: it bounds the sector counts a header may claim.
constexpr int64_t kLargestFile = int64_t{4} << 30;
// Reads of the allocation table join neighbouring sectors up to this much.
constexpr int32_t kLargestRead = 256 * 1024;

constexpr uint8_t kTypeStorage = 1;
constexpr uint8_t kTypeStream = 2;
constexpr uint8_t kTypeRoot = 5;

struct Header {
  int32_t sectorSize = 0;
  uint32_t directorySectors = 0;
  uint32_t fatSectors = 0;
  uint32_t firstDirectory = 0;
  uint32_t firstMiniFat = 0;
  uint32_t miniFatSectors = 0;
  uint32_t firstDifat = 0;
  uint32_t difatSectors = 0;
  bool version4 = false;
};

// The fixed fields a writer always sets the same way; anything else is not a compound file.
std::optional<Header> ReadHeader(Bytes b) {
  if (b.size() < 512 || std::memcmp(b.data(), kSignature, sizeof kSignature) != 0) {
    return std::nullopt;
  }
  const uint16_t major = ReadLe16(b, 26).value_or(0);
  const uint16_t shift = ReadLe16(b, 30).value_or(0);
  if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return std::nullopt;
  if (ReadLe16(b, 28) != 0xFFFE || ReadLe16(b, 32) != 6 || ReadLe32(b, 56) != 4096) {
    return std::nullopt;
  }
  Header h;
  h.version4 = major == 4;
  h.sectorSize = 1 << shift;
  h.directorySectors = ReadLe32(b, 40).value_or(0);
  h.fatSectors = ReadLe32(b, 44).value_or(0);
  h.firstDirectory = ReadLe32(b, 48).value_or(0);
  h.firstMiniFat = ReadLe32(b, 60).value_or(0);
  h.miniFatSectors = ReadLe32(b, 64).value_or(0);
  h.firstDifat = ReadLe32(b, 68).value_or(0);
  h.difatSectors = ReadLe32(b, 72).value_or(0);

  const int64_t entriesPerSector = h.sectorSize / 4;
  const int64_t maxSectors = kLargestFile / h.sectorSize;
  const int64_t maxFat = (maxSectors + entriesPerSector - 1) / entriesPerSector;
  const int64_t maxDifat =
      std::max<int64_t>(0, maxFat - kHeaderDifatEntries + entriesPerSector - 2) /
      (entriesPerSector - 1);
  if (h.fatSectors == 0 || h.fatSectors > maxFat || h.difatSectors > maxDifat) return std::nullopt;
  // A version 3 file has no directory sector count.
  if (!h.version4 && h.directorySectors != 0) return std::nullopt;
  if (h.firstDirectory > kMaxRegularSector) return std::nullopt;
  // The header lists the first FAT sectors; the DIFAT sectors list the rest, and no more.
  const int64_t inHeader = std::min<int64_t>(h.fatSectors, kHeaderDifatEntries);
  if (h.difatSectors * (entriesPerSector - 1) + kHeaderDifatEntries < h.fatSectors) {
    return std::nullopt;
  }
  for (int32_t i = 0; i < kHeaderDifatEntries; ++i) {
    const uint32_t at = ReadLe32(b, 76 + 4 * static_cast<size_t>(i)).value_or(0);
    if (i < inHeader ? at > kMaxRegularSector || at >= maxSectors : at != kFreeSector) {
      return std::nullopt;
    }
  }
  return h;
}

// Reads one sector or a run of them; the header sector comes before sector 0.
class Sectors {
 public:
  Sectors(RangeReader& read, int32_t size) : read_(read), size_(size) {}
  Bytes Run(uint32_t first, int32_t count) {
    return read_((int64_t{first} + 1) * size_, count * size_);
  }
  Bytes One(uint32_t sector) { return Run(sector, 1); }

 private:
  RangeReader& read_;
  int32_t size_;
};

class Walker {
 public:
  Walker(RangeReader& read, const std::atomic<bool>* cancel, const Header& h)
      : read_(read), cancel_(cancel), h_(h), sectors_(read, h.sectorSize) {}

  CfbWalk Walk();

 private:
  bool Fail(CfbWalk& walk, std::string issue) {
    walk.issue = std::move(issue);
    return false;
  }
  bool FatLocations(CfbWalk& walk);
  bool ReadFat(CfbWalk& walk);
  // Follows the chain from `first` to its end, marking its sectors taken; false on a loop, a
  // sector another chain holds, a step past the table, or fewer than `least` sectors.
  bool Chain(uint32_t first, int64_t least, std::vector<uint32_t>* out);
  bool Directory(CfbWalk& walk);
  int64_t HighestUsed() const;

  RangeReader& read_;
  const std::atomic<bool>* cancel_;
  Header h_;
  Sectors sectors_;
  std::vector<uint32_t> fatAt_;
  std::vector<uint32_t> difatAt_;
  std::vector<uint32_t> fat_;
  std::vector<uint8_t> taken_;
};

bool Walker::FatLocations(CfbWalk& walk) {
  const Bytes head = read_(0, 512);
  if (head.size() < 512) return Fail(walk, "header unreadable");
  for (uint32_t i = 0; i < std::min<uint32_t>(h_.fatSectors, kHeaderDifatEntries); ++i) {
    fatAt_.push_back(*ReadLe32(head, 76 + 4 * size_t{i}));
  }
  const int32_t perSector = h_.sectorSize / 4 - 1;
  uint32_t next = h_.firstDifat;
  for (uint32_t n = 0; n < h_.difatSectors; ++n) {
    if (next > kMaxRegularSector) return Fail(walk, "DIFAT chain ends early");
    difatAt_.push_back(next);
    const Bytes s = sectors_.One(next);
    if (s.empty()) return Fail(walk, "DIFAT sector unreadable");
    for (int32_t i = 0; i < perSector && fatAt_.size() < h_.fatSectors; ++i) {
      const uint32_t at = *ReadLe32(s, 4 * static_cast<size_t>(i));
      if (at > kMaxRegularSector) return Fail(walk, "DIFAT lists a marker as a FAT sector");
      fatAt_.push_back(at);
    }
    next = *ReadLe32(s, 4 * static_cast<size_t>(perSector));
  }
  // Writers end the chain with either marker.
  if (h_.difatSectors > 0 && next != kEndOfChain && next != kFreeSector) {
    return Fail(walk, "DIFAT chain longer than its count");
  }
  if (fatAt_.size() != h_.fatSectors) return Fail(walk, "DIFAT lists too few FAT sectors");
  return true;
}

bool Walker::ReadFat(CfbWalk& walk) {
  const size_t perSector = static_cast<size_t>(h_.sectorSize) / 4;
  fat_.reserve(fatAt_.size() * perSector);
  const int32_t longest = kLargestRead / h_.sectorSize;
  for (size_t i = 0; i < fatAt_.size();) {
    if (IsCancelled(cancel_)) return Fail(walk, "cancelled");
    // FAT sectors are mostly written one after another: read each run at once.
    int32_t run = 1;
    while (i + static_cast<size_t>(run) < fatAt_.size() && run < longest &&
           fatAt_[i + static_cast<size_t>(run)] == fatAt_[i] + static_cast<uint32_t>(run)) {
      ++run;
    }
    const Bytes s = sectors_.Run(fatAt_[i], run);
    if (s.empty()) return Fail(walk, "FAT sector unreadable");
    for (size_t at = 0; at + 4 <= s.size(); at += 4) fat_.push_back(*ReadLe32(s, at));
    i += static_cast<size_t>(run);
  }
  taken_.assign(fat_.size(), 0);
  return true;
}

bool Walker::Chain(uint32_t first, int64_t least, std::vector<uint32_t>* out) {
  int64_t length = 0;
  for (uint32_t at = first; at != kEndOfChain; at = fat_[at]) {
    if (at >= fat_.size() || taken_[at] != 0) return false;
    taken_[at] = 1;
    if (out != nullptr) out->push_back(at);
    ++length;
  }
  return length >= least;
}

// Appends the UTF-16 name as UTF-8, other than ASCII letters replaced: only ASCII names are
// looked for.
std::string EntryName(Bytes entry) {
  const uint16_t bytes = ReadLe16(entry, 64).value_or(0);
  std::string name;
  for (size_t i = 0; i + 2 <= std::min<size_t>(bytes, 64); i += 2) {
    const uint16_t c = *ReadLe16(entry, i);
    if (c == 0) break;
    name += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return name;
}

// Class ids of the root storage, as stored (the first three fields little-endian).
CfbKind KindOfClassId(Bytes id) {
  static constexpr std::array<std::pair<std::array<uint8_t, 16>, CfbKind>, 4> kClasses = {{
      {{0x06, 0x09, 0x02, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}, CfbKind::kWord},
      {{0x20, 0x08, 0x02, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}, CfbKind::kExcel},
      {{0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11, 0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29,
        0xE8},
       CfbKind::kPowerPoint},
      {{0x0B, 0x0D, 0x02, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46},
       CfbKind::kOutlookMessage},
  }};
  for (const auto& [bytes, kind] : kClasses) {
    if (id.size() >= 16 && std::equal(bytes.begin(), bytes.end(), id.begin())) return kind;
  }
  return CfbKind::kUnknown;
}

bool Walker::Directory(CfbWalk& walk) {
  std::vector<uint32_t> chain;
  if (!Chain(h_.firstDirectory, 1, &chain)) return Fail(walk, "directory chain broken");
  if (h_.version4 && h_.directorySectors != 0 && chain.size() != h_.directorySectors) {
    return Fail(walk, "directory sector count differs from its chain");
  }
  std::vector<uint8_t> entries;
  entries.reserve(chain.size() * static_cast<size_t>(h_.sectorSize));
  for (const uint32_t at : chain) {
    if (IsCancelled(cancel_)) return Fail(walk, "cancelled");
    const Bytes s = sectors_.One(at);
    if (s.empty()) return Fail(walk, "directory sector unreadable");
    entries.insert(entries.end(), s.begin(), s.end());
  }
  const size_t count = entries.size() / kEntrySize;
  const auto entry = [&entries](size_t i) {
    return Bytes(entries).subspan(i * kEntrySize, kEntrySize);
  };
  const Bytes root = entry(0);
  if (root[66] != kTypeRoot) return Fail(walk, "first directory entry is not the root");

  const auto sizeOf = [this](Bytes e) {
    const uint64_t size = *ReadLe64(e, 120);
    // Version 3 writers may leave the high half unset garbage.
    return h_.version4 ? size : size & 0xFFFFFFFF;
  };
  const auto sectorsFor = [this](uint64_t size) {
    return static_cast<int64_t>((size + static_cast<uint64_t>(h_.sectorSize) - 1) /
                                static_cast<uint64_t>(h_.sectorSize));
  };
  // Every large stream, and the mini stream the root holds, lies in sectors of its own.
  for (size_t i = 0; i < count; ++i) {
    const Bytes e = entry(i);
    const uint8_t type = e[66];
    if (type == kTypeStream) ++walk.streams;
    if (type != kTypeStream && type != kTypeRoot) continue;
    const uint64_t size = sizeOf(e);
    if (size == 0 || (type == kTypeStream && size < 4096)) continue;
    if (size > static_cast<uint64_t>(kLargestFile)) return Fail(walk, "stream size too large");
    if (!Chain(*ReadLe32(e, 116), sectorsFor(size), nullptr)) {
      return Fail(walk, "stream chain broken: " + EntryName(e));
    }
  }
  if (h_.miniFatSectors > 0 && !Chain(h_.firstMiniFat, h_.miniFatSectors, nullptr)) {
    return Fail(walk, "mini FAT chain broken");
  }

  // The root's own entries (a tree by name) say what the file is; storages below them may hold
  // embedded documents of other kinds.
  std::vector<uint8_t> seen(count, 0);
  std::vector<uint32_t> stack = {*ReadLe32(root, 76)};
  CfbKind byName = CfbKind::kUnknown;
  while (!stack.empty()) {
    const uint32_t id = stack.back();
    stack.pop_back();
    if (id == kNoStream) continue;
    if (id >= count || seen[id] != 0) return Fail(walk, "directory tree broken");
    seen[id] = 1;
    const Bytes e = entry(id);
    if (e[66] == kTypeStream || e[66] == kTypeStorage) {
      const CfbKind kind = CfbKindOfName(EntryName(e));
      // An Outlook message's own properties outrank whatever it carries.
      if (kind != CfbKind::kUnknown && byName != CfbKind::kOutlookMessage) byName = kind;
    }
    stack.push_back(*ReadLe32(e, 68));
    stack.push_back(*ReadLe32(e, 72));
  }
  walk.kind = byName != CfbKind::kUnknown ? byName : KindOfClassId(root.subspan(80, 16));
  return true;
}

int64_t Walker::HighestUsed() const {
  int64_t highest = -1;
  for (size_t i = fat_.size(); i > 0; --i) {
    if (fat_[i - 1] != kFreeSector) {
      highest = static_cast<int64_t>(i - 1);
      break;
    }
  }
  for (const uint32_t at : fatAt_) highest = std::max<int64_t>(highest, at);
  for (const uint32_t at : difatAt_) highest = std::max<int64_t>(highest, at);
  return highest;
}

CfbWalk Walker::Walk() {
  CfbWalk walk;
  walk.sectorSize = h_.sectorSize;
  if (!FatLocations(walk) || !ReadFat(walk)) return walk;
  walk.sectors = HighestUsed() + 1;
  // The header takes a whole sector before sector 0.
  walk.reached = (walk.sectors + 1) * h_.sectorSize;
  for (const uint32_t at : fatAt_) {
    if (at < taken_.size()) taken_[at] = 1;
  }
  for (const uint32_t at : difatAt_) {
    if (at < taken_.size()) taken_[at] = 1;
  }
  if (!Directory(walk)) return walk;
  if (read_(walk.reached - 1, 1).empty()) {
    walk.issue = "last sector unreadable";
    return walk;
  }
  walk.end = walk.reached;
  return walk;
}

}  // namespace

CfbKind CfbKindOfName(std::string_view name) {
  if (name == "WordDocument") return CfbKind::kWord;
  if (name == "Workbook" || name == "Book") return CfbKind::kExcel;
  if (name == "PowerPoint Document") return CfbKind::kPowerPoint;
  if (name.starts_with("__substg1.0_") || name == "__properties_version1.0") {
    return CfbKind::kOutlookMessage;
  }
  return CfbKind::kUnknown;
}

std::string_view CfbExtension(CfbKind kind) {
  switch (kind) {
    case CfbKind::kWord:
      return "doc";
    case CfbKind::kExcel:
      return "xls";
    case CfbKind::kPowerPoint:
      return "ppt";
    case CfbKind::kOutlookMessage:
      return "msg";
    case CfbKind::kUnknown:
      break;
  }
  return {};
}

CfbWalk WalkCfb(RangeReader& read, const std::atomic<bool>* cancel) {
  const auto header = ReadHeader(read(0, 512));
  if (!header) {
    CfbWalk walk;
    walk.issue = "not a compound file header";
    return walk;
  }
  return Walker(read, cancel, *header).Walk();
}

}  // namespace quarvelin
