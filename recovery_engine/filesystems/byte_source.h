#pragma once

#include <cstdint>
#include <list>
#include <span>
#include <vector>

namespace quarvelin {

class RawDevice;

// A volume, or any stretch of bytes a file-system reader walks, read by byte offset. Every read is
// checked: a volume's own fields are hostile input and may point anywhere.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Length in bytes.
  virtual int64_t Size() const = 0;
  // Fills `out` with the bytes at `offset`. False, with `out` unspecified, when any of them lies
  // outside the source or cannot be read.
  virtual bool Read(int64_t offset, std::span<uint8_t> out) = 0;
};

// Bytes held in memory (tests, fuzzing).
class MemoryBytes final : public ByteSource {
 public:
  explicit MemoryBytes(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  bool Read(int64_t offset, std::span<uint8_t> out) override;

 private:
  std::span<const uint8_t> bytes_;
};

// A volume whose own boot sector is damaged, shown to its reader with the copy it keeps (at
// `copyAt`) in place of its first sector.
class BootCopyBytes final : public ByteSource {
 public:
  static constexpr int64_t kSectorBytes = 512;
  BootCopyBytes(ByteSource& volume, int64_t copyAt) : volume_(volume), copyAt_(copyAt) {}
  int64_t Size() const override { return volume_.Size(); }
  bool Read(int64_t offset, std::span<uint8_t> out) override;

 private:
  ByteSource& volume_;
  int64_t copyAt_;
};

// A stretch of a device, from byte `first` for `length` bytes (clipped to the device), read in
// whole sectors. Small reads go through a cache of recently read blocks, since file-system readers
// come back to the same table and directory sectors again and again; large ones go straight to
// the device.
class DeviceBytes final : public ByteSource {
 public:
  // `blockBytes`: how much a small read brings into the cache (rounded to whole sectors).
  DeviceBytes(RawDevice& device, int64_t first, int64_t length, int64_t blockBytes = 65536);
  int64_t Size() const override { return length_; }
  bool Read(int64_t offset, std::span<uint8_t> out) override;
  int32_t SectorSize() const { return sectorSize_; }

 private:
  struct Block {
    int64_t index = 0;  // block number from the device's start
    std::vector<uint8_t> bytes;
    // Per sector, whether it could be read; empty when every sector could.
    std::vector<bool> readable;
  };
  bool ReadDirect(int64_t deviceOffset, std::span<uint8_t> out);
  const Block* CachedBlock(int64_t index);

  RawDevice& device_;
  int64_t first_ = 0;
  int64_t length_ = 0;
  int32_t sectorSize_ = 512;
  int64_t blockBytes_ = 0;
  std::list<Block> cache_;  // most recently used first
};

}  // namespace quarvelin
