// Runs every format's check, and the carved-size determination of every row of the registry's
// table, over arbitrary bytes standing as a carving candidate at the start of an in-memory disk.
// Nothing may crash or read outside what it was given, and every verdict must stay in range.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "carved_size.h"
#include "formats/registry.h"
#include "guarded_device.h"
#include "signatures.h"
#include "sizing/range_reader.h"

namespace {

using namespace quarvelin;

constexpr int32_t kSectorSize = 512;

// Every format's check (what `identify` runs) over the candidate, whose first `bufferBytes` bytes
// are in the scan buffer and the rest only on the device.
void RunValidators(const std::vector<uint8_t>& disk, size_t bufferBytes, RawDevice& device) {
  const std::span<const uint8_t> buffer = std::span<const uint8_t>(disk).first(bufferBytes);
  for (const FileFormat* format : Formats()) {
    if (format->report == nullptr) continue;
    // Each check gets a reader of its own, as in a scan.
    RangeReader reader(buffer, 0, 0, kSectorSize, device);
    const FormatReport report = format->report(reader, format->types.front().extension);
    if (report.confidence < 0 || report.confidence > 100 || report.size < 0) {
      std::fprintf(stderr, "validators_fuzzer: %s verdict out of range: size %lld, confidence %d\n",
                   std::string(format->name).c_str(), static_cast<long long>(report.size),
                   report.confidence);
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::atomic<bool> cancel{false};
  auto disk = std::make_shared<MemoryDisk>();
  disk->sectorSize = kSectorSize;
  disk->bytes.assign(data, data + size);
  fuzzing::GuardedDevice device(disk);

  // The whole candidate in the scan buffer, then only its first sectors (the rest comes from the
  // device, as for a file running past the end of a scan chunk).
  RunValidators(disk->bytes, size, device);
  const size_t split = size / 2 / kSectorSize * kSectorSize;
  if (split > 0) RunValidators(disk->bytes, split, device);

  // Each row sizes the candidate as if its header had matched: the row's header replaces the
  // input's first bytes, so every sizing method sees the fuzzer's bytes behind a valid header.
  // A format that also finds files no header starts sizes the input as it stands.
  for (const FileSignature& row : SignatureTable()) {
    if (row.format->startsUnheaded != nullptr && row.extension == row.format->unheadedType) {
      DetermineCarvedSize(&cancel, disk->bytes, 0, row, device, 0, kSectorSize);
    }
  }
  // Rows of one format with the same header size alike: each pair is tried once.
  std::vector<std::pair<const FileFormat*, const std::vector<uint8_t>*>> tried;
  for (const FileSignature& row : SignatureTable()) {
    const bool seen = std::any_of(tried.begin(), tried.end(), [&row](const auto& t) {
      return t.first == row.format && *t.second == row.header;
    });
    if (seen) continue;
    tried.emplace_back(row.format, &row.header);
    std::vector<uint8_t>& bytes = disk->bytes;
    bytes.assign(data, data + size);
    if (bytes.size() < row.header.size()) bytes.resize(row.header.size(), 0);
    std::copy(row.header.begin(), row.header.end(), bytes.begin());
    DetermineCarvedSize(&cancel, bytes, 0, row, device, 0, kSectorSize);
  }
  return 0;
}
