#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quarvelin {

// Attribute type codes this reader looks at.
enum AttributeType : uint32_t {
  kStandardInformation = 0x10,
  kAttributeList = 0x20,
  kFileName = 0x30,
  kVolumeName = 0x60,
  kData = 0x80,
  kBitmapAttribute = 0xB0,
  kEndOfAttributes = 0xFFFFFFFF,
};

// Record header flags.
constexpr uint16_t kRecordInUse = 0x0001;
constexpr uint16_t kRecordIsDirectory = 0x0002;

// Attribute header flags.
constexpr uint16_t kAttributeCompressed = 0x0001;
constexpr uint16_t kAttributeEncrypted = 0x4000;

// A file reference: 48 bits of record number and 16 of sequence number.
struct FileReference {
  uint64_t record = 0;
  uint16_t sequence = 0;
};
inline FileReference SplitReference(uint64_t value) {
  return {value & 0xFFFFFFFFFFFFull, static_cast<uint16_t>(value >> 48)};
}

// One attribute of a record, as views into the record's bytes.
struct Attribute {
  uint32_t type = 0;
  bool nonResident = false;
  bool named = false;  // alternate streams and named indexes
  uint16_t flags = 0;
  std::span<const uint8_t> value;  // resident: the value; non-resident: the mapping pairs
  // Non-resident only.
  int64_t lowestVcn = 0;
  int64_t highestVcn = 0;
  uint8_t compressionUnit = 0;  // log2 of clusters per compression unit
  int64_t allocatedSize = 0;
  int64_t dataSize = 0;
  int64_t initializedSize = 0;
};

// A parsed file record ("FILE"), after its update sequence fix-ups.
struct MftRecord {
  uint16_t flags = 0;
  uint16_t sequence = 0;
  FileReference base;  // record 0 for a base record
  std::vector<Attribute> attributes;
  // An attribute's header or length ran past the record: the attributes before it are kept.
  bool truncated = false;
};

// Checks the update sequence of a multi-sector record in place: the last two bytes of every
// 512-byte stride must equal the update sequence number, and are replaced by the saved bytes.
// False when the array does not fit the record or any stride was torn.
bool ApplyFixups(std::span<uint8_t> record);

// Parses a file record whose fix-ups were applied; nothing when it is not a "FILE" record or its
// header is unsound. Views in the result point into `record`.
std::optional<MftRecord> ParseRecord(std::span<const uint8_t> record);

// UTF-16LE as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::span<const uint8_t> utf16);

}  // namespace quarvelin
