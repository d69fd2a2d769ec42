#include "sizing/range_reader.h"

#include <algorithm>
#include <functional>

#include "common/byte_fields.h"

namespace quarvelin {

RangeReader::RangeReader(std::span<const uint8_t> scanBuffer, size_t headerOffset,
                         int64_t bufferStartSector, int32_t sectorSize, RawDevice& device)
    : buffer_(scanBuffer),
      headerOffset_(headerOffset),
      bufferStartSector_(bufferStartSector),
      sectorSize_(sectorSize > 0 ? sectorSize : kDefaultSectorSize),
      device_(device) {}

std::span<const uint8_t> RangeReader::ReadLongest(int64_t offset, int32_t want, int32_t need) {
  need = std::max(need, 1);
  // A device that ends inside the request hands back what it has: that is the longest run.
  if (const auto got = ReadUpTo(offset, want); static_cast<int64_t>(got.size()) >= need) {
    return got;
  }
  if (need >= want || (*this)(offset, need).empty()) return {};
  int32_t good = need;
  int32_t bad = want;
  while (bad - good > 1) {
    const int32_t mid = good + (bad - good) / 2;
    if ((*this)(offset, mid).empty()) {
      bad = mid;
    } else {
      good = mid;
    }
  }
  return (*this)(offset, good);
}

std::span<const uint8_t> RangeReader::ReadWindow(int64_t offset, int32_t want, int32_t need) {
  need = std::max(need, 1);
  const int64_t inBuffer = Buffered();
  if (offset >= 0 && offset < inBuffer && inBuffer - offset >= need && want >= need) {
    return buffer_.subspan(headerOffset_ + static_cast<size_t>(offset),
                           static_cast<size_t>(std::min<int64_t>(want, inBuffer - offset)));
  }
  return ReadLongest(offset, want, need);
}

bool RangeReader::InBuffer(std::span<const uint8_t> bytes) const {
  const std::less_equal<const uint8_t*> notAfter;
  return notAfter(buffer_.data(), bytes.data()) &&
         notAfter(bytes.data() + bytes.size(), buffer_.data() + buffer_.size());
}

std::span<const uint8_t> WalkWindow::At(int64_t offset, int32_t need) {
  const auto held = static_cast<int64_t>(view_.size());
  if (offset < start_ || offset - start_ > held || held - (offset - start_) < need) {
    const auto bytes = read_.ReadWindow(offset, size_, need);
    if (bytes.empty()) return {};
    if (read_.InBuffer(bytes)) {
      view_ = bytes;
    } else {
      copy_.assign(bytes.begin(), bytes.end());
      view_ = copy_;
    }
    start_ = offset;
  }
  return view_.subspan(static_cast<size_t>(offset - start_));
}

bool RangeReader::StartsSector(int64_t offset) const {
  const int64_t sectorSize = sectorSize_;
  if (bufferStartSector_ < 0 || bufferStartSector_ > INT64_MAX / sectorSize) {
    return false;
  }
  const auto position =
      CheckedAdd(bufferStartSector_ * sectorSize, static_cast<int64_t>(headerOffset_), offset);
  return position && *position >= 0 && *position % sectorSize == 0;
}

std::optional<int64_t> RangeReader::NextSectorStart(int64_t offset) const {
  const int64_t sectorSize = sectorSize_;
  if (bufferStartSector_ < 0 || bufferStartSector_ > INT64_MAX / sectorSize) {
    return std::nullopt;
  }
  const auto position =
      CheckedAdd(bufferStartSector_ * sectorSize, static_cast<int64_t>(headerOffset_), offset);
  if (!position || *position < 0) return std::nullopt;
  return CheckedAdd(offset, sectorSize - *position % sectorSize);
}

std::span<const uint8_t> RangeReader::operator()(int64_t offset, int32_t length) {
  const auto got = ReadUpTo(offset, length);
  if (static_cast<int64_t>(got.size()) != length) return {};
  return got;
}

std::span<const uint8_t> RangeReader::ReadUpTo(int64_t offset, int32_t length) {
  if (length < 0) {
    return {};
  }
  const int64_t inBuffer = Buffered();
  if (offset >= 0 && offset <= inBuffer && length <= inBuffer - offset) {
    return buffer_.subspan(headerOffset_ + static_cast<size_t>(offset),
                           static_cast<size_t>(length));
  }

  // Absolute position on the device; anything before its start or beyond 64 bits reads nothing.
  const int64_t sectorSize = sectorSize_;
  if (bufferStartSector_ < 0 || bufferStartSector_ > INT64_MAX / sectorSize) {
    return {};
  }
  const auto position =
      CheckedAdd(bufferStartSector_ * sectorSize, static_cast<int64_t>(headerOffset_), offset);
  if (!position || *position < 0) {
    return {};
  }
  const int64_t firstSector = *position / sectorSize;
  const int64_t skip = *position % sectorSize;
  const int64_t sectors = (length + skip + sectorSize - 1) / sectorSize;
  ++deviceReads_;
  fromDevice_ = device_.ReadDeviceSectors(firstSector, static_cast<uint32_t>(sectors), sectorSize_);
  if (static_cast<int64_t>(fromDevice_.size()) <= skip) {
    return {};
  }
  return std::span<const uint8_t>(fromDevice_)
      .subspan(static_cast<size_t>(skip),
               static_cast<size_t>(
                   std::min<int64_t>(length, static_cast<int64_t>(fromDevice_.size()) - skip)));
}

}  // namespace quarvelin
