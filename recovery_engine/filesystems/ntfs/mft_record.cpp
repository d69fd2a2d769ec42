#include "mft_record.h"

#include "common/byte_fields.h"
#include "common/json_string.h"

namespace quarvelin {
namespace {

constexpr size_t kStride = 512;

std::optional<Attribute> ParseAttribute(std::span<const uint8_t> a) {
  Attribute out;
  out.type = *ReadLe32(a, 0);
  const auto nonResident = a.size() > 8 ? std::optional<uint8_t>(a[8]) : std::nullopt;
  const auto nameLength = a.size() > 9 ? std::optional<uint8_t>(a[9]) : std::nullopt;
  const auto flags = ReadLe16(a, 0x0C);
  if (!nonResident || !nameLength || !flags) return std::nullopt;
  out.nonResident = *nonResident != 0;
  out.named = *nameLength != 0;
  out.flags = *flags;
  if (!out.nonResident) {
    const auto length = ReadLe32(a, 0x10);
    const auto offset = ReadLe16(a, 0x14);
    if (!length || !offset || *offset > a.size() || a.size() - *offset < *length) {
      return std::nullopt;
    }
    out.value = a.subspan(*offset, *length);
    return out;
  }
  const auto lowest = ReadLe64(a, 0x10);
  const auto highest = ReadLe64(a, 0x18);
  const auto pairs = ReadLe16(a, 0x20);
  const auto allocated = ReadLe64(a, 0x28);
  const auto data = ReadLe64(a, 0x30);
  const auto initialized = ReadLe64(a, 0x38);
  if (!lowest || !highest || !pairs || !allocated || !data || !initialized || *pairs > a.size()) {
    return std::nullopt;
  }
  const auto lowestVcn = AsLength(*lowest);
  const auto highestVcn = AsLength(*highest);
  const auto allocatedSize = AsLength(*allocated);
  const auto dataSize = AsLength(*data);
  const auto initializedSize = AsLength(*initialized);
  if (!lowestVcn || !highestVcn || !allocatedSize || !dataSize || !initializedSize) {
    return std::nullopt;
  }
  out.lowestVcn = *lowestVcn;
  out.highestVcn = *highestVcn;
  out.compressionUnit = a[0x22];
  out.allocatedSize = *allocatedSize;
  out.dataSize = *dataSize;
  out.initializedSize = *initializedSize;
  out.value = a.subspan(*pairs);
  return out;
}

}  // namespace

bool ApplyFixups(std::span<uint8_t> record) {
  const auto offset = ReadLe16(record, 4);
  const auto count = ReadLe16(record, 6);
  if (!offset || !count || record.size() % kStride != 0) return false;
  const size_t strides = record.size() / kStride;
  if (*count != strides + 1 || *offset % 2 != 0 || *offset < 8 ||
      static_cast<size_t>(*offset) + 2 * *count > kStride - 2) {
    return false;
  }
  const uint8_t usn0 = record[*offset];
  const uint8_t usn1 = record[*offset + 1u];
  for (size_t i = 0; i < strides; ++i) {
    const size_t last = (i + 1) * kStride - 2;
    if (record[last] != usn0 || record[last + 1] != usn1) return false;
  }
  for (size_t i = 0; i < strides; ++i) {
    const size_t last = (i + 1) * kStride - 2;
    record[last] = record[*offset + 2 * (i + 1)];
    record[last + 1] = record[*offset + 2 * (i + 1) + 1];
  }
  return true;
}

std::optional<MftRecord> ParseRecord(std::span<const uint8_t> record) {
  if (record.size() < 0x30 || record[0] != 'F' || record[1] != 'I' || record[2] != 'L' ||
      record[3] != 'E') {
    return std::nullopt;
  }
  MftRecord out;
  const auto sequence = ReadLe16(record, 0x10);
  const auto firstAttribute = ReadLe16(record, 0x14);
  const auto flags = ReadLe16(record, 0x16);
  const auto used = ReadLe32(record, 0x18);
  const auto base = ReadLe64(record, 0x20);
  if (!sequence || !firstAttribute || !flags || !used || !base) return std::nullopt;
  out.sequence = *sequence;
  out.flags = *flags;
  out.base = SplitReference(*base);
  // Attributes end at the record's used bytes, never past the record.
  const size_t end = std::min<size_t>(*used, record.size());
  size_t at = *firstAttribute;
  while (true) {
    const auto type = ReadLe32(record.first(end), at);
    if (!type) {
      out.truncated = true;
      break;
    }
    if (*type == kEndOfAttributes) break;
    const auto length = ReadLe32(record.first(end), at + 4);
    if (!length || *length < 0x18 || *length % 8 != 0 || *length > end - at) {
      out.truncated = true;
      break;
    }
    if (auto attribute = ParseAttribute(record.subspan(at, *length))) {
      out.attributes.push_back(*attribute);
    }
    at += *length;
  }
  return out;
}

std::string Utf16ToUtf8(std::span<const uint8_t> utf16) {
  std::string out;
  out.reserve(utf16.size());
  const size_t units = utf16.size() / 2;
  for (size_t i = 0; i < units; ++i) {
    const uint32_t unit = utf16[2 * i] | (static_cast<uint32_t>(utf16[2 * i + 1]) << 8);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
      const uint32_t low = utf16[2 * i + 2] | (static_cast<uint32_t>(utf16[2 * i + 3]) << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(out, static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, static_cast<char32_t>(unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit));
  }
  return out;
}

}  // namespace quarvelin
