#include "formats/zip/zip_validator.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/byte_fields.h"
#include "formats/zip/zip_walk.h"

namespace quarvelin {
namespace {

constexpr int32_t kChunkBytes = 1'048'576;
// Consecutive chunks overlap so that a record split between two reads is still found whole.
constexpr int64_t kChunkOverlap = 32;
constexpr int64_t kScanLimit = 4'294'967'296;
constexpr int64_t kRecordBytes = 22;
constexpr uint8_t kEndSignature[] = {'P', 'K', 0x05, 0x06};

// Index of the first end-record signature at or after `from`, or bytes.size().
size_t FindEndSignature(Bytes bytes, size_t from) {
  while (from + sizeof(kEndSignature) <= bytes.size()) {
    const void* hit = std::memchr(bytes.data() + from, 'P', bytes.size() - from);
    if (hit == nullptr) break;
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - bytes.data());
    if (at + sizeof(kEndSignature) > bytes.size()) break;
    if (std::memcmp(bytes.data() + at, kEndSignature, sizeof(kEndSignature)) == 0) return at;
    from = at + 1;
  }
  return bytes.size();
}

}  // namespace

ZipValidationResult ValidateZip(RangeReader& read, const std::atomic<bool>* cancel) {
  ZipValidationResult result;
  const Bytes head = read(0, 4);
  if (head.size() < 4 || head[0] != 'P' || head[1] != 'K') {
    result.Reject("Invalid ZIP signature");
    return result;
  }
  if (head[2] == 0x05 && head[3] == 0x06) {
    // An empty archive is nothing but its end record.
    result.hasEndOfCentralDirectory = true;
    result.size = kRecordBytes;
    return result;
  }
  if (head[2] != 0x03 || head[3] != 0x04) {
    result.Add("Not a local file header", 20);
  }

  int64_t last = -1;
  bool ownRecordFound = false;
  std::vector<uint8_t> held;
  for (int64_t pos = 0; pos < kScanLimit && !ownRecordFound; pos += kChunkBytes - kChunkOverlap) {
    if (IsCancelled(cancel)) break;
    Bytes chunk = read(pos, kChunkBytes);
    if (chunk.empty()) break;
    const int64_t chunkBytes = static_cast<int64_t>(chunk.size());

    for (size_t i = FindEndSignature(chunk, 0); i + kRecordBytes <= chunk.size();
         i = FindEndSignature(chunk, i + 1)) {
      const auto entries = ReadLe16(chunk, i + 10);
      const auto directoryBytes = ReadLe32(chunk, i + 12);
      const auto directoryOffset = ReadLe32(chunk, i + 16);
      const auto commentBytes = ReadLe16(chunk, i + 20);
      if (!entries || !directoryBytes || !directoryOffset || !commentBytes) break;
      const int64_t index = static_cast<int64_t>(i);
      const int64_t recordEnd = index + kRecordBytes + *commentBytes;
      const int64_t at = pos + index;
      if (recordEnd > chunkBytes && at + kRecordBytes + *commentBytes > kScanLimit) continue;

      last = at;
      result.entryCount = *entries;
      if (*directoryOffset < last) result.centralDirectoryVerified = true;
      result.hasEndOfCentralDirectory = true;
      result.size = at + kRecordBytes + *commentBytes;

      // A record whose central directory ends exactly where the record starts is this archive's
      // own. Records further on belong to whatever the disk holds after it, so stop here rather
      // than swallow the files that follow.
      bool own = int64_t{*directoryOffset} + int64_t{*directoryBytes} == at;
      // A ZIP64 archive's directory ends where its ZIP64 end record starts.
      if (!own && MayBeZip64End(chunk, i)) {
        // The look-up reads through `read`: keep this chunk's bytes first.
        if (!read.InBuffer(chunk) && chunk.data() != held.data()) {
          held.assign(chunk.begin(), chunk.end());
          chunk = held;
        }
        const auto layout = ReadZipEnd(read, at);
        own = layout && layout->archiveStart == 0;
        // Its ZIP64 end record holds the directory's place and the entry count.
        if (own) {
          result.centralDirectoryVerified = layout->directoryOffset < at;
          result.entryCount = static_cast<int32_t>(std::min<int64_t>(layout->entries, INT32_MAX));
        }
      }
      if (own) {
        ownRecordFound = true;
        break;
      }
    }
    // More than a chunk past the last record: whatever follows is no longer this archive.
    if (last > 0 && last + kChunkBytes < pos) break;
  }

  if (!result.hasEndOfCentralDirectory) result.Add("No End of Central Directory found", 40);
  if (!result.centralDirectoryVerified) result.Add("Central directory not verified", 20);
  result.Finish();
  return result;
}

}  // namespace quarvelin
