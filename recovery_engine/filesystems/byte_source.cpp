#include "byte_source.h"

#include <algorithm>
#include <cstring>

#include "device/raw_device.h"

namespace quarvelin {
namespace {

constexpr size_t kCachedBlocks = 16;

bool Inside(int64_t offset, size_t length, int64_t size) {
  return offset >= 0 && offset <= size && static_cast<uint64_t>(size - offset) >= length;
}

}  // namespace

bool MemoryBytes::Read(int64_t offset, std::span<uint8_t> out) {
  if (!Inside(offset, out.size(), Size())) return false;
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return true;
}

bool BootCopyBytes::Read(int64_t offset, std::span<uint8_t> out) {
  if (!volume_.Read(offset, out)) {
    // The damaged sector itself may be unreadable: read around it.
    if (offset < 0 || offset >= kSectorBytes) return false;
    const size_t head = static_cast<size_t>(
        std::min<int64_t>(kSectorBytes - offset, static_cast<int64_t>(out.size())));
    if (head < out.size() && !volume_.Read(kSectorBytes, out.subspan(head))) return false;
  }
  if (offset >= kSectorBytes || out.empty()) return true;
  const auto head = static_cast<size_t>(
      std::min<int64_t>(kSectorBytes - offset, static_cast<int64_t>(out.size())));
  return volume_.Read(copyAt_ + offset, out.first(head));
}

DeviceBytes::DeviceBytes(RawDevice& device, int64_t first, int64_t length, int64_t blockBytes)
    : device_(device), sectorSize_(SaneSectorSize(device.QuerySectorSize())) {
  const int64_t deviceBytes = device.QueryDeviceSize();
  first_ = std::clamp<int64_t>(first, 0, std::max<int64_t>(deviceBytes, 0));
  length_ = std::clamp<int64_t>(length, 0, std::max<int64_t>(deviceBytes, 0) - first_);
  blockBytes_ = std::max<int64_t>(std::max<int64_t>(blockBytes, 1) / sectorSize_, 1) * sectorSize_;
}

bool DeviceBytes::Read(int64_t offset, std::span<uint8_t> out) {
  if (!Inside(offset, out.size(), length_)) return false;
  if (out.empty()) return true;
  const int64_t at = first_ + offset;
  if (static_cast<int64_t>(out.size()) >= blockBytes_) return ReadDirect(at, out);
  size_t done = 0;
  while (done < out.size()) {
    const int64_t position = at + static_cast<int64_t>(done);
    const Block* block = CachedBlock(position / blockBytes_);
    if (block == nullptr) return false;
    const int64_t within = position - block->index * blockBytes_;
    if (within >= static_cast<int64_t>(block->bytes.size())) return false;
    const size_t take =
        std::min(out.size() - done, block->bytes.size() - static_cast<size_t>(within));
    if (!block->readable.empty()) {
      for (int64_t s = within / sectorSize_; s * sectorSize_ < within + static_cast<int64_t>(take);
           ++s) {
        if (!block->readable[static_cast<size_t>(s)]) return false;
      }
    }
    std::memcpy(out.data() + done, block->bytes.data() + within, take);
    done += take;
  }
  return true;
}

// Whole sectors around the wanted bytes, in pieces a single device read can take.
bool DeviceBytes::ReadDirect(int64_t deviceOffset, std::span<uint8_t> out) {
  constexpr int64_t kMaxRead = 8 << 20;
  size_t done = 0;
  while (done < out.size()) {
    const int64_t position = deviceOffset + static_cast<int64_t>(done);
    const int64_t firstSector = position / sectorSize_;
    const int64_t skip = position - firstSector * sectorSize_;
    const int64_t want = std::min<int64_t>(static_cast<int64_t>(out.size() - done), kMaxRead);
    const int64_t sectors = SectorsCovering(skip + want, sectorSize_);
    const std::vector<uint8_t> bytes =
        device_.ReadDeviceSectors(firstSector, static_cast<uint32_t>(sectors), sectorSize_);
    if (static_cast<int64_t>(bytes.size()) < skip + want) return false;
    std::memcpy(out.data() + done, bytes.data() + skip, static_cast<size_t>(want));
    done += static_cast<size_t>(want);
  }
  return true;
}

const DeviceBytes::Block* DeviceBytes::CachedBlock(int64_t index) {
  for (auto it = cache_.begin(); it != cache_.end(); ++it) {
    if (it->index == index) {
      cache_.splice(cache_.begin(), cache_, it);
      return &cache_.front();
    }
  }
  Block block;
  block.index = index;
  const int64_t sectorsPerBlock = blockBytes_ / sectorSize_;
  block.bytes = device_.ReadDeviceSectors(index * sectorsPerBlock,
                                          static_cast<uint32_t>(sectorsPerBlock), sectorSize_);
  if (block.bytes.empty()) {
    // A bad sector in the block must not hide the good ones around it: read the block sector by
    // sector and remember which could not be read.
    bool any = false;
    for (int64_t s = 0; s < sectorsPerBlock; ++s) {
      std::vector<uint8_t> one =
          device_.ReadDeviceSectors(index * sectorsPerBlock + s, 1, sectorSize_);
      if (one.empty() && index * blockBytes_ + s * sectorSize_ >= first_ + length_) break;
      any = any || !one.empty();
      block.readable.push_back(!one.empty());
      one.resize(static_cast<size_t>(sectorSize_), 0);
      block.bytes.insert(block.bytes.end(), one.begin(), one.end());
    }
    if (!any) return nullptr;
  }
  cache_.push_front(std::move(block));
  if (cache_.size() > kCachedBlocks) cache_.pop_back();
  return &cache_.front();
}

}  // namespace quarvelin
