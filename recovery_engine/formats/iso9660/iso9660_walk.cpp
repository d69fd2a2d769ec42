#include "formats/iso9660/iso9660_walk.h"

#include <cstring>
#include <optional>

namespace quarvelin {
namespace {

constexpr int64_t kSector = 2048;
constexpr int kMaxDescriptors = 16;
constexpr uint8_t kPrimary = 1;
constexpr uint8_t kTerminator = 255;
// Boot record, primary, supplementary (Joliet), partition: the types a set may open with.
constexpr uint8_t kLastOpeningType = 3;
constexpr size_t kRootRecord = 156;
constexpr uint8_t kDirectoryFlag = 0x02;

bool IsDescriptor(Bytes d) {
  return d.size() >= 7 && std::memcmp(d.data() + 1, "CD001", 5) == 0 && d[6] == 1;
}

// A both-endian field: the little-endian half, then the same value big-endian.
std::optional<uint32_t> Both32(Bytes d, size_t at) {
  const auto le = ReadLe32(d, at);
  const auto be = ReadBe32(d, at + 4);
  if (!le || !be || *le != *be) return std::nullopt;
  return le;
}
std::optional<uint16_t> Both16(Bytes d, size_t at) {
  const auto le = ReadLe16(d, at);
  const auto be = ReadBe16(d, at + 2);
  if (!le || !be || *le != *be) return std::nullopt;
  return le;
}

// True when `length` bytes from block `block` lie inside a volume of `size` bytes.
bool Inside(int64_t block, int64_t length, int64_t blockSize, int64_t size) {
  const auto end = CheckedAdd(block * blockSize, length);
  return block > 0 && end && *end <= size;
}

struct Primary {
  int64_t size = 0;
  int64_t blockSize = 0;
  int64_t root = 0;  // the root directory's first block
};

std::optional<Primary> ReadPrimary(Bytes d) {
  const auto blocks = Both32(d, 80);
  const auto blockSize = Both16(d, 128);
  const auto pathTableBytes = Both32(d, 132);
  if (!blocks || !blockSize || !pathTableBytes) return std::nullopt;
  if (*blockSize < 512 || *blockSize > kSector || (*blockSize & (*blockSize - 1)) != 0) {
    return std::nullopt;
  }
  Primary p{.size = int64_t{*blocks} * *blockSize, .blockSize = *blockSize};
  const Bytes root = d.subspan(kRootRecord, 34);
  const auto rootBlock = Both32(root, 2);
  const auto rootBytes = Both32(root, 10);
  if (root[0] != 34 || !rootBlock || !rootBytes || (root[25] & kDirectoryFlag) == 0) {
    return std::nullopt;
  }
  p.root = *rootBlock;
  const int64_t pathTable = *ReadLe32(d, 140);
  if (!Inside(pathTable, *pathTableBytes, p.blockSize, p.size) ||
      !Inside(p.root, *rootBytes, p.blockSize, p.size)) {
    return std::nullopt;
  }
  return p;
}

}  // namespace

bool StartsIso9660(Bytes bytes) {
  if (std::ssize(bytes) < kIsoDescriptors + 7) return false;
  const Bytes d = bytes.subspan(kIsoDescriptors);
  return d[0] <= kLastOpeningType && IsDescriptor(d);
}

IsoEnd WalkIso9660(RangeReader& read, int64_t limit) {
  std::optional<Primary> primary;
  bool terminated = false;
  int64_t at = kIsoDescriptors;
  for (int i = 0; i < kMaxDescriptors && !terminated; ++i, at += kSector) {
    const Bytes d = read(at, kSector);
    if (d.empty() || !IsDescriptor(d)) return {};
    if (d[0] == kPrimary && !primary) {
      primary = ReadPrimary(d);
      if (!primary) return {};
    }
    terminated = d[0] == kTerminator;
  }
  if (!primary || !terminated || primary->size < at || primary->size > limit) return {};
  // The root directory's first record is "." and names the directory itself.
  const Bytes self = read(primary->root * primary->blockSize, 34);
  if (self.empty()) return {.size = primary->size};
  const auto selfBlock = Both32(self, 2);
  if (self[0] < 34 || !selfBlock || *selfBlock != primary->root || self[32] != 1 || self[33] != 0) {
    return {};
  }
  return {.size = primary->size, .whole = true};
}

}  // namespace quarvelin
