#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "device/raw_device.h"

namespace quarvelin {

// How a validator reads the bytes of a carving candidate. Offsets are relative to the candidate's
// first header byte. A request is served from the scan buffer when it lies wholly inside it (from
// the header to the buffer's end); otherwise by one device read of the sectors that cover it, never
// by joining buffer and device bytes. The answer is exactly the requested bytes, or nothing.
//
// The returned span stays valid only until the next call: copy out what must outlive it. The reader
// borrows the buffer and the device, for the duration of one carved-size determination.
class RangeReader {
 public:
  RangeReader(std::span<const uint8_t> scanBuffer, size_t headerOffset, int64_t bufferStartSector,
              int32_t sectorSize, RawDevice& device);

  std::span<const uint8_t> operator()(int64_t offset, int32_t length);

  // Near the device's end (or before an unreadable stretch) a long request returns nothing although
  // its first bytes exist: this answers with the longest readable run from `offset`, of at most
  // `want` and at least `need` bytes, found by halving; empty when not even `need` can be read.
  std::span<const uint8_t> ReadLongest(int64_t offset, int32_t want, int32_t need = 1);

  // For a reader that walks on window by window: the scan buffer's bytes from `offset` (at most
  // `want`) when it holds at least `need` of them, else the longest readable run as above. Near the
  // buffer's end this spares a device read that only the window's tail would have used.
  std::span<const uint8_t> ReadWindow(int64_t offset, int32_t want, int32_t need = 1);

  // True when candidate offset `offset` is the first byte of a device sector: where another file
  // stored on the disk could begin.
  bool StartsSector(int64_t offset) const;

  // The first candidate offset after `offset` that starts a device sector; nothing when the
  // candidate's place on the device is out of range.
  std::optional<int64_t> NextSectorStart(int64_t offset) const;
  int32_t SectorSize() const { return sectorSize_; }

  // True when `bytes` lie in the scan buffer, and so stay valid for the reader's whole life.
  bool InBuffer(std::span<const uint8_t> bytes) const;

  // Device reads made so far (the scan buffer serves the rest).
  int64_t DeviceReads() const { return deviceReads_; }

 private:
  // Bytes the scan buffer holds from the header on.
  int64_t Buffered() const {
    return headerOffset_ <= buffer_.size() ? static_cast<int64_t>(buffer_.size() - headerOffset_)
                                           : 0;
  }
  // The bytes at `offset`: all `length` of them, or fewer where the device ends, or none.
  std::span<const uint8_t> ReadUpTo(int64_t offset, int32_t length);

  std::span<const uint8_t> buffer_;
  size_t headerOffset_;
  int64_t bufferStartSector_;
  int32_t sectorSize_;
  RawDevice& device_;
  std::vector<uint8_t> fromDevice_;
  int64_t deviceReads_ = 0;
};

// Serves a walk's many small reads from one window of the candidate's bytes, so a run of short
// records costs one reader call per window rather than one per record. The window stays valid
// while other reads are made: a view of the scan buffer where the bytes lie in it, else a copy.
class WalkWindow {
 public:
  WalkWindow(RangeReader& read, int32_t size) : read_(read), size_(size) {}

  // The bytes from `offset` to the window's end, at least `need` of them; empty when fewer than
  // `need` can be read there.
  std::span<const uint8_t> At(int64_t offset, int32_t need);

 private:
  RangeReader& read_;
  int32_t size_;
  std::span<const uint8_t> view_;
  std::vector<uint8_t> copy_;
  int64_t start_ = 0;
};

}  // namespace quarvelin
