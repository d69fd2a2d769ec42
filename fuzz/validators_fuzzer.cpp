// Runs every format validator, and the carved-size determination of every signature row, over
// arbitrary bytes standing as a carving candidate at the start of an in-memory disk. Nothing may
// crash or read outside what it was given, and every verdict must stay in range.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "carved_size.h"
#include "formats/validators.h"
#include "guarded_device.h"
#include "signatures.h"
#include "sizing/range_reader.h"

namespace {

using namespace quarvelin;

constexpr int32_t kSectorSize = 512;

void CheckVerdict(const ValidationResult& r, const char* format) {
  if (r.confidence < 0 || r.confidence > 100 || r.size < 0) {
    std::fprintf(stderr, "validators_fuzzer: %s verdict out of range: size %lld, confidence %d\n",
                 format, static_cast<long long>(r.size), r.confidence);
    std::abort();
  }
}

// Every validator over the candidate, whose first `bufferBytes` bytes are in the scan buffer and
// the rest only on the device.
void RunValidators(const std::vector<uint8_t>& disk, size_t bufferBytes, RawDevice& device,
                   const std::atomic<bool>* cancel) {
  const std::span<const uint8_t> buffer = std::span<const uint8_t>(disk).first(bufferBytes);
  // Each validator gets a reader of its own, as in a scan.
  const auto check = [&](const char* format, auto validate) {
    RangeReader reader(buffer, 0, 0, kSectorSize, device);
    CheckVerdict(validate(reader), format);
  };
  check("JPEG", [&](RangeReader& r) { return ValidateJpeg(r, cancel); });
  check("PNG", [&](RangeReader& r) { return ValidatePng(r, cancel, true); });
  check("PNG", [&](RangeReader& r) { return ValidatePng(r, cancel, false); });
  check("MP4", [&](RangeReader& r) { return ValidateMp4(r, cancel); });
  check("ZIP", [&](RangeReader& r) { return ValidateZip(r, cancel); });
  check("PDF", [&](RangeReader& r) { return ValidatePdf(r, cancel); });
  check("MP3", [&](RangeReader& r) { return ValidateMp3(r, cancel); });
  check("GIF", [&](RangeReader& r) { return ValidateGif(r, cancel); });
  check("BMP", [&](RangeReader& r) { return ValidateBmp(r, cancel); });
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
  RunValidators(disk->bytes, size, device, &cancel);
  const size_t split = size / 2 / kSectorSize * kSectorSize;
  if (split > 0) RunValidators(disk->bytes, split, device, &cancel);

  // Each row sizes the candidate as if its header had matched: the row's header replaces the
  // input's first bytes, so every sizing method sees the fuzzer's bytes behind a valid header.
  for (const FileSignature& row : SignatureTable()) {
    std::vector<uint8_t>& bytes = disk->bytes;
    bytes.assign(data, data + size);
    if (bytes.size() < row.header.size()) bytes.resize(row.header.size(), 0);
    std::copy(row.header.begin(), row.header.end(), bytes.begin());
    DetermineCarvedSize(&cancel, bytes, 0, row, device, 0, kSectorSize);
  }
  return 0;
}
