#pragma once

// A file on an in-memory disk as a scan meets it, with the RangeReader and the carved-size
// determination the scan would run on it. With a short scan buffer the rest of the file comes from
// the device.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "carved_size.h"
#include "formats/validators.h"
#include "sizing/range_reader.h"
#include "test_disk.h"

namespace quarvelin::testing {

// The disk holds random bytes up to the file, the file, then `trailing` more bytes, to a whole
// sector. The scan buffer starts at sector `chunkStart` and holds `bufferBytes` from there (the
// rest of the disk by default); the file starts `lead` bytes into it.
struct Placement {
  size_t lead = 0;
  int64_t chunkStart = 0;
  size_t bufferBytes = SIZE_MAX;
  int32_t sectorSize = 512;
  size_t trailing = 4096;
  bool randomTrailing = false;  // random instead of zero bytes after the file
  bool cancelled = false;       // the scan is being cancelled
};

inline void PrintTo(const Placement& p, std::ostream* out) {
  *out << "{lead " << p.lead << ", chunk at sector " << p.chunkStart << ", buffer " << p.bufferBytes
       << ", sector size " << p.sectorSize << ", " << p.trailing
       << (p.randomTrailing ? " random" : " zero") << " bytes after"
       << (p.cancelled ? ", cancelled}" : "}");
}

class Candidate {
 public:
  explicit Candidate(const File& file, Placement placement = {})
      : placement_(placement), cancel_(placement.cancelled), disk_(Build(file, placement)) {}

  RangeReader Reader() {
    return RangeReader(Buffer(), placement_.lead, placement_.chunkStart, placement_.sectorSize,
                       disk_.device());
  }

  CarvedSize Carve(const FileSignature& signature) {
    return DetermineCarvedSize(&cancel_, Buffer(), placement_.lead, signature, disk_.device(),
                               static_cast<uint64_t>(placement_.chunkStart), placement_.sectorSize);
  }

  const std::atomic<bool>* Cancel() const { return &cancel_; }
  TestDisk& Disk() { return disk_; }

 private:
  static TestDisk Build(const File& file, const Placement& p) {
    const auto sector = static_cast<size_t>(p.sectorSize);
    const size_t before = static_cast<size_t>(p.chunkStart) * sector + p.lead;
    File bytes = Concat(RandomBytes(before, 99), file,
                        p.randomTrailing ? RandomBytes(p.trailing, 98) : File(p.trailing, 0));
    bytes.resize((bytes.size() + sector - 1) / sector * sector, 0);
    return TestDisk::Of(std::move(bytes), p.sectorSize);
  }

  std::span<const uint8_t> Buffer() const {
    return disk_.Chunk(placement_.chunkStart, placement_.bufferBytes);
  }

  Placement placement_;
  std::atomic<bool> cancel_;
  TestDisk disk_;
};

// What `validate(reader, cancel)` says of `file` met at `placement`.
template <typename Validate>
auto Validated(const File& file, const Placement& placement, Validate validate) {
  Candidate candidate(file, placement);
  RangeReader reader = candidate.Reader();
  return validate(reader, candidate.Cancel());
}

// A validator's verdict that a scan would trust: `size`, at least `leastConfidence`, exactly
// `issues`.
template <typename Verdict>
void ExpectTrusted(const Verdict& r, int64_t size, int32_t leastConfidence = 100,
                   const std::vector<std::string>& issues = {}) {
  EXPECT_EQ(r.size, size);
  EXPECT_GE(r.confidence, leastConfidence);
  EXPECT_EQ(r.issues, issues);
  EXPECT_TRUE(Accepted(r));
}

}  // namespace quarvelin::testing
