#pragma once

// The pieces every end search and long structure walk is made of: a byte search, the device's
// sectors read on from where the scan buffer ends, and a window that keeps only what a search
// still needs.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "common/byte_fields.h"
#include "device/raw_device.h"

namespace quarvelin {

inline constexpr size_t kNotFound = SIZE_MAX;

inline Bytes AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Index of the first `needle` that starts in [from, before), or kNotFound. The match itself may
// run past `before`.
inline size_t Find(Bytes hay, Bytes needle, size_t from, size_t before = SIZE_MAX) {
  if (needle.empty() || hay.size() < needle.size()) return kNotFound;
  const size_t lastStart = std::min(before, hay.size() - needle.size() + 1);
  while (from < lastStart) {
    const void* hit = std::memchr(hay.data() + from, needle[0], lastStart - from);
    if (hit == nullptr) return kNotFound;
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - hay.data());
    if (std::memcmp(hay.data() + at, needle.data(), needle.size()) == 0) return at;
    from = at + 1;
  }
  return kNotFound;
}

inline bool StartsWith(Bytes bytes, std::string_view text) {
  return bytes.size() >= text.size() && std::memcmp(bytes.data(), text.data(), text.size()) == 0;
}

// Whole sectors read one after another from the first sector the scan buffer does not hold.
class SectorStream {
 public:
  SectorStream(RawDevice& device, uint64_t next, int32_t sectorSize)
      : device_(device), next_(next), sectorSize_(sectorSize) {}

  // Empty at the end of the device or when the read fails.
  std::vector<uint8_t> Read(uint32_t sectors) {
    if (next_ > static_cast<uint64_t>(INT64_MAX)) return {};
    auto bytes = device_.ReadDeviceSectors(static_cast<int64_t>(next_), sectors, sectorSize_);
    const auto sectorBytes = static_cast<uint64_t>(sectorSize_);
    next_ += (bytes.size() + sectorBytes - 1) / sectorBytes;
    return bytes;
  }

 private:
  RawDevice& device_;
  uint64_t next_;
  int32_t sectorSize_;
};

// The bytes a search is looking at: a view of the scan buffer at first, then only what the search
// keeps plus what it read from the device since. Offsets are counted from the window's first byte
// as it was made; `Consumed()` of them have been dropped from the front.
class Window {
 public:
  // `initial` starts at window offset `consumed`.
  explicit Window(Bytes initial, int64_t consumed = 0) : view_(initial), consumed_(consumed) {}

  Bytes View() const { return view_; }
  int64_t Consumed() const { return consumed_; }
  int64_t End() const { return consumed_ + static_cast<int64_t>(view_.size()); }

  // Drops the front so that the window starts at `offset` (or is empty when it lies beyond).
  void DropBefore(int64_t offset) {
    if (offset <= consumed_) return;
    const auto drop = static_cast<size_t>(std::min(offset, End()) - consumed_);
    if (owning_) {
      owned_.erase(owned_.begin(), owned_.begin() + static_cast<std::ptrdiff_t>(drop));
    } else {
      // The scan buffer is only borrowed: keep a copy of the tail before reading on.
      owned_.assign(view_.begin() + static_cast<std::ptrdiff_t>(drop), view_.end());
      owning_ = true;
    }
    view_ = owned_;
    consumed_ += static_cast<int64_t>(drop);
  }

  void KeepLast(size_t bytes) {
    if (view_.size() > bytes) DropBefore(End() - static_cast<int64_t>(bytes));
  }

  // Appends the next read; false when nothing came back.
  bool Append(SectorStream& stream, uint32_t sectors) {
    std::vector<uint8_t> more = stream.Read(sectors);
    if (more.empty()) return false;
    if (!owning_) {
      owned_.assign(view_.begin(), view_.end());
      owning_ = true;
    }
    if (owned_.empty()) {
      owned_ = std::move(more);
    } else {
      owned_.insert(owned_.end(), more.begin(), more.end());
    }
    view_ = owned_;
    return true;
  }

 private:
  Bytes view_;
  std::vector<uint8_t> owned_;
  bool owning_ = false;
  int64_t consumed_ = 0;
};

}  // namespace quarvelin
