#include "formats/pdf/pdf_validator.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>

#include "common/byte_fields.h"

namespace quarvelin {
namespace {

constexpr int32_t kChunkBytes = 1'048'576;
constexpr int64_t kScanLimit = 2'097'152'000;
constexpr std::string_view kHeader = "%PDF-";
constexpr std::string_view kEndMarker = "%%EOF";
constexpr std::string_view kXref = "xref";
// Bytes kept from the end of one chunk to find markers that straddle into the next.
constexpr size_t kCarried = 4;
// "%%EOF" plus room for the line end that usually follows it.
constexpr int64_t kEndMarkerAllowance = 10;

// Index of the first `pattern` starting at or after `from` and before `before`, or nullopt.
std::optional<size_t> Find(Bytes bytes, std::string_view pattern, size_t from, size_t before) {
  const size_t end = std::min(before, bytes.size());
  while (from < end && bytes.size() - from >= pattern.size()) {
    const void* hit = std::memchr(bytes.data() + from, pattern[0], end - from);
    if (hit == nullptr) return std::nullopt;
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - bytes.data());
    if (bytes.size() - at < pattern.size()) return std::nullopt;
    if (std::memcmp(bytes.data() + at, pattern.data(), pattern.size()) == 0) return at;
    from = at + 1;
  }
  return std::nullopt;
}

class MarkerScan {
 public:
  MarkerScan(RangeReader& read, PdfValidationResult& result) : read_(read), result_(result) {}

  // Looks at the matches in `bytes` (candidate offset `base`) that start before index `before`.
  // Returns false when another file's header was met, which ends the scan.
  bool Visit(Bytes bytes, int64_t base, size_t before) {
    // A "%PDF-" on a sector boundary is where the next stored file begins: only what comes before
    // it belongs to this one. One that is not on a boundary is text inside this file.
    bool otherFile = false;
    for (auto at = Find(bytes, kHeader, 0, before); at;
         at = Find(bytes, kHeader, *at + 1, before)) {
      const int64_t offset = base + static_cast<int64_t>(*at);
      if (offset > 0 && read_.StartsSector(offset)) {
        before = *at;
        nextFile_ = offset;
        otherFile = true;
        break;
      }
    }
    for (auto at = Find(bytes, kEndMarker, 0, before); at;
         at = Find(bytes, kEndMarker, *at + 1, before)) {
      last_ = base + static_cast<int64_t>(*at);
      ++result_.eofCount;
    }
    if (!result_.hasXref && Find(bytes, kXref, 0, before)) result_.hasXref = true;
    return !otherFile;
  }

  int64_t last() const { return last_; }
  std::optional<int64_t> nextFile() const { return nextFile_; }

 private:
  RangeReader& read_;
  PdfValidationResult& result_;
  int64_t last_ = -1;
  std::optional<int64_t> nextFile_;
};

}  // namespace

PdfValidationResult ValidatePdf(RangeReader& read, const std::atomic<bool>* cancel) {
  PdfValidationResult result;
  const Bytes head = read(0, 16);
  if (head.size() < 16) {
    result.Reject("Cannot read header");
    return result;
  }
  if (std::memcmp(head.data(), kHeader.data(), kHeader.size()) != 0) {
    result.Reject("Invalid PDF header");
    return result;
  }
  for (size_t i = kHeader.size(); i < 10 && head[i] != '\r' && head[i] != '\n'; ++i) {
    result.version.push_back(static_cast<char>(head[i]));
  }

  // Every chunk is searched on its own; the few bytes either side of each seam are searched
  // together, for matches that start before the seam and end after it.
  MarkerScan scan(read, result);
  std::array<uint8_t, 2 * kCarried> seam{};
  for (int64_t pos = 0; pos < kScanLimit; pos += kChunkBytes) {
    if (IsCancelled(cancel)) break;
    const Bytes chunk = read(pos, kChunkBytes);
    if (chunk.size() < kCarried) break;
    if (pos > 0) {
      std::copy_n(chunk.begin(), kCarried, seam.begin() + kCarried);
      if (!scan.Visit(seam, pos - static_cast<int64_t>(kCarried), kCarried)) break;
    }
    if (!scan.Visit(chunk, pos, chunk.size())) break;
    // The chunk's bytes go away with the next read.
    std::copy_n(chunk.end() - kCarried, kCarried, seam.begin());
  }

  if (scan.last() < 1) {
    result.Add("No %%EOF marker found", 40);
  } else {
    result.hasEof = true;
    result.size = scan.last() + kEndMarkerAllowance;
    // The line-end allowance must not reach into the file that follows.
    if (scan.nextFile() && result.size > *scan.nextFile()) result.size = *scan.nextFile();
  }
  if (!result.hasXref) result.Add("No xref table found", 20);
  if (result.version.empty()) result.Add("Cannot determine PDF version", 10);
  result.Finish();
  return result;
}

}  // namespace quarvelin
