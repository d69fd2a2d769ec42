#include "formats/tar/tar_walk.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr size_t kMagic = 257;
constexpr size_t kChecksum = 148;
constexpr size_t kSize = 124;
constexpr size_t kTypeFlag = 156;
// Larger numbers are no length on any disk.
constexpr int64_t kNumberLimit = int64_t{1} << 50;
// A pax extended header is a few records; a larger one is not looked into.
constexpr int64_t kMaxPaxBytes = 64 * 1024;
constexpr int32_t kWindowBytes = 1 << 20;

bool AllZero(Bytes bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// Links, devices, directories and FIFOs store no data, whatever their size field says.
bool HasData(uint8_t type) {
  return type < '1' || type > '6';
}

std::optional<int64_t> Rounded(int64_t size) {
  const auto padded = CheckedAdd(size, kTarBlock - 1);
  if (!padded) return std::nullopt;
  return *padded / kTarBlock * kTarBlock;
}

// The "size" record of a pax extended header's records ("<length> <key>=<value>\n" each).
std::optional<int64_t> PaxSize(Bytes data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  std::optional<int64_t> size;
  for (size_t at = 0; at < text.size();) {
    size_t length = 0;
    size_t i = at;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && length < kMaxPaxBytes; ++i) {
      length = length * 10 + static_cast<size_t>(text[i] - '0');
    }
    if (i == at || i >= text.size() || text[i] != ' ' || length <= i - at ||
        length > text.size() - at) {
      break;
    }
    const std::string_view record = text.substr(i + 1, length - (i - at) - 1);
    constexpr std::string_view kKey = "size=";
    if (record.starts_with(kKey) && record.ends_with('\n')) {
      int64_t value = 0;
      bool digits = record.size() > kKey.size() + 1;
      for (size_t k = kKey.size(); k + 1 < record.size() && digits; ++k) {
        const char c = record[k];
        digits = c >= '0' && c <= '9' && value < kNumberLimit;
        value = value * 10 + (c - '0');
      }
      size = digits && value <= kNumberLimit ? std::optional<int64_t>(value) : std::nullopt;
    }
    at += length;
  }
  return size;
}

}  // namespace

std::optional<int64_t> TarNumber(Bytes field) {
  if (field.empty()) return std::nullopt;
  if ((field[0] & 0x80) != 0) {
    // Base-256, big-endian, two's complement: a set sign bit is a negative number.
    if ((field[0] & 0x40) != 0) return std::nullopt;
    int64_t value = field[0] & 0x3F;
    for (size_t i = 1; i < field.size(); ++i) {
      if (value > kNumberLimit) return std::nullopt;
      value = (value << 8) | field[i];
    }
    if (value > kNumberLimit) return std::nullopt;
    return value;
  }
  size_t i = 0;
  while (i < field.size() && field[i] == ' ') ++i;
  const size_t first = i;
  int64_t value = 0;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i) {
    value = value * 8 + (field[i] - '0');
  }
  // An empty field is zero to writers that leave unused numbers blank.
  if (i == first && i < field.size() && field[i] != 0) return std::nullopt;
  for (; i < field.size(); ++i) {
    if (field[i] != 0 && field[i] != ' ') return std::nullopt;
  }
  if (value > kNumberLimit) return std::nullopt;
  return value;
}

bool IsTarHeader(Bytes bytes) {
  if (bytes.size() < kTarBlock) return false;
  const bool ustar = std::memcmp(bytes.data() + kMagic,
                                 "ustar\0"
                                 "00",
                                 8) == 0;
  const bool gnu = std::memcmp(bytes.data() + kMagic, "ustar  \0", 8) == 0;
  if (!ustar && !gnu) return false;
  const auto stored = TarNumber(bytes.subspan(kChecksum, 8));
  if (!stored) return false;
  int64_t sum = 8 * ' ';
  int64_t signedSum = 8 * ' ';
  for (size_t i = 0; i < kTarBlock; ++i) {
    if (i >= kChecksum && i < kChecksum + 8) continue;
    sum += bytes[i];
    signedSum += static_cast<int8_t>(bytes[i]);
  }
  return *stored == sum || *stored == signedSum;
}

TarEnd WalkTar(RangeReader& read, int64_t limit, const std::atomic<bool>* cancel) {
  WalkWindow window(read, kWindowBytes);
  TarEnd end;
  int64_t nextSize = -1;  // from a pax header, for the member after it; -1 when none
  // The end of the member just stepped over: whole once the block after it can be read.
  std::optional<int64_t> stepped;
  for (int64_t at = 0; at <= limit - 2 * kTarBlock;) {
    if (IsCancelled(cancel)) return {};
    Bytes block = window.At(at, kTarBlock);
    if (block.empty()) break;
    block = block.first(kTarBlock);
    if (stepped) end.size = *stepped;
    stepped.reset();
    if (AllZero(block)) {
      const Bytes second = window.At(at + kTarBlock, kTarBlock);
      if (second.empty() || !AllZero(second.first(kTarBlock))) break;
      int64_t size = at + 2 * kTarBlock;
      // The rest of the record, when it is there and zero: tar wrote it.
      const int64_t record = (size + kTarRecord - 1) / kTarRecord * kTarRecord;
      if (record > size && record <= limit) {
        const Bytes pad = window.At(size, static_cast<int32_t>(record - size));
        if (!pad.empty() && AllZero(pad.first(static_cast<size_t>(record - size)))) size = record;
      }
      return {.size = size, .whole = true};
    }
    if (!IsTarHeader(block)) break;
    const uint8_t type = block[kTypeFlag];
    const auto field = TarNumber(block.subspan(kSize, 12));
    if (!field) break;
    const int64_t size = HasData(type) ? (nextSize >= 0 ? nextSize : *field) : 0;
    nextSize = -1;
    if (type == 'x' && size <= kMaxPaxBytes) {
      const Bytes data = window.At(at + kTarBlock, static_cast<int32_t>(size));
      if (data.empty()) break;
      nextSize = PaxSize(data.first(static_cast<size_t>(size))).value_or(-1);
    }
    const auto data = Rounded(size);
    const auto next = data ? CheckedAdd(at, kTarBlock, *data) : std::nullopt;
    if (!next || *next > limit) break;
    at = *next;
    // Headers that describe the next member (long names, pax records) do not end one.
    if (type != 'L' && type != 'K' && type != 'x' && type != 'g') stepped = at;
  }
  return end;
}

}  // namespace quarvelin
