#include "filesystems/fat/fat.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/byte_fields.h"
#include "common/json_string.h"

namespace quarvelin {
namespace {

enum class FatType { kFat12, kFat16, kFat32 };

constexpr int64_t kEntryBytes = 32;
// No directory may hold more than 65536 entries; a longer chain is damage, not a directory.
constexpr int64_t kMaxDirectoryBytes = 65536 * kEntryBytes;
constexpr size_t kMaxDepth = 1024;
constexpr int64_t kFatPieceBytes = 1 << 20;
// Tables up to this size stay in memory whole; larger ones keep their most recently used pieces.
constexpr size_t kMaxCachedPieces = 64;
constexpr uint8_t kDeletedMark = 0xE5;
constexpr uint8_t kAttrVolumeLabel = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrLongName = 0x0F;

struct Geometry {
  FatType type = FatType::kFat12;
  int64_t sectorBytes = 0;
  int64_t clusterBytes = 0;
  int64_t fatOffset = 0;           // the FAT the reader trusts first
  int64_t fatBytes = 0;            // one copy
  std::vector<int64_t> fatCopies;  // every copy, the trusted one first
  int64_t rootOffset = 0;          // FAT12/16: the fixed root area
  int64_t rootBytes = 0;
  uint32_t rootCluster = 0;  // FAT32
  int64_t dataOffset = 0;
  uint32_t maxCluster = 1;    // highest cluster number the FAT and the BPB both allow
  uint32_t lastPhysical = 1;  // highest cluster whose bytes lie inside the volume
  std::string bpbLabel;
};

// ---- Names -------------------------------------------------------------------------------------

constexpr std::array<uint16_t, 128> kCodePage437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

constexpr char32_t kReplacement = 0xFFFD;

// A name character as it goes into a path: separators and control characters would let a
// damaged entry name a place outside its folder, so they become '_'.
void AppendNameChar(std::string& out, char32_t c) {
  if (c < 0x20 || c == '/' || c == '\\' || c == 0x7F) c = '_';
  AppendUtf8(out, c);
}

void AppendCodePage437(std::string& out, uint8_t byte) {
  if (byte < 0x80) {
    AppendNameChar(out, byte);
  } else {
    AppendNameChar(out, kCodePage437High[byte - 0x80]);
  }
}

std::string TrimSpaces(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  size_t first = 0;
  while (first < text.size() && text[first] == ' ') ++first;
  return text.substr(first);
}

// The 8.3 name of a short entry. `deleted` replaces the lost first character with '_'.
std::string ShortName(Bytes entry, bool deleted) {
  const uint8_t caseFlags = entry[12];
  auto part = [&](size_t from, size_t length, bool lower) {
    size_t end = from + length;
    while (end > from && entry[end - 1] == ' ') --end;
    std::string text;
    for (size_t i = from; i < end; ++i) {
      uint8_t byte = entry[i];
      if (i == 0 && byte == 0x05) byte = kDeletedMark;  // a real 0xE5 first character
      if (i == 0 && deleted) byte = '_';
      if (lower && byte >= 'A' && byte <= 'Z') byte = static_cast<uint8_t>(byte - 'A' + 'a');
      AppendCodePage437(text, byte);
    }
    return text;
  };
  std::string name = part(0, 8, (caseFlags & 0x08) != 0);
  const std::string extension = part(8, 3, (caseFlags & 0x10) != 0);
  if (!extension.empty()) {
    name += '.';
    name += extension;
  }
  if (name.empty() || name == "." || name == "..") return std::string(1, '_');
  return name;
}

uint8_t ShortNameChecksum(Bytes entry) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 11; ++i) {
    sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[i]);
  }
  return sum;
}

// One long-name entry: its ordinal byte, checksum and 13 UTF-16 units.
struct LongNamePiece {
  uint8_t ordinal = 0;
  uint8_t checksum = 0;
  std::array<uint16_t, 13> units{};
};

LongNamePiece ReadLongNamePiece(Bytes entry) {
  LongNamePiece piece;
  piece.ordinal = entry[0];
  piece.checksum = entry[13];
  constexpr std::array<size_t, 13> kOffsets = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t i = 0; i < kOffsets.size(); ++i) {
    piece.units[i] = ReadLe16(entry, kOffsets[i]).value_or(0);
  }
  return piece;
}

bool HasTerminator(const LongNamePiece& piece) {
  return std::find(piece.units.begin(), piece.units.end(), 0) != piece.units.end();
}

// The pieces in name order (the last on disk holds the start of the name) decoded to UTF-8;
// nothing when the name is empty or not a usable file name.
std::optional<std::string> DecodeLongName(const std::vector<LongNamePiece>& onDisk) {
  std::vector<uint16_t> units;
  for (auto it = onDisk.rbegin(); it != onDisk.rend(); ++it) {
    units.insert(units.end(), it->units.begin(), it->units.end());
  }
  std::string name;
  for (size_t i = 0; i < units.size(); ++i) {
    const uint16_t unit = units[i];
    if (unit == 0) break;
    char32_t c = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      c = kReplacement;
    }
    AppendNameChar(name, c);
  }
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  return name;
}

// The long name that belongs to a live short entry: pieces numbered N|0x40, N-1, ..., 1, all
// carrying the short name's checksum.
std::optional<std::string> LiveLongName(const std::vector<LongNamePiece>& pieces, Bytes entry) {
  if (pieces.empty() || pieces.size() > 20) return std::nullopt;
  if ((pieces[0].ordinal & 0x40) == 0 || (pieces[0].ordinal & 0x1F) != pieces.size()) {
    return std::nullopt;
  }
  const uint8_t checksum = ShortNameChecksum(entry);
  for (size_t i = 0; i < pieces.size(); ++i) {
    if ((pieces[i].ordinal & 0x1F) != pieces.size() - i || pieces[i].checksum != checksum) {
      return std::nullopt;
    }
  }
  return DecodeLongName(pieces);
}

bool ValidShortNameByte(uint8_t byte) {
  if (byte <= 0x20 || byte == kDeletedMark || (byte >= 'a' && byte <= 'z') || byte == 0x7F) {
    return false;
  }
  constexpr std::string_view kForbidden = "\"*+,./:;<=>?[\\]|";
  return kForbidden.find(static_cast<char>(byte)) == std::string_view::npos;
}

// A later file may take the slot of a deleted name's last piece, leaving a name cut short. The
// short name's extension is the start of the long name's, so a long name whose extension is
// missing or shorter was cut.
bool KeepsShortExtension(const std::string& name, Bytes entry) {
  size_t shortLength = 3;
  while (shortLength > 0 && entry[8 + shortLength - 1] == ' ') --shortLength;
  if (shortLength == 0) return true;
  const size_t dot = name.rfind('.');
  return dot != std::string::npos && name.size() - dot - 1 >= shortLength;
}

// Deleting overwrote the first byte of the short entry and the ordinal of every long-name entry:
// the pieces are taken in the order they lie, and the lost first character is the one that makes
// the short name's checksum match theirs (the checksum adds that byte once, so exactly one value
// does).
std::optional<std::string> DeletedLongName(std::vector<LongNamePiece> pieces, Bytes entry) {
  if (pieces.empty()) return std::nullopt;
  // Only the pieces right before the entry that share one checksum belong to it.
  size_t first = pieces.size() - 1;
  while (first > 0 && pieces[first - 1].checksum == pieces.back().checksum) --first;
  pieces.erase(pieces.begin(), pieces.begin() + static_cast<ptrdiff_t>(first));
  if (pieces.size() > 20) return std::nullopt;
  // Only the piece holding the end of the name may end early.
  for (size_t i = 1; i < pieces.size(); ++i) {
    if (HasTerminator(pieces[i])) return std::nullopt;
  }
  std::array<uint8_t, 11> shortName{};
  std::copy_n(entry.begin(), 11, shortName.begin());
  for (int candidate = 0; candidate < 256; ++candidate) {
    shortName[0] = static_cast<uint8_t>(candidate);
    if (ShortNameChecksum(shortName) != pieces.back().checksum) continue;
    if (!ValidShortNameByte(shortName[0])) return std::nullopt;
    auto name = DecodeLongName(pieces);
    if (name && !HasTerminator(pieces.front()) && !KeepsShortExtension(*name, entry)) {
      return std::nullopt;
    }
    return name;
  }
  return std::nullopt;
}

// ---- Times -------------------------------------------------------------------------------------

int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = year / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// A FAT date and time (local time, taken as UTC) as Unix seconds; nothing when unset or invalid.
std::optional<int64_t> FatTime(uint16_t date, uint16_t time) {
  if (date == 0) return std::nullopt;
  const int64_t year = 1980 + (date >> 9);
  const int64_t month = (date >> 5) & 0x0F;
  const int64_t day = date & 0x1F;
  const int64_t hour = time >> 11;
  const int64_t minute = (time >> 5) & 0x3F;
  const int64_t second = (time & 0x1F) * 2;
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

// ---- Boot sector -------------------------------------------------------------------------------

bool PowerOfTwo(uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

std::string Label(Bytes bytes) {
  std::string text;
  for (const uint8_t byte : bytes) {
    if (byte == 0) break;
    AppendCodePage437(text, byte);
  }
  text = TrimSpaces(std::move(text));
  return text == "NO NAME" ? std::string() : text;
}

// The volume's layout from its boot sector, or why it is not a FAT volume.
std::optional<Geometry> ReadGeometry(ByteSource& volume, std::string& error) {
  std::array<uint8_t, 512> boot{};
  if (!volume.Read(0, boot)) {
    error = "the boot sector cannot be read";
    return std::nullopt;
  }
  const Bytes b(boot);
  const uint32_t sectorBytes = ReadLe16(b, 11).value_or(0);
  const uint32_t sectorsPerCluster = b[13];
  const uint32_t reserved = ReadLe16(b, 14).value_or(0);
  const uint32_t fatCount = b[16];
  const uint32_t rootEntries = ReadLe16(b, 17).value_or(0);
  const uint32_t total16 = ReadLe16(b, 19).value_or(0);
  const uint8_t media = b[21];
  const uint32_t fatSize16 = ReadLe16(b, 22).value_or(0);
  const uint32_t total32 = ReadLe32(b, 32).value_or(0);
  const uint32_t fatSize32 = ReadLe32(b, 36).value_or(0);
  const bool jump = b[0] == 0xE9 || (b[0] == 0xEB && b[2] == 0x90);
  if (!jump || sectorBytes < 512 || sectorBytes > 4096 || !PowerOfTwo(sectorBytes) ||
      !PowerOfTwo(sectorsPerCluster) || sectorsPerCluster > 128 || reserved == 0 || fatCount == 0 ||
      fatCount > 4 || (media < 0xF8 && media != 0xF0)) {
    error = "not a FAT volume: the boot sector's parameters are not sound";
    return std::nullopt;
  }
  const uint32_t fatSectors = fatSize16 != 0 ? fatSize16 : fatSize32;
  const uint32_t totalSectors = total16 != 0 ? total16 : total32;
  const int64_t rootSectors = (int64_t{rootEntries} * kEntryBytes + sectorBytes - 1) / sectorBytes;
  const int64_t firstData = int64_t{reserved} + int64_t{fatCount} * fatSectors + rootSectors;
  if (fatSectors == 0 || totalSectors == 0 || firstData >= totalSectors) {
    error = "not a FAT volume: its sizes do not add up";
    return std::nullopt;
  }
  const int64_t clusterCount = (totalSectors - firstData) / sectorsPerCluster;
  Geometry g;
  g.type = clusterCount < 4085    ? FatType::kFat12
           : clusterCount < 65525 ? FatType::kFat16
                                  : FatType::kFat32;
  if ((g.type == FatType::kFat32) != (rootEntries == 0) ||
      (g.type == FatType::kFat32 && fatSize16 != 0) || clusterCount > 0x0FFFFFF5) {
    error = "not a FAT volume: its root directory does not fit its FAT type";
    return std::nullopt;
  }
  g.sectorBytes = sectorBytes;
  g.clusterBytes = int64_t{sectorBytes} * sectorsPerCluster;
  g.fatBytes = int64_t{fatSectors} * sectorBytes;
  uint32_t activeFat = 0;
  if (g.type == FatType::kFat32) {
    const uint16_t flags = ReadLe16(b, 40).value_or(0);
    // Mirroring off: only the FAT the flags name is current.
    if ((flags & 0x80) != 0 && (flags & 0x0F) < fatCount) activeFat = flags & 0x0Fu;
  }
  for (uint32_t i = 0; i < fatCount; ++i) {
    const uint32_t copy = (activeFat + i) % fatCount;
    g.fatCopies.push_back((int64_t{reserved} + int64_t{copy} * fatSectors) * sectorBytes);
  }
  g.fatOffset = g.fatCopies.front();
  g.rootOffset = (int64_t{reserved} + int64_t{fatCount} * fatSectors) * sectorBytes;
  g.rootBytes = int64_t{rootEntries} * kEntryBytes;
  g.dataOffset = firstData * sectorBytes;
  const int64_t bits = g.type == FatType::kFat12 ? 12 : g.type == FatType::kFat16 ? 16 : 32;
  const int64_t fatEntries = g.fatBytes * 8 / bits;
  g.maxCluster = static_cast<uint32_t>(std::min(clusterCount + 1, fatEntries - 1));
  const int64_t inVolume = (volume.Size() - g.dataOffset) / g.clusterBytes;
  g.lastPhysical =
      static_cast<uint32_t>(std::clamp<int64_t>(inVolume + 1, 1, int64_t{g.maxCluster}));
  if (g.maxCluster < 2 || g.fatOffset >= volume.Size()) {
    error = "not a FAT volume: its table lies outside it";
    return std::nullopt;
  }
  if (g.type == FatType::kFat32) {
    g.rootCluster = ReadLe32(b, 44).value_or(0) & 0x0FFFFFFF;
    if (b[66] == 0x29) g.bpbLabel = Label(b.subspan(71, 11));
  } else if (b[38] == 0x29) {
    g.bpbLabel = Label(b.subspan(43, 11));
  }
  return g;
}

// ---- The table ---------------------------------------------------------------------------------

// FAT entries read on demand in 1 MiB pieces: a small table ends up whole in memory, a large one
// keeps only the pieces in use. A piece that cannot be read from the trusted copy comes from the
// next copy, sector by sector if need be; entries no copy can give read as unknown.
class FatTable {
 public:
  FatTable(ByteSource& volume, const Geometry& g) : volume_(volume), g_(g) {}

  // The entry of `cluster`, masked to its width; nothing when no copy of it can be read.
  std::optional<uint32_t> Entry(uint32_t cluster) {
    switch (g_.type) {
      case FatType::kFat12: {
        const int64_t at = int64_t{cluster} + cluster / 2;
        const auto low = Byte(at);
        const auto high = Byte(at + 1);
        if (!low || !high) return std::nullopt;
        const uint32_t pair = *low | (uint32_t{*high} << 8);
        return (cluster & 1) != 0 ? pair >> 4 : pair & 0x0FFF;
      }
      case FatType::kFat16:
        return Word(int64_t{cluster} * 2, 2);
      case FatType::kFat32: {
        const auto value = Word(int64_t{cluster} * 4, 4);
        if (!value) return std::nullopt;
        return *value & 0x0FFFFFFF;
      }
    }
    return std::nullopt;
  }

  // Where a chain ends; values at or above it are end-of-chain (or the bad-cluster mark just
  // below, which ends it too).
  uint32_t EndOfChain() const {
    return g_.type == FatType::kFat12 ? 0xFF7 : g_.type == FatType::kFat16 ? 0xFFF7 : 0x0FFFFFF7;
  }

 private:
  struct Piece {
    int64_t index = 0;  // which 1 MiB of the table
    std::vector<uint8_t> bytes;
    std::vector<bool> unreadable;  // per sector
    uint64_t lastUse = 0;
  };

  std::optional<uint32_t> Word(int64_t at, int width) {
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
      const auto byte = Byte(at + i);
      if (!byte) return std::nullopt;
      value = (value << 8) | *byte;
    }
    return value;
  }

  std::optional<uint8_t> Byte(int64_t at) {
    if (at < 0 || at >= g_.fatBytes) return std::nullopt;
    const int64_t index = at / kFatPieceBytes;
    const Piece& piece = Load(index);
    const auto within = static_cast<size_t>(at - index * kFatPieceBytes);
    if (within >= piece.bytes.size()) return std::nullopt;
    if (piece.unreadable[within / static_cast<size_t>(g_.sectorBytes)]) return std::nullopt;
    return piece.bytes[within];
  }

  // A table of at most 64 MiB stays whole; a larger one gives up its least recently used piece.
  const Piece& Load(int64_t index) {
    ++clock_;
    if (last_ < pieces_.size() && pieces_[last_].index == index) {
      pieces_[last_].lastUse = clock_;
      return pieces_[last_];
    }
    for (size_t i = 0; i < pieces_.size(); ++i) {
      if (pieces_[i].index == index) {
        pieces_[i].lastUse = clock_;
        last_ = i;
        return pieces_[i];
      }
    }
    if (pieces_.size() >= kMaxCachedPieces) {
      const auto oldest =
          std::min_element(pieces_.begin(), pieces_.end(),
                           [](const Piece& a, const Piece& b) { return a.lastUse < b.lastUse; });
      pieces_.erase(oldest);
    }
    Piece piece;
    piece.index = index;
    piece.lastUse = clock_;
    const int64_t start = index * kFatPieceBytes;
    const int64_t length = std::min(kFatPieceBytes, g_.fatBytes - start);
    piece.bytes.resize(static_cast<size_t>(length));
    const size_t sectors = static_cast<size_t>((length + g_.sectorBytes - 1) / g_.sectorBytes);
    piece.unreadable.assign(sectors, true);
    bool whole = false;
    for (const int64_t copy : g_.fatCopies) {
      if (volume_.Read(copy + start, piece.bytes)) {
        whole = true;
        break;
      }
    }
    if (whole) {
      piece.unreadable.assign(sectors, false);
    } else {
      // A bad sector in the table: take each sector from the first copy that gives it.
      for (size_t s = 0; s < sectors; ++s) {
        const auto at = static_cast<int64_t>(s) * g_.sectorBytes;
        const auto span = std::span(piece.bytes)
                              .subspan(static_cast<size_t>(at),
                                       static_cast<size_t>(std::min(g_.sectorBytes, length - at)));
        for (const int64_t copy : g_.fatCopies) {
          if (volume_.Read(copy + start + at, span)) {
            piece.unreadable[s] = false;
            break;
          }
        }
      }
    }
    pieces_.push_back(std::move(piece));
    last_ = pieces_.size() - 1;
    return pieces_.back();
  }

  ByteSource& volume_;
  const Geometry& g_;
  std::vector<Piece> pieces_;
  size_t last_ = 0;  // the piece used last
  uint64_t clock_ = 0;
};

// ---- The walk ----------------------------------------------------------------------------------

struct Directory {
  std::vector<std::string> folders;  // its path from the root, itself included
  uint32_t firstCluster = 0;         // 0: the fixed root area of FAT12/16
  bool deleted = false;
};

// A directory's bytes, with the stretches that could not be read.
struct DirectoryBytes {
  std::vector<uint8_t> bytes;
  std::vector<std::pair<size_t, size_t>> unreadable;  // [from, to)
  bool Readable(size_t at) const {
    return std::none_of(unreadable.begin(), unreadable.end(),
                        [&](const auto& r) { return at >= r.first && at < r.second; });
  }
};

std::string ChainProblem(const char* what, int64_t got, int64_t size) {
  return std::string("cluster chain ") + what + " after " +
         std::to_string(std::max<int64_t>(0, std::min(got, size))) + " of " + std::to_string(size) +
         " bytes";
}

class FatReader {
 public:
  FatReader(ByteSource& volume, const Geometry& g, const FileSink& sink, CancelFlag cancel)
      : volume_(volume),
        g_(g),
        fat_(volume, g),
        sink_(sink),
        cancel_(cancel),
        visited_(static_cast<size_t>(g.lastPhysical) + 1, false) {}

  std::string label;

  void Run() {
    std::vector<Directory> stack;
    stack.push_back({{}, g_.type == FatType::kFat32 ? g_.rootCluster : 0u, false});
    bool root = true;
    while (!stack.empty() && !Cancelled(cancel_)) {
      Directory directory = std::move(stack.back());
      stack.pop_back();
      // A deleted directory whose first cluster is in use again has been written over; it must
      // not keep the live directory now there from being read.
      if (directory.deleted && fat_.Entry(directory.firstCluster).value_or(1) != 0) continue;
      if (directory.firstCluster != 0 && !walked_.insert(directory.firstCluster).second) continue;
      const DirectoryBytes bytes = directory.deleted ? ReadDeletedDirectory(directory.firstCluster)
                                                     : ReadLiveDirectory(directory.firstCluster);
      ReadEntries(directory, bytes, root, stack);
      root = false;
    }
  }

 private:
  int64_t ClusterOffset(uint32_t cluster) const {
    return g_.dataOffset + int64_t{cluster - 2} * g_.clusterBytes;
  }
  bool InVolume(uint32_t cluster) const { return cluster >= 2 && cluster <= g_.lastPhysical; }

  // Reads the given clusters in runs of adjacent ones, one read per run.
  void ReadClusters(const std::vector<uint32_t>& clusters, DirectoryBytes& out) {
    out.bytes.assign(clusters.size() * static_cast<size_t>(g_.clusterBytes), 0);
    size_t i = 0;
    while (i < clusters.size()) {
      size_t run = 1;
      while (i + run < clusters.size() && clusters[i + run] == clusters[i] + run) ++run;
      const size_t from = i * static_cast<size_t>(g_.clusterBytes);
      const size_t length = run * static_cast<size_t>(g_.clusterBytes);
      ReadStretch(ClusterOffset(clusters[i]), from, length, out);
      i += run;
    }
  }

  // One read for the stretch; on failure, sector by sector so one bad sector costs only itself.
  void ReadStretch(int64_t offset, size_t from, size_t length, DirectoryBytes& out) {
    const auto target = std::span(out.bytes).subspan(from, length);
    if (volume_.Read(offset, target)) return;
    const auto sector = static_cast<size_t>(g_.sectorBytes);
    for (size_t at = 0; at < length; at += sector) {
      const size_t piece = std::min(sector, length - at);
      if (!volume_.Read(offset + static_cast<int64_t>(at), target.subspan(at, piece))) {
        std::fill_n(target.begin() + static_cast<ptrdiff_t>(at), piece, uint8_t{0});
        out.unreadable.emplace_back(from + at, from + at + piece);
      }
    }
  }

  DirectoryBytes ReadLiveDirectory(uint32_t first) {
    DirectoryBytes out;
    if (first == 0) {
      if (g_.type == FatType::kFat32) return out;
      out.bytes.assign(static_cast<size_t>(g_.rootBytes), 0);
      ReadStretch(g_.rootOffset, 0, out.bytes.size(), out);
      return out;
    }
    const int64_t limit = std::max<int64_t>(1, kMaxDirectoryBytes / g_.clusterBytes);
    std::vector<uint32_t> clusters;
    uint32_t cluster = first;
    while (InVolume(cluster) && !visited_[cluster] && std::ssize(clusters) < limit) {
      visited_[cluster] = true;
      clusters.push_back(cluster);
      const auto next = fat_.Entry(cluster);
      if (!next || *next >= fat_.EndOfChain()) break;
      cluster = *next;
    }
    for (const uint32_t c : clusters) visited_[c] = false;
    ReadClusters(clusters, out);
    return out;
  }

  // A deleted directory has no chain any more: its clusters are taken to follow one another from
  // the first, for as long as they are free and hold directory entries.
  DirectoryBytes ReadDeletedDirectory(uint32_t first) {
    DirectoryBytes out;
    const int64_t limit = std::max<int64_t>(1, kMaxDirectoryBytes / g_.clusterBytes);
    const auto clusterBytes = static_cast<size_t>(g_.clusterBytes);
    std::vector<uint8_t> cluster(clusterBytes);
    for (uint32_t c = first; InVolume(c) && c - first < limit; ++c) {
      if (fat_.Entry(c).value_or(1) != 0) break;
      if (!volume_.Read(ClusterOffset(c), cluster)) break;
      if (c == first && !StartsWithDotEntries(cluster, first)) break;
      if (!LooksLikeEntries(cluster)) break;
      out.bytes.insert(out.bytes.end(), cluster.begin(), cluster.end());
      if (EndsDirectory(cluster)) break;  // the rest was never used
    }
    return out;
  }

  uint32_t FirstCluster(Bytes entry) const {
    uint32_t cluster = ReadLe16(entry, 26).value_or(0);
    if (g_.type == FatType::kFat32) {
      cluster |= uint32_t{ReadLe16(entry, 20).value_or(0)} << 16;
      cluster &= 0x0FFFFFFF;
    }
    return cluster;
  }

  bool StartsWithDotEntries(Bytes cluster, uint32_t first) const {
    if (cluster.size() < 2 * kEntryBytes) return false;
    const Bytes dot = cluster.first(11);
    const Bytes dotDot = cluster.subspan(32, 11);
    const auto isDots = [](Bytes name, size_t dots) {
      for (size_t i = 0; i < 11; ++i) {
        if (name[i] != (i < dots ? '.' : ' ')) return false;
      }
      return true;
    };
    return isDots(dot, 1) && isDots(dotDot, 2) && (cluster[11] & kAttrDirectory) != 0 &&
           FirstCluster(cluster.first(32)) == first;
  }

  // Whether every entry up to the end mark could be a directory entry.
  static bool LooksLikeEntries(Bytes cluster) {
    for (size_t at = 0; at + kEntryBytes <= cluster.size(); at += kEntryBytes) {
      const Bytes e = cluster.subspan(at, kEntryBytes);
      if (e[0] == 0) return true;
      const uint8_t attributes = e[11];
      if ((attributes & 0x3F) == kAttrLongName) {
        if (e[12] != 0 || e[26] != 0 || e[27] != 0) return false;
        continue;
      }
      if ((attributes & 0xC0) != 0) return false;
      for (size_t i = 1; i < 11; ++i) {
        if (e[i] < 0x20) return false;
      }
    }
    return true;
  }

  static bool EndsDirectory(Bytes cluster) {
    for (size_t at = 0; at + kEntryBytes <= cluster.size(); at += kEntryBytes) {
      if (cluster[at] == 0) return true;
    }
    return false;
  }

  void ReadEntries(const Directory& directory, const DirectoryBytes& dir, bool root,
                   std::vector<Directory>& stack) {
    std::vector<LongNamePiece> pieces;
    const Bytes all(dir.bytes);
    for (size_t at = 0; at + kEntryBytes <= all.size(); at += kEntryBytes) {
      if ((at & 0x7FFF) == 0 && Cancelled(cancel_)) return;
      if (!dir.Readable(at)) {
        pieces.clear();
        continue;
      }
      const Bytes e = all.subspan(at, kEntryBytes);
      if (e[0] == 0) break;  // nothing was ever written past here
      const uint8_t attributes = e[11];
      const bool deletedEntry = e[0] == kDeletedMark;
      if ((attributes & 0x3F) == kAttrLongName) {
        if (pieces.size() < 64) pieces.push_back(ReadLongNamePiece(e));
        continue;
      }
      std::vector<LongNamePiece> longName;
      longName.swap(pieces);
      if ((attributes & kAttrVolumeLabel) != 0) {
        if (root && !deletedEntry && label.empty()) label = Label(e.first(11));
        continue;
      }
      if (e[0] == '.' && (e[1] == ' ' || (e[1] == '.' && e[2] == ' '))) continue;
      const bool deleted = deletedEntry || directory.deleted;
      std::optional<std::string> name;
      if (deletedEntry) {
        name = DeletedLongName(longName, e);
      } else {
        name = LiveLongName(longName, e);
      }
      if (!name) name = ShortName(e, deletedEntry);
      const uint32_t first = FirstCluster(e);
      if ((attributes & kAttrDirectory) != 0) {
        // Folders nested this deep are damage (a chain of directories naming each other): each
        // level would copy an ever longer path.
        if (first < 2 || first > g_.maxCluster || directory.folders.size() >= kMaxDepth) continue;
        Directory child{directory.folders, first, deleted};
        child.folders.push_back(*name);
        stack.push_back(std::move(child));
        continue;
      }
      EmitFile(directory, e, std::move(*name), first, deleted);
    }
  }

  void EmitFile(const Directory& directory, Bytes e, std::string name, uint32_t first,
                bool deleted) {
    FoundFile file;
    file.folders = directory.folders;
    file.name = std::move(name);
    file.size = ReadLe32(e, 28).value_or(0);
    file.state = deleted ? FileState::kDeleted : FileState::kLive;
    file.modified = FatTime(ReadLe16(e, 24).value_or(0), ReadLe16(e, 22).value_or(0));
    if (const auto created = FatTime(ReadLe16(e, 16).value_or(0), ReadLe16(e, 14).value_or(0))) {
      file.created = *created + std::min<int64_t>(e[13], 199) / 100;
    }
    if (file.size > 0) {
      if (first < 2 || first > g_.maxCluster) {
        file.problem = "its first cluster (" + std::to_string(first) + ") lies outside the volume";
        if (deleted && first == 0) file.problem = "its first cluster was not kept";
      } else if (deleted) {
        DeletedExtents(file, first);
      } else {
        LiveExtents(file, first);
      }
    }
    sink_(file);
  }

  void AddCluster(FoundFile& file, uint32_t cluster) const {
    const int64_t offset = ClusterOffset(cluster);
    if (!file.extents.empty()) {
      Extent& last = file.extents.back();
      if (last.offset + last.length == offset) {
        last.length += g_.clusterBytes;
        return;
      }
    }
    file.extents.push_back({offset, g_.clusterBytes, false});
  }

  void LiveExtents(FoundFile& file, uint32_t first) {
    const int64_t need = (file.size + g_.clusterBytes - 1) / g_.clusterBytes;
    std::vector<uint32_t> chain;
    uint32_t cluster = first;
    while (true) {
      const int64_t got = std::ssize(chain) * g_.clusterBytes;
      if ((chain.size() & 0xFFFF) == 0xFFFF && Cancelled(cancel_)) break;
      if (cluster < 2 || cluster > g_.maxCluster) {
        file.problem = ChainProblem("leaves the volume", got, file.size);
        break;
      }
      if (cluster > g_.lastPhysical) {
        file.problem = ChainProblem("runs past the end of the volume", got, file.size);
        break;
      }
      if (visited_[cluster]) {
        file.problem = ChainProblem("loops", got, file.size);
        break;
      }
      visited_[cluster] = true;
      chain.push_back(cluster);
      AddCluster(file, cluster);
      if (std::ssize(chain) >= need) break;
      const auto next = fat_.Entry(cluster);
      const int64_t have = std::ssize(chain) * g_.clusterBytes;
      if (!next) {
        file.problem = ChainProblem("cannot be read", have, file.size);
        break;
      }
      if (*next == 0) {
        file.problem = ChainProblem("reaches a free cluster", have, file.size);
        break;
      }
      if (*next >= fat_.EndOfChain()) {
        file.problem = ChainProblem("ends", have, file.size);
        break;
      }
      cluster = *next;
    }
    for (const uint32_t c : chain) visited_[c] = false;
  }

  // A deleted file's chain is gone: its clusters are taken to follow one another from the first.
  void DeletedExtents(FoundFile& file, uint32_t first) {
    const int64_t need = (file.size + g_.clusterBytes - 1) / g_.clusterBytes;
    const int64_t available = int64_t{g_.lastPhysical} - first + 1;
    const int64_t count = std::clamp<int64_t>(need, 0, available);
    bool reused = false;
    for (int64_t i = 0; i < count; ++i) {
      if ((i & 0xFFFF) == 0xFFFF && Cancelled(cancel_)) break;
      const auto cluster = static_cast<uint32_t>(first + i);
      if (fat_.Entry(cluster).value_or(1) != 0) reused = true;
      AddCluster(file, cluster);
    }
    if (count < need) {
      file.problem = "its clusters run past the end of the volume after " +
                     std::to_string(count * g_.clusterBytes) + " of " + std::to_string(file.size) +
                     " bytes";
    }
    if (reused) file.state = FileState::kOverwritten;
  }

  ByteSource& volume_;
  const Geometry& g_;
  FatTable fat_;
  const FileSink& sink_;
  CancelFlag cancel_;
  std::vector<bool> visited_;            // clusters of the chain being followed
  std::unordered_set<uint32_t> walked_;  // first clusters of the directories already read
};

}  // namespace

FileSystemReport ReadFatFiles(ByteSource& volume, const FileSink& sink, CancelFlag cancel) {
  FileSystemReport report;
  const auto geometry = ReadGeometry(volume, report.error);
  if (!geometry) return report;
  report.kind = geometry->type == FatType::kFat12   ? "FAT12"
                : geometry->type == FatType::kFat16 ? "FAT16"
                                                    : "FAT32";
  report.clusterBytes = geometry->clusterBytes;
  FatReader reader(volume, *geometry, sink, cancel);
  reader.Run();
  report.label = reader.label.empty() ? geometry->bpbLabel : reader.label;
  return report;
}

}  // namespace quarvelin
